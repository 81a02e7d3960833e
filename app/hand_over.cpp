#include "hand_over.h"

#include <windows.h>

#include <cwctype>
#include <system_error>
#include <tuple>
#include <vector>

#include "detection.h"
#include "file_removal.h"
#include "folders.h"
#include "install.h"
#include "modes.h"
#include "placement.h"
#include "product.h"
#include "registry.h"
#include "uninstall.h"

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* copy_prefix = L"VantrelUninstall-";
// The exit code of a copy stopped before it ran.
constexpr UINT exit_code_stopped = 1;

// Starts what must outlive this process: the copy, or cmd's delayed deletion. A job that ends
// its processes when it closes (a script runner's) would take them along, so they leave it
// where the job allows that.
bool start_process(const wchar_t* application, std::wstring command_line, DWORD flags, const wchar_t* folder,
                   win32::process& started) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const auto start = [&](DWORD with) {
        return CreateProcessW(application, command_line.data(), nullptr, nullptr, FALSE, with, nullptr, folder,
                              &startup, &info) != 0;
    };
    if (!start(flags | CREATE_BREAKAWAY_FROM_JOB) && !start(flags)) return false;
    started.adopt(info);
    return true;
}

// Writes `bytes` into a file that this call creates at `to`: a name already taken (a link
// planted there included) fails, so the bytes never go through a link to somewhere else.
bool write_new_file(const fs::path& to, const std::vector<unsigned char>& bytes) {
    removable_entry out = create_new_file(to, GENERIC_WRITE);
    if (!out.held()) return false;
    if (write_all(out.get(), bytes)) return true;
    // A half copy is no program: our own file goes again, through our own handle.
    std::ignore = out.remove();
    return false;
}

// The copy's name holds this process's id. Whatever the sweep left at that name (a link, a
// file in use) is passed over for the next free name.
fs::path make_copy(const fs::path& self, const fs::path& temp) {
    std::vector<unsigned char> bytes;
    if (!read_file_bytes(self, bytes)) return {};
    const unsigned long long id = GetCurrentProcessId();
    for (unsigned long long n = 0; n < 10; ++n) {
        const unsigned long long number = n == 0 ? id : id * 10 + n;
        const fs::path copy = temp / (copy_prefix + std::to_wstring(number) + L".exe");
        if (write_new_file(copy, bytes)) return copy;
    }
    return {};
}

// Text that cmd takes as it is inside quotes: it expands %NAME% (and, where switched on,
// !NAME!) even there.
bool plain_for_cmd(const std::wstring& text) {
    return !text.empty() && text.find_first_of(L"%!\"") == std::wstring::npos;
}

