// Program entry: the switches, the sandbox folder, and the one road the run takes.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "detection.h"
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

// Copies of the uninstaller that earlier hand-overs left in the temporary folder: each removes
// itself when done, but not after an interruption. A copy that still runs is left alone.
void remove_stale_copies(const fs::path& temp) {
    std::error_code ec;
    const std::wstring prefix = copy_prefix;
    for (fs::directory_iterator it(temp, ec), end; !ec && it != end; it.increment(ec)) {
        const std::wstring name = it->path().filename().wstring();
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::wstring digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        if (name.compare(name.size() - 4, 4, L".exe") != 0 ||
            digits.find_first_not_of(L"0123456789") != std::wstring::npos)
            continue;
        if (is_process_running(name)) continue;
        remove_entry(it->path(), temp);
    }
}

bool same_folder(const fs::path& a, const fs::path& b) {
    const win32::unique_handle one(CreateFileW(a.c_str(), FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const win32::unique_handle two(CreateFileW(b.c_str(), FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    if (!one || !two || !GetFileInformationByHandle(one.get(), &x) || !GetFileInformationByHandle(two.get(), &y))
        return false;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// An uninstall cannot remove the folder it runs from: a copy in the temporary folder does it.
// True when the copy has started.
bool hand_over_uninstall(win32::named_mutex& mutex) {
    std::error_code ec;
    const fs::path self = own_exe_path();
    if (self.empty()) return false;
    const fs::path dir = install_dir();
    if (dir.empty() || !same_folder(self.parent_path(), dir)) return false;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec) return false;
    remove_stale_copies(temp);
    const fs::path copy = temp / (copy_prefix + std::to_wstring(GetCurrentProcessId()) + L".exe");
    if (!CopyFileW(self.c_str(), copy.c_str(), FALSE)) return false;
    std::wstring command = L"\"" + copy.wstring() + L"\" --uninstall --cleanup";
    if (silent_mode) command += L" --silent";
    mutex.release();
    return start_process(copy.c_str(), command, 0, nullptr);
}

// Deletes the program file a few seconds after this process has ended. The interpreter is
// named by its full path and runs in the system folder, so that neither it nor `ping` can be
// picked up from the folder a downloaded Setup was started in.
void schedule_self_deletion() {
    wchar_t system[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(system, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return;
    const std::wstring folder(system, n);
    const std::wstring cmd = folder + L"\\cmd.exe";
    const std::wstring command =
        L"cmd.exe /c ping 127.0.0.1 -n 3 > nul & del /f /q \"" + own_exe_path().wstring() + L"\"";
    start_process(cmd.c_str(), command, CREATE_NO_WINDOW, folder.c_str());
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

    if (uninstall_mode && !cleanup_mode) {
        // A quiet uninstall that cannot run fails here, where its caller waits for the exit code,
        // and hands nothing over.
        if (silent_mode) {
            op_result blocked;
            blocked.error = blocking_program_message();
            if (!blocked.error.empty()) return finish_silent(blocked);
        }
        if (hand_over_uninstall(mutex)) return exit_ok;
    }

    const int code = silent_mode ? finish_silent(run_silent_operation()) : run_window();
    if (cleanup_mode) schedule_self_deletion();
    return code;
}
