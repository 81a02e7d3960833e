// Program entry: the switches, the sandbox folder, and the one road the run takes.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "detection.h"
#include "hand_over.h"
#include "file_removal.h"
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
    // Normalised once: every path compared against it is built from it.
    if (!value.empty()) sandbox_root = normal_path(value);
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

// The silent road: the operation on this thread, no window.
int run_silent(bool& uninstalled) {
    const op_result result = run_silent_operation();
    uninstalled = uninstall_mode && result.ok;
    return finish_silent(result);
}

// The interactive road: the Setup window with its page.
int run_interactive(bool cleanup_mode, bool& uninstalled) {
    std::atomic<bool> done{false};
    window_run_hooks hooks;
    hooks.platform.uninstall = [uninstall = hooks.platform.uninstall, &done](const progress_fn& progress) {
        op_result result = uninstall(progress);
        if (result.ok) done = true;
        return result;
    };
    const int code = run_window(hooks);
    uninstalled = done;
    // The engine is gone: a hand-over copy's browser data, named after the copy, goes with it.
    if (cleanup_mode && is_copy_name(own_exe_path().filename().wstring())) remove_browser_data_folder();
    return code;
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
    // A run that is to be cleaned up deletes its program file on every road it ends on.
    const auto end = [cleanup_mode](int code) {
        if (cleanup_mode) schedule_self_deletion();
        return code;
    };
    if (!sandbox_whole) return end(exit_failed);

    win32::named_mutex mutex(product_info.mutex_name);
    if (mutex.already_existed()) return end(exit_ok);

    std::optional<in_place_uninstall> in_place;
    if (uninstall_mode && !cleanup_mode) {
        // A quiet uninstall that cannot run fails here, where its caller waits for the exit code,
        // and hands nothing over.
        if (silent_mode) {
            op_result blocked;
            blocked.error = blocking_program_message();
            if (!blocked.error.empty()) return finish_silent(blocked);
        }
        if (hand_over_uninstall(mutex)) return exit_ok;
        if (runs_as_installed_uninstaller()) in_place.emplace();
    }

    bool uninstalled = false;
    const int code = silent_mode ? run_silent(uninstalled) : run_interactive(cleanup_mode, uninstalled);
    if (in_place) in_place->finish(uninstalled);
    return end(code);
}
