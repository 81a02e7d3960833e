#include "corpus.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace lzms_test {
namespace {

std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

bool is_pe(const fs::path& p) {
    auto ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    return ext == ".dll" || ext == ".exe";
}

// Machine-code-like filler exercising every opcode form the x86 filter knows.
std::vector<uint8_t> x86_like(size_t n, uint64_t seed) {
    Rng r{seed};
    std::vector<uint8_t> v;
    static const std::vector<std::vector<uint8_t>> ops = {
        {0xE8}, {0xE9}, {0xFF, 0x15}, {0xF0, 0x83, 0x05}, {0x48, 0x8D, 0x05},
        {0x48, 0x8D, 0x0D}, {0x4C, 0x8D, 0x05}, {0x48, 0x8B, 0x05}, {0x48, 0x8B, 0x0D}, {0x90}};
    while (v.size() < n) {
        const auto& op = ops[r.next() % ops.size()];
        v.insert(v.end(), op.begin(), op.end());
        uint32_t target = static_cast<uint32_t>(0x1000 + (r.next() % 64) * 16 - v.size());
        for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(target >> (8 * i)));
        for (uint64_t k = r.next() % 6; k > 0; --k) v.push_back(static_cast<uint8_t>(r.next() % 4));
    }
    v.resize(n);
    return v;
}

} // namespace

std::vector<uint8_t> random_bytes(size_t n, uint64_t seed) {
    Rng r{seed * 0x9E3779B97F4A7C15ull + 1};
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(r.next() >> 56);
    return v;
}

std::vector<uint8_t> text_like(size_t n, uint64_t seed) {
    static const char* words[] = {"the", "setup", "program", "installs", "files", "into", "a", "folder",
                                  "per", "user", "without", "administrator", "rights", "and", "keeps",
                                  "its", "payload", "compressed", "with", "windows", "own", "codec",
                                  "registry", "shortcut", "uninstall", "of", "to", "is", "in", "on"};
    Rng r{seed + 7};
    std::vector<uint8_t> v;
    while (v.size() < n) {
        const char* w = words[r.next() % (sizeof words / sizeof *words)];
        v.insert(v.end(), w, w + std::char_traits<char>::length(w));
        const uint64_t p = r.next() % 16;
        v.push_back(p == 0 ? '.' : p == 1 ? ',' : ' ');
        if (p == 0) v.push_back(r.next() % 3 == 0 ? '\n' : ' ');
    }
    v.resize(n);
    return v;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

std::vector<Sample> synthetic_corpus() {
    std::vector<Sample> c;
    auto add = [&](std::string name, std::vector<uint8_t> d) { c.push_back({std::move(name), std::move(d)}); };
    add("empty", {});
    add("one_byte", {0x41});
    add("two_bytes", {0x00, 0x00});
    add("three_bytes", {'a', 'b', 'c'});
    add("hello", {'h', 'e', 'l', 'l', 'o'});
    for (size_t n : {4, 5, 9, 10, 13, 14, 17, 18, 33})
        add("text_" + std::to_string(n), text_like(n, n));
    // Offset alphabet sizes change where size-1 reaches a slot base.
    for (size_t n : {101, 102, 4261, 4262, 65536, 65537})
        add("text_slotedge_" + std::to_string(n), text_like(n, n + 3));
    // Literal and offset codes rebuild every 1024 symbols, length and power every 512.
    for (size_t n : {511, 512, 513, 1023, 1024, 1025, 2047, 2048, 2049})
        add("random_" + std::to_string(n), random_bytes(n, n));
    for (size_t n : {20000, 100000}) add("text_" + std::to_string(n), text_like(n, 99));
    add("random_256k", random_bytes(256 * 1024, 5));
    add("zeros_4096", std::vector<uint8_t>(4096, 0));
    add("zeros_3MiB", std::vector<uint8_t>(3u << 20, 0));
    add("zeros_5MiB_plus1", std::vector<uint8_t>((5u << 20) + 1, 0));
    add("A_16384", std::vector<uint8_t>(16384, 'A'));
    {
        std::vector<uint8_t> v(1024);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i);
        add("ramp_x4", std::move(v));
    }
    {
        std::vector<uint8_t> v(64);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(7 * i);
        add("step7_64", std::move(v));
    }
    {
        std::vector<uint8_t> v;
        for (uint32_t i = 0; i < 40000; ++i)
            for (int k = 0; k < 4; ++k) v.push_back(static_cast<uint8_t>((i * 3 + 1000) >> (8 * k)));
        add("counters32", std::move(v));
    }
    {
        std::vector<uint8_t> v;
        for (uint32_t y = 0; y < 256; ++y)
            for (uint32_t x = 0; x < 256; ++x) {
                v.push_back(static_cast<uint8_t>(x));
                v.push_back(static_cast<uint8_t>(y));
                v.push_back(static_cast<uint8_t>((x + y) / 2));
            }
        add("rgb_gradient", std::move(v));
    }
    {
        std::vector<uint8_t> v;
        for (uint32_t i = 0; i < 60000; ++i) {
            const uint16_t s = static_cast<uint16_t>(i * 5);
            v.push_back(static_cast<uint8_t>(s));
            v.push_back(static_cast<uint8_t>(s >> 8));
        }
        add("ramp16", std::move(v));
    }
    {
        std::vector<uint8_t> v;
        const uint8_t pat[] = {0xde, 0xad, 0xbe, 0xef, 0xca, 0xfe, 0xba, 0xbe};
        for (int i = 0; i < 1024; ++i) v.insert(v.end(), pat, pat + 8);
        add("deadbeef_8192", std::move(v));
    }
    add("x86_synthetic", x86_like(300000, 3));
    {
        // Opcode bytes right at the end, where the filter stops looking.
        std::vector<uint8_t> v = x86_like(4000, 11);
        for (size_t i = v.size() - 20; i < v.size(); ++i) v[i] = 0xE8;
        add("x86_tail", std::move(v));
    }
    {
        // Mixed: text, a copy far back, random, repeats of the text.
        std::vector<uint8_t> v = text_like(300000, 1);
        auto r = random_bytes(200000, 9);
        v.insert(v.end(), r.begin(), r.end());
        v.insert(v.end(), v.begin(), v.begin() + 150000);
        add("mixed_far", std::move(v));
    }
    for (const char* f : {"/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/Apache-2.0"})
        if (fs::exists(f)) add(fs::path(f).filename().string(), read_file(f));
    return c;
}

