// Bodies designed for a sample rate (tuned_design.h), run directly: every
// path gives the scalar kernel's bits and the literal recurrence's; the
// 44000 Hz design is the module's tables; every design is stable and its
// response dies away, at every common rate and between them. How close each
// comes to the 44000 Hz body is judged from Python (tests/python).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "coefficients.h"
#include "kernel_paths.h"
#include "rate_designs.h"
#include "tuned_design.h"

namespace {

using velmora::KernelPath;
using velmora::KernelState;
using velmora::TunedBody;

// The rates of the tables and some between them.
const double kRates[] = {8000,  11025, 12000, 16000, 22050,  24000,  32000,  44100,  48000,
                         50000, 64000, 88200, 96000, 176400, 192000, 300000, 352800, 384000};

std::vector<float> noise(size_t frames) {
    std::vector<float> x(frames);
    uint32_t seed = 2024;
    for (float& v : x) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
    return x;
}

// The recurrence as written, one frame at a time: y = (x - a y2) - b y1,
// then (d y2 - k y1) + y into the next section.
void literal(const TunedBody& body, KernelState& state, const float* in, float* out,
             int32_t frames) {
    double* s = state.filterState;
    for (int32_t i = 0; i < frames; ++i) {
        double x = static_cast<double>(in[i]) * body.gain;
        for (int k = 0; k < body.sections; ++k) {
            const double y2 = s[2 * k], y1 = s[2 * k + 1];
            const double y = (x - body.c.a[k] * y2) - body.c.b[k] * y1;
            x = (body.c.d[k] * y2 - body.c.k[k] * y1) + y;
            s[2 * k] = y1;
            s[2 * k + 1] = y;
        }
        out[i] =
            static_cast<float>(body.dryTerm ? x * 0.5 + static_cast<double>(in[i]) * 0.0001 : x);
    }
}

void runOn(const KernelPath& path, const TunedBody& body, KernelState& state, const float* in,
           float* out, int32_t frames) {
    (*path.tuned)[velmora::tunedKernelIndex(body.sections, body.dryTerm)](body, state, in, out,
                                                                          frames);
}

TEST(TunedKernels, EveryPathGivesTheLiteralRecurrencesBits) {
    const std::vector<float> input = noise(20000);
    const int32_t blocks[] = {1, 7, 13, 64, 300, 4096};
    for (const double rate : {22050.0, 48000.0, 96000.0, 192000.0}) {
        for (int32_t type = 1; type < velmora::kTypeCount; ++type) {
            const TunedBody body = velmora::tunedBodyAt(type, rate);
            KernelState reference;
            std::vector<float> expected(input.size());
            literal(body, reference, input.data(), expected.data(),
                    static_cast<int32_t>(input.size()));
            for (const KernelPath& path : velmora::kernelPaths()) {
                if (!velmora::processorSupports(path.needs)) continue;
                KernelState state;
                std::vector<float> output(input.size());
                for (size_t p = 0, b = 0; p < input.size(); ++b) {
                    const auto frames = static_cast<int32_t>(
                        std::min<size_t>(blocks[b % std::size(blocks)], input.size() - p));
                    runOn(path, body, state, input.data() + p, output.data() + p, frames);
                    p += static_cast<size_t>(frames);
                }
                ASSERT_EQ(std::memcmp(output.data(), expected.data(), output.size() * 4), 0)
                    << path.name << ", type " << type << " at " << rate << " Hz";
                ASSERT_EQ(
                    std::memcmp(state.filterState, reference.filterState, sizeof state.filterState),
                    0)
                    << path.name << ", type " << type << " at " << rate << " Hz";
            }
        }
    }
}

// At 44000 Hz the table holds the module's own bodies: the same gain, poles
// and numerators (1 - z^-2 as d = -1, k = 0), so the design the tables
// describe is the one the module plays.
TEST(TunedKernels, TheTableAt44000HzIsTheModulesTables) {
    const auto& row =
        *std::find_if(std::begin(velmora::designs::kFitted), std::end(velmora::designs::kFitted),
                      [](const auto& r) { return r.rate == 44000.0; });
    int32_t type = 1;
    [&]<const auto&... body>(velmora::bodies::BodySequence<body...>) {
        (
            [&] {
                using Shape = velmora::FixedShape<body>;
                const auto& design = row.bodies[static_cast<size_t>(type - 1)];
                ASSERT_EQ(design.sections, static_cast<int32_t>(Shape::N)) << type;
                EXPECT_EQ(design.gain, body.gain(1.0)) << type;
                for (size_t k = 0; k < Shape::N; ++k) {
                    const auto& s = design.section[k];
                    EXPECT_EQ(s.a, Shape::kLanes.a[k]) << type << " section " << k;
                    EXPECT_EQ(s.b, Shape::kLanes.b[k]) << type << " section " << k;
                    EXPECT_EQ(s.d, Shape::special(k) ? Shape::kLanes.d[k] : -1.0)
                        << type << " " << k;
                    EXPECT_EQ(s.k, Shape::special(k) ? Shape::kLanes.k[k] : 0.0)
                        << type << " " << k;
                }
                ++type;
            }(),
            ...);
    }
    (velmora::bodies::CascadesByType{});
}

// Poles inside the unit circle, and an impulse that dies away: after 4 s
// the response is 120 dB below its peak.
TEST(TunedKernels, StableAndDecayingFrom8To384kHz) {
    for (const double rate : kRates) {
        for (int32_t type = 1; type < velmora::kTypeCount; ++type) {
            const TunedBody body = velmora::tunedBodyAt(type, rate);
            for (int k = 0; k < body.sections; ++k) {
                EXPECT_LT(std::abs(body.c.a[k]), 1.0) << type << " at " << rate;
                EXPECT_LT(std::abs(body.c.b[k]), 1.0 + body.c.a[k]) << type << " at " << rate;
            }
            const auto frames = static_cast<size_t>(4 * rate);
            std::vector<float> x(frames, 0.0f), y(frames);
            x[0] = 1.0f;
            KernelState state;
            runOn(velmora::chosenKernelPath(), body, state, x.data(), y.data(),
                  static_cast<int32_t>(frames));
            float peak = 0.0f, tail = 0.0f;
            for (size_t i = 0; i < frames; ++i)
                (i < frames * 3 / 4 ? peak : tail) =
                    std::max(i < frames * 3 / 4 ? peak : tail, std::fabs(y[i]));
            EXPECT_GT(peak, 0.0f) << type << " at " << rate;
            EXPECT_LT(tail, peak * 1e-6f) << type << " at " << rate;
        }
    }
}

// Between the tables' rates a design is moved from the nearest: at a table's
// own rate it is that table's, and a rate a hair away moves it a hair.
TEST(TunedKernels, BetweenTheTablesTheNearestIsMoved) {
    for (const auto& row : velmora::designs::kFitted) {
        const TunedBody exact = velmora::tunedBodyAt(16, row.rate);
        const TunedBody near = velmora::tunedBodyAt(16, row.rate * 1.0001);
        for (int k = 0; k < exact.sections; ++k) {
            EXPECT_EQ(exact.c.a[k], row.bodies[15].section[static_cast<size_t>(k)].a);
            EXPECT_NEAR(near.c.b[k], exact.c.b[k], 1e-3) << row.rate;
        }
    }
}

}  // namespace
