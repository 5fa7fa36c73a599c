// The seventeen kernels, run directly on a state of the test's own: their first
// outputs, their agreement with the literal algorithm to the last bit, their
// history rules and their frequency responses. Every path the library has
// (the scalar kernels and each instruction set's lanes) is held to the same
// bits; a path this processor cannot run is skipped by name.
#include "kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "body_filter.h"
#include "cascade.h"
#include "coefficients.h"
#include "kernel_paths.h"
#include "process_functions.h"
#include "reference_kernels.h"

namespace {

using velmora::kernelForType;
using velmora::KernelPath;
using velmora::KernelTable;
using velmora::kTypeCount;
namespace reference = velmora::reference;

const char* const kTypeNames[kTypeCount] = {
    "PassFilter", "ViolinI", "ViolinII",    "ViolinIII",    "ViolaI",     "ViolaII",
    "ViolI",      "ViolII",  "CelloI",      "CelloII",      "Bass",       "Contrabass",
    "OboeI",      "OboeII",  "CorAnglaisI", "CorAnglaisII", "Sympathetic"};

// Every path, and one name for each that a test name can hold.
std::vector<const KernelPath*> everyPath() {
    std::vector<const KernelPath*> paths;
    for (const KernelPath& path : velmora::kernelPaths())
        paths.push_back(&path);
    return paths;
}
std::string nameOf(const KernelPath* path) {
    std::string name = path->name;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
}

// A test on one path, skipped when the processor lacks its instruction set.
template <class Param>
class OnEveryPath : public ::testing::TestWithParam<Param> {
  protected:
    const KernelPath& path() const { return *std::get<0>(this->GetParam()); }
    int type() const { return std::get<1>(this->GetParam()); }
    void SetUp() override {
        if (!velmora::processorSupports(path().needs)) {
            GTEST_SKIP() << "path \"" << path().name << "\" needs " << velmora::nameOf(path().needs)
                         << ", which this processor lacks";
        }
    }
};

// A kernel state with the test's vectors as its buffers.
struct Rig {
    velmora::KernelState state;
    std::vector<float> input;
    std::vector<float> output;
    bool inPlace = false;  // the kernel writes over its input
    const KernelTable* kernels = velmora::chosenKernelPath().kernels;

    explicit Rig(std::vector<float> signal, const KernelPath& path = velmora::chosenKernelPath())
        : input(std::move(signal)), output(input.size(), 0.0f), kernels(path.kernels) {}
    float* out() { return inPlace ? input.data() : output.data(); }
    void run(int type, int32_t offset, int32_t frames) {
        (*kernels)[type](state, input.data() + offset, out() + offset, frames);
    }
    void runLiteral(int type, int32_t offset, int32_t frames) {
        reference::kernels[type](state, input.data() + offset, out() + offset, frames);
    }
};

std::vector<float> impulse(size_t length) {
    std::vector<float> x(length, 0.0f);
    x[0] = 1.0f;
    return x;
}

int64_t ulpDistance(float a, float b) {
    auto key = [](float f) {
        const int32_t bits = std::bit_cast<int32_t>(f);
        return bits < 0 ? int64_t{INT32_MIN} - bits : int64_t{bits};
    };
    return std::llabs(key(a) - key(b));
}

// First four outputs of an impulse with clear state, as 32-bit floats.
const float kImpulseOutputs[kTypeCount][4] = {
    {0.9994f, -0.00059964f, -0.00059928023f, -0.0005989206f},
    {0.00045f, 0.0037966934f, 0.015016222f, 0.037145194f},
    {0.00056f, 0.0046106502f, 0.017663505f, 0.042009246f},
    {0.0003f, 0.0025221822f, 0.009945258f, 0.024610713f},
    {0.0007f, 0.0058917254f, 0.023235545f, 0.05729163f},
    {0.00068f, 0.005602138f, 0.021482367f, 0.051169835f},
    {0.00086f, 0.0072638607f, 0.028776577f, 0.07136896f},
    {0.001f, 0.008240951f, 0.031615984f, 0.07536312f},
    {0.00025f, 0.0012947175f, 0.005289557f, 0.013720452f},
    {0.00022f, 0.0018663604f, 0.0074753053f, 0.019031197f},
    {8.196819e-05f, 0.0007316324f, 0.0031338865f, 0.008680199f},
    {0.000100580866f, 6.7473093e-06f, 3.8858954e-05f, 0.00014981332f},
    {0.0066f, 0.04157161f, 0.11903392f, 0.2062641f},
    {0.00015352678f, 0.0014704418f, 0.0066854823f, 0.019358251f},
    {0.003f, 0.019443532f, 0.058338303f, 0.109506294f},
    {0.002f, 0.013020578f, 0.039387606f, 0.07506635f},
    {2.1333712e-14f, 3.8061074e-13f, 3.3896729e-12f, 2.0212807e-11f},
};

using EveryKernel = OnEveryPath<std::tuple<const KernelPath*, int>>;
INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel,
                         ::testing::Combine(::testing::ValuesIn(everyPath()),
                                            ::testing::Range(0, kTypeCount)),
                         [](const auto& info) {
                             return nameOf(std::get<0>(info.param)) + "_" +
                                    kTypeNames[std::get<1>(info.param)];
                         });

