#include "window_run.h"

#include <windows.h>
#include <uxtheme.h>
#include <wrl/client.h>

#include <knownfolders.h>

#include <memory>
#include <optional>
#include <tuple>

#include "file_removal.h"
#include "folders.h"
#include "lock_down.h"
#include "modes.h"
#include "payload.h"
#include "product.h"
// The web UI host's strict widening; "text.h" alone names the engine's conversions.
#include "../webhost/text.h"
#include "webview2.h"
#include "win32_edge_engine.h"
#include "win32_owners.h"
#include "window_rules.h"

namespace fs = std::filesystem;
using Microsoft::WRL::ComPtr;
using webhost::detail::size_hint;
using webhost::detail::win32_edge_engine;
using webhost::detail::widen_strict;

namespace {

constexpr int exit_ok = 0;
constexpr int exit_no_interface = 3;

constexpr unsigned page_resource = 101;
constexpr int page_width = 880;
constexpr int page_height = 580;

constexpr DWORD dwm_corner_preference = 33;  // DWMWA_WINDOW_CORNER_PREFERENCE
constexpr DWORD dwm_corner_round = 2;        // DWMWCP_ROUND

// Rounded corners. DWM is no KnownDLL: it is looked up in System32 when the run needs it, and
// its answers do not matter.
void apply_frame(HWND window) {
    const win32::unique_module dwmapi(LoadLibraryExW(L"dwmapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!dwmapi) return;
    using extend_fn = HRESULT(WINAPI*)(HWND, const MARGINS*);
    using attribute_fn = HRESULT(WINAPI*)(HWND, DWORD, LPCVOID, DWORD);
    const auto extend = reinterpret_cast<extend_fn>(
        reinterpret_cast<void*>(GetProcAddress(dwmapi.get(), "DwmExtendFrameIntoClientArea")));
    const auto set_attribute = reinterpret_cast<attribute_fn>(
        reinterpret_cast<void*>(GetProcAddress(dwmapi.get(), "DwmSetWindowAttribute")));
    if (extend != nullptr) {
        const MARGINS margins{1, 1, 1, 1};
        extend(window, &margins);
    }
    if (set_attribute != nullptr) {
        const DWORD corners = dwm_corner_round;
        set_attribute(window, dwm_corner_preference, &corners, sizeof corners);
    }
}

// The outer size stays the one that set_size gave the framed window.
void centre_on_primary_work_area(HWND window) {
    RECT frame{};
    if (!GetWindowRect(window, &frame)) return;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) return;
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const POINT at = centred_origin(monitor.rcWork, width, height);
    SetWindowPos(window, nullptr, at.x, at.y, width, height, SWP_NOZORDER | SWP_FRAMECHANGED);
}

void style_window(HWND window, win32_edge_engine& engine) {
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
    SetWindowLongPtrW(window, GWL_STYLE, static_cast<LONG_PTR>(static_cast<LONG>(setup_window_style(style))));
    apply_frame(window);
    // Dark whatever the Windows theme, also after the user changes it.
    engine.force_title_bar_theme(true);
    centre_on_primary_work_area(window);
}

HWND top_level_window(win32_edge_engine& engine) {
    const auto window = engine.window();
    return window.has_value() ? window.value() : nullptr;
}

ICoreWebView2Controller* browser_controller(win32_edge_engine& engine) {
    const auto controller = engine.get_controller();
    return controller.has_value() ? controller.value() : nullptr;
}

// Our own document is the one navigation the gate lets through; it is armed only now.
void show_page(ICoreWebView2Controller* controller, const std::string& page, navigation_gate& gate) {
    ComPtr<ICoreWebView2> browser;
    if (controller == nullptr || FAILED(controller->get_CoreWebView2(&browser)) || !browser) return;
    const std::wstring document = widen_strict(page);
    gate.arm();
    if (FAILED(browser->NavigateToString(document.c_str()))) gate.disarm();
}

void run_message_loop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// The window closed while the run was still building it: the loop would wait for a quit that
// may already be gone. One still queued belongs to this run; it is taken, as the loop would.
void end_without_loop() {
    MSG message;
    PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

// Everything after the engine's construction, up to the end of the message loop. The page
// is built here, after the engine, so that it goes first.
int run_built_window(win32_edge_engine& engine, std::optional<setup_page>& page, const window_run_hooks& hooks) {
    const HWND window = top_level_window(engine);
    if (window != nullptr) {
        SetWindowTextW(window, widen_strict(window_title(product_info.name, uninstall_mode)).c_str());
    }
    // Refused only for sizes that overflow; the window would keep its first size.
    std::ignore = engine.set_size(page_width, page_height, size_hint::fixed);
    if (window != nullptr) style_window(window, engine);

    page.emplace(engine, hooks.platform);
    page->bind_functions();

    ICoreWebView2Controller* const controller = browser_controller(engine);
    const auto gate = std::make_shared<navigation_gate>();
    if (controller != nullptr) lock_down(controller, gate);

    const std::string document = hooks.page();
    if (document.empty()) return exit_no_interface;

    // The binds wait for the browser, and the window may have been closed meanwhile.
    if (window == nullptr || top_level_window(engine) != window || !IsWindow(window)) {
        end_without_loop();
        return exit_ok;
    }
    show_page(controller, document, *gate);
    run_message_loop();
    return exit_ok;
}

}  // namespace

fs::path browser_data_folder() {
    const fs::path self = own_exe_path();
    if (self.empty()) return {};
    if (!sandbox_root.empty()) {
        const fs::path roaming = known_folder(FOLDERID_RoamingAppData, L"Roaming");
        return roaming.empty() ? fs::path() : roaming / self.filename();
    }
    const auto folder = webhost::detail::default_user_data_folder();
    return folder ? fs::path(folder.value()) : fs::path();
}

bool remove_browser_data_folder() {
    const fs::path folder = browser_data_folder();
    if (folder.empty() || !folder.has_relative_path()) return false;
    const ULONGLONG end = GetTickCount64() + 10000;
    for (;;) {
        if (remove_tree(folder, folder.parent_path()) == removal::gone) return true;
        if (GetTickCount64() > end) return false;
        Sleep(250);
    }
}

void show_failure_box() {
    MessageBoxW(nullptr,
                L"Vantrel Setup could not open its interface. Install or repair Microsoft Edge WebView2 Runtime, "
                L"then try again. No installation was started.",
                L"Vantrel Setup", MB_OK | MB_ICONERROR);
}

std::string load_setup_page() {
    return load_rcdata(page_resource);
}

int run_window(const window_run_hooks& hooks) {
    int code = exit_ok;
    bool failed = false;
    {
        std::optional<win32_edge_engine> engine;
        std::optional<setup_page> page;  // after the engine: it refers to it
        try {
            // The host's own rule outside the sandbox; inside it the sandbox holds the folder too.
            engine.emplace(false, nullptr, sandbox_root.empty() ? std::wstring() : browser_data_folder().wstring());
            code = run_built_window(*engine, page, hooks);
            // The page receives nothing more; a job still running is waited for.
            if (page) page->end_page();
        } catch (...) {
            failed = true;
        }
        // A job is waited for before the window goes, and the window goes before any box.
        page.reset();
        engine.reset();
    }
    if (failed) {
        if (hooks.failure_box) hooks.failure_box();
        return exit_no_interface;
    }
    return code;
}
