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
    HMODULE module = nullptr;
    decltype(&CreateCompressor) create_compressor = nullptr;
    decltype(&Compress) compress = nullptr;
    decltype(&CloseCompressor) close_compressor = nullptr;
    decltype(&CreateDecompressor) create_decompressor = nullptr;
    decltype(&Decompress) decompress = nullptr;
    decltype(&CloseDecompressor) close_decompressor = nullptr;
};

template <typename F>
F lookup(HMODULE m, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

const Api& api() {
    static const Api a = [] {
        Api x;
        x.module = LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!x.module) return x;
        x.create_compressor = lookup<decltype(x.create_compressor)>(x.module, "CreateCompressor");
        x.compress = lookup<decltype(x.compress)>(x.module, "Compress");
        x.close_compressor = lookup<decltype(x.close_compressor)>(x.module, "CloseCompressor");
        x.create_decompressor = lookup<decltype(x.create_decompressor)>(x.module, "CreateDecompressor");
        x.decompress = lookup<decltype(x.decompress)>(x.module, "Decompress");
        x.close_decompressor = lookup<decltype(x.close_decompressor)>(x.module, "CloseDecompressor");
        return x;
    }();
    return a;
}

std::vector<uint8_t> pseudo_random(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return v;
}

std::vector<uint8_t> text(size_t n) {
    static const char* words[] = {"setup ", "copies ", "the ", "payload ", "into ", "your ", "profile. ", "\r\n"};
    std::vector<uint8_t> v;
    uint32_t s = 1;
    while (v.size() < n) {
        s = s * 1664525u + 1013904223u;
        const char* w = words[(s >> 16) % 8];
        v.insert(v.end(), w, w + strlen(w));
    }
    v.resize(n);
    return v;
}

std::vector<uint8_t> own_executable() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::vector<uint8_t> v;
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return v;
    LARGE_INTEGER size;
    GetFileSizeEx(f, &size);
    v.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ReadFile(f, v.data(), static_cast<DWORD>(v.size()), &got, nullptr);
    CloseHandle(f);
    v.resize(got);
    return v;
}

// Query the size, then compress, as callers of the real API do.
std::vector<uint8_t> compress(const std::vector<uint8_t>& in) {
    COMPRESSOR_HANDLE h = nullptr;
    EXPECT_TRUE(api().create_compressor(COMPRESS_ALGORITHM_LZMS, nullptr, &h));
    SIZE_T needed = 0;
    EXPECT_FALSE(api().compress(h, const_cast<uint8_t*>(in.data()), in.size(), nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<uint8_t> out(needed);
    SIZE_T written = 0;
    EXPECT_TRUE(api().compress(h, const_cast<uint8_t*>(in.data()), in.size(), out.data(), out.size(), &written));
    EXPECT_EQ(written, needed);
    EXPECT_TRUE(api().close_compressor(h));
    return out;
}

// Returns false and the last error when Decompress fails.
bool decompress(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, DWORD* error = nullptr) {
    DECOMPRESSOR_HANDLE h = nullptr;
    EXPECT_TRUE(api().create_decompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &h));
    SIZE_T needed = 0;
    BOOL ok = api().decompress(h, const_cast<uint8_t*>(in.data()), in.size(), nullptr, 0, &needed);
    DWORD err = GetLastError();
    if (!ok && err == ERROR_INSUFFICIENT_BUFFER) {
        out.assign(needed, 0);
        SIZE_T written = 0;
        ok = api().decompress(h, const_cast<uint8_t*>(in.data()), in.size(), out.data(), out.size(), &written);
        err = GetLastError();
        if (ok) {
            EXPECT_EQ(written, needed);
        }
    } else if (ok) {
        out.clear();
    }
    EXPECT_TRUE(api().close_decompressor(h));
    if (error) *error = ok ? 0 : err;
    return ok;
}

std::vector<uint8_t> hex(const char* s) {
    std::vector<uint8_t> v;
    for (; s[0] && s[1]; s += 2) v.push_back(static_cast<uint8_t>(std::stoul(std::string(s, 2), nullptr, 16)));
    return v;
}

} // namespace