TEST_P(EveryKernel, ImpulseGivesTheTabledFirstOutputs) {
    const int type = this->type();
    Rig rig(impulse(8), path());
    rig.run(type, 0, 8);
    for (int n = 0; n < 4; ++n) {
        EXPECT_LE(ulpDistance(rig.output[n], kImpulseOutputs[type][n]), 1)
            << "out[" << n << "] = " << rig.output[n];
    }
    EXPECT_EQ(rig.input[0], 1.0f) << "the host's input buffer was written";
}

// A long stretch of pseudo-random input: ordinary, full-scale, tiny, silent.
struct Segment {
    enum Kind { Noise, Square, Zeros, Poisoned } kind;  // Poisoned: noise with a NaN and infinities
    float amplitude;
    int32_t length;
    bool scaleStateDown;  // start from a state as small as a long silence leaves it
};

const std::vector<Segment> kProgramme = {
    {Segment::Noise, 0.5f, 3000, false},   {Segment::Square, 1.0f, 1000, false},
    {Segment::Noise, 1e-30f, 1500, false}, {Segment::Noise, 1.0f, 1000, false},
    {Segment::Zeros, 0.0f, 60000, true},   {Segment::Noise, 0.25f, 2000, false},
};

// The same, then a NaN and infinities among noise, and noise after them.
const std::vector<Segment> kDifferentialProgramme = [] {
    std::vector<Segment> programme = kProgramme;
    programme.push_back({Segment::Poisoned, 0.5f, 4000, false});
    programme.push_back({Segment::Noise, 0.5f, 1500, false});
    return programme;
}();

std::vector<float> render(const std::vector<Segment>& programme) {
    std::vector<float> x;
    uint32_t seed = 12345;
    for (const Segment& s : programme) {
        for (int32_t i = 0; i < s.length; ++i) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            const float noise = static_cast<float>(seed) / 4294967296.0f * 2.0f - 1.0f;
            switch (s.kind) {
                case Segment::Noise:
                    x.push_back(s.amplitude * noise);
                    break;
                case Segment::Square:
                    x.push_back((i / 37) % 2 ? s.amplitude : -s.amplitude);
                    break;
                case Segment::Zeros:
                    x.push_back(0.0f);
                    break;
                case Segment::Poisoned: {
                    constexpr float inf = std::numeric_limits<float>::infinity();
                    const float poison[] = {std::numeric_limits<float>::quiet_NaN(), inf, -inf};
                    const int32_t every = s.length / 4;
                    x.push_back(i % every == every / 2 && i / every < 3 ? poison[i / every]
                                                                        : s.amplitude * noise);
                    break;
                }
            }
        }
    }
    return x;
}

bool anySubnormal(const double* state, int elements) {
    return std::any_of(state, state + elements,
                       [](double v) { return std::fpclassify(v) == FP_SUBNORMAL; });
}