std::wstring system_folder() {
    wchar_t system[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(system, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return {};
    return std::wstring(system, n);
}

bool is_drive_path(const std::wstring& text) {
    return text.size() >= 3 && iswalpha(text[0]) && text[1] == L':' && text[2] == L'\\';
}

// Splits the last `levels` names off `text`: the folder before them, and the names.
bool split_names(const std::wstring& text, int levels, std::wstring& folder, std::wstring& names) {
    std::size_t end = text.size(), at = std::wstring::npos;
    for (int i = 0; i < levels; ++i) {
        if (end == 0) return false;
        at = text.rfind(L'\\', end - 1);
        if (at == std::wstring::npos) return false;
        end = at;
    }
    folder = text.substr(0, at);
    names = text.substr(at + 1);
    if (folder.size() == 2 && folder[1] == L':') folder += L'\\';  // a drive's root
    return !folder.empty() && !names.empty();
}

// The program at the head of a command line, in quotes; empty when it is not quoted.
fs::path quoted_program(const std::wstring& command) {
    const std::size_t end = command.find(L'"', 1);
    if (command.empty() || command[0] != L'"' || end == std::wstring::npos) return {};
    return command.substr(1, end - 1);
}

// The longest line cmd takes.
constexpr std::size_t cmd_line_limit = 8191;
// How often cmd tries to delete a file that is still in use: the process may be slow to end
// (paused by a debugger or the system), or a scanner may be reading it.
constexpr std::size_t delete_tries = 20;

// Seconds before try `i`: the first ten come two seconds apart, as a process that is only slow
// ends soon; then the waits double up to a minute, so that the tries span over seven minutes.
unsigned wait_before_try(std::size_t i) {
    constexpr std::size_t quick_tries = 10;
    if (i < quick_tries) return 2;
    return i - quick_tries >= 4 ? 60 : 5u << (i - quick_tries);
}

// Deletes the file `name` in `folder` by cmd once it can, trying again while it is still there,
// then runs `then`. cmd's del empties a folder it is given: a folder or folder link put at the
// name meanwhile is left alone, and ends the tries. The interpreter and `ping` are named by their
// full paths, so that no copy planted in `folder` is what runs; /d keeps AutoRun commands from
// changing the folder first. Each try is spelled out: Wine's cmd runs no `for /l` body.
void delete_after_exit(const fs::path& folder, const std::wstring& name, const std::wstring& then = {}) {
    const std::wstring system = system_folder();
    if (system.empty() || !plain_for_cmd(system)) return;
    const std::wstring quoted = L"\"" + name + L"\"";
    const std::wstring folder_pattern = L"\"" + name + L"\\*\"";
    // ping waits a second between its echoes.
    const auto attempt = [&](unsigned wait) {
        return L"(if exist " + quoted + L" if not exist " + folder_pattern + L" (\"" + system + L"\\ping.exe\" 127.0.0.1 -n " +
               std::to_wstring(wait + 1) + L" > nul & if not exist " + folder_pattern + L" del /f /q " + quoted + L"))";
    };
    std::wstring commands = attempt(wait_before_try(0));
    for (std::size_t i = 1; i < delete_tries; ++i) {
        const std::wstring next = L" & " + attempt(wait_before_try(i));
        if (commands.size() + next.size() + then.size() + 64 > cmd_line_limit) break;
        commands += next;
    }
    if (!then.empty()) commands += L" & " + then;
    // With more than two quotes after /c, cmd drops the first and the last: the outer pair.
    const std::wstring command = L"cmd.exe /d /c \"" + commands + L"\"";
    win32::process started;
    std::ignore = start_process((system + L"\\cmd.exe").c_str(), command, CREATE_NO_WINDOW, folder.c_str(), started);
}

// Deletes `file` a few seconds from now, by cmd.
void delete_later(const fs::path& file) {
    cmd_place place;
    if (file.empty() || !place_for_cmd(file, 1, place)) return;
    delete_after_exit(place.folder, place.name);
}

// A copy that cannot go at once (a scanner has it open) goes as a finished copy does, by cmd's
// delayed delete: after an uninstall no later hand-over's sweep would come for it.
void remove_copy(const fs::path& copy) {
    if (remove_entry(copy, copy.parent_path()) == removal::failed) delete_later(copy);
}

}  // namespace

bool is_copy_name(const std::wstring& name) {
    const std::wstring prefix = copy_prefix;
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0) return false;
    const std::wstring digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    return name.compare(name.size() - 4, 4, L".exe") == 0 &&
           digits.find_first_not_of(L"0123456789") == std::wstring::npos;
}

void remove_stale_copies(const fs::path& temp) {
    std::vector<std::wstring> copies;
    std::error_code ec;
    for (fs::directory_iterator it(long_path(temp), ec), end; !ec && it != end; it.increment(ec)) {
        const std::wstring name = it->path().filename().wstring();
        if (is_copy_name(name)) copies.push_back(name);
    }
    if (copies.empty()) return;
    const std::vector<std::wstring> running = running_process_names();
    for (const std::wstring& name : copies)
        if (!is_running_in(running, name)) std::ignore = remove_entry(temp / name, temp);
}

hand_over hand_over_uninstall(win32::named_mutex& mutex, const std::wstring& mutex_name) {
    std::error_code ec;
    const fs::path self = own_exe_path();
    if (self.empty()) return hand_over::in_place;
    const fs::path dir = install_dir();
    if (dir.empty() || !same_file(self.parent_path(), dir)) return hand_over::in_place;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec) return hand_over::in_place;
    remove_stale_copies(temp);
    const fs::path copy = make_copy(self, temp);
    if (copy.empty()) return hand_over::in_place;
    std::wstring command = L"\"" + copy.wstring() + L"\" --uninstall --cleanup";
    if (silent_mode) command += L" --silent";
    return start_copy(copy, command, mutex, mutex_name);
}

