// libFuzzer target: the block decoder on arbitrary bytes, the framing on
// well-sealed headers with arbitrary records, and encoder round trips.
#include "buffer_mode.h"
#include "lzms.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace lzms = vantrel::lzms;
namespace buffer = vantrel::lzms::buffer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const unsigned mode = data[0] % 3;
    // Output sizes mostly under 64 KiB, now and then up to 1 MiB.
    const size_t param = size_t(data[1] | data[2] << 8) << ((data[3] & 0x10) ? 4 : 0);
    const std::vector<uint8_t> rest(data + 4, data + size);

    if (mode == 0) {
        const std::unique_ptr<uint8_t[]> out(new uint8_t[param + 1]);
        lzms::decompress_block(rest.data(), rest.size(), out.get(), param);
    } else if (mode == 1) {
        // The check byte would stop almost everything, so seal a header here.
        buffer::Header h;
        h.total = param;
        h.chunk = param == 0 ? 0 : 1 + (rest.empty() ? 0 : rest[0] * 257u) % param;
        std::vector<uint8_t> s(buffer::kHeaderSize);
        buffer::write_header(s.data(), h);
        s.insert(s.end(), rest.begin(), rest.end());
        const std::unique_ptr<uint8_t[]> out(new uint8_t[param + 1]);
        uint64_t needed = 0;
        buffer::decompress(s.data(), s.size(), out.get(), param, &needed);
    } else {
        if (rest.empty()) return 0;
        lzms::EncoderOptions o;
        o.lazy = param & 1;
        o.delta = param & 2;
        o.optimal = param & 4;
        o.window = 16 + (param >> 3) % 128;
        o.max_chain = 1 + (param >> 2) % 64;
        const auto c = lzms::compress_block(rest.data(), rest.size(), o);
        std::vector<uint8_t> back(rest.size());
        if (!lzms::decompress_block(c.data(), c.size(), back.data(), back.size()) || back != rest) std::abort();
    }
    return 0;
}