// Moves a state down to around 1e-306 by a power of two, exactly, so that the
// following zeros reach the subnormal range within a short test.
void scaleDown(double* state, int elements) {
    double largest = 0.0;
    for (int i = 0; i < elements; ++i)
        largest = std::max(largest, std::fabs(state[i]));
    if (largest == 0.0) return;
    const int shift = -1016 - std::ilogb(largest);
    for (int i = 0; i < elements; ++i)
        state[i] = std::ldexp(state[i], shift);
}

// Two outputs agree when their bits do; a zero of either sign counts as the
// same zero, since a subnormal history cleared to zero can turn -0 into +0
// (no float output can show the difference otherwise).
bool sameOutput(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) || (a == 0.0f && b == 0.0f);
}

struct Split {
    const char* name;
    std::vector<int32_t> pattern;  // block sizes, repeated
};

// Test parameters are printed by name: GoogleTest would otherwise dump their
// bytes, padding included, which memory checkers rightly call uninitialised.
void PrintTo(const Split& split, std::ostream* os) {
    *os << split.name;
}

using Differential = OnEveryPath<std::tuple<const KernelPath*, int, Split>>;

// The path against the literal algorithm and against today's scalar kernel.
// With the scalar kernel it shares the rules for a subnormal or non-finite
// history, so there every state element and every output bit must agree,
// zeros' signs and NaNs included. The literal algorithm keeps its history as
// it is: after each call the test clears a non-finite one, as the kernels do.
TEST_P(Differential, MatchesTheLiteralAlgorithm) {
    const int type = this->type();
    const Split& split = std::get<2>(GetParam());
    // Mid-stream the body changes to a shorter or longer one and back.
    const int other = (type + 5) % kTypeCount;

    Rig fast(render(kDifferentialProgramme), path());
    Rig scalar(fast.input, velmora::kernelPaths()[0]);
    Rig literal(fast.input);
    int32_t position = 0;
    size_t block = 0;
    int64_t outputsCompared = 0;
    for (size_t segment = 0; segment < kDifferentialProgramme.size(); ++segment) {
        const Segment& s = kDifferentialProgramme[segment];
        const int current = segment == 3 ? other : type;
        if (s.scaleStateDown) {
            scaleDown(literal.state.filterState, 20);
            for (Rig* rig : {&fast, &scalar}) {
                std::memcpy(rig->state.filterState, literal.state.filterState,
                            sizeof literal.state.filterState);
            }
        }
        const int32_t end = position + s.length;
        while (position < end) {
            const int32_t frames =
                std::min(split.pattern[block++ % split.pattern.size()], end - position);
            fast.run(current, position, frames);
            scalar.run(current, position, frames);
            literal.runLiteral(current, position, frames);
            double* history = literal.state.filterState;
            const int used = reference::stateElements[current];
            if (!std::all_of(history, history + used, [](double v) { return std::isfinite(v); }))
                std::fill_n(history, used, 0.0);
            position += frames;
        }
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(std::bit_cast<uint64_t>(fast.state.filterState[i]),
                      std::bit_cast<uint64_t>(scalar.state.filterState[i]))
                << "segment " << segment << " element " << i << ", against the scalar kernel";
        }
        if (!anySubnormal(literal.state.filterState, 20)) {
            for (int i = 0; i < 20; ++i) {
                ASSERT_EQ(std::bit_cast<uint64_t>(fast.state.filterState[i]),
                          std::bit_cast<uint64_t>(literal.state.filterState[i]))
                    << "segment " << segment << " element " << i;
            }
        }
    }
    for (size_t i = 0; i < fast.output.size(); ++i, ++outputsCompared) {
        ASSERT_EQ(std::bit_cast<uint32_t>(fast.output[i]),
                  std::bit_cast<uint32_t>(scalar.output[i]))
            << "sample " << i << ": " << fast.output[i] << " vs the scalar kernel's "
            << scalar.output[i];
        ASSERT_TRUE(std::isnan(literal.output[i]) ? std::isnan(fast.output[i])
                                                  : sameOutput(fast.output[i], literal.output[i]))
            << "sample " << i << ": " << fast.output[i] << " vs " << literal.output[i];
    }
    EXPECT_EQ(outputsCompared, static_cast<int64_t>(fast.input.size()));
    EXPECT_EQ(std::memcmp(fast.input.data(), literal.input.data(), fast.input.size() * 4), 0)
        << "the input buffer was written";
}

