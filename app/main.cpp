// Program entry: the switches, the sandbox folder, and the one road the run takes.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

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

// False when the value cannot be used: too long for its buffer (never cut), or written in a form
// that the system reads otherwise. sandbox_root is set all the same, so that a refused run still
// knows which uninstaller is the installed one.
bool read_sandbox_root() {
    const std::wstring value = win32::read_growing(
        [](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(L"VANTREL_SETUP_SANDBOX", buffer, size); },
        sandbox_buffer);
    if (value.empty()) return true;
    fs::path folder;
    const bool readable = sandbox_folder_from(value, folder);
    sandbox_root = readable ? folder : normal_path(value);
    return readable && value.size() < sandbox_buffer;
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

// The interactive road: the Setup window with its page.
int run_interactive(bool cleanup_mode) {
    const int code = run_window();
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
    // The uninstaller that the uninstall entry starts never goes by --cleanup: only an uninstall
    // that it completes in place moves it aside for its deletion.
    const bool installed_uninstaller = runs_as_installed_uninstaller();
    // A run that is to be cleaned up deletes its program file on every road it ends on.
    const auto clean_up = [cleanup = cleanup_mode && !installed_uninstaller] {
        if (cleanup) schedule_self_deletion();
    };
    const auto end = [&clean_up](int code) {
        clean_up();
        return code;
    };
    if (!sandbox_whole) return end(exit_failed);

    win32::named_mutex mutex(product_info.mutex_name);
    if (!mutex.owned()) return end(exit_ok);

    if (uninstall_mode) leave_install_folder();
    std::optional<in_place_uninstall> in_place;
    if (uninstall_mode && !cleanup_mode) {
        // A quiet uninstall that cannot run fails here, where its caller waits for the exit code,
        // and hands nothing over.
        if (silent_mode) {
            op_result blocked;
            blocked.error = uninstall_refusal();
            if (!blocked.error.empty()) return finish_silent(blocked);
        }
        switch (hand_over_uninstall(mutex, product_info.mutex_name)) {
        case hand_over::done: return exit_ok;
        case hand_over::locked_out: return end(exit_ok);
        case hand_over::in_place: break;
        }
    }
    if (uninstall_mode && installed_uninstaller) in_place.emplace();

    if (silent_mode) {
        const op_result result = run_silent_operation();
        // The deletions of what this run leaves (a moved-aside uninstaller, its own file) are
        // under way before the result is reported: a run stopped once it has reported leaves
        // none of it.
        if (in_place) in_place->finish();
        clean_up();
        return finish_silent(result);
    }
    const int code = run_interactive(cleanup_mode);
    if (in_place) in_place->finish();
    return end(code);
}
