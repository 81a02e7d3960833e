#include "text.h"

#include <windows.h>

#include <climits>

namespace webhost::detail {

std::wstring widen_strict(std::string_view text) {
    if (text.empty()) return {};
    // Truncating the length to int would convert only a prefix of the text.
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed < 1) return {};
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    const int written = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), needed);
    if (written < 1) return {};
    return wide;
}

}  // namespace webhost::detail