// Host-like block sizes, single frames, and sizes at and around where the
// lane kernels change variant (twice and three times a body's stage count:
// 10, 12, 15, 18 and 27 frames are the first a pipeline fills exactly; and
// 32, 64, 128 and 256 frames).
INSTANTIATE_TEST_SUITE_P(
    Kernels, Differential,
    ::testing::Combine(::testing::ValuesIn(everyPath()), ::testing::Range(0, kTypeCount),
                       ::testing::Values(Split{"Whole", {1 << 20}}, Split{"Single", {1}},
                                         Split{"ThreeFive", {3, 5}}, Split{"Seven", {7}},
                                         Split{"Host64", {64}}, Split{"Host1024", {1024}},
                                         Split{"Mixed",
                                               {2, 9, 10, 12, 15, 16, 17, 18, 24, 27, 31, 32, 63,
                                                64, 127, 128, 255, 256, 600}})),
    [](const auto& info) {
        return nameOf(std::get<0>(info.param)) + "_" + kTypeNames[std::get<1>(info.param)] + "_" +
               std::get<2>(info.param).name;
    });

// The lane kernels form each numerator other than 1 - z^-2 as
// (d*y2 - k*y1) + y. With each body's constants that must give the bits of the
// body's own formula for every value a history can hold: zeros of both signs,
// subnormals, the largest doubles (whose doubling overflows), infinities and
// NaNs. Where two different NaNs meet, which one an addition passes on
// depends on the order a compiler gives its operands, so only NaN is asked.
template <const auto& body, std::size_t k>
void expectLaneFormExact(const char* name) {
    constexpr auto numerator = velmora::numeratorAfter<body, k>();
    if constexpr (!std::is_same_v<std::remove_cv_t<decltype(numerator)>, velmora::Difference>) {
        constexpr velmora::LaneNumerator form = velmora::laneForm(numerator);
        std::vector<double> values = {0.0,
                                      std::numeric_limits<double>::denorm_min(),
                                      DBL_MIN,
                                      DBL_MIN * 0.75,
                                      1.0,
                                      0.3,
                                      1.7,
                                      1e-300,
                                      1e300,
                                      DBL_MAX,
                                      DBL_MAX / 2,
                                      std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::quiet_NaN(),
                                      std::bit_cast<double>(0x7ff8'dead'beef'0001ull)};
        for (size_t i = 0, n = values.size(); i < n; ++i)
            values.push_back(-values[i]);
        uint64_t seed = 42;
        for (int i = 0; i < 40; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            values.push_back(std::ldexp(static_cast<double>(seed >> 11) / 9007199254740992.0,
                                        static_cast<int>(seed % 80) - 40) *
                             (seed & 1 ? 1.0 : -1.0));
        }
        for (double y : values) {
            for (double y1 : values) {
                for (double y2 : values) {
                    const double formula = numerator(y, y1, y2);
                    const double lanes = (form.d * y2 - form.k * y1) + y;
                    const int nans = std::isnan(y) + std::isnan(y1) + std::isnan(y2);
                    if (nans > 1) {
                        ASSERT_TRUE(std::isnan(lanes) && std::isnan(formula));
                    } else {
                        ASSERT_EQ(std::bit_cast<uint64_t>(lanes), std::bit_cast<uint64_t>(formula))
                            << name << " after stage " << k << ": y " << y << ", y1 " << y1
                            << ", y2 " << y2;
                    }
                }
            }
        }
    }
}
template <const auto& body, std::size_t... k>
void expectLaneFormsExact(const char* name, std::index_sequence<k...>) {
    (expectLaneFormExact<body, k>(name), ...);
}
template <const auto& body>
void expectLaneFormsExact(const char* name) {
    constexpr size_t stages = std::remove_cvref_t<decltype(body)>::stageCount;
    expectLaneFormsExact<body>(name, std::make_index_sequence<stages>{});
}

TEST(LaneForms, GiveEachNumeratorsOwnBits) {
    []<const auto&... body>(velmora::bodies::BodySequence<body...>) {
        int type = 1;
        (expectLaneFormsExact<body>(kTypeNames[type++]), ...);
    }
    (velmora::bodies::CascadesByType{});
}

// The library runs one production path, chosen once from the processor, and
// only one the processor has: on a processor with SSE2 alone that is the
// SSE2 path (module_baseline_code checks that nothing else reaches further;
// the *_sse2_processor tests run this on such a processor, emulated).
TEST(KernelPaths, TheLibraryRunsAPathTheProcessorHas) {
    using velmora::InstructionSet;
    const KernelPath& chosen = velmora::chosenKernelPath();
    ::testing::Test::RecordProperty("path", chosen.name);
    if (!velmora::processorSupports(InstructionSet::Avx2)) {
        EXPECT_STREQ(chosen.name, "sse2");
    }
    EXPECT_TRUE(velmora::processorSupports(InstructionSet::Sse2));
    EXPECT_TRUE(velmora::processorSupports(chosen.needs)) << chosen.name;
    EXPECT_FALSE(chosen.oneVariant) << chosen.name;
    EXPECT_NE(std::string(chosen.name), "scalar");
    for (int type = 0; type < kTypeCount; ++type)
        EXPECT_EQ(kernelForType(type), (*chosen.kernels)[type]) << type;
    EXPECT_EQ(&velmora::chosenKernelPath(), &chosen);
}

TEST(KernelMap, SeventeenDistinctKernelsAndViolinIOutsideTheRange) {
    std::vector<velmora::Kernel> kernels;
    std::vector<ProcessFunction> functions;
    for (int type = 0; type < kTypeCount; ++type) {
        kernels.push_back(kernelForType(type));
        functions.push_back(velmora::processFunctionForType(type));
    }
    std::sort(kernels.begin(), kernels.end());
    EXPECT_EQ(std::unique(kernels.begin(), kernels.end()), kernels.end());
    std::sort(functions.begin(), functions.end());
    EXPECT_EQ(std::unique(functions.begin(), functions.end()), functions.end());
    for (int type : {17, 32767, -1, -32768, 1000}) {
        EXPECT_EQ(kernelForType(type), kernelForType(1)) << type;
        EXPECT_EQ(velmora::processFunctionForType(type), &velmora::processViolinI) << type;
    }
}

constexpr double kSentinel = 12345.678;

TEST_P(EveryKernel, TouchesOnlyItsOwnStateElements) {
    const int type = this->type();
    Rig rig(render(kProgramme), path());
    std::fill(std::begin(rig.state.filterState), std::end(rig.state.filterState), kSentinel);
    std::fill_n(rig.state.filterState, reference::stateElements[type], 0.0);
    rig.run(type, 0, 4096);
    for (int i = reference::stateElements[type]; i < 20; ++i) {
        EXPECT_EQ(rig.state.filterState[i], kSentinel) << "element " << i;
    }
}

TEST_P(EveryKernel, CallsWithoutFramesChangeNothing) {
    const int type = this->type();
    Rig rig(render(kProgramme), path());
    rig.run(type, 0, 100);
    std::fill(rig.output.begin() + 100, rig.output.end(), kSentinel);
    double before[20];
    std::memcpy(before, rig.state.filterState, sizeof before);
    for (int32_t frames : {0, -1, INT32_MIN})
        rig.run(type, 100, frames);
    EXPECT_EQ(std::memcmp(before, rig.state.filterState, sizeof before), 0);
    EXPECT_EQ(rig.output[100], static_cast<float>(kSentinel));
}

TEST_P(EveryKernel, SameBufferForInputAndOutput) {
    const int type = this->type();
    Rig separate(render(kProgramme), path());
    Rig inPlace(separate.input, path());
    inPlace.inPlace = true;
    for (int32_t p = 0; p < 8192; p += 512) {
        separate.run(type, p, 512);
        inPlace.run(type, p, 512);
    }
    for (int32_t i = 0; i < 8192; ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(separate.output[i]),
                  std::bit_cast<uint32_t>(inPlace.input[i]))
            << i;
    }
}

// A NaN or an infinity spoils the outputs of its own call, as the arithmetic
// gives them, and no more: the history the call leaves is cleared, the
// elements the kernel does not use are kept, and the next call plays as
// from open.
TEST_P(EveryKernel, NonFiniteHistoryIsForgottenAtTheEndOfItsCall) {
    const int type = this->type();
    const int used = reference::stateElements[type];
    auto expectForgotten = [&](Rig& rig, const char* how) {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(rig.state.filterState[i], i < used ? 0.0 : kSentinel)
                << how << ": element " << i;
        }
        Rig fresh(rig.input, path());
        fresh.run(type, 64, 32);
        rig.run(type, 64, 32);
        for (int i = 64; i < 96; ++i)
            ASSERT_EQ(std::bit_cast<uint32_t>(rig.output[i]),
                      std::bit_cast<uint32_t>(fresh.output[i]))
                << how << ": frame " << i;
    };
    for (float poison :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity()}) {
        Rig rig(render(kProgramme), path());
        Rig literal(rig.input);
        for (Rig* r : {&rig, &literal}) {
            std::fill(std::begin(r->state.filterState), std::end(r->state.filterState), kSentinel);
            std::fill_n(r->state.filterState, used, 0.0);
            r->input[10] = poison;
        }
        rig.run(type, 0, 64);
        literal.runLiteral(type, 0, 64);
        for (int i = 0; i < 64; ++i) {
            const float got = rig.output[i], expected = literal.output[i];
            ASSERT_TRUE(std::isnan(got) ? std::isnan(expected) : sameOutput(got, expected))
                << "frame " << i << ": " << got << " where the arithmetic gives " << expected;
        }
        EXPECT_FALSE(std::isfinite(rig.output[63]));
        expectForgotten(rig, std::isnan(poison) ? "NaN" : "infinity");
    }
    // A finite history can overflow too; the pass filter's only shrinks.
    if (type != 0) {
        Rig rig(std::vector<float>(96, 0.5f), path());
        std::fill(std::begin(rig.state.filterState), std::end(rig.state.filterState), kSentinel);
        std::fill_n(rig.state.filterState, used, 0.0);
        rig.state.filterState[1] = std::numeric_limits<double>::max();
        rig.run(type, 0, 64);
        expectForgotten(rig, "overflow");
    }
}

