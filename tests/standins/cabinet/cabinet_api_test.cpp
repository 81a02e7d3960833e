// The stand-in cabinet.dll as the product sees it: loaded from system32 and
// called through the six Compression API functions.
#include <windows.h>

#include <compressapi.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#ifndef ERROR_BAD_COMPRESSION_BUFFER
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace {

struct Api {
    HMODULE module = LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    template <typename F>
    F get(const char* name) const {
        return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
    }
    decltype(&CreateCompressor) create_compressor = get<decltype(&CreateCompressor)>("CreateCompressor");
    decltype(&Compress) compress = get<decltype(&Compress)>("Compress");
    decltype(&CloseCompressor) close_compressor = get<decltype(&CloseCompressor)>("CloseCompressor");
    decltype(&CreateDecompressor) create_decompressor = get<decltype(&CreateDecompressor)>("CreateDecompressor");
    decltype(&Decompress) decompress = get<decltype(&Decompress)>("Decompress");
    decltype(&CloseDecompressor) close_decompressor = get<decltype(&CloseDecompressor)>("CloseDecompressor");
};
const Api& api() {
    static const Api a;
    return a;
}

const DWORD kInsufficient = ERROR_INSUFFICIENT_BUFFER, kBad = ERROR_BAD_COMPRESSION_BUFFER,
            kBadHandle = ERROR_INVALID_HANDLE;

std::vector<uint8_t> text(size_t n, uint32_t seed = 1) {
    static const char* words[] = {"setup ", "copies ", "the ", "payload ", "into ", "your ", "profile. ", "\r\n"};
    std::vector<uint8_t> v;
    while (v.size() < n) {
        seed = seed * 1664525u + 1013904223u;
        const char* w = words[(seed >> 16) % 8];
        v.insert(v.end(), w, w + strlen(w));
    }
    v.resize(n);
    return v;
}

std::vector<uint8_t> noise(size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t s = 7;
    for (auto& b : v) b = static_cast<uint8_t>((s = s * 1664525u + 1013904223u) >> 24);
    return v;
}

// Ask for the size, then compress, as callers of the real API do.
std::vector<uint8_t> compress(const std::vector<uint8_t>& in) {
    COMPRESSOR_HANDLE h = nullptr;
    EXPECT_TRUE(api().create_compressor(COMPRESS_ALGORITHM_LZMS, nullptr, &h));
    auto* data = const_cast<uint8_t*>(in.data());
    SIZE_T needed = 0, written = 0;
    EXPECT_FALSE(api().compress(h, data, in.size(), nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), kInsufficient);
    std::vector<uint8_t> out(needed);
    EXPECT_TRUE(api().compress(h, data, in.size(), out.data(), out.size(), &written));
    EXPECT_EQ(written, needed);
    EXPECT_TRUE(api().close_compressor(h));
    return out;
}

// Ask for the size, then decompress; 0 on success, else the last error.
DWORD decompress(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    DECOMPRESSOR_HANDLE h = nullptr;
    EXPECT_TRUE(api().create_decompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &h));
    auto* data = const_cast<uint8_t*>(in.data());
    SIZE_T needed = 0;
    out.clear();
    BOOL ok = api().decompress(h, data, in.size(), nullptr, 0, &needed);
    DWORD err = ok ? 0 : GetLastError();
    if (err == kInsufficient) {
        out.assign(needed, 0);
        SIZE_T written = 0;
        ok = api().decompress(h, data, in.size(), out.data(), out.size(), &written);
        err = ok ? 0 : GetLastError();
        if (ok) {
            EXPECT_EQ(written, needed);
        }
    }
    EXPECT_TRUE(api().close_decompressor(h));
    return err;
}

std::vector<uint8_t> hex(const char* s) {
    std::vector<uint8_t> v;
    for (; s[0] && s[1]; s += 2) v.push_back(static_cast<uint8_t>(std::stoul(std::string(s, 2), nullptr, 16)));
    return v;
}

} // namespace

