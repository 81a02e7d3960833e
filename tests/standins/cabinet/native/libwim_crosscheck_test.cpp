// Our codec against libwim, both directions, byte-exact.
#include "corpus.h"
#include "lzms.h"
#include "wim.h"

#include <gtest/gtest.h>

namespace lzms = vantrel::lzms;
using namespace lzms_test;

namespace {

std::optional<std::vector<uint8_t>> ours_decompress(const std::vector<uint8_t>& in, size_t size) {
    std::vector<uint8_t> out(size);
    if (!lzms::decompress_block(in.data(), in.size(), out.data(), out.size())) return std::nullopt;
    return out;
}

struct Totals {
    size_t ours = 0, wim = 0;
};

void check_both_ways(const Sample& s, const std::vector<unsigned>& wim_levels, Totals* totals = nullptr) {
    SCOPED_TRACE(s.name + " (" + std::to_string(s.data.size()) + " bytes)");
    if (s.data.empty()) {
        // A block holds at least one byte; empty input is the framing's business.
        EXPECT_TRUE(lzms::compress_block(s.data.data(), 0).empty());
        return;
    }
    const std::vector<uint8_t> ours = lzms::compress_block(s.data.data(), s.data.size());
    ASSERT_GE(ours.size(), 4u);
    EXPECT_EQ(ours.size() % 2, 0u);
    if (s.data.size() < 3) {
        // libwim's decoder faults on offset alphabets of 0 or 1 symbols; such
        // blocks never leave the framing unstored anyway.
        const auto self = ours_decompress(ours, s.data.size());
        ASSERT_TRUE(self.has_value());
        EXPECT_TRUE(*self == s.data);
    } else {
        const auto by_wim = wim_decompress(ours, s.data.size());
        ASSERT_TRUE(by_wim.has_value()) << "libwim rejected our stream";
        EXPECT_TRUE(*by_wim == s.data) << "libwim decoded our stream to different bytes";
    }

    for (unsigned level : wim_levels) {
        SCOPED_TRACE("libwim level " + std::to_string(level));
        const std::vector<uint8_t> theirs = wim_compress(s.data, level);
        if (theirs.empty()) {
            EXPECT_LT(s.data.size(), 4u) << "libwim declined a block it should compress";
            continue;
        }
        const auto by_us = ours_decompress(theirs, s.data.size());
        ASSERT_TRUE(by_us.has_value()) << "we rejected libwim's stream";
        EXPECT_TRUE(*by_us == s.data) << "we decoded libwim's stream to different bytes";
        if (totals && level == 0) {
            totals->ours += ours.size();
            totals->wim += theirs.size();
        }
    }
}

} // namespace

TEST(LibwimCrossCheck, SyntheticCorpusBothWays) {
    for (const Sample& s : synthetic_corpus()) check_both_ways(s, {0, 1, 100});
}

TEST(LibwimCrossCheck, ExecutablesBothWays) {
    const auto corpus = pe_corpus(24u << 20);
    ASSERT_GE(corpus.size(), 5u) << "no Windows executables found (package wine64)";
    Totals t;
    for (const Sample& s : corpus) check_both_ways(s, {0}, &t);
    // Genuine compression, and not far from libwim's; the exact goal is the benchmark's.
    EXPECT_LT(t.ours, t.wim + t.wim / 4);
    std::printf("executables: %zu files, ours %zu bytes, libwim %zu bytes (%+.1f%%)\n", corpus.size(), t.ours,
                t.wim, 100.0 * (double(t.ours) - double(t.wim)) / double(t.wim));
}

TEST(LibwimCrossCheck, EncoderOptionsStayCompatible) {
    // Every parse our encoder can make must stay decodable, not just the default one.
    const auto text = text_like(150000, 4);
    const auto code = read_file("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernel32.dll");
    for (const auto* data : {&text, &code}) {
        if (data->empty()) continue;
        for (int variant = 0; variant < 6; ++variant) {
            lzms::EncoderOptions o;
            o.optimal = variant < 3;
            o.lazy = variant % 2 == 0;
            o.delta = variant != 1 && variant != 4;
            o.max_chain = variant % 3 == 2 ? 1 : 64;
            o.nice_length = variant % 3 == 2 ? 8 : 200;
            o.window = variant == 0 ? 64 : 2048;
            const auto c = lzms::compress_block(data->data(), data->size(), o);
            const auto back = wim_decompress(c, data->size());
            ASSERT_TRUE(back.has_value()) << "variant " << variant;
            EXPECT_TRUE(*back == *data) << "variant " << variant;
        }
    }
}

TEST(LibwimCrossCheck, DeltaMatchesPayOnNumericData) {
    std::vector<uint8_t> ramp;
    for (uint32_t i = 0; i < 100000; ++i) {
        const uint32_t v = i * 12345u;
        for (int k = 0; k < 4; ++k) ramp.push_back(static_cast<uint8_t>(v >> (8 * k)));
    }
    lzms::EncoderOptions plain;
    plain.delta = false;
    const auto with = lzms::compress_block(ramp.data(), ramp.size());
    const auto without = lzms::compress_block(ramp.data(), ramp.size(), plain);
    EXPECT_LT(with.size() * 2, without.size());
    const auto back = wim_decompress(with, ramp.size());
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(*back == ramp);
}