TEST_P(EveryKernel, OutputBeyondFloatRangeIsAnInfinityOfItsSign) {
    const int type = this->type();
    // y_last[n-2] huge: the output numerator carries it straight out.
    const int last = reference::stateElements[type] - 2;
    for (double sign : {1.0, -1.0}) {
        Rig fast(std::vector<float>(1, 0.0f), path());
        Rig literal(fast.input);
        fast.state.filterState[type == 0 ? 0 : last] = sign * 1e300;
        literal.state.filterState[type == 0 ? 0 : last] = sign * 1e300;
        fast.run(type, 0, 1);
        literal.runLiteral(type, 0, 1);
        EXPECT_TRUE(std::isinf(fast.output[0])) << fast.output[0];
        EXPECT_EQ(fast.output[0], literal.output[0]);
    }
    // The sign is the value's: the pass filter answers -0.0006 of its accumulator.
    Rig pass(std::vector<float>(1, 0.0f), path());
    pass.state.filterState[0] = 1e300;
    pass.run(0, 0, 1);
    EXPECT_EQ(pass.output[0], -std::numeric_limits<float>::infinity());
}

// A fade reads each input sample before its output is written: the same
// buffer for both gives the same bits, a change in mid-fade included.
TEST(BodyFilter, SameBufferForInputAndOutputAcrossAFade) {
    const std::vector<float> signal = render(kProgramme);
    std::vector<float> separate(signal.size()), inPlace = signal;
    velmora::BodyFilter a, b;
    a.open(16);
    b.open(16);
    const int32_t blocks[][2] = {{16, 3000}, {12, 500}, {0, 2000}, {0, 1500}};
    int32_t p = 0;
    for (const auto& [type, frames] : blocks) {
        a.process(type, signal.data() + p, separate.data() + p, frames);
        b.process(type, inPlace.data() + p, inPlace.data() + p, frames);
        p += frames;
    }
    for (int32_t i = 0; i < p; ++i)
        ASSERT_EQ(std::bit_cast<uint32_t>(separate[i]), std::bit_cast<uint32_t>(inPlace[i])) << i;
}