TEST(CabinetStandIn, IsTheOneInSystem32WithAllSixFunctions) {
    ASSERT_NE(api().module, nullptr) << GetLastError();
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(api().module, path, MAX_PATH);
    std::wstring p(path);
    for (auto& c : p) c = static_cast<wchar_t>(towlower(c));
    EXPECT_NE(p.find(L"\\system32\\cabinet.dll"), std::wstring::npos);
    // Wine's own cabinet.dll has the cabinet-file API; ours only compression.
    EXPECT_EQ(GetProcAddress(api().module, "FDICreate"), nullptr) << "Wine's cabinet.dll was loaded";
    EXPECT_TRUE(api().create_compressor && api().compress && api().close_compressor && api().create_decompressor &&
                api().decompress && api().close_decompressor);
}

TEST(CabinetStandIn, RoundTripsAndDecodesWindowsOutput) {
    ASSERT_NE(api().compress, nullptr);
    const std::vector<std::vector<uint8_t>> inputs = {{}, {0x5A}, text(300000), noise(100000),
                                                      std::vector<uint8_t>(3u << 20, 0)};
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.size());
        const auto packed = compress(in);
        ASSERT_GE(packed.size(), 24u);
        EXPECT_EQ(std::vector<uint8_t>(packed.begin(), packed.begin() + 6), hex("0a51e5c01800"));
        std::vector<uint8_t> out;
        ASSERT_EQ(decompress(packed, out), 0u);
        EXPECT_TRUE(out == in);
    }
    EXPECT_LT(compress(text(300000)).size(), 300000u / 3);
    EXPECT_EQ(compress(noise(100000)).size(), 24u + 4 + 100000) << "incompressible data is stored";

    std::vector<uint8_t> out;
    ASSERT_EQ(decompress(hex("0a51e5c01800da0500100000000000000010000000000000"
                             "0a000000ffaad0ff0000a03a4000"), out), 0u);
    EXPECT_TRUE(out == std::vector<uint8_t>(4096, 0));
}

TEST(CabinetStandIn, BufferSizeConventions) {
    const auto in = text(50000);
    auto* data = const_cast<uint8_t*>(in.data());
    COMPRESSOR_HANDLE c = nullptr;
    ASSERT_TRUE(api().create_compressor(COMPRESS_ALGORITHM_LZMS, nullptr, &c));
    SIZE_T needed = 0, size = 0;
    ASSERT_FALSE(api().compress(c, data, in.size(), nullptr, 0, &needed));
    std::vector<uint8_t> packed(needed + 16, 0xEE);
    EXPECT_FALSE(api().compress(c, data, in.size(), packed.data(), needed - 1, &size));
    EXPECT_EQ(GetLastError(), kInsufficient);
    EXPECT_EQ(size, needed);
    EXPECT_TRUE(api().compress(c, data, in.size(), packed.data(), packed.size(), &size));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(packed[needed], 0xEE) << "wrote past the compressed size";
    packed.resize(needed);
    EXPECT_TRUE(api().close_compressor(c));

    DECOMPRESSOR_HANDLE d = nullptr;
    ASSERT_TRUE(api().create_decompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &d));
    std::vector<uint8_t> out(in.size() + 16, 0xEE);
    EXPECT_FALSE(api().decompress(d, packed.data(), packed.size(), out.data(), in.size() - 1, &size));
    EXPECT_EQ(GetLastError(), kInsufficient);
    EXPECT_EQ(size, in.size());
    EXPECT_TRUE(api().decompress(d, packed.data(), packed.size(), out.data(), out.size(), &size));
    EXPECT_EQ(size, in.size());
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
    EXPECT_EQ(out[in.size()], 0xEE) << "wrote past the decompressed size";
    EXPECT_TRUE(api().close_decompressor(d));
}

