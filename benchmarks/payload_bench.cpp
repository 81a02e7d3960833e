// Prints how long the payload check takes for the embedded container, and its sizes.
#include <windows.h>

#include <cstdio>

#include "payload.h"
#include "payload_layout.h"
#include "product.h"

int main() {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    const std::string container = load_rcdata(payload_resource_id);
    std::vector<payload_entry> entries;
    parse_payload_layout(container, entries);
    std::printf("%-24s %12s %12s %7s\n", "entry", "unpacked", "packed", "ratio");
    for (const auto& e : entries)
        std::printf("%-24s %12llu %12llu %6.1f%%\n", e.name.c_str(), static_cast<unsigned long long>(e.size),
                    static_cast<unsigned long long>(e.packed_size),
                    e.size ? 100.0 * static_cast<double>(e.packed_size) / static_cast<double>(e.size) : 0.0);
    std::printf("container: %zu bytes\n", container.size());
    for (int run = 1; run <= 5; ++run) {
        payload_files.clear();
        std::string error;
        QueryPerformanceCounter(&start);
        const bool ok = load_payload(error);
        QueryPerformanceCounter(&end);
        std::printf("load_payload run %d: %s in %.2f ms\n", run, ok ? "valid" : error.c_str(),
                    1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                        static_cast<double>(frequency.QuadPart));
    }
    return 0;
}
