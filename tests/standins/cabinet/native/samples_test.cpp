// Streams made by Microsoft's cabinet.dll and by libwim, decoded by ours; the
// format's tables and initial codes against their published values.
#include "buffer_mode.h"
#include "lzms.h"
#include "lzms_internal.h"
#include "wim.h"

#include <gtest/gtest.h>

#include <string>

namespace lzms = vantrel::lzms;
namespace detail = vantrel::lzms::detail;

namespace {

std::vector<uint8_t> hex(const std::string& s) {
    std::vector<uint8_t> v;
    for (size_t i = 0; i + 1 < s.size(); i += 2) v.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return v;
}

std::vector<uint8_t> decode(const std::vector<uint8_t>& block, size_t size) {
    std::vector<uint8_t> out(size, 0xCC);
    EXPECT_TRUE(lzms::decompress_block(block.data(), block.size(), out.data(), out.size()));
    return out;
}

struct Known {
    const char* what;
    const char* microsoft;
    const char* wimlib;
    std::vector<uint8_t> plain;
};

std::vector<Known> known_blocks() {
    std::vector<uint8_t> ramp(1024), step(64), beef;
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < step.size(); ++i) step[i] = static_cast<uint8_t>(7 * i);
    const uint8_t pat[] = {0xde, 0xad, 0xbe, 0xef, 0xca, 0xfe, 0xba, 0xbe};
    for (int i = 0; i < 1024; ++i) beef.insert(beef.end(), pat, pat + 8);
    return {
        {"zeros", "ffaad0ff0000a03a4000", "ff6bd0ff0000307580b40000", std::vector<uint8_t>(4096, 0)},
        {"A x 16384", "ffaad0ff0000a0ba4141", "ff6bd0ff0000307583284141", std::vector<uint8_t>(16384, 0x41)},
        {"ramp x4", "426bd0ff0000a08ad95a1a020100", "3f65d0ff0000a41a0a020100", ramp},
        {"7i mod 256", "036bd066000000601506c60e0700", "3f65d0ff000000e1180e0700", step},
        {"deadbeef", "3813d0bf0000d074817ebebafecaefbeadde", "6a0ed08f000000c074817edebebafecaefbeadde", beef},
    };
}

const std::string& samples_text() {
    static const std::string t = [] {
        std::string s;
        for (int i = 0; s.size() < 20000; ++i)
            s += "item " + std::to_string(i * 37 % 1000) + " of the payload list, size " + std::to_string(i) + "\n";
        return s;
    }();
    return t;
}

} // namespace

TEST(KnownStreams, MicrosoftAndLibwimBlocksDecodeExactly) {
    for (const Known& k : known_blocks()) {
        SCOPED_TRACE(k.what);
        EXPECT_TRUE(decode(hex(k.microsoft), k.plain.size()) == k.plain) << "Microsoft block";
        EXPECT_TRUE(decode(hex(k.wimlib), k.plain.size()) == k.plain) << "libwim block";
    }
    const std::string hello = "hello";
    const auto h = decode(hex("000000000000006f6c6c6568"), 5);
    EXPECT_EQ(std::string(h.begin(), h.end()), hello);
    const auto abcd = decode(hex("00000000000064636261"), 4);
    EXPECT_EQ(std::string(abcd.begin(), abcd.end()), "abcd");
}

TEST(KnownStreams, MicrosoftBufferModeSamples) {
    const auto zeros = hex("0a51e5c01800da0500100000000000000010000000000000" "0a000000" "ffaad0ff0000a03a4000");
    std::vector<uint8_t> out(4096, 0xCC);
    uint64_t needed = 0;
    ASSERT_EQ(lzms::buffer::decompress(zeros.data(), zeros.size(), out.data(), out.size(), &needed),
              lzms::buffer::Status::ok);
    EXPECT_EQ(needed, 4096u);
    EXPECT_TRUE(out == std::vector<uint8_t>(4096, 0));

    // Incompressible input is stored: the record size equals the chunk size.
    auto random = hex("0a51e5c01800bb0500080000000000000008000000000000" "00080000");
    EXPECT_EQ(lzms::buffer::header_check(random.data()), 0xBB);
    std::vector<uint8_t> payload(2048);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 131 + (i >> 3));
    random.insert(random.end(), payload.begin(), payload.end());
    ASSERT_EQ(random.size(), 2076u);
    std::vector<uint8_t> back(2048);
    ASSERT_EQ(lzms::buffer::decompress(random.data(), random.size(), back.data(), back.size(), &needed),
              lzms::buffer::Status::ok);
    EXPECT_TRUE(back == payload);
}

