#include "payload_layout.h"

#include <cstring>

namespace {

std::uint64_t read_le(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

bool payload_name_char_ok(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == '-' || c == '.' || c == '_';
}

bool payload_name_ok(std::string_view name) {
    if (name.empty() || name.size() > payload_max_name) return false;
    for (unsigned char c : name)
        if (!payload_name_char_ok(c)) return false;
    return true;
}

bool parse_payload_layout(std::string_view bytes, std::vector<payload_entry>& entries) {
    entries.clear();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::uint64_t length = bytes.size();
    if (length < payload_header_size || std::memcmp(data, "VPAK", 4) != 0) return false;
    if (read_le(data + 4, 4) != payload_version) return false;
    const std::uint64_t count = read_le(data + 8, 4);
    if (count < 1 || count > payload_max_entries) return false;

    std::uint64_t p = payload_header_size;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (length < p + 2) return false;
        const std::uint64_t n = read_le(data + p, 2);
        if (n < 1 || n > payload_max_name) return false;
        const std::uint64_t t = p + 2 + n + 48;
        if (length < t) return false;
        payload_entry e;
        e.name.assign(reinterpret_cast<const char*>(data + p + 2), n);
        e.size = read_le(data + p + 2 + n, 8);
        e.packed_size = read_le(data + p + 10 + n, 8);
        std::memcpy(e.sha256.data(), data + p + 18 + n, 32);
        if (e.size > payload_max_size) return false;
        if (e.packed_size > length - t) return false;
        for (unsigned char c : e.name)
            if (!payload_name_char_ok(c)) return false;
        e.stream = data + t;
        entries.push_back(std::move(e));
        p = t + entries.back().packed_size;
    }
    return p == length;
}

const payload_entry* find_payload_entry(const std::vector<payload_entry>& entries, std::string_view name) {
    const payload_entry* found = nullptr;
    for (const auto& e : entries)
        if (e.name == name) found = &e;
    return found;
}
