// Pieces shared by the LZMS decoder and encoder. Both sides must drive these
// identically, so they live in one place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vantrel::lzms::detail {

inline constexpr unsigned kNumLengthSlots = 54;
inline constexpr unsigned kMaxOffsetSlots = 799;
inline constexpr unsigned kLiteralSymbols = 256;
inline constexpr unsigned kDeltaPowers = 8;
inline constexpr unsigned kMaxCodewordLength = 15;

inline constexpr unsigned kLiteralRebuild = 1024;
inline constexpr unsigned kOffsetRebuild = 1024;
inline constexpr unsigned kLengthRebuild = 512;
inline constexpr unsigned kDeltaOffsetRebuild = 1024;
inline constexpr unsigned kDeltaPowerRebuild = 512;

inline constexpr unsigned kQueueLength = 4;

struct SlotTable {
    uint32_t base[kMaxOffsetSlots + 1];
    uint8_t extra[kMaxOffsetSlots];
};

// Tables are described by runs: counts[k] consecutive slots carry bits[k] extra bits.
template <size_t Slots, size_t Runs>
constexpr SlotTable make_slots(const std::array<uint8_t, Runs>& bits,
                               const std::array<uint16_t, Runs>& counts) {
    SlotTable t{};
    size_t s = 0;
    t.base[0] = 1;
    for (size_t r = 0; r < Runs; ++r)
        for (unsigned c = 0; c < counts[r]; ++c, ++s) {
            t.extra[s] = bits[r];
            t.base[s + 1] = t.base[s] + (uint32_t{1} << bits[r]);
        }
    return s == Slots ? t : SlotTable{}; // a wrong run table yields zeros, caught by tests
}

inline constexpr SlotTable kLengthSlots = make_slots<kNumLengthSlots, 13>(
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 30},
    {26, 4, 6, 4, 5, 2, 1, 1, 1, 1, 1, 1, 1});

inline constexpr SlotTable kOffsetSlots = make_slots<kMaxOffsetSlots, 22>(
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 30},
    {8, 0, 9, 7, 10, 15, 15, 20, 20, 30, 33, 40, 42, 45, 60, 73, 80, 85, 95, 105, 6, 1});

// Largest slot whose base is <= value (value >= 1).
unsigned offset_slot(uint32_t value);
unsigned length_slot(uint32_t value);

// Offset alphabet size for a block of this uncompressed size.
unsigned num_offset_slots(size_t block_size);

// One adaptive probability: zeros among the last 64 bits coded with it.
struct ProbEntry {
    uint32_t zeros = 48;
    uint64_t history = 0x0000000055555555ull;

    uint32_t probability() const { return zeros == 0 ? 1 : zeros == 64 ? 63 : zeros; }
    void update(unsigned bit) {
        zeros = zeros + static_cast<uint32_t>(history >> 63) - bit;
        history = (history << 1) | bit;
    }
};

// A binary decision context: the state is the last few bits it coded.
template <unsigned Entries>
struct Context {
    ProbEntry entries[Entries];
    unsigned state = 0;

    ProbEntry& current() { return entries[state]; }
    void advance(unsigned bit) { state = ((state << 1) | bit) & (Entries - 1); }
};

struct Contexts {
    Context<16> main;
    Context<32> match;
    Context<64> lz;
    Context<64> lz_rep[2];
    Context<64> delta;
    Context<64> delta_rep[2];
};

// Codeword lengths built from frequencies (all >= 1), exactly as both sides
// of the format require. n >= 1.
void build_code_lengths(const uint32_t* freq, unsigned n, uint8_t* lens);

// Canonical codewords for the given lengths.
void build_codewords(const uint8_t* lens, unsigned n, uint16_t* codes);

// Frequency bookkeeping shared by encoder and decoder: returns true when the
// code must be rebuilt (the caller rebuilds, then calls halve()).
struct Frequencies {
    uint32_t freq[kMaxOffsetSlots];
    unsigned n = 0;
    unsigned period = 0;
    unsigned countdown = 0;

    void reset(unsigned symbols, unsigned rebuild_period) {
        n = symbols;
        period = rebuild_period;
        countdown = rebuild_period;
        for (unsigned i = 0; i < n; ++i) freq[i] = 1;
    }
    bool count(unsigned sym) {
        ++freq[sym];
        return --countdown == 0;
    }
    void halve() {
        for (unsigned i = 0; i < n; ++i) freq[i] = (freq[i] >> 1) + 1;
        countdown = period;
    }
};

enum class Item : uint8_t { literal, lz, delta };

struct LzQueue {
    uint32_t q[kQueueLength] = {1, 2, 3, 4};
    void push(uint32_t v) {
        for (unsigned i = kQueueLength - 1; i > 0; --i) q[i] = q[i - 1];
        q[0] = v;
    }
    uint32_t take(unsigned j) {
        uint32_t v = q[j];
        for (; j > 0; --j) q[j] = q[j - 1];
        q[0] = v;
        return v;
    }
};

struct DeltaPair {
    uint32_t power;
    uint32_t raw;
    bool operator==(const DeltaPair&) const = default;
};

struct DeltaQueue {
    DeltaPair q[kQueueLength] = {{0, 1}, {0, 2}, {0, 3}, {0, 4}};
    void push(DeltaPair v) {
        for (unsigned i = kQueueLength - 1; i > 0; --i) q[i] = q[i - 1];
        q[0] = v;
    }
    DeltaPair take(unsigned j) {
        DeltaPair v = q[j];
        for (; j > 0; --j) q[j] = q[j - 1];
        q[0] = v;
        return v;
    }
};

} // namespace vantrel::lzms::detail
