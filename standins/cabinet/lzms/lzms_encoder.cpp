#include "lzms.h"
#include "lzms_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace vantrel::lzms {
namespace {

using namespace detail;

// Costs are in 1/16 bit.
constexpr unsigned kCostShift = 4;

struct BitCosts {
    uint16_t zero[64];
    uint16_t one[64];
    BitCosts() {
        for (unsigned p = 1; p < 64; ++p) {
            zero[p] = static_cast<uint16_t>(std::lround(-std::log2(p / 64.0) * (1 << kCostShift)));
            one[p] = static_cast<uint16_t>(std::lround(-std::log2((64 - p) / 64.0) * (1 << kCostShift)));
        }
        zero[0] = one[0] = 0;
    }
};
const BitCosts kBitCosts;

template <unsigned N>
inline unsigned bit_cost(const Context<N>& ctx, unsigned bit) {
    const uint32_t p = ctx.entries[ctx.state].probability();
    return bit ? kBitCosts.one[p] : kBitCosts.zero[p];
}

class RangeEncoder {
public:
    template <unsigned N>
    void encode(Context<N>& ctx, unsigned bit) {
        ProbEntry& e = ctx.current();
        if (range_ <= 0xFFFF) {
            range_ <<= 16;
            shift_low();
        }
        const uint32_t bound = (range_ >> 6) * e.probability();
        if (bit == 0) {
            range_ = bound;
        } else {
            low_ += bound;
            range_ -= bound;
        }
        e.update(bit);
        ctx.advance(bit);
    }

    void flush() {
        for (int i = 0; i < 4; ++i) shift_low();
    }
    std::vector<uint16_t>& words() { return out_; }

private:
    void shift_low() {
        if (static_cast<uint32_t>(low_) < 0xFFFF0000u || (low_ >> 32) != 0) {
            const uint16_t carry = static_cast<uint16_t>(low_ >> 32);
            emit(static_cast<uint16_t>(cache_ + carry));
            for (; pending_ > 1; --pending_) emit(static_cast<uint16_t>(0xFFFF + carry));
            cache_ = static_cast<uint16_t>(low_ >> 16);
            pending_ = 0;
        }
        ++pending_;
        low_ = (low_ & 0xFFFF) << 16;
    }
    void emit(uint16_t w) {
        // The first unit is a placeholder the decoder never sees.
        if (first_) first_ = false;
        else out_.push_back(w);
    }

    uint64_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFF;
    uint16_t cache_ = 0;
    uint64_t pending_ = 1;
    bool first_ = true;
    std::vector<uint16_t> out_;
};

// Words in the order they are completed; the first belongs at the very end.
class BitWriter {
public:
    void put(uint32_t value, unsigned n) {
        if (n == 0) return;
        bits_ = (bits_ << n) | value;
        count_ += n;
        while (count_ >= 16) {
            count_ -= 16;
            out_.push_back(static_cast<uint16_t>(bits_ >> count_));
        }
        bits_ &= (uint64_t{1} << count_) - 1;
    }
    void flush() {
        if (count_ > 0) out_.push_back(static_cast<uint16_t>(bits_ << (16 - count_)));
        count_ = 0;
        bits_ = 0;
    }
    std::vector<uint16_t>& words() { return out_; }

private:
    uint64_t bits_ = 0;
    unsigned count_ = 0;
    std::vector<uint16_t> out_;
};

class HuffmanEncoder {
public:
    void reset(unsigned symbols, unsigned period) {
        freqs_.reset(symbols, period);
        if (symbols > 0) rebuild();
    }
    void encode(BitWriter& bw, unsigned sym) {
        bw.put(codes_[sym], lens_[sym]);
        if (freqs_.count(sym)) {
            rebuild();
            freqs_.halve();
        }
    }
    unsigned cost(unsigned sym) const { return unsigned{lens_[sym]} << kCostShift; }

private:
    void rebuild() {
        build_code_lengths(freqs_.freq, freqs_.n, lens_);
        build_codewords(lens_, freqs_.n, codes_);
    }

