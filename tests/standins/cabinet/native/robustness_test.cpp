// Damaged, truncated and random streams against the decoder, built with
// AddressSanitizer and UndefinedBehaviorSanitizer: any stray access aborts.
#include "corpus.h"
#include "lzms.h"

#include <gtest/gtest.h>

#include <memory>

namespace lzms = vantrel::lzms;
using namespace lzms_test;

namespace {

// Decodes from an exactly sized copy into an exactly sized buffer, so the
// sanitizer sees any access past either end.
struct Outcome {
    bool ok;
    std::vector<uint8_t> out;
};
Outcome decode(const std::vector<uint8_t>& stream, size_t size) {
    const std::unique_ptr<uint8_t[]> in(new uint8_t[stream.size()]);
    std::copy(stream.begin(), stream.end(), in.get());
    const std::unique_ptr<uint8_t[]> out(new uint8_t[size]);
    const bool ok = lzms::decompress_block(in.get(), stream.size(), out.get(), size);
    return {ok, ok ? std::vector<uint8_t>(out.get(), out.get() + size) : std::vector<uint8_t>{}};
}

std::vector<Sample> inputs() {
    std::vector<Sample> v;
    v.push_back({"text", text_like(30000, 1)});
    v.push_back({"random", random_bytes(3000, 2)});
    v.push_back({"zeros", std::vector<uint8_t>(100000, 0)});
    std::vector<uint8_t> ramp;
    for (uint32_t i = 0; i < 20000; ++i)
        for (int k = 0; k < 4; ++k) ramp.push_back(static_cast<uint8_t>((i * 77) >> (8 * k)));
    v.push_back({"ramp32", ramp});
    auto exe = read_file("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernel32.dll");
    if (exe.size() > 200000) exe.resize(200000);
    if (!exe.empty()) v.push_back({"kernel32_head", exe});
    v.push_back({"small", text_like(40, 3)});
    return v;
}

} // namespace

TEST(Robustness, TruncatedAndBitFlippedStreams) {
    Rng rng{12345};
    size_t tried = 0, rejected = 0;
    for (const Sample& s : inputs()) {
        SCOPED_TRACE(s.name);
        const auto stream = lzms::compress_block(s.data.data(), s.data.size());
        const size_t u = s.data.size();
        const Outcome good = decode(stream, u);
        ASSERT_TRUE(good.ok);
        ASSERT_TRUE(good.out == s.data);

        const size_t step = std::max<size_t>(2, (stream.size() / 300) & ~size_t{1});
        for (size_t n = 0; n < stream.size(); n += step) {
            const std::vector<uint8_t> cut(stream.begin(), stream.begin() + n);
            const Outcome r = decode(cut, u);
            ++tried;
            rejected += !r.ok;
            if (n < 4 || n % 2) EXPECT_FALSE(r.ok) << "accepted a stream of " << n << " bytes";
        }
        const size_t flips = std::min<size_t>(stream.size() * 8, 1500);
        for (size_t i = 0; i < flips; ++i) {
            auto bad = stream;
            const size_t bit = flips == stream.size() * 8 ? i : rng.next() % (stream.size() * 8);
            bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            const Outcome r = decode(bad, u);
            ++tried;
            rejected += !r.ok;
            // A damaged stream that happens to decode must decode the same way twice.
            if (r.ok) EXPECT_TRUE(decode(bad, u).out == r.out);
        }
        for (size_t wrong : {u - 1, u + 1, u * 2 + 7}) decode(stream, wrong);
    }
    EXPECT_FALSE(decode({1, 2, 3, 4, 5}, 10).ok) << "odd size";
    EXPECT_FALSE(lzms::decompress_block(nullptr, 0, nullptr, 0));
    // Most damage must be noticed; the format has no checksum, so not all of it.
    EXPECT_GT(rejected * 4, tried) << rejected << " of " << tried;
}
