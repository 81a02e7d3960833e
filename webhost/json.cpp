#include "json.h"

#include <cstdint>
#include <cstring>

namespace webhost::detail {

namespace {

enum class scan_mode { value, literal, string, escape, utf8 };
enum class scan_action { none, start, end, open, close };

bool is_separator(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':';
}

bool starts_literal(unsigned char c) {
    return c == 't' || c == 'f' || c == 'n' || c == '-' || (c >= '0' && c <= '9');
}

}  // namespace

void json_scan(const char* text, std::size_t size, const char* key, std::size_t key_length,
               const char** value_out, std::size_t* value_length_out) {
    *value_out = nullptr;
    *value_length_out = 0;

    std::int64_t counter = 1;
    std::size_t key_size = key_length;
    if (key == nullptr) {
        const auto position = static_cast<std::int32_t>(key_length);
        if (position < 0) return;
        counter = position;
        key_size = 0;
    }
    if (size == 0) return;

    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    scan_mode mode = scan_mode::value;
    std::int64_t depth = 0;  // signed: a stray closing bracket may take it below 0
    const unsigned char* candidate = nullptr;
    const unsigned char* value = nullptr;
    int utf8_left = 0;

    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = bytes[i];
        scan_action action = scan_action::none;
        std::size_t at = i;
        bool reread = false;

        switch (mode) {
        case scan_mode::value:
            if (is_separator(c)) {
            } else if (c == '"') {
                action = scan_action::start;
                mode = scan_mode::string;
            } else if (c == '{' || c == '[') {
                action = scan_action::open;
            } else if (c == '}' || c == ']') {
                action = scan_action::close;
            } else if (starts_literal(c)) {
                action = scan_action::start;
                mode = scan_mode::literal;
            } else {
                return;
            }
            break;
        case scan_mode::literal:
            if (is_separator(c) || c == ']' || c == '}') {
                action = scan_action::end;
                at = i - 1;  // a literal always has its first byte before this one
                mode = scan_mode::value;
                reread = true;
            } else if (c < 0x21 || c > 0x7E || c == '"' || c == '\\') {
                // The bridge never writes a quote or backslash in a literal: malformed.
                return;
            }
            break;
        case scan_mode::string:
            if (c < 0x20 || (c >= 0x7F && c <= 0xBF)) {
                return;
            } else if (c == '"') {
                action = scan_action::end;
                mode = scan_mode::value;
            } else if (c == '\\') {
                mode = scan_mode::escape;
            } else if (c >= 0xC0 && c <= 0xDF) {
                utf8_left = 1;
                mode = scan_mode::utf8;
            } else if (c >= 0xE0 && c <= 0xEF) {
                utf8_left = 2;
                mode = scan_mode::utf8;
            } else if (c >= 0xF0 && c <= 0xF6) {
                utf8_left = 3;
                mode = scan_mode::utf8;
            }
            break;
        case scan_mode::escape:
            if (c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' ||
                c == 't' || c == 'u') {
                mode = scan_mode::string;
            } else {
                return;
            }
            break;
        case scan_mode::utf8:
            if (c < 0x80 || c > 0xBF) return;
            if (--utf8_left == 0) mode = scan_mode::string;
            break;
        }

        if (action != scan_action::none) {
            if (action == scan_action::close) --depth;
            if (depth == 1) {
                const unsigned char* here = bytes + at;
                if (action == scan_action::start || action == scan_action::open) {
                    if (counter == 0) {
                        value = here;
                        *value_out = reinterpret_cast<const char*>(here);
                    } else if (key_size > 0 && counter == 1) {
                        candidate = here;
                    } else {
                        --counter;
                    }
                } else {
                    if (value != nullptr && counter == 0) {
                        *value_length_out = static_cast<std::size_t>(here + 1 - value);
                        return;
                    }
                    if (key_size > 0 && candidate != nullptr) {
                        // Content between the candidate's first byte and this one, exclusive;
                        // a one-byte literal has none.
                        const std::size_t content = here > candidate ? static_cast<std::size_t>(here - candidate - 1) : 0;
                        const bool same = here > candidate && content == key_size &&
                                          std::memcmp(candidate + 1, key, key_size) == 0;
                        counter = same ? 0 : 2;
                        candidate = nullptr;
                    }
                }
            }
            if (action == scan_action::open) ++depth;
        }

        if (reread) --i;  // the terminator is read again in value mode
    }
}

std::string json_member(const std::string& text, const std::string& key, int index) {
    const char* value = nullptr;
    std::size_t length = 0;
    if (key.empty()) {
        json_scan(text.data(), text.size(), nullptr, static_cast<std::size_t>(index), &value, &length);
    } else {
        json_scan(text.data(), text.size(), key.data(), key.size(), &value, &length);
    }
    if (value == nullptr) return {};
    if (*value != '"') return std::string(value, length);
    if (length <= 2) return {};

    const char* inner = value + 1;
    const std::size_t inner_length = length - 2;
    std::size_t count = 0;
    for (std::size_t i = 0; i < inner_length; ++i, ++count) {
        if (inner[i] != '\\') continue;
        if (i + 1 >= inner_length) return {};
        switch (inner[++i]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
        default: return {};  // \u among them: not decoded
        }
    }
    if (count == inner_length) return std::string(inner, inner_length);

    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < inner_length; ++i) {
        char c = inner[i];
        if (c == '\\') {
            switch (inner[++i]) {
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            default: c = inner[i]; break;
            }
        }
        out.push_back(c);
    }
    return out;
}

std::string json_quote(const std::string& text) {
    std::size_t size = 2;
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') {
            size += 2;
        } else if (c < 0x20) {
            size += 6;
        } else {
            size += 1;
        }
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(size);
    out.push_back('"');
    for (const unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 0x0F]);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace webhost::detail