TEST(CabinetStandIn, IsTheOneInSystem32WithAllSixFunctions) {
    const Api& a = api();
    ASSERT_NE(a.module, nullptr) << GetLastError();
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(a.module, path, MAX_PATH);
    std::wstring p(path);
    for (auto& c : p) c = static_cast<wchar_t>(towlower(c));
    EXPECT_NE(p.find(L"\\system32\\cabinet.dll"), std::wstring::npos);
    // Wine's own cabinet.dll has the cabinet-file API; ours has only compression.
    EXPECT_EQ(GetProcAddress(a.module, "FDICreate"), nullptr) << "Wine's cabinet.dll was loaded";
    EXPECT_TRUE(a.create_compressor && a.compress && a.close_compressor && a.create_decompressor && a.decompress &&
                a.close_decompressor);
}

TEST(CabinetStandIn, RoundTrips) {
    ASSERT_NE(api().compress, nullptr);
    std::vector<std::pair<const char*, std::vector<uint8_t>>> inputs = {
        {"empty", {}},
        {"one byte", {0x5A}},
        {"text", text(300000)},
        {"random", pseudo_random(100000, 7)},
        {"zeros", std::vector<uint8_t>(3u << 20, 0)},
        {"own exe", own_executable()},
    };
    for (auto& [name, in] : inputs) {
        SCOPED_TRACE(name);
        const auto packed = compress(in);
        ASSERT_GE(packed.size(), 24u);
        EXPECT_EQ(std::vector<uint8_t>(packed.begin(), packed.begin() + 6), hex("0a51e5c01800"));
        EXPECT_EQ(packed[7], 5);
        std::vector<uint8_t> out;
        ASSERT_TRUE(decompress(packed, out)) << GetLastError();
        EXPECT_TRUE(out == in);
    }
    EXPECT_LT(compress(text(300000)).size(), 300000u / 3);
    EXPECT_EQ(compress(pseudo_random(100000, 7)).size(), 24u + 4 + 100000) << "incompressible data is stored";
}

TEST(CabinetStandIn, DecodesWindowsOutput) {
    const auto zeros = hex("0a51e5c01800da0500100000000000000010000000000000"
                           "0a000000ffaad0ff0000a03a4000");
    std::vector<uint8_t> out;
    ASSERT_TRUE(decompress(zeros, out));
    EXPECT_TRUE(out == std::vector<uint8_t>(4096, 0));
}

