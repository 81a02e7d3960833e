// libFuzzer over the small JSON reader and quoting. The input arrives in a buffer of exactly
// its size, so AddressSanitizer flags any read past the given size.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "json.h"

using namespace webhost::detail;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void check_scan(const char* text, std::size_t size, const char* key, std::size_t key_length) {
    const char* value = reinterpret_cast<const char*>(1);
    std::size_t length = 12345;
    json_scan(text, size, key, key_length, &value, &length);
    if (value == nullptr) {
        check(length == 0);
        return;
    }
    check(value >= text && value < text + size);
    check(length <= static_cast<std::size_t>(text + size - value));
    if (length > 0) {
        const char first = value[0], last = value[length - 1];
        if (first == '"') check(length >= 2 && last == '"');
        // The scanner does not pair bracket kinds: any closing one ends a container.
        if (first == '[' || first == '{') check(last == ']' || last == '}');
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // First byte: key length (index mode when 0); second: index, signed.
    const std::size_t key_length = data[0] % 8;
    const int index = static_cast<std::int8_t>(data[1]);
    if (size < 2 + key_length) return 0;
    const char* key = reinterpret_cast<const char*>(data + 2);
    const char* text = key + key_length;
    const std::size_t text_size = size - 2 - key_length;

    check_scan(text, text_size, nullptr, static_cast<std::size_t>(index));
    if (key_length > 0) check_scan(text, text_size, key, key_length);

    const std::string whole(text, text_size);
    const std::string key_text(key, key_length);
    const std::string found = json_member(whole, key_text, index);
    check(found.size() <= whole.size());

    // Quoting then reading back gives the bytes again when they hold only what the reader
    // decodes (printable ASCII and the five named control escapes).
    std::string plain;
    for (char c : whole) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 0x20 && b < 0x7F) || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') plain.push_back(c);
    }
    const std::string quoted = json_quote(whole);
    check(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"');
    std::string wrapped = "[";
    wrapped += json_quote(plain);
    wrapped += "]";
    check(json_member(wrapped, "", 0) == plain);
    return 0;
}