TEST(CabinetStandIn, OnlyLzmsBufferModeIsSupported) {
    for (DWORD alg : {DWORD{COMPRESS_ALGORITHM_MSZIP}, DWORD{COMPRESS_ALGORITHM_XPRESS},
                      DWORD{COMPRESS_ALGORITHM_XPRESS_HUFF}, DWORD{COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW},
                      DWORD{COMPRESS_ALGORITHM_NULL}, DWORD{77}}) {
        SCOPED_TRACE(alg);
        COMPRESSOR_HANDLE h = reinterpret_cast<COMPRESSOR_HANDLE>(1);
        EXPECT_FALSE(api().create_compressor(alg, nullptr, &h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(h, nullptr);
        h = reinterpret_cast<DECOMPRESSOR_HANDLE>(1);
        EXPECT_FALSE(api().create_decompressor(alg, nullptr, &h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(h, nullptr);
    }
}

TEST(CabinetStandIn, NullAndWrongHandlesAreErrors) {
    uint8_t data[64] = {1, 2, 3}, out[256];
    SIZE_T size = 0;
    EXPECT_FALSE(api().create_compressor(COMPRESS_ALGORITHM_LZMS, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(api().create_decompressor(COMPRESS_ALGORITHM_LZMS, nullptr, nullptr));
    EXPECT_FALSE(api().compress(nullptr, data, sizeof data, out, sizeof out, &size));
    EXPECT_EQ(GetLastError(), kBadHandle);
    EXPECT_FALSE(api().decompress(nullptr, data, sizeof data, out, sizeof out, &size));
    EXPECT_EQ(GetLastError(), kBadHandle);
    EXPECT_FALSE(api().close_compressor(nullptr));
    EXPECT_FALSE(api().close_decompressor(nullptr));

    COMPRESSOR_HANDLE c = nullptr;
    DECOMPRESSOR_HANDLE d = nullptr;
    ASSERT_TRUE(api().create_compressor(COMPRESS_ALGORITHM_LZMS, nullptr, &c));
    ASSERT_TRUE(api().create_decompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &d));
    EXPECT_FALSE(api().compress(c, data, sizeof data, out, sizeof out, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(api().compress(c, nullptr, 10, out, sizeof out, &size));
    EXPECT_FALSE(api().decompress(d, nullptr, 10, out, sizeof out, &size));
    EXPECT_FALSE(api().compress(d, data, sizeof data, out, sizeof out, &size)) << "a decompressor handle";
    EXPECT_EQ(GetLastError(), kBadHandle);
    EXPECT_FALSE(api().close_decompressor(c));
    EXPECT_TRUE(api().close_compressor(c));
    EXPECT_TRUE(api().close_decompressor(d));
    EXPECT_FALSE(api().close_compressor(c)) << "closed twice";
    EXPECT_FALSE(api().decompress(d, data, sizeof data, out, sizeof out, &size));
    EXPECT_EQ(GetLastError(), kBadHandle);
}

TEST(CabinetStandIn, DamagedStreamsAreRejectedInsideTheBuffers) {
    const auto in = text(40000);
    const auto good = compress(in);
    std::vector<uint8_t> out;
    for (size_t n : {size_t{1}, size_t{23}, size_t{24}, size_t{27}, good.size() / 2, good.size() - 1})
        EXPECT_EQ(decompress(std::vector<uint8_t>(good.begin(), good.begin() + n), out), kBad) << "cut to " << n;
    for (size_t at : {size_t{0}, size_t{6}, size_t{7}, size_t{8}, size_t{16}}) {
        auto s = good;
        s[at] ^= 0x10;
        EXPECT_EQ(decompress(s, out), kBad) << "header byte " << at;
    }
    auto s = good;
    s.push_back(0);
    EXPECT_EQ(decompress(s, out), kBad) << "trailing byte";

    // Damage inside the LZMS data: rejected or not, but only within the buffers.
    DECOMPRESSOR_HANDLE d = nullptr;
    ASSERT_TRUE(api().create_decompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &d));
    std::vector<uint8_t> roomy(in.size() + 64);
    int rejected = 0;
    for (size_t i = 0; i < 300; ++i) {
        auto bad = good;
        bad[28 + (i * 7919) % (bad.size() - 28)] ^= static_cast<uint8_t>(1u << (i % 8));
        std::fill(roomy.begin(), roomy.end(), 0xEE);
        SIZE_T got = 0;
        if (!api().decompress(d, bad.data(), bad.size(), roomy.data(), in.size(), &got)) {
            ++rejected;
            EXPECT_EQ(GetLastError(), kBad);
        }
        for (size_t k = in.size(); k < roomy.size(); ++k) ASSERT_EQ(roomy[k], 0xEE) << "wrote past the buffer";
    }
    EXPECT_GT(rejected, 100);
    EXPECT_TRUE(api().close_decompressor(d));
}
