#include "lzms.h"
#include "lzms_internal.h"

#include <cstring>
#include <memory>

namespace vantrel::lzms {
namespace {

using namespace detail;

inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Range-coded stream, read forwards. Past the end it reads zeros.
class RangeDecoder {
public:
    RangeDecoder(const uint8_t* begin, const uint8_t* end) : next_(begin + 4), end_(end) {
        code_ = uint32_t{load_le16(begin)} << 16 | load_le16(begin + 2);
    }

    template <unsigned N>
    unsigned decode(Context<N>& ctx) {
        ProbEntry& e = ctx.current();
        if (range_ <= 0xFFFF) {
            range_ <<= 16;
            code_ = (code_ << 16) | next_word();
        }
        const uint32_t bound = (range_ >> 6) * e.probability();
        unsigned bit;
        if (code_ < bound) {
            range_ = bound;
            bit = 0;
        } else {
            range_ -= bound;
            code_ -= bound;
            bit = 1;
        }
        e.update(bit);
        ctx.advance(bit);
        return bit;
    }

private:
    uint16_t next_word() {
        if (end_ - next_ < 2) return 0;
        uint16_t w = load_le16(next_);
        next_ += 2;
        return w;
    }

    const uint8_t* next_;
    const uint8_t* end_;
    uint32_t range_ = 0xFFFFFFFF;
    uint32_t code_;
};

// Huffman and raw bits, read backwards from the end in 16-bit words, MSB first.
class BitReader {
public:
    BitReader(const uint8_t* begin, const uint8_t* end) : begin_(begin), next_(end) {}

    void refill() {
        while (count_ <= 48) {
            uint16_t w = 0;
            if (next_ - begin_ >= 2) {
                next_ -= 2;
                w = load_le16(next_);
            }
            bits_ |= uint64_t{w} << (48 - count_);
            count_ += 16;
        }
    }
    // Valid after refill() for n <= 32.
    uint32_t peek(unsigned n) const { return static_cast<uint32_t>(bits_ >> (64 - n)); }
    void consume(unsigned n) {
        bits_ <<= n;
        count_ -= n;
    }
    uint32_t read(unsigned n) {
        if (n == 0) return 0;
        refill();
        uint32_t v = peek(n);
        consume(n);
        return v;
    }

private:
    const uint8_t* begin_;
    const uint8_t* next_;
    uint64_t bits_ = 0;
    int count_ = 0;
};

// An adaptive Huffman code on the decoding side.
class HuffmanDecoder {
public:
    static constexpr unsigned kTableBits = 10;

    void reset(unsigned symbols, unsigned period) {
        freqs_.reset(symbols, period);
        if (symbols > 0) rebuild();
    }

    // Returns the symbol, or -1 if the bits match no codeword.
    int decode(BitReader& br) {
        if (freqs_.n == 0) return -1;
        br.refill();
        const uint16_t entry = table_[br.peek(kTableBits)];
        unsigned sym, len;
        if (entry != kSlow) {
            sym = entry >> 4;
            len = entry & 15;
        } else {
            const uint32_t v = br.peek(kMaxCodewordLength);
            len = 0;
            for (unsigned L = kTableBits + 1; L <= kMaxCodewordLength; ++L) {
                const uint32_t k = (v >> (kMaxCodewordLength - L)) - first_[L];
                if (k < count_[L]) {
                    len = L;
                    sym = sorted_[start_[L] + k];
                    break;
                }
            }
            if (len == 0) return -1;
        }
        br.consume(len);
        if (freqs_.count(sym)) {
            rebuild();
            freqs_.halve();
        }
        return static_cast<int>(sym);
    }

private:
    static constexpr uint16_t kSlow = 0xFFFF;

    void rebuild() {
        const unsigned n = freqs_.n;
        uint8_t lens[kMaxOffsetSlots];
        build_code_lengths(freqs_.freq, n, lens);
        for (unsigned L = 0; L <= kMaxCodewordLength; ++L) count_[L] = 0;
        for (unsigned i = 0; i < n; ++i) ++count_[lens[i]];
        unsigned code = 0, pos = 0;
        for (unsigned L = 1; L <= kMaxCodewordLength; ++L) {
            first_[L] = code;
            start_[L] = pos;
            code = (code + count_[L]) << 1;
            pos += count_[L];
        }
        unsigned fill[kMaxCodewordLength + 1];
        for (unsigned L = 1; L <= kMaxCodewordLength; ++L) fill[L] = start_[L];
        for (unsigned i = 0; i < n; ++i) sorted_[fill[lens[i]]++] = static_cast<uint16_t>(i);

        std::memset(table_, 0xFF, sizeof table_);
        for (unsigned L = 1; L <= kTableBits; ++L)
            for (unsigned k = 0; k < count_[L]; ++k) {
                const unsigned sym = sorted_[start_[L] + k];
                const unsigned shift = kTableBits - L;
                const unsigned lo = (first_[L] + k) << shift;
                const uint16_t entry = static_cast<uint16_t>(sym << 4 | L);
                for (unsigned j = 0; j < (1u << shift); ++j) table_[lo + j] = entry;
            }
    }

