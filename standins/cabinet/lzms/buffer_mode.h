// The Compression API's buffer-mode framing around LZMS blocks: a 24-byte
// header, then per chunk a 32-bit compressed size and the chunk's bytes.
#pragma once

#include "lzms.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel::lzms::buffer {

inline constexpr size_t kHeaderSize = 24;
inline constexpr uint8_t kAlgorithmLzms = 5;

// Points where Windows' behaviour is inferred rather than observed; see the
// README. They are all decided here.
//  - The compressor cuts its input into chunks of min(total, kChunkSize).
inline constexpr uint64_t kChunkSize = uint64_t{64} << 20;
//  - The chunk-size field is read as one 64-bit value; anything outside
//    1 .. kMaxChunkSize (a set "flags" bit in the upper half included) is
//    rejected. Empty input is a bare header whose chunk size is 0.
inline constexpr uint64_t kMaxChunkSize = kMaxBlockSize;

// Standard reflected CRC-32 (zlib's), continuable.
uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// The check byte stored at offset 6: CRC-32 over bytes 0..5 and 7..23.
uint8_t header_check(const uint8_t* header);

struct Header {
    uint64_t total = 0;
    uint64_t chunk = 0;
};

void write_header(uint8_t* out, const Header& h);
// Validates magic, size, check byte, algorithm and the chunk-size rules above.
bool read_header(const uint8_t* in, size_t size, Header& h);

// Frames the whole input; chunks that do not shrink are stored verbatim.
std::vector<uint8_t> compress(const uint8_t* in, size_t size, const EncoderOptions& options = {},
                              uint64_t chunk_size = kChunkSize);

enum class Status { ok, corrupt, too_small };

// On ok, writes exactly *needed bytes. too_small means the header is valid
// and *needed is the size the caller must provide.
Status decompress(const uint8_t* in, size_t size, uint8_t* out, size_t capacity, uint64_t* needed);

} // namespace vantrel::lzms::buffer
