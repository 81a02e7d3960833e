// Portable LZMS codec: raw blocks plus the x86 translation filter.
// No platform calls; used by the cabinet.dll stand-in and by native tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel::lzms {

// The independent decoder we cross-check against refuses bigger blocks.
inline constexpr size_t kMaxBlockSize = size_t{1} << 30;

struct EncoderOptions {
    unsigned max_chain = 24;   // hash-chain candidates examined per position
    unsigned nice_length = 96; // stop searching once a match this long is found
    bool lazy = true;          // look one position ahead before committing
    bool delta = true;         // try delta matches
    bool optimal = true;       // cost-based parse over windows (else greedy/lazy)
    unsigned window = 2048;    // positions per optimal-parse window
};

// Decodes one raw block whose exact sizes are known. Returns false for any
// invalid stream; never reads or writes outside the two buffers.
bool decompress_block(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size);

// Encodes one raw block (1 .. kMaxBlockSize bytes). The result is always a
// valid block, even when it is larger than the input.
std::vector<uint8_t> compress_block(const uint8_t* in, size_t in_size,
                                    const EncoderOptions& options = {});

// The filter that runs over every block: forward before encoding, undo after
// decoding. Exposed for tests.
void x86_filter_forward(uint8_t* data, size_t size);
void x86_filter_undo(uint8_t* data, size_t size);

} // namespace vantrel::lzms
