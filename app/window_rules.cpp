#include "window_rules.h"

std::string window_title(const std::string& product_name, bool uninstall) {
    // U+2014 EM DASH between blanks.
    return product_name + (uninstall ? " \xE2\x80\x94 Uninstall" : " \xE2\x80\x94 Setup");
}

DWORD setup_window_style(DWORD style) {
    constexpr DWORD removed = WS_CAPTION | WS_THICKFRAME | WS_MAXIMIZEBOX;
    constexpr DWORD added = WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX;
    static_assert(removed == 0xC50000 && added == 0x800A0000);
    return (style & ~removed) | added;
}

POINT centred_origin(const RECT& work_area, int width, int height) {
    // Wide enough that no difference of two coordinates can overflow.
    const long long x = work_area.left + (static_cast<long long>(work_area.right) - work_area.left - width) / 2;
    const long long y = work_area.top + (static_cast<long long>(work_area.bottom) - work_area.top - height) / 2;
    return POINT{static_cast<LONG>(x), static_cast<LONG>(y)};
}

bool navigation_gate::admit(std::wstring_view uri) noexcept {
    // NavigateToString shows its document as a data address of this kind.
    constexpr std::wstring_view our_document = L"data:text/html";
    if (!armed_ || uri.substr(0, our_document.size()) != our_document) return false;
    armed_ = false;
    return true;
}
