#pragma once
// The web UI host's own small JSON reader and string quoting. They work on the raw UTF-8
// bytes, build no document and need no platform headers.

#include <cstddef>
#include <string>

namespace webhost::detail {

// Finds the value of `key` (key mode, key not null) or the item at the position held in
// `key_length` as a signed 32-bit number (index mode, key null) directly inside the outermost
// container of `text`. On return `*value_out` is null when the value was never reached, and
// non-null with `*value_length_out` 0 when the text failed or ended after the value had begun.
void json_scan(const char* text, std::size_t size, const char* key, std::size_t key_length,
               const char** value_out, std::size_t* value_length_out);

// The value's text; a string value unquoted and unescaped. Empty when absent or unreadable.
// An empty key selects index mode with `index`.
std::string json_member(const std::string& text, const std::string& key, int index);

// A double-quoted literal valid both as JSON and as a script string.
std::string json_quote(const std::string& text);

}  // namespace webhost::detail