std::vector<Sample> pe_corpus(size_t max_total) {
    std::vector<fs::path> ours, wine;
    const std::string cross = env_or("VANTREL_CROSS_BINARY_DIR", "");
    std::error_code ec;
    if (!cross.empty() && fs::is_directory(cross, ec)) {
        for (auto it = fs::recursive_directory_iterator(cross, fs::directory_options::skip_permission_denied, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (ec) break;
            const std::string s = it->path().string();
            // The Wine prefix and the host build hold nothing of ours.
            if (it->is_directory() && (s.find("wineprefix") != std::string::npos ||
                                       it->path().filename() == "native" || it->path().filename() == "deps")) {
                it.disable_recursion_pending();
                continue;
            }
            if (it->is_regular_file() && is_pe(it->path())) ours.push_back(it->path());
        }
    }
    const std::string wine_dir = env_or("VANTREL_WINE_PE_DIR", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows");
    if (fs::is_directory(wine_dir, ec))
        for (auto& e : fs::directory_iterator(wine_dir, ec))
            if (e.is_regular_file() && is_pe(e.path())) wine.push_back(e.path());
    std::sort(ours.begin(), ours.end());
    std::sort(wine.begin(), wine.end());

    std::vector<Sample> c;
    size_t total = 0;
    auto take = [&](const fs::path& p) {
        const auto size = fs::file_size(p, ec);
        if (ec || size == 0 || total + size > max_total) return;
        for (auto& s : c)
            if (s.name == p.filename().string()) return;
        total += size;
        c.push_back({p.filename().string(), read_file(p.string())});
    };
    for (size_t i = 0; i < ours.size() && i < 12; ++i) take(ours[i]);
    // Always the core system DLLs, then an even spread over the rest.
    for (const char* must : {"kernel32.dll", "ntdll.dll", "user32.dll"})
        for (auto& p : wine)
            if (p.filename() == must) take(p);
    const size_t step = std::max<size_t>(1, wine.size() / 24);
    for (size_t i = 0; i < wine.size(); i += step) take(wine[i]);
    return c;
}

} // namespace lzms_test
