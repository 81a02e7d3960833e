#include "window.h"

#include <cstdint>
#include <cstdlib>
#include <limits>

#include "runtime.h"
#include "win32_owners.h"

namespace webhost::detail {

set_window_attribute_fn title_bar_attribute_override = nullptr;

namespace {

template <typename Function>
Function user32_function(const char* name) {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

std::optional<int> scale_one(int value, int to, int from) {
    const std::int64_t scaled = static_cast<std::int64_t>(value) * to / from;
    if (scaled > std::numeric_limits<int>::max() || scaled < std::numeric_limits<int>::min()) return std::nullopt;
    return static_cast<int>(scaled);
}

HMODULE dwmapi_module = nullptr;

void free_dwmapi_module() {
    if (dwmapi_module != nullptr) FreeLibrary(dwmapi_module);
    dwmapi_module = nullptr;
}

// Loaded once per process, from System32 only.
HMODULE dwmapi() {
    static const HMODULE module = [] {
        dwmapi_module = load_system_library(L"dwmapi.dll").release();
        if (dwmapi_module != nullptr) std::atexit(free_dwmapi_module);
        return dwmapi_module;
    }();
    return module;
}

}  // namespace

std::optional<size_2d> scale_size(int width, int height, int to, int from) {
    if (from <= 0) return std::nullopt;
    const auto w = scale_one(width, to, from);
    const auto h = scale_one(height, to, from);
    if (!w || !h) return std::nullopt;
    return size_2d{*w, *h};
}

void apply_size_limits(MINMAXINFO& info, size_2d min_size, size_2d max_size) {
    if (max_size.width > 0 && max_size.height > 0) {
        info.ptMaxSize = {max_size.width, max_size.height};
        info.ptMaxTrackSize = {max_size.width, max_size.height};
    }
    if (min_size.width > 0 && min_size.height > 0) info.ptMinTrackSize = {min_size.width, min_size.height};
}

int dpi_of_window(HWND window) {
    using get_dpi_fn = UINT(WINAPI*)(HWND);
    if (const auto get_dpi = user32_function<get_dpi_fn>("GetDpiForWindow")) {
        const UINT value = get_dpi(window);
        if (value != 0) return static_cast<int>(value);
    }
    return 96;
}

size_2d window_size_for_client(HWND window, int width, int height, int dpi) {
    const DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
    RECT rect{0, 0, width, height};
    using adjust_fn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    if (const auto adjust = user32_function<adjust_fn>("AdjustWindowRectExForDpi")) {
        adjust(&rect, style, FALSE, 0, static_cast<UINT>(dpi));
    } else {
        AdjustWindowRect(&rect, style, FALSE);
    }
    return {rect.right - rect.left, rect.bottom - rect.top};
}

bool apps_use_dark_theme() {
    reg_key key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize", 0,
                      KEY_READ, key.put()) != ERROR_SUCCESS ||
        !key) {
        return false;
    }
    const auto bytes = read_registry_bytes(key.get(), L"AppsUseLightTheme");
    if (!bytes || bytes->size() < 4) return false;
    const std::uint32_t light = static_cast<std::uint32_t>((*bytes)[0]) | static_cast<std::uint32_t>((*bytes)[1]) << 8 |
                                static_cast<std::uint32_t>((*bytes)[2]) << 16 |
                                static_cast<std::uint32_t>((*bytes)[3]) << 24;
    return light == 0;
}

void apply_title_bar_theme(HWND window) { set_title_bar_dark(window, apps_use_dark_theme()); }

void set_title_bar_dark(HWND window, bool dark_frame) {
    const BOOL dark = dark_frame ? TRUE : FALSE;
    set_window_attribute_fn set_attribute = title_bar_attribute_override;
    if (set_attribute == nullptr) {
        const HMODULE module = dwmapi();
        if (module == nullptr) return;
        set_attribute = reinterpret_cast<set_window_attribute_fn>(
            reinterpret_cast<void*>(GetProcAddress(module, "DwmSetWindowAttribute")));
        if (set_attribute == nullptr) return;
    }
    // 20 is the attribute's number from Windows 10 20H1 on, 19 before.
    if (set_attribute(window, 20, &dark, sizeof dark) != S_OK) set_attribute(window, 19, &dark, sizeof dark);
}

}  // namespace webhost::detail
