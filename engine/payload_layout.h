#pragma once
// The container's layout walk over raw bytes: no Windows calls, so it builds natively too.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint32_t payload_version = 1;
inline constexpr std::uint32_t payload_max_entries = 64;
inline constexpr std::size_t payload_max_name = 200;
inline constexpr std::uint64_t payload_max_size = 536870912;  // 512 MiB
inline constexpr std::size_t payload_header_size = 12;

struct payload_entry {
    std::string name;
    std::uint64_t size = 0;
    std::uint64_t packed_size = 0;
    std::array<unsigned char, 32> sha256{};
    const unsigned char* stream = nullptr;  // inside the bytes given to the walk
};

// A letter or digit of the classic locale, a space, '-', '.' or '_'.
bool payload_name_char_ok(unsigned char c);
bool payload_name_ok(std::string_view name);

// Validates the header and every entry; fills `entries` in container order. False on any
// layout fault (entries then holds what was read so far and must not be used).
bool parse_payload_layout(std::string_view bytes, std::vector<payload_entry>& entries);

// The entry for `name` (exact, case-sensitive); the last one when it occurs more than once.
const payload_entry* find_payload_entry(const std::vector<payload_entry>& entries, std::string_view name);
