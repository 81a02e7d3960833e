#include "lzms.h"
#include "lzms_internal.h"

#include <algorithm>
#include <memory>

namespace vantrel::lzms::detail {

static_assert(kOffsetSlots.base[798] == 0x065BE4A5u && kOffsetSlots.base[799] == 0x465BE4A5u);
static_assert(kLengthSlots.base[53] == 67755u && kLengthSlots.extra[53] == 30);

unsigned offset_slot(uint32_t value) {
    const uint32_t* b = kOffsetSlots.base;
    return static_cast<unsigned>(std::upper_bound(b, b + kMaxOffsetSlots, value) - b) - 1;
}

unsigned length_slot(uint32_t value) {
    if (value <= 26) return value - 1;
    const uint32_t* b = kLengthSlots.base;
    return static_cast<unsigned>(std::upper_bound(b, b + kNumLengthSlots, value) - b) - 1;
}

unsigned num_offset_slots(size_t block_size) {
    if (block_size < 2) return 0;
    size_t v = block_size - 1;
    if (v >= kOffsetSlots.base[kMaxOffsetSlots - 1]) return kMaxOffsetSlots;
    return 1 + offset_slot(static_cast<uint32_t>(v));
}

void build_code_lengths(const uint32_t* freq, unsigned n, uint8_t* lens) {
    if (n <= 1 || n > kMaxOffsetSlots) {
        if (n == 1) lens[0] = 1;
        return;
    }
    // Leaf order: (frequency, symbol) ascending. Frequencies stay far below
    // 2^22, so one packed key sorts both.
    uint32_t leaf[kMaxOffsetSlots];
    for (unsigned i = 0; i < n; ++i) leaf[i] = (freq[i] << 10) | i;
    std::sort(leaf, leaf + n);

    uint32_t node_freq[kMaxOffsetSlots];
    uint16_t parent[kMaxOffsetSlots];
    unsigned next_leaf = 0, next_node = 0;
    auto take = [&](unsigned creating) -> uint32_t {
        if (next_leaf < n && (next_node == creating || (leaf[next_leaf] >> 10) <= node_freq[next_node]))
            return leaf[next_leaf++] >> 10;
        parent[next_node] = static_cast<uint16_t>(creating);
        return node_freq[next_node++];
    };
    for (unsigned k = 0; k + 1 < n; ++k) {
        uint32_t a = take(k);
        uint32_t b = take(k);
        node_freq[k] = a + b;
    }

    unsigned cnt[kMaxCodewordLength + 2] = {};
    uint8_t depth[kMaxOffsetSlots];
    const unsigned root = n - 2;
    depth[root] = 0;
    cnt[1] = 2;
    for (unsigned j = root; j-- > 0;) {
        unsigned d = depth[parent[j]] + 1u;
        depth[j] = static_cast<uint8_t>(std::min(d, 255u));
        unsigned L = d;
        if (d >= kMaxCodewordLength) {
            L = kMaxCodewordLength - 1;
            while (L > 1 && cnt[L] == 0) --L;
        }
        --cnt[L];
        cnt[L + 1] += 2;
    }

    unsigned pos = 0;
    for (unsigned L = kMaxCodewordLength; L >= 1; --L)
        for (unsigned c = 0; c < cnt[L]; ++c) lens[leaf[pos++] & 1023] = static_cast<uint8_t>(L);
}

void build_codewords(const uint8_t* lens, unsigned n, uint16_t* codes) {
    unsigned cnt[kMaxCodewordLength + 1] = {};
    for (unsigned i = 0; i < n; ++i) ++cnt[lens[i]];
    unsigned first[kMaxCodewordLength + 1] = {};
    for (unsigned L = 2; L <= kMaxCodewordLength; ++L) first[L] = (first[L - 1] + cnt[L - 1]) << 1;
    for (unsigned i = 0; i < n; ++i) codes[i] = static_cast<uint16_t>(first[lens[i]]++);
}

} // namespace vantrel::lzms::detail

namespace vantrel::lzms {

namespace {

inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline void store_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

template <bool Undo>
void x86_filter(uint8_t* data, size_t size) {
    if (size <= 17) return;
    // Last position where each 16-bit target was seen; a repeat within 64 KiB
    // means we are probably in code and translation switches on.
    auto seen = std::make_unique<int32_t[]>(65536);
    std::fill_n(seen.get(), 65536, int32_t{-65536});
    int64_t last_x86 = -1024;
    const size_t end = size - 16;
    size_t i = 1;
    while (i < end) {
        const uint8_t b = data[i];
        unsigned opcode_len;
        int64_t limit = 1023;
        if (b == 0xFF && data[i + 1] == 0x15) {
            opcode_len = 2;
        } else if (b == 0xF0 && data[i + 1] == 0x83 && data[i + 2] == 0x05) {
            opcode_len = 3;
        } else if ((b == 0x48 || b == 0x4C) && (data[i + 2] & 0x07) == 0x05 &&
                   (data[i + 1] == 0x8D ||
                    (data[i + 1] == 0x8B && b == 0x48 && (data[i + 2] & 0xF0) == 0))) {
            opcode_len = 3;
        } else if (b == 0xE8) {
            opcode_len = 1;
            limit = 511;
        } else if (b == 0xE9) {
            i += 5;
            continue;
        } else {
            ++i;
            continue;
        }
        const size_t d = i + opcode_len;
        uint32_t v = load_le32(data + d);
        const bool translate = static_cast<int64_t>(i) - last_x86 <= limit;
        const uint32_t pos = static_cast<uint32_t>(i);
        if constexpr (Undo) {
            if (translate) {
                v -= pos;
                store_le32(data + d, v);
            }
        } else if (translate) {
            store_le32(data + d, v + pos);
        }
        const unsigned target = (pos + (v & 0xFFFF)) & 0xFFFF;
        const int64_t e = static_cast<int64_t>(d + 3);
        if (e - seen[target] <= 65535) last_x86 = e;
        seen[target] = static_cast<int32_t>(e); // blocks stay below 2^31 bytes
        i = d + 4;
    }
}

} // namespace

void x86_filter_forward(uint8_t* data, size_t size) { x86_filter<false>(data, size); }
void x86_filter_undo(uint8_t* data, size_t size) { x86_filter<true>(data, size); }

} // namespace vantrel::lzms
