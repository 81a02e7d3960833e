#pragma once
// Strict UTF-8 to UTF-16 conversion for the Windows and WebView2 calls.

#include <string>
#include <string_view>

namespace webhost::detail {

// Empty for empty text, for text that is not valid UTF-8, and for text too long for the
// system's signed 32-bit count. Zero bytes inside the text are kept.
std::wstring widen_strict(std::string_view text);

}  // namespace webhost::detail
