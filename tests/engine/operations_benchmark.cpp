// Times a sandboxed install and uninstall with the payload this program carries; the detection
// part (it starts a stand-in interpreter) is timed apart, and so are uninstalls of two large
// records. Prints, asserts nothing.
#include <chrono>
#include <cstdio>

#include "detection.h"
#include "engine_test_support.h"
#include "install.h"
#include "install_record.h"
#include "payload.h"
#include "sandbox.h"
#include "uninstall.h"

using namespace engine_tests;
using clock_type = std::chrono::steady_clock;

namespace {

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// Installs afresh, then replaces the record with `files` and times the uninstall.
double uninstall_with_record(const json& files, const progress_fn& quiet, std::string& outcome) {
    run_install(quiet);
    if (!write_install_record(install_dir() / install_record_name, json{{"files", files}})) {
        outcome = "record not written";
        return 0;
    }
    const auto start = clock_type::now();
    const op_result removed = run_uninstall(quiet);
    const double ms = ms_since(start);
    outcome = removed.ok ? "ok" : removed.error;
    return ms;
}

// About 1 MB of record: entries nested thousands of folders deep, the longest Windows can
// open and one longer, below the install folder.
json deep_entries(const fs::path& dir) {
    json files = json::array();
    std::wstring deep = dir.wstring();
    while (deep.size() < 32000) deep += L"\\a";
    for (int i = 0; i < 30; ++i) files.push_back(wide_to_utf8(deep + L"\\file" + std::to_wstring(i) + L".txt"));
    files.push_back(wide_to_utf8(deep + deep.substr(dir.native().size()) + L"\\too-long.txt"));
    return files;
}

// About 1 MB of record: many short entries sharing their folders.
json many_entries(const fs::path& dir) {
    json files = json::array();
    for (std::size_t i = 0, size = 0; size < 1000000; ++i) {
        files.push_back(wide_to_utf8((dir / L"sub" / L"deeper" / (L"file" + std::to_wstring(i) + L".txt")).wstring()));
        size += files.back().get_ref<const std::string&>().size() + 3;
    }
    return files;
}

}  // namespace

int main() {
    testing_support::sandbox_scope sandbox;
    place_stand_in(sandbox.path() / L"ProgramFiles" / L"Python" / L"python.exe", "0");
    const progress_fn quiet = [](int, const std::string&) {};

    std::string error;
    auto start = clock_type::now();
    const bool payload_ok = load_payload(error);
    const double payload_ms = ms_since(start);

    start = clock_type::now();
    const bool resolve = find_resolve();
    const bool python = find_python();
    const bool running = is_process_running(L"Resolve.exe");
    const double detection_ms = ms_since(start);

    start = clock_type::now();
    const op_result installed = run_install(quiet);
    const double install_ms = ms_since(start);

    start = clock_type::now();
    const op_result removed = run_uninstall(quiet);
    const double uninstall_ms = ms_since(start);

    std::string deep_outcome, many_outcome;
    const json deep = deep_entries(install_dir()), many = many_entries(install_dir());
    const double deep_ms = uninstall_with_record(deep, quiet, deep_outcome);
    const double many_ms = uninstall_with_record(many, quiet, many_outcome);

    std::printf("payload check and unpack: %8.1f ms (%s)\n", payload_ms, payload_ok ? "ok" : error.c_str());
    std::printf("detection alone:          %8.1f ms (resolve %d, python %d, Resolve running %d)\n", detection_ms,
                resolve, python, running);
    std::printf("run_install:              %8.1f ms (%s), detection included\n", install_ms,
                installed.ok ? "ok" : installed.error.c_str());
    std::printf("run_uninstall:            %8.1f ms (%s)\n", uninstall_ms, removed.ok ? "ok" : removed.error.c_str());
    std::printf("run_uninstall, 1 MB record of %zu deep entries:  %8.1f ms (%s)\n", deep.size(), deep_ms,
                deep_outcome.c_str());
    std::printf("run_uninstall, 1 MB record of %zu short entries: %8.1f ms (%s)\n", many.size(), many_ms,
                many_outcome.c_str());
    return 0;
}
