// The buffer-mode framing: layout, stored chunks, and rejection of damage.
#include "buffer_mode.h"
#include "corpus.h"
#include "wim.h"

#include <gtest/gtest.h>

#include <cstring>

namespace buffer = vantrel::lzms::buffer;
using namespace lzms_test;

namespace {

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

struct Record {
    size_t offset, size;
};

// Walks the records independently of the decoder under test.
std::vector<Record> records(const std::vector<uint8_t>& s) {
    std::vector<Record> r;
    for (size_t p = buffer::kHeaderSize; p + 4 <= s.size();) {
        const size_t n = le32(&s[p]);
        r.push_back({p + 4, n});
        p += 4 + n;
    }
    return r;
}

buffer::Status decode(const std::vector<uint8_t>& s, std::vector<uint8_t>& out) {
    uint64_t needed = 0;
    return buffer::decompress(s.data(), s.size(), out.data(), out.size(), &needed);
}

// Re-seals a header after a deliberate change, so only that change is tested.
void reseal(std::vector<uint8_t>& s) { s[6] = buffer::header_check(s.data()); }

} // namespace

TEST(BufferMode, ChunksAreIndependentBlocksLibwimDecodes) {
    std::vector<uint8_t> in = text_like(300000, 2);
    const auto noise = random_bytes(70000, 8);
    in.insert(in.end(), noise.begin(), noise.end());
    const uint64_t chunk = 65536;
    const auto s = buffer::compress(in.data(), in.size(), {}, chunk);

    buffer::Header h;
    ASSERT_TRUE(buffer::read_header(s.data(), s.size(), h));
    EXPECT_EQ(h.total, in.size());
    EXPECT_EQ(h.chunk, chunk);
    const auto recs = records(s);
    ASSERT_EQ(recs.size(), (in.size() + chunk - 1) / chunk);
    EXPECT_EQ(recs.back().offset + recs.back().size, s.size());
    size_t stored = 0;
    for (size_t i = 0; i < recs.size(); ++i) {
        SCOPED_TRACE("chunk " + std::to_string(i));
        const size_t begin = i * chunk, n = std::min<size_t>(chunk, in.size() - begin);
        const std::vector<uint8_t> want(in.begin() + begin, in.begin() + begin + n);
        if (recs[i].size == n) {
            ++stored;
            EXPECT_EQ(std::memcmp(&s[recs[i].offset], want.data(), n), 0);
            continue;
        }
        EXPECT_LT(recs[i].size, n);
        const auto got = wim_decompress(&s[recs[i].offset], recs[i].size, n);
        ASSERT_TRUE(got.has_value());
        EXPECT_TRUE(*got == want);
    }
    EXPECT_GE(stored, 1u) << "the random tail should have been stored";
    EXPECT_LT(stored, recs.size());

    std::vector<uint8_t> out(in.size());
    ASSERT_EQ(decode(s, out), buffer::Status::ok);
    EXPECT_TRUE(out == in);
}

TEST(BufferMode, DefaultChunkBoundary) {
    // One byte past the default chunk size: a full chunk and a stored 1-byte one.
    const size_t big = static_cast<size_t>(buffer::kChunkSize);
    std::vector<uint8_t> in;
    in.reserve(big + 1);
    const auto unit = text_like(1 << 20, 6);
    while (in.size() < big + 1) {
        const size_t n = std::min(unit.size(), big + 1 - in.size());
        in.insert(in.end(), unit.begin(), unit.begin() + n);
        if (in.size() < big) in[in.size() - 1] = static_cast<uint8_t>(in.size() >> 20);
    }
    const auto s = buffer::compress(in.data(), in.size());
    buffer::Header h;
    ASSERT_TRUE(buffer::read_header(s.data(), s.size(), h));
    EXPECT_EQ(h.chunk, buffer::kChunkSize);
    const auto recs = records(s);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].size, 1u);
    EXPECT_EQ(s.back(), in.back());
    const auto first = wim_decompress(&s[recs[0].offset], recs[0].size, big);
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(std::equal(first->begin(), first->end(), in.begin()));
    std::vector<uint8_t> out(in.size());
    ASSERT_EQ(decode(s, out), buffer::Status::ok);
    EXPECT_TRUE(out == in);
}

TEST(BufferMode, RejectsDamagedFraming) {
    const auto in = text_like(20000, 3);
    const auto good = buffer::compress(in.data(), in.size(), {}, 8192);
    std::vector<uint8_t> out(in.size());
    ASSERT_EQ(decode(good, out), buffer::Status::ok);

    for (size_t bit = 0; bit < buffer::kHeaderSize * 8; ++bit) {
        auto s = good;
        s[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_EQ(decode(s, out), buffer::Status::corrupt) << "header bit " << bit;
    }
    for (size_t n = 0; n < good.size(); ++n) {
        const std::vector<uint8_t> s(good.begin(), good.begin() + n);
        EXPECT_EQ(decode(s, out), buffer::Status::corrupt) << "truncated to " << n;
    }
    auto trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(decode(trailing, out), buffer::Status::corrupt);

    auto other_algorithm = good;
    other_algorithm[7] = 3;
    reseal(other_algorithm);
    EXPECT_EQ(decode(other_algorithm, out), buffer::Status::corrupt);

    auto no_chunk = good;
    std::memset(&no_chunk[16], 0, 8);
    reseal(no_chunk);
    EXPECT_EQ(decode(no_chunk, out), buffer::Status::corrupt);

    auto flagged = good;
    flagged[20] |= 1;
    reseal(flagged);
    EXPECT_EQ(decode(flagged, out), buffer::Status::corrupt);

    auto long_record = good;
    long_record[buffer::kHeaderSize + 3] = 0x7F;
    EXPECT_EQ(decode(long_record, out), buffer::Status::corrupt);

    // A total that promises another chunk finds no record for it.
    auto longer = good;
    longer[9] = static_cast<uint8_t>(longer[9] + 0x20);
    reseal(longer);
    std::vector<uint8_t> roomy(in.size() + 0x2000);
    EXPECT_EQ(decode(longer, roomy), buffer::Status::corrupt);
}
