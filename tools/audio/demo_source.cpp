#include "demo_source.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace velmora::tool {

namespace {

struct Note {
    double start;   // seconds
    double length;  // seconds
    double pitch;   // Hz
};

constexpr Note kNotes[] = {{0.0, 2.2, 196.00}, {2.3, 2.2, 293.66}};  // G3, then D4
constexpr double kAttack = 0.35;  // seconds to full level: a bow, not a pluck
constexpr double kRelease = 0.25;
constexpr double kVibratoHz = 5.5;
constexpr double kVibratoDepth = 0.006;  // of the pitch, about a tenth of a semitone
constexpr double kBurstLength = 0.04;

// A fixed-seed generator: the demo files are the same on every machine.
class Noise {
  public:
    double next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    }

  private:
    uint64_t state = 0x9E3779B97F4A7C15ULL;
};

double envelope(double t, double length) {
    const double attack = std::min(1.0, t / kAttack);
    const double release = std::clamp((length - t) / kRelease, 0.0, 1.0);
    return attack * attack * release;  // a squared rise sounds like a bow settling in
}

// Sum of sin(k x) / k over the harmonics below `limit`, by the recurrence
// sin(k x) = 2 cos(x) sin((k-1) x) - sin((k-2) x). The top harmonic fades in
// as vibrato brings it below the limit, so none switches on with a click.
double sawtooth(double phase, double pitch, double limit) {
    const double harmonics = limit / pitch;
    const double twoCos = 2.0 * std::cos(phase);
    double previous = 0.0;
    double current = std::sin(phase);
    double sum = 0.0;
    for (int k = 1; k <= static_cast<int>(harmonics); ++k) {
        const double fade = std::min(1.0, harmonics - k);
        sum += fade * current / k;
        const double next = twoCos * current - previous;
        previous = current;
        current = next;
    }
    return sum;
}

}  // namespace

std::vector<float> bowedString(double sampleRate) {
    const double end = kNotes[std::size(kNotes) - 1].start + kNotes[std::size(kNotes) - 1].length;
    std::vector<double> mix(static_cast<size_t>(std::ceil((end + 0.3) * sampleRate)), 0.0);
    const double limit = 0.45 * sampleRate;
    Noise noise;

    for (const Note& note : kNotes) {
        const auto first = static_cast<size_t>(note.start * sampleRate);
        const auto frames = static_cast<size_t>(note.length * sampleRate);
        double phase = 0.0;
        double lowpassed = 0.0;
        for (size_t n = 0; n < frames; ++n) {
            const double t = n / sampleRate;
            const double pitch =
                note.pitch *
                (1.0 + kVibratoDepth * std::sin(2.0 * std::numbers::pi * kVibratoHz * t) *
                           std::min(1.0, t / 0.6));
            double sample = 0.5 * envelope(t, note.length) * sawtooth(phase, pitch, limit);
            if (t < kBurstLength) {
                // Softened noise, fading out: the scrape of the bow taking hold.
                lowpassed += 0.3 * (noise.next() - lowpassed);
                sample += 0.4 * (1.0 - t / kBurstLength) * lowpassed;
            }
            mix[first + n] += sample;
            phase = std::fmod(phase + 2.0 * std::numbers::pi * pitch / sampleRate,
                              2.0 * std::numbers::pi);
        }
    }

    const double peak =
        std::max(1e-9, std::abs(*std::max_element(mix.begin(), mix.end(), [](double a, double b) {
                     return std::abs(a) < std::abs(b);
                 })));
    std::vector<float> samples(mix.size());
    for (size_t i = 0; i < mix.size(); ++i)
        samples[i] = static_cast<float>(0.9 * mix[i] / peak);
    return samples;
}

}  // namespace velmora::tool