    Frequencies freqs_;
    uint16_t table_[1u << kTableBits];
    uint32_t first_[kMaxCodewordLength + 1];
    uint32_t count_[kMaxCodewordLength + 1];
    uint32_t start_[kMaxCodewordLength + 1];
    uint16_t sorted_[kMaxOffsetSlots];
};

struct DecoderState {
    Contexts ctx;
    HuffmanDecoder literal, offset, length, delta_offset, delta_power;
};

bool decode_value(HuffmanDecoder& code, BitReader& br, const SlotTable& slots, uint32_t& value) {
    const int slot = code.decode(br);
    if (slot < 0) return false;
    value = slots.base[slot] + br.read(slots.extra[slot]);
    return true;
}

bool decode_items(DecoderState& st, const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
    RangeDecoder rd(in, in + in_size);
    BitReader br(in, in + in_size);
    const unsigned offset_slots = num_offset_slots(out_size);
    st.literal.reset(kLiteralSymbols, kLiteralRebuild);
    st.offset.reset(offset_slots, kOffsetRebuild);
    st.length.reset(kNumLengthSlots, kLengthRebuild);
    st.delta_offset.reset(offset_slots, kDeltaOffsetRebuild);
    st.delta_power.reset(kDeltaPowers, kDeltaPowerRebuild);
    Contexts& c = st.ctx;
    LzQueue lzq;
    DeltaQueue dq;
    Item prev = Item::literal;

    size_t pos = 0;
    while (pos < out_size) {
        if (rd.decode(c.main) == 0) {
            const int sym = st.literal.decode(br);
            if (sym < 0) return false;
            out[pos++] = static_cast<uint8_t>(sym);
            prev = Item::literal;
            continue;
        }
        if (rd.decode(c.match) == 0) {
            uint32_t offset;
            if (rd.decode(c.lz) == 0) {
                if (!decode_value(st.offset, br, kOffsetSlots, offset)) return false;
                lzq.push(offset);
            } else {
                unsigned k = 0;
                if (rd.decode(c.lz_rep[0]) != 0) k = 1 + rd.decode(c.lz_rep[1]);
                offset = lzq.take(k + (prev == Item::lz ? 1 : 0));
            }
            uint32_t length;
            if (!decode_value(st.length, br, kLengthSlots, length)) return false;
            if (offset > pos || length > out_size - pos) return false;
            uint8_t* dst = out + pos;
            const uint8_t* src = dst - offset;
            if (offset >= length) {
                std::memcpy(dst, src, length);
            } else {
                for (uint32_t i = 0; i < length; ++i) dst[i] = src[i];
            }
            pos += length;
            prev = Item::lz;
        } else {
            DeltaPair pair;
            if (rd.decode(c.delta) == 0) {
                const int power = st.delta_power.decode(br);
                if (power < 0) return false;
                pair.power = static_cast<uint32_t>(power);
                if (!decode_value(st.delta_offset, br, kOffsetSlots, pair.raw)) return false;
                dq.push(pair);
            } else {
                unsigned k = 0;
                if (rd.decode(c.delta_rep[0]) != 0) k = 1 + rd.decode(c.delta_rep[1]);
                pair = dq.take(k + (prev == Item::delta ? 1 : 0));
            }
            uint32_t length;
            if (!decode_value(st.length, br, kLengthSlots, length)) return false;
            const uint64_t span = uint64_t{1} << pair.power;
            const uint64_t dist = uint64_t{pair.raw} << pair.power;
            if (dist > 0xFFFFFFFFu || dist + span > 0xFFFFFFFFu || dist + span > pos) return false;
            if (length > out_size - pos) return false;
            uint8_t* dst = out + pos;
            const uint8_t* a = dst - dist;
            const uint8_t* b = dst - span;
            const uint8_t* ab = dst - (dist + span);
            for (uint32_t i = 0; i < length; ++i)
                dst[i] = static_cast<uint8_t>(a[i] + b[i] - ab[i]);
            pos += length;
            prev = Item::delta;
        }
    }
    return true;
}

} // namespace

bool decompress_block(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
    if (in == nullptr || in_size < 4 || in_size % 2 != 0) return false;
    if (out_size > kMaxBlockSize || (out == nullptr && out_size != 0)) return false;
    auto st = std::make_unique<DecoderState>();
    if (!decode_items(*st, in, in_size, out, out_size)) return false;
    x86_filter_undo(out, out_size);
    return true;
}

} // namespace vantrel::lzms