hand_over start_copy(const fs::path& copy, const std::wstring& command, win32::named_mutex& mutex,
                     const std::wstring& mutex_name) {
    // The copy starts suspended and the lock is let go only then, so it is never free while
    // this run may still go on to uninstall in place. A copy that cannot start (programs in
    // the temporary folder blocked) goes again, and the lock stays. It stands in its own
    // folder: one inherited from the install folder would keep that folder from going.
    win32::process copy_process;
    if (!start_process(copy.c_str(), command, CREATE_SUSPENDED, copy.parent_path().c_str(), copy_process)) {
        remove_copy(copy);
        return hand_over::in_place;
    }
    mutex.release();
    if (ResumeThread(copy_process.thread.get()) != static_cast<DWORD>(-1)) return hand_over::done;
    TerminateProcess(copy_process.handle.get(), exit_code_stopped);
    WaitForSingleObject(copy_process.handle.get(), INFINITE);
    remove_copy(copy);
    // The lock was let go: taken again, or this run ends as a second start does.
    mutex = win32::named_mutex(mutex_name);
    return mutex.owned() ? hand_over::in_place : hand_over::locked_out;
}

bool place_for_cmd(const fs::path& file, int levels, cmd_place& place) {
    const std::wstring whole = normal_path(file).wstring();
    std::vector<std::wstring> forms = {whole};
    const std::wstring short_form = win32::read_growing(
        [&file](wchar_t* buffer, DWORD size) { return GetShortPathNameW(long_path(file).c_str(), buffer, size); });
    if (!short_form.empty()) forms.push_back(normal_path(short_form).wstring());
    std::wstring folder, names;
    for (const std::wstring& form : forms) {
        if (!is_drive_path(form) || form.size() >= MAX_PATH || !split_names(form, levels, folder, names) ||
            !plain_for_cmd(names))
            continue;
        place = {folder, names};
        return true;
    }
    // On a share: cmd stands in the system folder and is given the whole path.
    const std::wstring system = system_folder();
    if (system.empty() || whole.size() >= MAX_PATH || !plain_for_cmd(whole) ||
        !split_names(whole, levels, folder, names))
        return false;
    place = {system, whole};
    return true;
}

void schedule_self_deletion() { delete_later(own_exe_path()); }

void leave_install_folder() {
    const fs::path dir = install_dir();
    // A relative install folder (a relative sandbox value) would change with the current folder.
    if (!dir.is_absolute()) return;
    const fs::path current =
        win32::read_growing([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); });
    for (fs::path p = current; p.has_relative_path(); p = p.parent_path()) {
        if (!same_file(p, dir)) continue;
        const std::wstring system = system_folder();
        if (!system.empty()) SetCurrentDirectoryW(system.c_str());
        return;
    }
}

bool runs_as_installed_uninstaller() {
    const fs::path self = own_exe_path();
    if (self.empty()) return false;
    // What the entries name counts too, the real one's and the sandbox's whichever this run
    // uses: a run that cannot tell the install folder (a sandbox value refused, or set otherwise
    // than at the install) never deletes an uninstaller that an entry starts.
    std::vector<fs::path> uninstallers = {install_dir() / uninstaller_name};
    const std::wstring entry = uninstall_key_prefix + product_info.uninstall_key;
    for (const std::wstring& key : {entry, registry_sandbox_prefix + entry}) {
        const auto value = [&key](const wchar_t* name) { return reg_read_string_as_named(HKEY_CURRENT_USER, key, name); };
        uninstallers.push_back(fs::path(value(L"InstallLocation")) / uninstaller_name);
        uninstallers.push_back(quoted_program(value(L"UninstallString")));
        uninstallers.push_back(quoted_program(value(L"QuietUninstallString")));
    }
    // Compared as files: a program started by its short name is the same uninstaller.
    for (const fs::path& uninstaller : uninstallers)
        if (uninstaller.is_absolute() && same_file(self, uninstaller)) return true;
    return false;
}

in_place_uninstall::in_place_uninstall()
    : self_([](const fs::path& p) {
          cmd_place place;
          return place_for_cmd(p, 2, place);
      }) {
    in_place_uninstaller = &self_;
}

in_place_uninstall::~in_place_uninstall() { in_place_uninstaller = nullptr; }

void in_place_uninstall::finish() {
    in_place_uninstaller = nullptr;
    const fs::path& aside = self_.moved_to();
    cmd_place place;
    // The short form is asked again now that the uninstaller itself has the name.
    if (aside.empty() || !place_for_cmd(aside, 2, place)) return;
    const std::wstring folder = fs::path(place.name).parent_path().wstring();
    delete_after_exit(place.folder, place.name, L"rmdir \"" + folder + L"\"");
}
