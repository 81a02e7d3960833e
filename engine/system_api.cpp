#include "system_api.h"

namespace {

HMODULE load_system_library(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <class Fn>
Fn lookup(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

using bcrypt_hash_fn = LONG(WINAPI*)(void* algorithm, PUCHAR secret, ULONG secret_size, PUCHAR input,
                                     ULONG input_size, PUCHAR output, ULONG output_size);
// BCRYPT_SHA256_ALG_HANDLE, a pseudo-handle of Windows 10 and later.
void* const sha256_algorithm = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x41));

}  // namespace

const compression_api& compression() {
    static const compression_api api = [] {
        compression_api a;
        HMODULE cabinet = load_system_library(L"cabinet.dll");
        a.create_compressor = lookup<compression_api::create_fn>(cabinet, "CreateCompressor");
        a.compress = lookup<compression_api::process_fn>(cabinet, "Compress");
        a.close_compressor = lookup<compression_api::close_fn>(cabinet, "CloseCompressor");
        a.create_decompressor = lookup<compression_api::create_fn>(cabinet, "CreateDecompressor");
        a.decompress = lookup<compression_api::process_fn>(cabinet, "Decompress");
        a.close_decompressor = lookup<compression_api::close_fn>(cabinet, "CloseDecompressor");
        return a;
    }();
    return api;
}

bool sha256(const void* data, std::size_t size, unsigned char digest[32]) {
    static const bcrypt_hash_fn hash = lookup<bcrypt_hash_fn>(load_system_library(L"bcrypt.dll"), "BCryptHash");
    if (!hash || size > 0xffffffffu) return false;
    auto* input = static_cast<PUCHAR>(const_cast<void*>(data));
    return hash(sha256_algorithm, nullptr, 0, input, static_cast<ULONG>(size), digest, 32) == 0;
}