// Tests that run every body on one path.
using EveryPath = OnEveryPath<std::tuple<const KernelPath*>>;
INSTANTIATE_TEST_SUITE_P(Kernels, EveryPath, ::testing::Combine(::testing::ValuesIn(everyPath())),
                         [](const auto& info) { return nameOf(std::get<0>(info.param)); });

// One body, then another, then the first again, against the literal kernels.
void checkHistoryAcrossBodies(const KernelPath& path, int longer, int shorter, int keptFrom,
                              int keptTo) {
    Rig fast(render(kProgramme), path);
    Rig literal(fast.input);
    fast.run(longer, 0, 3000);
    literal.runLiteral(longer, 0, 3000);
    double kept[20];
    std::memcpy(kept, fast.state.filterState, sizeof kept);
    fast.run(shorter, 3000, 3000);
    literal.runLiteral(shorter, 3000, 3000);
    for (int i = keptFrom; i < 20; ++i) {
        EXPECT_EQ(fast.state.filterState[i], kept[i]) << "element " << i;
    }
    EXPECT_NE(fast.state.filterState[0], kept[0]);
    // Resuming: the higher stages carry on from where they stopped, the lower
    // ones from what the shorter body left.
    fast.run(longer, 6000, 3000);
    literal.runLiteral(longer, 6000, 3000);
    for (int i = 0; i < 9000; ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(fast.output[i]),
                  std::bit_cast<uint32_t>(literal.output[i]))
            << i;
    }
    EXPECT_NE(fast.state.filterState[keptTo], kept[keptTo]);
}

