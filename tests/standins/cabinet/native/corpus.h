// Inputs shared by the native LZMS tests and the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lzms_test {

// xorshift64: the same inputs on every run.
struct Rng {
    uint64_t s;
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

struct Sample {
    std::string name;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> random_bytes(size_t n, uint64_t seed);
std::vector<uint8_t> text_like(size_t n, uint64_t seed);
std::vector<uint8_t> read_file(const std::string& path);

// Small and synthetic inputs, including sizes at the format's boundaries.
std::vector<Sample> synthetic_corpus();

// Windows executables: a spread of Wine's own PE DLLs plus whatever .exe/.dll the
// cross build has produced. Limited to about max_total bytes.
std::vector<Sample> pe_corpus(size_t max_total);

} // namespace lzms_test
