// Program entry: the switches, the sandbox folder, and the one road the run takes.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "folders.h"
#include "install.h"
#include "modes.h"
#include "payload.h"
#include "product.h"
#include "setup_documents.h"
#include "uninstall.h"
#include "window_run.h"

namespace fs = std::filesystem;

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_no_sandbox = 2;

constexpr DWORD sandbox_buffer = 260;

void ignore_progress(int, const std::string&) {}

// indent 2, UTF-8, text mode so that every line end is CR LF, no trailing line end.
bool write_json_file(const fs::path& file, const json& document) {
    std::ofstream out(file, std::ios::out | std::ios::trunc);
    out << document.dump(2, ' ', false, json::error_handler_t::strict);
    out.flush();
    return out.good();
}

// True when the value was read whole (or is unset); false when it does not fit the buffer,
// so that no road runs against a cut folder name.
bool read_sandbox_root() {
    wchar_t buffer[sandbox_buffer] = {};
    const DWORD n = GetEnvironmentVariableW(L"VANTREL_SETUP_SANDBOX", buffer, sandbox_buffer);
    if (n >= sandbox_buffer) return false;
    if (n != 0) sandbox_root = fs::path(std::wstring(buffer));
    return true;
}

int run_check_mode(bool sandbox_whole) {
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

bool start_process(const wchar_t* application, std::wstring command_line, DWORD flags, const wchar_t* folder) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application, command_line.data(), nullptr, nullptr, FALSE, flags, nullptr, folder, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// An uninstall cannot remove the folder it runs from: a copy in the temporary folder does it.
// True when the copy has started.
bool hand_over_uninstall(HANDLE& mutex) {
    std::error_code ec;
    const fs::path self = own_exe_path();
    if (self.empty()) return false;
    const fs::path dir = install_dir();
    if (dir.empty() || !fs::equivalent(self.parent_path(), dir, ec) || ec) return false;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec) return false;
    const fs::path copy = temp / (L"VantrelUninstall-" + std::to_wstring(GetCurrentProcessId()) + L".exe");
    if (!fs::copy_file(self, copy, fs::copy_options::overwrite_existing, ec) || ec) return false;
    std::wstring command = L"\"" + copy.wstring() + L"\" --uninstall --cleanup";
    if (silent_mode) command += L" --silent";
    if (mutex) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        mutex = nullptr;
    }
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
    if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        for (int i = 1; i < argc; ++i) {
            const std::wstring arg = argv[i];
            if (arg == L"--uninstall") uninstall_mode = true;
            else if (arg == L"--silent") silent_mode = true;
            else if (arg == L"--cleanup") cleanup_mode = true;
            else if (arg == L"--check") check_mode = true;
        }
        LocalFree(argv);
    }

    const bool sandbox_whole = read_sandbox_root();
    if (check_mode) return run_check_mode(sandbox_whole);
    if (!sandbox_whole) return exit_failed;

    HANDLE mutex = CreateMutexW(nullptr, TRUE, product_info.mutex_name.c_str());
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) return exit_ok;

    if (uninstall_mode && !cleanup_mode && hand_over_uninstall(mutex)) return exit_ok;

    int code = exit_ok;
    if (silent_mode) {
        const op_result result = run_silent_operation();
        if (!sandbox_root.empty()) write_json_file(sandbox_root / L"result.json", result_to_json(result));
        code = result.ok ? exit_ok : exit_failed;
    } else {
        code = run_window();
    }

    if (cleanup_mode) schedule_self_deletion();
    if (mutex) CloseHandle(mutex);
    return code;
}