TEST(KnownStreams, DamagedStreamsGetTheSameVerdictAsLibwim) {
    // Both decoders read zeros past either end and check the same things, so
    // on damaged input they must agree: both reject, or both give equal bytes.
    std::vector<std::pair<std::vector<uint8_t>, size_t>> streams;
    for (const Known& k : known_blocks()) streams.push_back({hex(k.microsoft), k.plain.size()});
    const auto text = lzms_test::wim_compress(std::vector<uint8_t>(samples_text().begin(), samples_text().end()));
    streams.push_back({text, samples_text().size()});
    size_t compared = 0, disagreed = 0;
    for (const auto& [good, size] : streams) {
        for (size_t bit = 0; bit < good.size() * 8; bit += (good.size() > 64 ? 7 : 1)) {
            auto bad = good;
            bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            std::vector<uint8_t> ours(size);
            const bool ok = lzms::decompress_block(bad.data(), bad.size(), ours.data(), size);
            const auto theirs = lzms_test::wim_decompress(bad, size);
            ++compared;
            if (ok != theirs.has_value() || (ok && ours != *theirs)) ++disagreed;
        }
        for (size_t n = 4; n < good.size(); n += 2) {
            const std::vector<uint8_t> cut(good.begin(), good.begin() + n);
            std::vector<uint8_t> ours(size);
            const bool ok = lzms::decompress_block(cut.data(), cut.size(), ours.data(), size);
            const auto theirs = lzms_test::wim_decompress(cut, size);
            ++compared;
            if (ok != theirs.has_value() || (ok && ours != *theirs)) ++disagreed;
        }
    }
    EXPECT_GT(compared, 1000u);
    EXPECT_EQ(disagreed, 0u);
}

TEST(FormatTables, SlotsAndAlphabetSizes) {
    // Spot values of the published tables; the cross-checks cover the rest.
    EXPECT_EQ(detail::kOffsetSlots.base[134], 24741u);
    EXPECT_EQ(detail::kOffsetSlots.base[687], 45343909u);
    EXPECT_EQ(detail::offset_slot(106685605u), 798u);
    EXPECT_EQ(detail::offset_slot(106685604u), 797u);
    EXPECT_EQ(detail::kLengthSlots.base[47], 235u);
    EXPECT_EQ(detail::length_slot(1073809578u), 53u);
    const std::pair<size_t, unsigned> alphabet[] = {{0, 0}, {1, 0}, {2, 1}, {3, 2}, {5, 4}, {100, 24},
                                                    {4096, 83}, {1u << 20, 317}, {64u << 20, 729},
                                                    {1u << 30, 799}};
    for (auto [size, slots] : alphabet) EXPECT_EQ(detail::num_offset_slots(size), slots) << size;
}

TEST(FormatTables, InitialCodesHaveTheirClosedForm) {
    // All frequencies 1, n symbols, m the largest power of two <= n: the low
    // 2(n-m) symbols get the longer codes, and codewords follow symbol order.
    for (unsigned n = 2; n <= 799; ++n) {
        std::vector<uint32_t> freq(n, 1);
        std::vector<uint8_t> lens(n);
        std::vector<uint16_t> codes(n);
        detail::build_code_lengths(freq.data(), n, lens.data());
        detail::build_codewords(lens.data(), n, codes.data());
        unsigned m = 1, bits = 0;
        while (m * 2 <= n) m *= 2, ++bits;
        for (unsigned s = 0; s < n; ++s) {
            const bool longer = m != n && s < 2 * (n - m);
            ASSERT_EQ(lens[s], bits + (longer ? 1 : 0)) << n << " " << s;
            ASSERT_EQ(codes[s], longer ? ((2 * m - n) << 1) + s : (m == n ? s : s - 2 * (n - m))) << n << " " << s;
        }
    }
}

TEST(FormatTables, CodeLengthsRespectTheLimitOnSkewedFrequencies) {
    // Fibonacci frequencies make the deepest possible tree; lengths must still be
    // at most 15 and form a complete prefix code.
    std::vector<uint32_t> freq(40);
    freq[0] = freq[1] = 1;
    for (size_t i = 2; i < freq.size(); ++i) freq[i] = std::min<uint32_t>(freq[i - 1] + freq[i - 2], 1u << 21);
    std::vector<uint8_t> lens(freq.size());
    detail::build_code_lengths(freq.data(), static_cast<unsigned>(freq.size()), lens.data());
    double kraft = 0;
    for (uint8_t l : lens) {
        EXPECT_GE(l, 1);
        EXPECT_LE(l, 15);
        kraft += 1.0 / double(1u << l);
    }
    EXPECT_DOUBLE_EQ(kraft, 1.0);
}
