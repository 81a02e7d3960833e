#pragma once
#include <string>

// Lenient conversions: invalid sequences become U+FFFD, as Windows converts without strict flags.
std::string wide_to_utf8(const std::wstring& text);
std::wstring utf8_to_wide(const std::string& text);