    Frequencies freqs_;
    uint8_t lens_[kMaxOffsetSlots];
    uint16_t codes_[kMaxOffsetSlots];
};

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Length of the common prefix of a and b, at most limit.
inline uint32_t match_length(const uint8_t* a, const uint8_t* b, uint32_t limit) {
    uint32_t n = 0;
    while (n + 8 <= limit) {
        const uint64_t x = load64(a + n) ^ load64(b + n);
        if (x != 0) return n + static_cast<uint32_t>(__builtin_ctzll(x) >> 3);
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

struct Choice {
    enum Kind : uint8_t { none, lz, lz_rep, delta, delta_rep } kind = none;
    uint32_t length = 0;
    uint32_t offset = 0;      // lz
    DeltaPair pair{0, 0};     // delta
    unsigned rep = 0;         // index into the queue, already including the skip
    int64_t savings = 0;      // cost of literals it replaces minus its own cost
};

class BlockEncoder {
public:
    BlockEncoder(const uint8_t* data, size_t size, const EncoderOptions& opt)
        : data_(data), size_(static_cast<uint32_t>(size)), opt_(opt) {
        const unsigned slots = num_offset_slots(size);
        literal_.reset(kLiteralSymbols, kLiteralRebuild);
        offset_.reset(slots, kOffsetRebuild);
        length_.reset(kNumLengthSlots, kLengthRebuild);
        delta_offset_.reset(slots, kDeltaOffsetRebuild);
        delta_power_.reset(kDeltaPowers, kDeltaPowerRebuild);
        hash_bits_ = 12;
        while (hash_bits_ < 20 && (size_t{1} << hash_bits_) < size) ++hash_bits_;
        head_.assign(size_t{1} << hash_bits_, kNil);
        prev_.reset(new uint32_t[size]);
        if (opt_.delta)
            for (auto& t : delta_head_) t.assign(size_t{1} << kDeltaHashBits, kNil);
    }

    std::vector<uint8_t> run() {
        // Explicit offsets need an offset code with two or more symbols.
        if (size_ < 3) {
            for (uint32_t i = 0; i < size_; ++i) code_literal(data_[i]);
        } else {
            parse();
        }
        rc_.flush();
        bw_.flush();
        const auto& f = rc_.words();
        const auto& b = bw_.words();
        std::vector<uint8_t> out;
        out.reserve(2 * (f.size() + b.size()));
        for (uint16_t w : f) {
            out.push_back(static_cast<uint8_t>(w));
            out.push_back(static_cast<uint8_t>(w >> 8));
        }
        for (size_t i = b.size(); i-- > 0;) {
            out.push_back(static_cast<uint8_t>(b[i]));
            out.push_back(static_cast<uint8_t>(b[i] >> 8));
        }
        return out;
    }

private:
    static constexpr uint32_t kNil = 0xFFFFFFFFu;
    static constexpr unsigned kDeltaHashBits = 16;
    static constexpr unsigned kDeltaPowersSearched = 4;
    static constexpr uint32_t kMinExplicit = 3;

    // ---- coding, mirroring the decoder step for step ----
    void code_literal(uint8_t b) {
        rc_.encode(ctx_.main, 0);
        literal_.encode(bw_, b);
        prev_item_ = Item::literal;
    }
    void code_length(uint32_t len) {
        const unsigned slot = length_slot(len);
        length_.encode(bw_, slot);
        bw_.put(len - kLengthSlots.base[slot], kLengthSlots.extra[slot]);
    }
    void code_choice(const Choice& c) {
        rc_.encode(ctx_.main, 1);
        switch (c.kind) {
        case Choice::lz: {
            rc_.encode(ctx_.match, 0);
            rc_.encode(ctx_.lz, 0);
            const unsigned slot = offset_slot(c.offset);
            offset_.encode(bw_, slot);
            bw_.put(c.offset - kOffsetSlots.base[slot], kOffsetSlots.extra[slot]);
            lzq_.push(c.offset);
            code_length(c.length);
            prev_item_ = Item::lz;
            break;
        }
        case Choice::lz_rep: {
            rc_.encode(ctx_.match, 0);
            rc_.encode(ctx_.lz, 1);
            code_rep_index(ctx_.lz_rep, c.rep - (prev_item_ == Item::lz ? 1 : 0));
            lzq_.take(c.rep);
            code_length(c.length);
            prev_item_ = Item::lz;
            break;
        }
        case Choice::delta: {
            rc_.encode(ctx_.match, 1);
            rc_.encode(ctx_.delta, 0);
            delta_power_.encode(bw_, c.pair.power);
            const unsigned slot = offset_slot(c.pair.raw);
            delta_offset_.encode(bw_, slot);
            bw_.put(c.pair.raw - kOffsetSlots.base[slot], kOffsetSlots.extra[slot]);
            dq_.push(c.pair);
            code_length(c.length);
            prev_item_ = Item::delta;
            break;
        }
        case Choice::delta_rep: {
            rc_.encode(ctx_.match, 1);
            rc_.encode(ctx_.delta, 1);
            code_rep_index(ctx_.delta_rep, c.rep - (prev_item_ == Item::delta ? 1 : 0));
            dq_.take(c.rep);
            code_length(c.length);
            prev_item_ = Item::delta;
            break;
        }
        case Choice::none:
            break;
        }
    }
    void code_rep_index(Context<64> (&rep)[2], unsigned k) {
        rc_.encode(rep[0], k != 0);
        if (k != 0) rc_.encode(rep[1], k == 2);
    }

    // ---- cost estimates from the live adaptive state ----
    unsigned length_cost(uint32_t len) const {
        const unsigned slot = length_slot(len);
        return length_.cost(slot) + (unsigned{kLengthSlots.extra[slot]} << kCostShift);
    }
    unsigned rep_index_cost(const Context<64> (&rep)[2], unsigned k) const {
        unsigned c = bit_cost(rep[0], k != 0);
        if (k != 0) c += bit_cost(rep[1], k == 2);
        return c;
    }
    unsigned literal_cost(uint8_t b) const { return bit_cost(ctx_.main, 0) + literal_.cost(b); }

    // Literal cost of the next n bytes, extrapolated past the first few.
    int64_t literal_span_cost(uint32_t pos, uint32_t n) const {
        const uint32_t exact = std::min<uint32_t>(n, 16);
        int64_t c = 0;
        for (uint32_t i = 0; i < exact; ++i) c += literal_cost(data_[pos + i]);
        if (n > exact) c += (c / exact) * (n - exact);
        return c;
    }

    // ---- match finding ----
    uint32_t hash3(uint32_t pos) const {
        const uint32_t v = uint32_t{data_[pos]} | uint32_t{data_[pos + 1]} << 8 | uint32_t{data_[pos + 2]} << 16;
        return (v * 0x9E3779B1u) >> (32 - hash_bits_);
    }
    void insert(uint32_t pos) {
        if (pos + kMinExplicit > size_) return;
        const uint32_t h = hash3(pos);
        prev_[pos] = head_[h];
        head_[h] = pos;
        if (opt_.delta) insert_delta(pos);
    }
    void insert_through(uint32_t end) {
        for (; inserted_ < end; ++inserted_) insert(inserted_);
    }

    uint32_t delta_hash(uint32_t pos, unsigned power) const {
        const uint32_t span = 1u << power;
        uint32_t v = 0;
        for (unsigned i = 0; i < 4; ++i)
            v = v << 8 | static_cast<uint8_t>(data_[pos + i] - data_[pos + i - span]);
        return ((v + power) * 0x9E3779B1u) >> (32 - kDeltaHashBits);
    }
    void insert_delta(uint32_t pos) {
        if (pos + 4 > size_) return;
        for (unsigned p = 0; p < kDeltaPowersSearched; ++p) {
            if (pos < (1u << p)) break;
            delta_head_[p][delta_hash(pos, p)] = pos;
        }
    }
    uint32_t delta_length(uint32_t pos, uint32_t dist, uint32_t span, uint32_t limit) const {
        const uint8_t* x = data_ + pos;
        const uint8_t* xs = x - span;
        const uint8_t* y = x - dist;
        const uint8_t* ys = y - span;
        uint32_t n = 0;
        while (n < limit && static_cast<uint8_t>(x[n] - xs[n]) == static_cast<uint8_t>(y[n] - ys[n])) ++n;
        return n;
    }

    void consider(Choice& best, const Choice& c, uint32_t pos) const {
        if (c.length == 0) return;
        Choice x = c;
        x.savings = literal_span_cost(pos, c.length) - x.savings; // savings held the cost
        if (x.savings > best.savings) best = x;
    }

    Choice find(uint32_t pos, Item prev) const {
        Choice best;
        const uint32_t limit = size_ - pos;
        const uint8_t* cur = data_ + pos;
        const unsigned lz_skip = prev == Item::lz ? 1 : 0;
        const unsigned lz_head = bit_cost(ctx_.main, 1) + bit_cost(ctx_.match, 0);

        uint32_t rep_best = 0;
        for (unsigned k = 0; k < 3; ++k) {
            const uint32_t off = lzq_.q[k + lz_skip];
            if (off > pos) continue;
            const uint32_t len = match_length(cur, cur - off, limit);
            if (len < 1 || len <= rep_best) continue;
            rep_best = len;
            Choice c;
            c.kind = Choice::lz_rep;
            c.length = len;
            c.rep = k + lz_skip;
            c.savings = lz_head + bit_cost(ctx_.lz, 1) + rep_index_cost(ctx_.lz_rep, k) + length_cost(len);
            consider(best, c, pos);
        }
        if (rep_best >= opt_.nice_length) return best;

        if (limit >= kMinExplicit) {
            uint32_t best_len = kMinExplicit - 1;
            unsigned chain = opt_.max_chain;
            const unsigned explicit_head = lz_head + bit_cost(ctx_.lz, 0);
            for (uint32_t cand = head_[hash3(pos)]; cand != kNil && chain-- > 0; cand = prev_[cand]) {
                const uint8_t* m = data_ + cand;
                if (m[best_len] != cur[best_len]) continue;
                const uint32_t len = match_length(cur, m, limit);
                if (len <= best_len) continue;
                best_len = len;
                const uint32_t off = pos - cand;
                const unsigned slot = offset_slot(off);
                Choice c;
                c.kind = Choice::lz;
                c.length = len;
                c.offset = off;
                c.savings = explicit_head + offset_.cost(slot) + (unsigned{kOffsetSlots.extra[slot]} << kCostShift) +
                            length_cost(len);
                consider(best, c, pos);
                if (len >= opt_.nice_length || len == limit) break;
            }
        }

        if (opt_.delta && pos >= 2) find_delta(best, pos, prev);
        return best;
    }

    void find_delta(Choice& best, uint32_t pos, Item prev) const {
        const uint32_t limit = size_ - pos;
        const unsigned skip = prev == Item::delta ? 1 : 0;
        const unsigned head = bit_cost(ctx_.main, 1) + bit_cost(ctx_.match, 1);
        // Only worth it where it beats what plain matches found.
        const uint32_t floor_len = std::max<uint32_t>(best.length, 2);
        for (unsigned k = 0; k < 3; ++k) {
            const DeltaPair p = dq_.q[k + skip];
            const uint64_t span = uint64_t{1} << p.power;
            const uint64_t dist = uint64_t{p.raw} << p.power;
            if (dist + span > pos) continue;
            const uint32_t len = delta_length(pos, static_cast<uint32_t>(dist), static_cast<uint32_t>(span), limit);
            if (len <= floor_len) continue;
            Choice c;
            c.kind = Choice::delta_rep;
            c.length = len;
            c.pair = p;
            c.rep = k + skip;
            c.savings = head + bit_cost(ctx_.delta, 1) + rep_index_cost(ctx_.delta_rep, k) + length_cost(len);
            consider(best, c, pos);
        }
        if (limit < 4) return;
        for (unsigned power = 0; power < kDeltaPowersSearched; ++power) {
            const uint32_t span = 1u << power;
            if (pos < span) break;
            const uint32_t cand = delta_head_[power][delta_hash(pos, power)];
            if (cand == kNil || cand >= pos) continue;
            const uint32_t dist = pos - cand;
            if (dist % span != 0 || dist + span > pos) continue;
            const uint32_t len = delta_length(pos, dist, span, limit);
            if (len <= floor_len || len < 4) continue;
            const uint32_t raw = dist >> power;
            const unsigned slot = offset_slot(raw);
            Choice c;
            c.kind = Choice::delta;
            c.length = len;
            c.pair = {power, raw};
            c.savings = head + bit_cost(ctx_.delta, 0) + delta_power_.cost(power) + delta_offset_.cost(slot) +
                        (unsigned{kOffsetSlots.extra[slot]} << kCostShift) + length_cost(len);
            consider(best, c, pos);
        }
    }

    void parse() {
        uint32_t pos = 0;
        Choice pending;
        bool have_pending = false;
        while (pos < size_) {
            insert_through(pos);
            Choice c = have_pending ? pending : find(pos, prev_item_);
            have_pending = false;
            if (c.kind == Choice::none || c.savings <= 0) {
                code_literal(data_[pos]);
                ++pos;
                continue;
            }
            if (opt_.lazy && c.length < opt_.nice_length && pos + 1 < size_) {
                insert_through(pos + 1);
                Choice next = find(pos + 1, Item::literal);
                if (next.kind != Choice::none && next.savings > c.savings) {
                    code_literal(data_[pos]);
                    ++pos;
                    pending = next;
                    have_pending = true;
                    continue;
                }
            }
            code_choice(c);
            pos += c.length;
        }
    }

    const uint8_t* data_;
    uint32_t size_;
    EncoderOptions opt_;

    RangeEncoder rc_;
    BitWriter bw_;
    Contexts ctx_;
    HuffmanEncoder literal_, offset_, length_, delta_offset_, delta_power_;
    LzQueue lzq_;
    DeltaQueue dq_;
    Item prev_item_ = Item::literal;

    unsigned hash_bits_;
    std::vector<uint32_t> head_;
    std::unique_ptr<uint32_t[]> prev_;
    std::vector<uint32_t> delta_head_[kDeltaPowersSearched];
    uint32_t inserted_ = 0;
};

} // namespace

std::vector<uint8_t> compress_block(const uint8_t* in, size_t in_size, const EncoderOptions& options) {
    if (in_size == 0 || in_size > kMaxBlockSize) return {};
    std::vector<uint8_t> filtered(in, in + in_size);
    x86_filter_forward(filtered.data(), filtered.size());
    auto enc = std::make_unique<BlockEncoder>(filtered.data(), filtered.size(), options);
    return enc->run();
}

} // namespace vantrel::lzms
