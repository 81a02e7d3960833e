#include "buffer_mode.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vantrel::lzms::buffer {
namespace {

constexpr uint8_t kMagic[6] = {0x0A, 0x51, 0xE5, 0xC0, 0x18, 0x00};

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr auto kCrcTable = make_crc_table();

uint64_t load_le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
void store_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t load_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint8_t header_check(const uint8_t* header) {
    uint32_t crc = crc32(header, 6);
    crc = crc32(header + 7, kHeaderSize - 7, crc);
    return static_cast<uint8_t>(crc);
}

void write_header(uint8_t* out, const Header& h) {
    std::memcpy(out, kMagic, sizeof kMagic);
    out[7] = kAlgorithmLzms;
    store_le64(out + 8, h.total);
    store_le64(out + 16, h.chunk);
    out[6] = header_check(out);
}

bool read_header(const uint8_t* in, size_t size, Header& h) {
    if (in == nullptr || size < kHeaderSize) return false;
    if (std::memcmp(in, kMagic, sizeof kMagic) != 0 || in[7] != kAlgorithmLzms) return false;
    if (in[6] != header_check(in)) return false;
    h.total = load_le64(in + 8);
    h.chunk = load_le64(in + 16);
    if (h.total == 0) return h.chunk == 0;
    return h.chunk >= 1 && h.chunk <= kMaxChunkSize;
}

std::vector<uint8_t> compress(const uint8_t* in, size_t size, const EncoderOptions& options,
                              uint64_t chunk_size) {
    Header h;
    h.total = size;
    h.chunk = std::min<uint64_t>(size, std::clamp<uint64_t>(chunk_size, 1, kMaxChunkSize));
    std::vector<uint8_t> out(kHeaderSize);
    write_header(out.data(), h);
    for (size_t pos = 0; pos < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(h.chunk, size - pos));
        std::vector<uint8_t> block = compress_block(in + pos, n, options);
        const bool stored = block.size() >= n; // equal size would read back as stored
        const uint8_t* payload = stored ? in + pos : block.data();
        const size_t payload_size = stored ? n : block.size();
        const size_t at = out.size();
        out.resize(at + 4 + payload_size);
        store_le32(out.data() + at, static_cast<uint32_t>(payload_size));
        std::memcpy(out.data() + at + 4, payload, payload_size);
        pos += n;
    }
    return out;
}

Status decompress(const uint8_t* in, size_t size, uint8_t* out, size_t capacity, uint64_t* needed) {
    Header h;
    if (!read_header(in, size, h)) return Status::corrupt;
    if (needed) *needed = h.total;
    if (h.total > capacity || (out == nullptr && h.total != 0)) return Status::too_small;
    size_t p = kHeaderSize;
    for (uint64_t done = 0; done < h.total;) {
        if (size - p < 4) return Status::corrupt;
        const uint32_t record = load_le32(in + p);
        p += 4;
        if (size - p < record) return Status::corrupt;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(h.chunk, h.total - done));
        if (record == n) {
            std::memcpy(out + done, in + p, n);
        } else if (!decompress_block(in + p, record, out + done, n)) {
            return Status::corrupt;
        }
        p += record;
        done += n;
    }
    return p == size ? Status::ok : Status::corrupt;
}

} // namespace vantrel::lzms::buffer
