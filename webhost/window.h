#pragma once
// DPI, size and theme decisions of the engine's windows, kept apart from the window procedures
// so that plain tests cover them.

#include <windows.h>

#include <optional>

namespace webhost::detail {

struct size_2d {
    int width = 0;
    int height = 0;
    bool operator==(const size_2d&) const = default;
};

// width x to / from, height likewise, truncating toward zero; nothing when from is not
// positive or a result does not fit an int.
std::optional<size_2d> scale_size(int width, int height, int to, int from);

// Applies the limits that set_size stored: each only while both of its numbers are positive.
void apply_size_limits(MINMAXINFO& info, size_2d min_size, size_2d max_size);

int dpi_of_window(HWND window);
size_2d window_size_for_client(HWND window, int width, int height, int dpi);

// The user's app theme: dark when "AppsUseLightTheme" reads 0.
bool apps_use_dark_theme();

// How the title bar attribute is set: DwmSetWindowAttribute unless a test puts its own here.
using set_window_attribute_fn = HRESULT(WINAPI*)(HWND, DWORD, LPCVOID, DWORD);
extern set_window_attribute_fn title_bar_attribute_override;

// Dark or light whatever the app theme.
void set_title_bar_dark(HWND window, bool dark);
// After the user's app theme.
void apply_title_bar_theme(HWND window);

}  // namespace webhost::detail
