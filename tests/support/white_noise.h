// Reproducible white noise in [-0.5, 0.5), for test signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<float> noise(size_t length, uint32_t seed = 99) {
    std::vector<float> x(length);
    for (float& v : x) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
    return x;
}