TEST_P(EveryPath, HistoryContrabassViolinIContrabass) {
    checkHistoryAcrossBodies(path(), 11, 1, 10, 11);
}
TEST_P(EveryPath, HistorySympatheticOboeISympathetic) {
    checkHistoryAcrossBodies(path(), 16, 12, 10, 17);
}

TEST_P(EveryPath, PassFilterTakesTheCascadesFirstElement) {
    for (int type = 1; type < kTypeCount; ++type) {
        Rig rig(render(kProgramme), path());
        rig.run(type, 0, 500);
        const double s0 = rig.state.filterState[0];
        rig.run(0, 500, 1);
        const double x = rig.input[500];
        EXPECT_EQ(rig.output[500], static_cast<float>((s0 + x) * 0.9994 - s0)) << type;
    }
}

// Magnitude response from the kernel itself: the impulse response, long
// enough for the narrowest resonance to die away, through a plain FFT.
std::vector<double> magnitudeResponse(int type, size_t length) {
    Rig rig(impulse(length));
    rig.run(type, 0, static_cast<int32_t>(length));
    std::vector<std::complex<double>> a(rig.output.begin(), rig.output.end());
    for (size_t i = 1, j = 0; i < length; ++i) {
        size_t bit = length >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= length; len <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2.0 * std::numbers::pi / len);
        for (size_t i = 0; i < length; i += len) {
            std::complex<double> w = 1.0;
            for (size_t k = 0; k < len / 2; ++k, w *= step) {
                const auto u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
    std::vector<double> magnitude(length / 2 + 1);
    for (size_t k = 0; k <= length / 2; ++k)
        magnitude[k] = std::abs(a[k]);
    return magnitude;
}

constexpr size_t kResponseLength = size_t{1} << 18;
constexpr double kReferenceRate = 44000.0;

class Response : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(Kernels, Response, ::testing::Range(0, kTypeCount),
                         [](const auto& info) { return kTypeNames[info.param]; });

TEST_P(Response, VanishesWhereTheNumeratorsHaveZeros) {
    const int type = GetParam();
    const auto magnitude = magnitudeResponse(type, kResponseLength);
    const double peak = *std::max_element(magnitude.begin(), magnitude.end());
    const double dry = type == 8 || type == 11 ? 0.0001 : 0.0;  // the dry trace passes everything
    EXPECT_NEAR(magnitude.front(), dry, 1e-6 * peak) << "at 0 Hz";
    // The pass filter alone has no zero at half the rate.
    const double nyquist = type == 0 ? 0.9994 * 2 / 1.9994 : dry;
    EXPECT_NEAR(magnitude.back(), nyquist, 1e-6 * peak) << "at half the rate";
}

struct Peak {
    int type;
    double gain;
    double frequency;
};

void PrintTo(const Peak& peak, std::ostream* os) {
    *os << kTypeNames[peak.type];
}

class WindPeaks : public ::testing::TestWithParam<Peak> {};

TEST_P(WindPeaks, PeakGainAndFrequency) {
    const Peak& expected = GetParam();
    const auto magnitude = magnitudeResponse(expected.type, kResponseLength);
    const auto peak = std::max_element(magnitude.begin(), magnitude.end());
    const double frequency =
        static_cast<double>(peak - magnitude.begin()) * kReferenceRate / kResponseLength;
    EXPECT_NEAR(*peak, expected.gain, 0.005 * expected.gain);
    EXPECT_NEAR(frequency, expected.frequency, 0.005 * expected.frequency);
}

INSTANTIATE_TEST_SUITE_P(Kernels, WindPeaks,
                         ::testing::Values(Peak{12, 9.973, 1346}, Peak{13, 5.884, 1110},
                                           Peak{14, 9.464, 1008}, Peak{15, 10.885, 928},
                                           Peak{16, 10.00, 775}),
                         [](const auto& info) { return kTypeNames[info.param.type]; });

// Hashes of every output bit and the final state over the whole programme,
// in host-sized blocks with one change of body. The same values must come out
// of every build: the native one, the 32-bit one under Wine, any compiler.
uint64_t fnv1a(uint64_t hash, const void* data, size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < bytes; ++i)
        hash = (hash ^ p[i]) * 0x100000001b3ull;
    return hash;
}

TEST_P(EveryPath, SameBitsOnEveryBuild) {
    const uint64_t expected[kTypeCount] = {
        0xc3ca564109abe352ull, 0xeb7fa0623571f64eull, 0xffa7807f6952068bull, 0x32bb250b38007a30ull,
        0xc3e095adfd94da6cull, 0xfaf62cb4865c00deull, 0x9a45edbbc9184d41ull, 0xe16c287e4dae896aull,
        0xb36b0323c727f1ull,   0x7b59ff8d80f92859ull, 0x555517fa974d2659ull, 0xd60dea5fc2a24977ull,
        0xc54b744ff95a1be4ull, 0xf358b771e3b8fe64ull, 0x8af321e9548ffcaull,  0x696ac10d0aa6fad2ull,
        0x28a7b58a72f7df86ull,
    };
    for (int type = 0; type < kTypeCount; ++type) {
        Rig rig(render(kProgramme), path());
        for (int32_t p = 0; p < static_cast<int32_t>(rig.input.size()); p += 256) {
            const int32_t frames =
                std::min<int32_t>(256, static_cast<int32_t>(rig.input.size()) - p);
            rig.run(p < 4096 ? (type + 3) % kTypeCount : type, p, frames);
        }
        uint64_t hash = 0xcbf29ce484222325ull;
        hash = fnv1a(hash, rig.output.data(), rig.output.size() * sizeof(float));
        hash = fnv1a(hash, rig.state.filterState, sizeof rig.state.filterState);
        EXPECT_EQ(hash, expected[type]) << kTypeNames[type] << ": 0x" << std::hex << hash;
    }
}

}  // namespace
