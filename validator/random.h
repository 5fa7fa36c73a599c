// Seeded randomness that gives the same sequence on every build, so that a
// seed printed by one build reproduces the run on another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace velmora::validate {

class Random {
  public:
    explicit Random(uint64_t seed) : state(seed) {}

    // SplitMix64.
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 to n - 1.
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(((next() >> 32) * n) >> 32); }
    // lo to hi, both included.
    int32_t between(int32_t lo, int32_t hi) {
        return lo + static_cast<int32_t>(below(static_cast<uint32_t>(hi - lo) + 1));
    }
    // True `percent` times in a hundred.
    bool chance(uint32_t percent) { return below(100) < percent; }
    // Uniform in [-1, 1), on a grid of 2^-23.
    float uniform() {
        return static_cast<float>(static_cast<int32_t>(next() >> 40) - (1 << 23)) * 0x1p-23f;
    }
    template <class T>
    T pick(std::initializer_list<T> choices) {
        return choices.begin()[below(static_cast<uint32_t>(choices.size()))];
    }

  private:
    uint64_t state;
};

// The seed of one trial of a check: short enough to type back in.
inline uint32_t trialSeed(uint64_t base, std::string_view check, uint32_t trial) {
    uint64_t h = base ^ 0xCBF29CE484222325ull;
    for (const char c : check)
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    Random mix(h + trial);
    return static_cast<uint32_t>(mix.next() >> 32);
}

}  // namespace velmora::validate
