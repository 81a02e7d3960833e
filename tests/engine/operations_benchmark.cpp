// Times a sandboxed install and uninstall with the payload this program carries; the detection
// part (it starts a stand-in interpreter) is timed apart. Prints, asserts nothing.
#include <chrono>
#include <cstdio>

#include "detection.h"
#include "engine_test_support.h"
#include "install.h"
#include "payload.h"
#include "sandbox.h"
#include "uninstall.h"

using namespace engine_tests;
using clock_type = std::chrono::steady_clock;

namespace {

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
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

    std::printf("payload check and unpack: %8.1f ms (%s)\n", payload_ms, payload_ok ? "ok" : error.c_str());
    std::printf("detection alone:          %8.1f ms (resolve %d, python %d, Resolve running %d)\n", detection_ms,
                resolve, python, running);
    std::printf("run_install:              %8.1f ms (%s), detection included\n", install_ms,
                installed.ok ? "ok" : installed.error.c_str());
    std::printf("run_uninstall:            %8.1f ms (%s)\n", uninstall_ms, removed.ok ? "ok" : removed.error.c_str());
    return 0;
}
