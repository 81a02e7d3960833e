// Program entry: the switches, the sandbox folder, and the one road the run takes.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "detection.h"
#include "entry_removal.h"
#include "folders.h"
#include "install.h"
#include "install_record.h"
#include "modes.h"
#include "payload.h"
#include "placement.h"
#include "product.h"
#include "setup_documents.h"
#include "uninstall.h"
#include "win32_owners.h"
#include "window_run.h"

namespace fs = std::filesystem;

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_no_sandbox = 2;

constexpr DWORD sandbox_buffer = 260;

void ignore_progress(int, const std::string&) {}

// indent 2, UTF-8, text mode so that every line end is CR LF, no trailing line end.
[[nodiscard]] bool write_json_file(const fs::path& file, const json& document) {
    return write_text_file(file, document.dump(2, ' ', false, json::error_handler_t::strict));
}

// True when the value is unset or shorter than the buffer; false when it does not fit, so that
// no road runs against a cut folder name.
bool read_sandbox_root() {
    const std::wstring value = win32::read_growing(
        [](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(L"VANTREL_SETUP_SANDBOX", buffer, size); },
        sandbox_buffer);
    if (value.size() >= sandbox_buffer) return false;
    if (!value.empty()) sandbox_root = fs::path(value);
    return true;
}

int check_mode_run(bool sandbox_whole) {
    if (!sandbox_whole || sandbox_root.empty()) return exit_no_sandbox;
    if (!sandbox_root.has_root_name() || !sandbox_root.has_root_directory()) return exit_no_sandbox;
    json report = build_setup_info();
    std::string error;
    const bool valid = load_payload(error);
    report["payloadValid"] = valid;
    report["error"] = error;
    if (!write_json_file(sandbox_root / L"check.json", report)) return exit_failed;
    return valid ? exit_ok : exit_failed;
}

// Whatever goes wrong in the check is a failed check, never the code of a failed interface.
int run_check_mode(bool sandbox_whole) {
    try {
        return check_mode_run(sandbox_whole);
    } catch (...) {
        return exit_failed;
    }
}

bool start_process(const wchar_t* application, std::wstring command_line, DWORD flags, const wchar_t* folder) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application, command_line.data(), nullptr, nullptr, FALSE, flags, nullptr, folder, &startup,
                        &info))
        return false;
    win32::process started;
    started.adopt(info);
    return true;
}

constexpr const wchar_t* copy_prefix = L"VantrelUninstall-";

// "VantrelUninstall-", digits, ".exe": the names the hand-over gives its copies.
bool is_copy_name(const std::wstring& name) {
    const std::wstring prefix = copy_prefix;
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0) return false;
    const std::wstring digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    return name.compare(name.size() - 4, 4, L".exe") == 0 &&
           digits.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// Copies of the uninstaller that earlier hand-overs left in the temporary folder: each removes
// itself when done, but not after an interruption. A copy that still runs is left alone, and
// so is whatever a link at such a name leads to.
void remove_stale_copies(const fs::path& temp) {
    std::error_code ec;
    for (fs::directory_iterator it(temp, ec), end; !ec && it != end; it.increment(ec)) {
        const std::wstring name = it->path().filename().wstring();
        if (!is_copy_name(name) || is_process_running(name)) continue;
        remove_entry_itself(temp, name);
    }
}

