// cabinet.dll stand-in: the six Compression API functions for LZMS in buffer
// mode, for Wine prefixes used by the build and the tests. Never shipped.
#include <windows.h>

#include <compressapi.h>

#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#include "lzms/buffer_mode.h"

#ifndef ERROR_BAD_COMPRESSION_BUFFER
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace {

namespace buffer = vantrel::lzms::buffer;

enum class Kind { compressor, decompressor };

struct Handle {
    Kind kind;
    // The framed result of the last Compress that only asked for the size, so
    // the usual query-then-call pattern compresses once.
    std::vector<uint8_t> last_input;
    std::vector<uint8_t> last_output;
};

// Live handles, so a stale or foreign handle is an error rather than a crash.
std::mutex g_lock;
std::set<Handle*>* g_live = nullptr;

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

Handle* find(void* h, Kind kind) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto* p = static_cast<Handle*>(h);
    if (p == nullptr || g_live == nullptr || g_live->count(p) == 0 || p->kind != kind) return nullptr;
    return p;
}

BOOL create(DWORD algorithm, void** out, Kind kind) {
    if (out == nullptr) return fail(ERROR_INVALID_PARAMETER);
    *out = nullptr;
    // Block mode (COMPRESS_RAW) and other algorithms are not provided.
    if (algorithm != COMPRESS_ALGORITHM_LZMS) return fail(ERROR_NOT_SUPPORTED);
    auto* h = new (std::nothrow) Handle{kind, {}, {}};
    if (h == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
    try {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_live == nullptr) g_live = new std::set<Handle*>;
        g_live->insert(h);
    } catch (...) {
        delete h;
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    *out = h;
    return TRUE;
}

BOOL close(void* h, Kind kind) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto* p = static_cast<Handle*>(h);
    if (p == nullptr || g_live == nullptr || g_live->count(p) == 0 || p->kind != kind)
        return fail(ERROR_INVALID_HANDLE);
    g_live->erase(p);
    delete p;
    return TRUE;
}

} // namespace

extern "C" {

// Custom allocation routines are accepted and not used: the codec allocates
// through the C++ runtime.
BOOL WINAPI CreateCompressor(DWORD Algorithm, PCOMPRESS_ALLOCATION_ROUTINES, PCOMPRESSOR_HANDLE CompressorHandle) {
    return create(Algorithm, reinterpret_cast<void**>(CompressorHandle), Kind::compressor);
}

BOOL WINAPI CreateDecompressor(DWORD Algorithm, PCOMPRESS_ALLOCATION_ROUTINES,
                               PDECOMPRESSOR_HANDLE DecompressorHandle) {
    return create(Algorithm, reinterpret_cast<void**>(DecompressorHandle), Kind::decompressor);
}

BOOL WINAPI CloseCompressor(COMPRESSOR_HANDLE CompressorHandle) { return close(CompressorHandle, Kind::compressor); }

BOOL WINAPI CloseDecompressor(DECOMPRESSOR_HANDLE DecompressorHandle) {
    return close(DecompressorHandle, Kind::decompressor);
}

BOOL WINAPI Compress(COMPRESSOR_HANDLE CompressorHandle, PVOID UncompressedData, SIZE_T UncompressedDataSize,
                     PVOID CompressedBuffer, SIZE_T CompressedBufferSize, PSIZE_T CompressedDataSize) {
    Handle* h = find(CompressorHandle, Kind::compressor);
    if (h == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (CompressedDataSize == nullptr || (UncompressedData == nullptr && UncompressedDataSize != 0))
        return fail(ERROR_INVALID_PARAMETER);
    try {
        const auto* in = static_cast<const uint8_t*>(UncompressedData);
        const bool cached = !h->last_output.empty() && h->last_input.size() == UncompressedDataSize &&
                            (UncompressedDataSize == 0 || std::memcmp(h->last_input.data(), in, UncompressedDataSize) == 0);
        if (!cached) {
            h->last_output.clear();
            h->last_input.clear();
            h->last_output = buffer::compress(in, UncompressedDataSize);
        }
        const size_t needed = h->last_output.size();
        *CompressedDataSize = needed;
        if (CompressedBuffer == nullptr || CompressedBufferSize < needed) {
            if (!cached) h->last_input.assign(in, in + UncompressedDataSize);
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(CompressedBuffer, h->last_output.data(), needed);
        h->last_output = {};
        h->last_input = {};
        return TRUE;
    } catch (const std::bad_alloc&) {
        h->last_output = {};
        h->last_input = {};
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        return fail(ERROR_INTERNAL_ERROR);
    }
}

BOOL WINAPI Decompress(DECOMPRESSOR_HANDLE DecompressorHandle, PVOID CompressedData, SIZE_T CompressedDataSize,
                       PVOID UncompressedBuffer, SIZE_T UncompressedBufferSize, PSIZE_T UncompressedDataSize) {
    if (find(DecompressorHandle, Kind::decompressor) == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (CompressedData == nullptr) return fail(ERROR_INVALID_PARAMETER);
    try {
        uint64_t needed = 0;
        const auto status = buffer::decompress(static_cast<const uint8_t*>(CompressedData), CompressedDataSize,
                                               static_cast<uint8_t*>(UncompressedBuffer), UncompressedBufferSize,
                                               &needed);
        if (status == buffer::Status::corrupt) return fail(ERROR_BAD_COMPRESSION_BUFFER);
        if (UncompressedDataSize) *UncompressedDataSize = static_cast<SIZE_T>(needed);
        if (status == buffer::Status::too_small) return fail(ERROR_INSUFFICIENT_BUFFER);
        return TRUE;
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        return fail(ERROR_INTERNAL_ERROR);
    }
}

} // extern "C"