TEST(CabinetStandIn, BufferSizeConventions) {
    const auto in = text(50000);
    COMPRESSOR_HANDLE c = nullptr;
    ASSERT_TRUE(api().create_compressor(COMPRESS_ALGORITHM_LZMS, nullptr, &c));
    SIZE_T needed = 0;
    ASSERT_FALSE(api().compress(c, const_cast<uint8_t*>(in.data()), in.size(), nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, 24u);
    std::vector<uint8_t> packed(needed + 16, 0xEE);
    SIZE_T size = 0;
    EXPECT_FALSE(api().compress(c, const_cast<uint8_t*>(in.data()), in.size(), packed.data(), needed - 1, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, needed);
    EXPECT_TRUE(api().compress(c, const_cast<uint8_t*>(in.data()), in.size(), packed.data(), packed.size(), &size));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(packed[needed], 0xEE) << "wrote past the compressed size";
    packed.resize(needed);
    EXPECT_TRUE(api().close_compressor(c));

    DECOMPRESSOR_HANDLE d = nullptr;
    ASSERT_TRUE(api().create_decompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &d));
    std::vector<uint8_t> out(in.size() + 16, 0xEE);
    SIZE_T got = 0;
    EXPECT_FALSE(api().decompress(d, packed.data(), packed.size(), out.data(), in.size() - 1, &got));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(got, in.size());
    EXPECT_TRUE(api().decompress(d, packed.data(), packed.size(), out.data(), out.size(), &got));
    EXPECT_EQ(got, in.size());
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
    EXPECT_EQ(out[in.size()], 0xEE) << "wrote past the decompressed size";
    EXPECT_TRUE(api().close_decompressor(d));
}

TEST(CabinetStandIn, OnlyLzmsBufferModeIsSupported) {
    for (DWORD alg : {DWORD{COMPRESS_ALGORITHM_MSZIP}, DWORD{COMPRESS_ALGORITHM_XPRESS},
                      DWORD{COMPRESS_ALGORITHM_XPRESS_HUFF}, DWORD{COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW},
                      DWORD{COMPRESS_ALGORITHM_NULL}, DWORD{0}, DWORD{77}}) {
        SCOPED_TRACE(alg);
        COMPRESSOR_HANDLE c = reinterpret_cast<COMPRESSOR_HANDLE>(1);
        EXPECT_FALSE(api().create_compressor(alg, nullptr, &c));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(c, nullptr);
        DECOMPRESSOR_HANDLE d = reinterpret_cast<DECOMPRESSOR_HANDLE>(1);
        EXPECT_FALSE(api().create_decompressor(alg, nullptr, &d));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(d, nullptr);
    }
}

TEST(CabinetStandIn, NullAndWrongHandlesAreErrors) {
    uint8_t data[64] = {1, 2, 3};
    uint8_t out[256];
    SIZE_T size = 0;
    EXPECT_FALSE(api().create_compressor(COMPRESS_ALGORITHM_LZMS, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(api().create_decompressor(COMPRESS_ALGORITHM_LZMS, nullptr, nullptr));
    EXPECT_FALSE(api().compress(nullptr, data, sizeof data, out, sizeof out, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(api().decompress(nullptr, data, sizeof data, out, sizeof out, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
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
    // A handle of the other kind is not accepted.
    EXPECT_FALSE(api().compress(d, data, sizeof data, out, sizeof out, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(api().close_decompressor(c));
    EXPECT_TRUE(api().close_compressor(c));
    EXPECT_TRUE(api().close_decompressor(d));
    // Closed handles are dead.
    EXPECT_FALSE(api().close_compressor(c));
    EXPECT_FALSE(api().decompress(d, data, sizeof data, out, sizeof out, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(CabinetStandIn, DamagedStreamsAreRejectedInsideTheBuffers) {
    const auto in = text(40000);
    const auto good = compress(in);
    DWORD err = 0;
    std::vector<uint8_t> out;

    auto expect_bad = [&](const std::vector<uint8_t>& s, const char* what) {
        EXPECT_FALSE(decompress(s, out, &err)) << what;
        EXPECT_EQ(err, static_cast<DWORD>(ERROR_BAD_COMPRESSION_BUFFER)) << what;
    };
    for (size_t n : {size_t{1}, size_t{5}, size_t{23}, size_t{24}, size_t{27}, good.size() / 2, good.size() - 1})
        expect_bad(std::vector<uint8_t>(good.begin(), good.begin() + n), "truncated");
    auto s = good;
    s[6] ^= 0x40;
    expect_bad(s, "check byte");
    s = good;
    s[0] = 0x0B;
    expect_bad(s, "magic");
    s = good;
    s[8] ^= 1;
    expect_bad(s, "size changed under the check byte");
    s = good;
    s.push_back(0);
    expect_bad(s, "trailing byte");

    // Damage inside the LZMS data: reject or not, but only within the buffers.
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
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMPRESSION_BUFFER));
        }
        for (size_t k = in.size(); k < roomy.size(); ++k) ASSERT_EQ(roomy[k], 0xEE) << "wrote past the buffer";
    }
    EXPECT_GT(rejected, 100);
    EXPECT_TRUE(api().close_decompressor(d));
}