// Writes `bytes` into a file that this call creates at `to`: a name already taken (a link
// planted there included) fails, so the bytes never go through a link to somewhere else.
bool write_new_file(const fs::path& to, const std::vector<unsigned char>& bytes) {
    const win32::unique_handle out(
        CreateFileW(to.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return false;
    if (write_all(out.get(), bytes)) return true;
    // A half copy is no program: our own file goes again, through our own handle.
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(out.get(), FileDispositionInfo, &disposition, sizeof disposition);
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

// An uninstall cannot remove the folder it runs from: a copy in the temporary folder does it.
// True when the copy has started.
bool hand_over_uninstall(win32::named_mutex& mutex) {
    std::error_code ec;
    const fs::path self = own_exe_path();
    if (self.empty()) return false;
    const fs::path dir = install_dir();
    if (dir.empty() || !same_file(self.parent_path(), dir)) return false;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec) return false;
    remove_stale_copies(temp);
    const fs::path copy = make_copy(self, temp);
    if (copy.empty()) return false;
    std::wstring command = L"\"" + copy.wstring() + L"\" --uninstall --cleanup";
    if (silent_mode) command += L" --silent";
    mutex.release();
    return start_process(copy.c_str(), command, 0, nullptr);
}

// Text that cmd takes as it is inside quotes: it expands %NAME% (and, where switched on,
// !NAME!) even there.
bool plain_for_cmd(const std::wstring& name) {
    return !name.empty() && name.find_first_of(L"%!\"") == std::wstring::npos;
}

// Runs `commands` a few seconds after this process has ended, in `folder`. No path text goes
// on cmd's line, only names inside `folder`. The interpreter and `ping` are named by their
// full paths, so that no copy planted in `folder` is what runs; /d keeps AutoRun commands
// from changing the folder first.
void run_after_exit(const fs::path& folder, const std::wstring& commands) {
    wchar_t system[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(system, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH || folder.empty()) return;
    const std::wstring system_folder(system, n);
    if (!plain_for_cmd(system_folder)) return;
    const std::wstring cmd = system_folder + L"\\cmd.exe";
    // With more than two quotes after /c, cmd drops the first and the last: the outer pair.
    const std::wstring command = L"cmd.exe /d /c \"\"" + system_folder + L"\\ping.exe\" 127.0.0.1 -n 3 > nul & " +
                                 commands + L"\"";
    start_process(cmd.c_str(), command, CREATE_NO_WINDOW, folder.c_str());
}

// Deletes the program file a few seconds after this process has ended.
void schedule_self_deletion() {
    const fs::path self = own_exe_path();
    const std::wstring name = self.filename().wstring();
    if (self.empty() || !plain_for_cmd(name)) return;
    run_after_exit(self.parent_path(), L"del /f /q \"" + name + L"\"");
}

// An uninstall that ran in place from the install folder leaves its own running file behind:
// it goes after this process, and the folder with it when nothing else is left in it. The
// interpreter runs in the folder above, since a process's current folder cannot be removed.
void schedule_uninstaller_deletion() {
    const fs::path dir = install_dir();
    const std::wstring folder = product_info.folder_name;
    if (dir.empty() || !plain_for_cmd(folder) || !plain_for_cmd(uninstaller_name)) return;
    run_after_exit(dir.parent_path(), L"del /f /q \"" + folder + L"\\" + uninstaller_name + L"\" & rmdir \"" +
                                          folder + L"\"");
}

// True when the running program is the install folder's uninstaller.
bool runs_as_installed_uninstaller() {
    const fs::path self = own_exe_path();
    const fs::path dir = install_dir();
    if (self.empty() || dir.empty() || !same_file(self.parent_path(), dir)) return false;
    const std::wstring name = self.filename().wstring();
    return CompareStringOrdinal(name.c_str(), -1, uninstaller_name, -1, TRUE) == CSTR_EQUAL;
}

int finish_silent(const op_result& result) {
    // The exit code still reports the operation when its report cannot be written.
    if (!sandbox_root.empty()) std::ignore = write_json_file(sandbox_root / L"result.json", result_to_json(result));
    return result.ok ? exit_ok : exit_failed;
}

op_result run_silent_operation() {
    try {
        return uninstall_mode ? run_uninstall(ignore_progress) : run_install(ignore_progress);
    } catch (...) {
        op_result failed;
        failed.error = "Setup stopped before finishing. Some steps may have completed; retry to finish.";
        return failed;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    SetDllDirectoryW(L"");
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    bool check_mode = false;
    bool cleanup_mode = false;
    int argc = 0;
    if (const win32::unique_local<wchar_t**> argv{CommandLineToArgvW(GetCommandLineW(), &argc)}) {
        for (int i = 1; i < argc; ++i) {
            const std::wstring arg = argv.get()[i];
            if (arg == L"--uninstall") uninstall_mode = true;
            else if (arg == L"--silent") silent_mode = true;
            else if (arg == L"--cleanup") cleanup_mode = true;
            else if (arg == L"--check") check_mode = true;
        }
    }

    const bool sandbox_whole = read_sandbox_root();
    if (check_mode) return run_check_mode(sandbox_whole);
    if (!sandbox_whole) return exit_failed;

    win32::named_mutex mutex(product_info.mutex_name);
    if (mutex.already_existed()) return exit_ok;

    bool in_place_uninstaller = false;  // uninstalling from the install folder, not handed over
    if (uninstall_mode && !cleanup_mode) {
        // A quiet uninstall that cannot run fails here, where its caller waits for the exit code,
        // and hands nothing over.
        if (silent_mode) {
            op_result blocked;
            blocked.error = blocking_program_message();
            if (!blocked.error.empty()) return finish_silent(blocked);
        }
        if (hand_over_uninstall(mutex)) return exit_ok;
        in_place_uninstaller = runs_as_installed_uninstaller();
    }

    std::atomic<bool> uninstalled{false};
    int code = exit_ok;
    if (silent_mode) {
        const op_result result = run_silent_operation();
        uninstalled = uninstall_mode && result.ok;
        code = finish_silent(result);
    } else {
        window_run_hooks hooks;
        hooks.platform.uninstall = [uninstall = hooks.platform.uninstall, &uninstalled](const progress_fn& progress) {
            op_result result = uninstall(progress);
            if (result.ok) uninstalled = true;
            return result;
        };
        code = run_window(hooks);
        // The engine is gone: a hand-over copy's browser data, named after the copy, goes with it.
        if (cleanup_mode && is_copy_name(own_exe_path().filename().wstring())) remove_browser_data_folder();
    }
    if (cleanup_mode) schedule_self_deletion();
    else if (in_place_uninstaller && uninstalled) schedule_uninstaller_deletion();
    return code;
}
