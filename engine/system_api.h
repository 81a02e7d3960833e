#pragma once
// System libraries outside the KnownDLLs, loaded from System32 only (never from the folder a
// downloaded Setup was started in) and used through functions looked up by name.
#include <cstddef>

#include <windows.h>

inline constexpr DWORD compress_algorithm_lzms = 5;

struct compression_api {
    using create_fn = BOOL(WINAPI*)(DWORD algorithm, void* allocation_routines, void** handle);
    using process_fn = BOOL(WINAPI*)(void* handle, LPCVOID input, SIZE_T input_size, PVOID output,
                                     SIZE_T output_size, PSIZE_T produced);
    using close_fn = BOOL(WINAPI*)(void* handle);
    create_fn create_compressor = nullptr;
    process_fn compress = nullptr;
    close_fn close_compressor = nullptr;
    create_fn create_decompressor = nullptr;
    process_fn decompress = nullptr;
    close_fn close_decompressor = nullptr;
};

// cabinet.dll's Compression API; a member is null when the library or the function is missing.
const compression_api& compression();

// SHA-256 through BCryptHash with the algorithm pseudo-handle. False when bcrypt.dll or the
// function is missing or the call fails.
bool sha256(const void* data, std::size_t size, unsigned char digest[32]);
