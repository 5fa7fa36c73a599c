// The benchmarks' input: uniform noise in [-0.5, 0.5) from a fixed xorshift
// seed, the same on every build and every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<float> noise(std::size_t length) {
    std::vector<float> x(length);
    uint32_t seed = 2463534242u;
    for (float& v : x) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        v = static_cast<float>(seed) / 4294967296.0f - 0.5f;
    }
    return x;
}
