// Compressed size and speed of our LZMS codec against libwim's, on the same
// inputs in one run. Prints a table; asserts nothing.
//   lzms_bench [file ...]     (default: Wine PE DLLs, text, zeros, random)
#include "corpus.h"
#include "lzms.h"
#include "wim.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>

namespace lzms = vantrel::lzms;
using namespace lzms_test;

namespace {

// MB/s over enough repetitions to last a fifth of a second.
double speed(size_t bytes, const std::function<void()>& f) {
    using clock = std::chrono::steady_clock;
    int reps = 0;
    const auto start = clock::now();
    double secs = 0;
    do {
        f();
        ++reps;
        secs = std::chrono::duration<double>(clock::now() - start).count();
    } while (secs < 0.2);
    return double(bytes) * reps / secs / 1e6;
}

struct Row {
    std::string name;
    size_t size, ours, wim;
    double ours_c, wim_c, ours_d, wim_d;
    bool exe;
};

Row measure(const Sample& s, bool exe) {
    Row r{s.name, s.data.size(), 0, 0, 0, 0, 0, 0, exe};
    std::vector<uint8_t> ours, theirs;
    r.ours_c = speed(s.data.size(), [&] { ours = lzms::compress_block(s.data.data(), s.data.size()); });
    r.wim_c = speed(s.data.size(), [&] { theirs = wim_compress(s.data); });
    r.ours = ours.size();
    r.wim = theirs.size();
    std::vector<uint8_t> out(s.data.size());
    r.ours_d = speed(s.data.size(), [&] { lzms::decompress_block(ours.data(), ours.size(), out.data(), out.size()); });
    wimlib_decompressor* d = nullptr;
    wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, s.data.size(), &d);
    r.wim_d = speed(s.data.size(), [&] { wimlib_decompress(theirs.data(), theirs.size(), out.data(), out.size(), d); });
    wimlib_free_decompressor(d);
    return r;
}

void print(const Row& r) {
    std::printf("%-22s %10zu %10zu %10zu %+7.1f%% %8.1f %8.1f %8.1f %8.1f\n", r.name.substr(0, 22).c_str(), r.size,
                r.ours, r.wim, 100.0 * (double(r.ours) - double(r.wim)) / double(r.wim), r.ours_c, r.wim_c, r.ours_d,
                r.wim_d);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::pair<Sample, bool>> inputs;
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            const std::string ext = std::filesystem::path(argv[i]).extension().string();
            inputs.push_back({{std::filesystem::path(argv[i]).filename().string(), read_file(argv[i])},
                              ext == ".dll" || ext == ".exe"});
        }
    } else {
        const std::string dir = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/";
        for (const char* f : {"kernel32.dll", "user32.dll", "ntdll.dll", "comctl32.dll", "msvcrt.dll", "riched20.dll",
                              "gdiplus.dll", "ole32.dll", "crypt32.dll", "wininet.dll"})
            if (std::filesystem::exists(dir + f)) inputs.push_back({{f, read_file(dir + f)}, true});
        inputs.push_back({{"text 4 MiB", text_like(4 << 20, 1)}, false});
        if (std::filesystem::exists("/usr/share/common-licenses/GPL-3"))
            inputs.push_back({{"GPL-3", read_file("/usr/share/common-licenses/GPL-3")}, false});
        inputs.push_back({{"zeros 16 MiB", std::vector<uint8_t>(16 << 20, 0)}, false});
        inputs.push_back({{"random 4 MiB", random_bytes(4 << 20, 1)}, false});
    }
    std::printf("%-22s %10s %10s %10s %8s %8s %8s %8s %8s\n", "input", "bytes", "ours", "libwim", "size", "oursC",
                "wimC", "oursD", "wimD");
    std::printf("%-22s %10s %10s %10s %8s %8s %8s %8s %8s\n", "", "", "", "(lvl 50)", "vs wim", "MB/s", "MB/s",
                "MB/s", "MB/s");
    Row exe_total{"executables total", 0, 0, 0, 0, 0, 0, 0, true};
    double t_oc = 0, t_wc = 0, t_od = 0, t_wd = 0;
    for (auto& [s, exe] : inputs) {
        if (s.data.empty()) continue;
        const Row r = measure(s, exe);
        print(r);
        if (exe) {
            exe_total.size += r.size;
            exe_total.ours += r.ours;
            exe_total.wim += r.wim;
            t_oc += r.size / r.ours_c;
            t_wc += r.size / r.wim_c;
            t_od += r.size / r.ours_d;
            t_wd += r.size / r.wim_d;
        }
    }
    if (exe_total.size) {
        exe_total.ours_c = exe_total.size / t_oc;
        exe_total.wim_c = exe_total.size / t_wc;
        exe_total.ours_d = exe_total.size / t_od;
        exe_total.wim_d = exe_total.size / t_wd;
        print(exe_total);
    }
    return 0;
}
