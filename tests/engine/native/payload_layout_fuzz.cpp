// Arbitrary bytes through the container's layout walk: it must never read outside them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "payload_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A private copy, so that a read one past the end hits the sanitizer's redzone.
    std::vector<char> bytes(data, data + size);
    std::vector<payload_entry> entries;
    if (parse_payload_layout(std::string_view(bytes.data(), bytes.size()), entries)) {
        const char* end = bytes.data() + bytes.size();
        for (const auto& e : entries) {
            // Every stream lies inside the bytes given.
            if (reinterpret_cast<const char*>(e.stream) + e.packed_size > end) __builtin_trap();
            unsigned sum = 0;
            for (std::uint64_t i = 0; i < e.packed_size; ++i) sum += e.stream[i];
            asm volatile("" : : "r"(sum));
        }
        (void)find_payload_entry(entries, "SETUP.md");
    }
    return 0;
}
