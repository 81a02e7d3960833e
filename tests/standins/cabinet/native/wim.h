// Thin wrapper over libwim's LZMS compressor and decompressor: the independent
// implementation our codec is checked against.
#pragma once

#include <wimlib.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace lzms_test {

// Empty result: libwim declined (inputs under 4 bytes, or no room).
inline std::vector<uint8_t> wim_compress(const std::vector<uint8_t>& in, unsigned level = 0) {
    if (in.empty()) return {};
    wimlib_compressor* c = nullptr;
    if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, in.size(), level, &c) != 0) return {};
    std::vector<uint8_t> out(in.size() + in.size() / 2 + 64);
    const size_t n = wimlib_compress(in.data(), in.size(), out.data(), out.size(), c);
    wimlib_free_compressor(c);
    out.resize(n);
    return out;
}

inline std::optional<std::vector<uint8_t>> wim_decompress(const uint8_t* in, size_t in_size, size_t out_size) {
    wimlib_decompressor* d = nullptr;
    if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, out_size ? out_size : 1, &d) != 0)
        return std::nullopt;
    std::vector<uint8_t> out(out_size);
    const int rc = wimlib_decompress(in, in_size, out.data(), out_size, d);
    wimlib_free_decompressor(d);
    if (rc != 0) return std::nullopt;
    return out;
}

inline std::optional<std::vector<uint8_t>> wim_decompress(const std::vector<uint8_t>& in, size_t out_size) {
    return wim_decompress(in.data(), in.size(), out_size);
}

} // namespace lzms_test
