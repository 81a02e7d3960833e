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
        head3_.assign(size_t{1} << hash_bits_, kNil);
        prev_.reset(new uint32_t[size]);
        if (opt_.delta)
            for (auto& t : delta_head_) t.assign(size_t{1} << delta_hash_bits(), kNil);
    }

    std::vector<uint8_t> run() {
        // Explicit offsets need an offset code with two or more symbols.
        if (size_ < 3) {
            for (uint32_t i = 0; i < size_; ++i) code_literal(data_[i]);
        } else if (opt_.optimal) {
            parse_optimal();
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
    static constexpr unsigned kMaxDeltaHashBits = 16;
    unsigned delta_hash_bits() const { return std::min(hash_bits_, kMaxDeltaHashBits); }
    static constexpr unsigned kDeltaPowersSearched = 4;
    static constexpr uint32_t kMinExplicit = 3;
    // Length-1 matches are legal, but no Windows decoder has been seen to get
    // one (Windows' and libwim's encoders never write them), so none are made.
    static constexpr uint32_t kMinMatch = 2;

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
    uint32_t hash4(uint32_t pos) const {
        uint32_t v;
        std::memcpy(&v, data_ + pos, 4);
        return (v * 0x9E3779B1u) >> (32 - hash_bits_);
    }
    // Length-3 matches only from the most recent occurrence; longer ones from
    // a chain over 4-byte hashes, which stays short on code and text.
    void insert(uint32_t pos) {
        if (pos + kMinExplicit > size_) return;
        head3_[hash3(pos)] = pos;
        if (pos + 4 <= size_) {
            const uint32_t h = hash4(pos);
            prev_[pos] = head_[h];
            head_[h] = pos;
        }
        if (opt_.delta) insert_delta(pos);
    }
    // Matches at pos with strictly increasing lengths (and so offsets), each at
    // most cap long; the search ends at the first one reaching stop.
    void collect_matches(uint32_t pos, uint32_t cap, uint32_t stop, std::vector<std::pair<uint32_t, uint32_t>>& found) const {
        found.clear();
        if (size_ - pos < kMinExplicit) return;
        const uint8_t* cur = data_ + pos;
        uint32_t best_len = kMinExplicit - 1;
        const uint32_t c3 = head3_[hash3(pos)];
        if (c3 != kNil) {
            const uint32_t len = match_length(cur, data_ + c3, cap);
            if (len > best_len) {
                best_len = len;
                found.push_back({len, pos - c3});
                if (len >= stop) return;
            }
        }
        if (size_ - pos < 4) return;
        unsigned chain = opt_.max_chain;
        for (uint32_t cand = head_[hash4(pos)]; cand != kNil && chain-- > 0; cand = prev_[cand]) {
            const uint8_t* m = data_ + cand;
            if (best_len < cap && m[best_len] != cur[best_len]) continue;
            const uint32_t len = match_length(cur, m, cap);
            if (len <= best_len) continue;
            best_len = len;
            found.push_back({len, pos - cand});
            if (len >= stop) break;
        }
    }
    void insert_through(uint32_t end) {
        for (; inserted_ < end; ++inserted_) insert(inserted_);
    }

    uint32_t delta_hash(uint32_t pos, unsigned power) const {
        const uint32_t span = 1u << power;
        uint32_t v = 0;
        for (unsigned i = 0; i < 4; ++i)
            v = v << 8 | static_cast<uint8_t>(data_[pos + i] - data_[pos + i - span]);
        return ((v + power) * 0x9E3779B1u) >> (32 - delta_hash_bits());
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
            if (len < kMinMatch || len <= rep_best) continue;
            rep_best = len;
            Choice c;
            c.kind = Choice::lz_rep;
            c.length = len;
            c.rep = k + lz_skip;
            c.savings = lz_head + bit_cost(ctx_.lz, 1) + rep_index_cost(ctx_.lz_rep, k) + length_cost(len);
            consider(best, c, pos);
        }
        if (rep_best >= opt_.nice_length) return best;

        collect_matches(pos, limit, std::min(limit, opt_.nice_length), found_);
        const unsigned explicit_head = lz_head + bit_cost(ctx_.lz, 0);
        for (auto [len, off] : found_) {
            const unsigned slot = offset_slot(off);
            Choice c;
            c.kind = Choice::lz;
            c.length = len;
            c.offset = off;
            c.savings = explicit_head + offset_.cost(slot) + (unsigned{kOffsetSlots.extra[slot]} << kCostShift) +
                        length_cost(len);
            consider(best, c, pos);
        }

        if (opt_.delta && pos >= 2) find_delta(best, pos, prev);
        return best;
    }

    void find_delta(Choice& best, uint32_t pos, Item prev) const {
        const uint32_t limit = size_ - pos;
        const unsigned skip = prev == Item::delta ? 1 : 0;
        const unsigned head = bit_cost(ctx_.main, 1) + bit_cost(ctx_.match, 1);
        // Only worth it where it beats what plain matches found.
        const uint32_t floor_len = std::max<uint32_t>(best.length, kMinMatch);
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

    // ---- windowed cost-based parse ----
    // Each node holds the cheapest way found to reach a position and, once it
    // is processed, the queue and context state that way leads to, so repeat
    // indices stay exact. Probabilities and code lengths are taken as they are
    // at the start of the window.
    struct ParseState {
        LzQueue lzq;
        DeltaQueue dq;
        Item prev = Item::literal;
        uint8_t main = 0, match = 0, lz = 0, delta = 0;
    };
    struct Node {
        uint32_t cost;
        uint32_t from;
        Choice item; // kind none: a literal
        ParseState st;
    };
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

    static void shift_in(uint8_t& state, unsigned bits, unsigned bit) {
        state = static_cast<uint8_t>(((state << 1) | bit) & ((1u << bits) - 1));
    }
    static void advance(ParseState& s, const Choice& c) {
        if (c.kind == Choice::none) {
            shift_in(s.main, 4, 0);
            s.prev = Item::literal;
            return;
        }
        shift_in(s.main, 4, 1);
        const bool is_delta = c.kind == Choice::delta || c.kind == Choice::delta_rep;
        shift_in(s.match, 5, is_delta);
        if (is_delta) {
            shift_in(s.delta, 6, c.kind == Choice::delta_rep);
            if (c.kind == Choice::delta) s.dq.push(c.pair);
            else s.dq.take(c.rep);
            s.prev = Item::delta;
        } else {
            shift_in(s.lz, 6, c.kind == Choice::lz_rep);
            if (c.kind == Choice::lz) s.lzq.push(c.offset);
            else s.lzq.take(c.rep);
            s.prev = Item::lz;
        }
    }
    template <unsigned N>
    static unsigned frozen_cost(const Context<N>& ctx, unsigned state, unsigned bit) {
        const uint32_t p = ctx.entries[state].probability();
        return bit ? kBitCosts.one[p] : kBitCosts.zero[p];
    }

    void parse_optimal() {
        const uint32_t nice = std::max(opt_.nice_length, kMinExplicit + 1);
        const uint32_t window = std::max(opt_.window, 16u);
        nodes_.resize(window + 1);
        len_cost_.resize(nice + 1);
        std::vector<std::pair<uint32_t, uint32_t>> found; // (length, offset), lengths increasing

        uint32_t pos = 0;
        while (pos < size_) {
            insert_through(pos);
            const Choice first = find(pos, prev_item_);
            if (first.kind != Choice::none && first.length >= nice) {
                code_choice(first);
                pos += first.length;
                continue;
            }
            if (size_ - pos < 8) {
                if (first.kind != Choice::none && first.savings > 0) {
                    code_choice(first);
                    pos += first.length;
                } else {
                    code_literal(data_[pos++]);
                }
                continue;
            }

            for (uint32_t l = 1; l <= nice; ++l) len_cost_[l] = length_cost(l);
            uint32_t limit = std::min(window, size_ - pos);
            nodes_[0].cost = 0;
            nodes_[0].st = {lzq_, dq_, prev_item_, static_cast<uint8_t>(ctx_.main.state),
                            static_cast<uint8_t>(ctx_.match.state), static_cast<uint8_t>(ctx_.lz.state),
                            static_cast<uint8_t>(ctx_.delta.state)};
            for (uint32_t j = 1; j <= limit; ++j) nodes_[j].cost = kInfinite;

            for (uint32_t i = 0; i < limit; ++i) {
                Node& n = nodes_[i];
                if (i > 0) {
                    n.st = nodes_[n.from].st;
                    advance(n.st, n.item);
                }
                const ParseState& st = n.st;
                const uint32_t p = pos + i;
                insert_through(p);
                const uint8_t* cur = data_ + p;
                const uint32_t room = limit - i;
                const uint32_t cap = std::min(size_ - p, nice);

                auto relax = [&](uint32_t len, uint32_t cost, const Choice& c) {
                    Node& t = nodes_[i + len];
                    if (cost < t.cost) {
                        t.cost = cost;
                        t.from = i;
                        t.item = c;
                        t.item.length = len;
                    }
                };
                relax(1, n.cost + frozen_cost(ctx_.main, st.main, 0) + literal_.cost(*cur), Choice{});
                if (p == 0) continue;

                const uint32_t match_head = n.cost + frozen_cost(ctx_.main, st.main, 1);
                const uint32_t lz_head = match_head + frozen_cost(ctx_.match, st.match, 0);
                uint32_t longest = 0;

                const unsigned lz_skip = st.prev == Item::lz ? 1 : 0;
                const uint32_t rep_head = lz_head + frozen_cost(ctx_.lz, st.lz, 1);
                for (unsigned k = 0; k < 3; ++k) {
                    const uint32_t off = st.lzq.q[k + lz_skip];
                    if (off > p) continue;
                    const uint32_t len = match_length(cur, cur - off, cap);
                    if (len < kMinMatch) continue;
                    longest = std::max(longest, len);
                    Choice c;
                    c.kind = Choice::lz_rep;
                    c.rep = k + lz_skip;
                    const uint32_t base = rep_head + rep_index_cost(ctx_.lz_rep, k);
                    for (uint32_t l = kMinMatch, e = std::min(len, room); l <= e; ++l) relax(l, base + len_cost_[l], c);
                }

                {
                    collect_matches(p, cap, cap, found);
                    const uint32_t explicit_head = lz_head + frozen_cost(ctx_.lz, st.lz, 0);
                    uint32_t from_len = kMinExplicit;
                    for (auto [len, off] : found) {
                        longest = std::max(longest, len);
                        const unsigned slot = offset_slot(off);
                        Choice c;
                        c.kind = Choice::lz;
                        c.offset = off;
                        const uint32_t base = explicit_head + offset_.cost(slot) +
                                              (unsigned{kOffsetSlots.extra[slot]} << kCostShift);
                        for (uint32_t l = from_len, e = std::min(len, room); l <= e; ++l) relax(l, base + len_cost_[l], c);
                        from_len = len + 1;
                    }
                }

                if (opt_.delta && p >= 2) {
                    const uint32_t delta_head = match_head + frozen_cost(ctx_.match, st.match, 1);
                    const unsigned skip = st.prev == Item::delta ? 1 : 0;
                    for (unsigned k = 0; k < 3; ++k) {
                        const DeltaPair dp = st.dq.q[k + skip];
                        const uint64_t span = uint64_t{1} << dp.power;
                        const uint64_t dist = uint64_t{dp.raw} << dp.power;
                        if (dist + span > p) continue;
                        const uint32_t len = delta_length(p, static_cast<uint32_t>(dist), static_cast<uint32_t>(span), cap);
                        if (len < kMinExplicit) continue;
                        longest = std::max(longest, len);
                        Choice c;
                        c.kind = Choice::delta_rep;
                        c.pair = dp;
                        c.rep = k + skip;
                        const uint32_t l = std::min(len, room);
                        relax(l, delta_head + frozen_cost(ctx_.delta, st.delta, 1) + rep_index_cost(ctx_.delta_rep, k) +
                                     len_cost_[l], c);
                    }
                    if (size_ - p >= 4)
                        for (unsigned power = 0; power < kDeltaPowersSearched; ++power) {
                            const uint32_t span = 1u << power;
                            if (p < span) break;
                            const uint32_t cand = delta_head_[power][delta_hash(p, power)];
                            if (cand == kNil || cand >= p) continue;
                            const uint32_t dist = p - cand;
                            if (dist % span != 0 || dist + span > p) continue;
                            const uint32_t len = delta_length(p, dist, span, cap);
                            if (len < 4) continue;
                            longest = std::max(longest, len);
                            const uint32_t raw = dist >> power;
                            const unsigned slot = offset_slot(raw);
                            Choice c;
                            c.kind = Choice::delta;
                            c.pair = {power, raw};
                            const uint32_t l = std::min(len, room);
                            relax(l, delta_head + frozen_cost(ctx_.delta, st.delta, 0) + delta_power_.cost(power) +
                                         delta_offset_.cost(slot) + (unsigned{kOffsetSlots.extra[slot]} << kCostShift) +
                                         len_cost_[l], c);
                        }
                }
                // A long match ahead: end the window here and take it whole next time.
                if (longest >= nice && i > 0) {
                    limit = i;
                    break;
                }
            }

            path_.clear();
            for (uint32_t j = limit; j > 0; j = nodes_[j].from) path_.push_back(nodes_[j].item);
            for (size_t k = path_.size(); k-- > 0;) {
                const Choice& c = path_[k];
                if (c.kind == Choice::none) code_literal(data_[pos]);
                else code_choice(c);
                pos += c.length;
            }
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
    std::vector<uint32_t> head3_;
    mutable std::vector<std::pair<uint32_t, uint32_t>> found_;
    std::unique_ptr<uint32_t[]> prev_;
    std::vector<uint32_t> delta_head_[kDeltaPowersSearched];
    uint32_t inserted_ = 0;
    std::vector<Node> nodes_;
    std::vector<uint32_t> len_cost_;
    std::vector<Choice> path_;
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
