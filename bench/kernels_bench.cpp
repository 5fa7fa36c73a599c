// Nanoseconds per sample of every kernel, beside three baselines run over the
// same input in the same process:
//   literal  the algorithm as written: state in filterState, one memmove of
//            2N-1 doubles per sample;
//   df1/tdf2 a general-purpose biquad cascade with run-time coefficients, in
//            Direct Form I and Transposed Direct Form II;
//   floor    one two-pole recurrence alone, the loop-carried chain that no
//            bit-exact kernel can beat;
//   ops/N    the same floating-point work per sample as an N-stage body, but
//            with every stage fed straight from the input: what the
//            operation count alone costs, without the chain between stages.
// Plus each kernel on zeros after its state has decayed, against ordinary
// input, and each kernel called by a host in floating-point modes of its own,
// against the default modes. Tables of ratios follow Google Benchmark's own
// output.
#include <benchmark/benchmark.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "coefficients.h"
#include "default_fp_modes.h"
#include "kernels.h"
#include "noise.h"
#include "reference_kernels.h"

namespace {

using velmora::kTypeCount;

const char* const kNames[kTypeCount] = {
    "PassFilter", "ViolinI", "ViolinII",    "ViolinIII",    "ViolaI",     "ViolaII",
    "ViolI",      "ViolII",  "CelloI",      "CelloII",      "Bass",       "Contrabass",
    "OboeI",      "OboeII",  "CorAnglaisI", "CorAnglaisII", "Sympathetic"};

constexpr int32_t kFramesPerIteration = 8192;

const std::vector<float>& ordinaryInput() {
    static const std::vector<float> input = noise(kFramesPerIteration);
    return input;
}
const std::vector<float>& silentInput() {
    static const std::vector<float> input(kFramesPerIteration, 0.0f);
    return input;
}

// --- Generic cascade baseline ---------------------------------------------

struct Biquad {
    double b0, b1, b2, a1, a2;
};

// The body's resonators as a general-purpose library would hold them: an
// array of sections, each with five run-time coefficients.
struct GenericCascade {
    double gain = 1.0;
    std::vector<Biquad> sections;
};

template <const auto& body>
GenericCascade genericOf() {
    GenericCascade c;
    c.gain = 0.001;
    for (const auto& s : body.stages)
        c.sections.push_back({1.0, 0.0, -1.0, s.b, s.a});
    return c;
}

GenericCascade genericCascade(int type) {
    using namespace velmora::bodies;
    switch (type) {
        case 0:
            return {1.0, {{0.9994, -0.9994, 0.0, -0.9994, 0.0}}};
        case 1:
            return genericOf<violinI>();
        case 2:
            return genericOf<violinII>();
        case 3:
            return genericOf<violinIII>();
        case 4:
            return genericOf<violaI>();
        case 5:
            return genericOf<violaII>();
        case 6:
            return genericOf<violI>();
        case 7:
            return genericOf<violII>();
        case 8:
            return genericOf<celloI>();
        case 9:
            return genericOf<celloII>();
        case 10:
            return genericOf<bass>();
        case 11:
            return genericOf<contrabass>();
        case 12:
            return genericOf<oboeI>();
        case 13:
            return genericOf<oboeII>();
        case 14:
            return genericOf<corAnglaisI>();
        case 15:
            return genericOf<corAnglaisII>();
        default:
            return genericOf<sympathetic>();
    }
}

struct DirectFormOneState {
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

void runDirectFormOne(const GenericCascade& c, std::vector<DirectFormOneState>& state,
                      const float* in, float* out, int32_t frames) {
    for (int32_t i = 0; i < frames; ++i) {
        double v = in[i] * c.gain;
        for (size_t k = 0; k < c.sections.size(); ++k) {
            const Biquad& q = c.sections[k];
            DirectFormOneState& s = state[k];
            const double y = q.b0 * v + q.b1 * s.x1 + q.b2 * s.x2 - q.a1 * s.y1 - q.a2 * s.y2;
            s.x2 = s.x1;
            s.x1 = v;
            s.y2 = s.y1;
            s.y1 = y;
            v = y;
        }
        out[i] = static_cast<float>(v);
    }
}

struct TransposedState {
    double s1 = 0, s2 = 0;
};

void runTransposed(const GenericCascade& c, std::vector<TransposedState>& state, const float* in,
                   float* out, int32_t frames) {
    for (int32_t i = 0; i < frames; ++i) {
        double v = in[i] * c.gain;
        for (size_t k = 0; k < c.sections.size(); ++k) {
            const Biquad& q = c.sections[k];
            TransposedState& s = state[k];
            const double y = q.b0 * v + s.s1;
            s.s1 = q.b1 * v - q.a1 * y + s.s2;
            s.s2 = q.b2 * v - q.a2 * y;
            v = y;
        }
        out[i] = static_cast<float>(v);
    }
}

// N recurrences with a body's operations per sample (gain, two products and
// three differences per stage, the output conversion), each fed from the
// input so that nothing waits for another stage: what the operation count
// alone costs. Each stage's result is kept alive without any further work.
template <std::size_t N>
void operationCountBound(const float* in, float* out, int32_t frames, double* y1, double* y2) {
    for (int32_t i = 0; i < frames; ++i) {
        const double x = static_cast<double>(in[i]) * 0.001;
        double last = 0.0;
        [&]<std::size_t... k>(std::index_sequence<k...>) {
            (([&] {
                 const double y = (x - 0.98 * y2[k]) - (-1.97 + 0.001 * k) * y1[k];
                 last = y - y2[k];
                 asm volatile("" : : "x"(last));
                 y2[k] = y1[k];
                 y1[k] = y;
             }()),
             ...);
        }
        (std::make_index_sequence<N>{});
        out[i] = static_cast<float>(last);
    }
}

// --- Benchmarks -------------------------------------------------------------

// Runs `process(offset, frames)` over one iteration's frames in host blocks.
template <class Process>
void blocks(benchmark::State& state, int32_t block, Process process) {
    for (auto _ : state) {
        for (int32_t p = 0; p < kFramesPerIteration; p += block)
            process(p, block);
        benchmark::ClobberMemory();
    }
    state.counters["frames"] = kFramesPerIteration;
}

struct Rig {
    velmora::KernelState state;
    std::vector<float> input;
    std::vector<float> output = std::vector<float>(kFramesPerIteration);
    const float* in = nullptr;  // what the kernels read: the input, or a warm-up signal
    explicit Rig(const std::vector<float>& signal) : input(signal), in(input.data()) {}
    // Runs `kernel` on frames [offset, offset + frames).
    template <class Kernel>
    void run(Kernel kernel, int32_t offset, int32_t frames) {
        kernel(state, in + offset, output.data() + offset, frames);
    }
};

// Brings a kernel's state to where a long silence leaves it: after ordinary
// input the state is moved down by a power of two to around 1e-300, then
// zeros run until every stage has passed through the subnormal range.
template <class Run>
void decay(Rig& rig, Run run) {
    std::vector<float> warm = ordinaryInput();
    rig.in = warm.data();
    run(0, kFramesPerIteration);
    double largest = 0;
    for (double v : rig.state.filterState)
        largest = std::max(largest, std::fabs(v));
    if (largest > 0) {
        for (double& v : rig.state.filterState)
            v = std::ldexp(v, -996 - std::ilogb(largest));
    }
    rig.in = rig.input.data();
    for (int i = 0; i < 40; ++i)
        run(0, kFramesPerIteration);
}

// Flush to zero, denormals are zero and round down, on top of the defaults.
constexpr unsigned kHostModes = 0x8000 | 0x0040 | 0x2000;

// What the kernels' own floating-point modes cost per call, alone: with the
// host in the default modes (one read of MXCSR) and in modes of its own
// (two writes besides).
void registerFpModes() {
    benchmark::RegisterBenchmark("fp-modes/none", [](benchmark::State& s) {
        for (auto _ : s)
            benchmark::ClobberMemory();
    });
    for (const bool own : {false, true}) {
        benchmark::RegisterBenchmark(own ? "fp-modes/host-modes" : "fp-modes/default",
                                     [=](benchmark::State& s) {
                                         const unsigned usual = _mm_getcsr();
                                         if (own) _mm_setcsr(usual | kHostModes);
                                         for (auto _ : s) {
                                             const velmora::DefaultFpModes modes;
                                             benchmark::ClobberMemory();
                                         }
                                         _mm_setcsr(usual);
                                     });
    }
}

void registerAll() {
    registerFpModes();
    for (int32_t block : {64, 1024}) {
        const std::string size = "/" + std::to_string(block);
        for (int type = 0; type < kTypeCount; ++type) {
            const std::string name = kNames[type];
            benchmark::RegisterBenchmark(
                ("kernel/" + name + size).c_str(), [=](benchmark::State& s) {
                    Rig rig(ordinaryInput());
                    const velmora::Kernel f = velmora::kernelForType(type);
                    blocks(s, block, [&](int32_t o, int32_t n) { rig.run(f, o, n); });
                });
            // The same with the host in modes of its own (flush to zero,
            // denormals are zero, round down): every call switches to the
            // default modes and back.
            benchmark::RegisterBenchmark(
                ("host-modes/" + name + size).c_str(), [=](benchmark::State& s) {
                    Rig rig(ordinaryInput());
                    const velmora::Kernel f = velmora::kernelForType(type);
                    const unsigned usual = _mm_getcsr();
                    _mm_setcsr(usual | kHostModes);
                    blocks(s, block, [&](int32_t o, int32_t n) { rig.run(f, o, n); });
                    _mm_setcsr(usual);
                });
            benchmark::RegisterBenchmark(
                ("literal/" + name + size).c_str(), [=](benchmark::State& s) {
                    Rig rig(ordinaryInput());
                    const auto f = velmora::reference::kernels[type];
                    blocks(s, block, [&](int32_t o, int32_t n) { rig.run(f, o, n); });
                });
            benchmark::RegisterBenchmark(("df1/" + name + size).c_str(), [=](benchmark::State& s) {
                Rig rig(ordinaryInput());
                const GenericCascade c = genericCascade(type);
                std::vector<DirectFormOneState> st(c.sections.size());
                blocks(s, block, [&](int32_t o, int32_t n) {
                    runDirectFormOne(c, st, rig.input.data() + o, rig.output.data() + o, n);
                });
            });
            benchmark::RegisterBenchmark(("tdf2/" + name + size).c_str(), [=](benchmark::State& s) {
                Rig rig(ordinaryInput());
                const GenericCascade c = genericCascade(type);
                std::vector<TransposedState> st(c.sections.size());
                blocks(s, block, [&](int32_t o, int32_t n) {
                    runTransposed(c, st, rig.input.data() + o, rig.output.data() + o, n);
                });
            });
        }
        auto bound = [=]<std::size_t N>(const char* name) {
            benchmark::RegisterBenchmark(
                (std::string(name) + size).c_str(), [=](benchmark::State& s) {
                    Rig rig(ordinaryInput());
                    double y1[N] = {}, y2[N] = {};
                    blocks(s, block, [&](int32_t o, int32_t n) {
                        operationCountBound<N>(rig.input.data() + o, rig.output.data() + o, n, y1,
                                               y2);
                    });
                });
        };
        bound.template operator()<5>("ops/5");
        bound.template operator()<6>("ops/6");
        bound.template operator()<9>("ops/9");
        benchmark::RegisterBenchmark(("floor" + size).c_str(), [=](benchmark::State& s) {
            Rig rig(ordinaryInput());
            const double a = 0.9878648605107601, b = -1.982533331862628;
            double state[2] = {0, 0};
            blocks(s, block, [&](int32_t o, int32_t n) {
                const float* in = rig.input.data() + o;
                float* out = rig.output.data() + o;
                // In locals for the block, as the kernels keep theirs.
                double y2 = state[0], y1 = state[1];
                for (int32_t i = 0; i < n; ++i) {
                    const double y = (static_cast<double>(in[i]) - a * y2) - b * y1;
                    y2 = y1;
                    y1 = y;
                    out[i] = static_cast<float>(y);
                }
                state[0] = y2;
                state[1] = y1;
            });
        });
    }
    // Silence with the input still active: the state has decayed.
    for (int type = 0; type < kTypeCount; ++type) {
        const std::string name = kNames[type];
        benchmark::RegisterBenchmark(("zeros/" + name + "/1024").c_str(), [=](benchmark::State& s) {
            Rig rig(silentInput());
            const velmora::Kernel f = velmora::kernelForType(type);
            auto run = [&](int32_t o, int32_t n) { rig.run(f, o, n); };
            decay(rig, run);
            blocks(s, 1024, run);
        });
        benchmark::RegisterBenchmark(("literal-zeros/" + name + "/1024").c_str(),
                                     [=](benchmark::State& s) {
                                         Rig rig(silentInput());
                                         const auto f = velmora::reference::kernels[type];
                                         auto run = [&](int32_t o, int32_t n) { rig.run(f, o, n); };
                                         decay(rig, run);
                                         blocks(s, 1024, run);
                                     });
    }
}

// Keeps each run's nanoseconds per sample for the table of ratios.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> nsPerSample;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            nsPerSample[run.benchmark_name()] = run.GetAdjustedRealTime() / kFramesPerIteration;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void printRatios(const std::map<std::string, double>& ns) {
    auto at = [&](const std::string& key) {
        const auto it = ns.find(key);
        return it == ns.end() ? NAN : it->second;
    };
    for (const char* size : {"64", "1024"}) {
        const double floor = at(std::string("floor/") + size);
        std::printf(
            "\nBlocks of %s frames: ns/sample, and how many times faster than each "
            "baseline (floor: times the floor)\n",
            size);
        std::printf("%-13s %8s %8s %8s %8s %8s %8s | %9s %9s %8s %8s\n", "body", "kernel",
                    "literal", "df1", "tdf2", "floor", "ops", "x literal", "x generic", "floor x",
                    "ops x");
        for (int type = 0; type < kTypeCount; ++type) {
            const std::string suffix = std::string(kNames[type]) + "/" + size;
            const double k = at("kernel/" + suffix), lit = at("literal/" + suffix);
            const double df1 = at("df1/" + suffix), tdf2 = at("tdf2/" + suffix);
            const int stages = type == 0 ? 0 : type == 11 || type == 13 ? 6 : type == 16 ? 9 : 5;
            const double ops = stages == 0 ? NAN : at("ops/" + std::to_string(stages) + "/" + size);
            std::printf("%-13s %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f | %9.2f %9.2f %8.2f %8.2f\n",
                        kNames[type], k, lit, df1, tdf2, floor, ops, lit / k,
                        std::min(df1, tdf2) / k, k / floor, k / ops);
        }
    }
    std::printf(
        "\nThe kernels' own floating-point modes, blocks of 64: ns per call with the host in the "
        "default modes and in its own (flush to zero, denormals are zero, round down)\n");
    std::printf("%-13s %9s %9s %9s\n", "body", "default", "host's", "cost");
    for (int type = 0; type < kTypeCount; ++type) {
        const std::string suffix = std::string(kNames[type]) + "/64";
        const double usual = at("kernel/" + suffix) * 64, own = at("host-modes/" + suffix) * 64;
        std::printf("%-13s %9.1f %9.1f %9.1f\n", kNames[type], usual, own, own - usual);
    }
    const double loop = at("fp-modes/none");
    std::printf("the modes alone: %.1f ns per call in the default modes, %.1f in the host's\n",
                (at("fp-modes/default") - loop) * kFramesPerIteration,
                (at("fp-modes/host-modes") - loop) * kFramesPerIteration);

    std::printf("\nZeros after the state has decayed, blocks of 1024: ns/sample\n");
    std::printf("%-13s %8s %8s %8s %14s\n", "body", "ordinary", "zeros", "ratio", "literal zeros");
    for (int type = 0; type < kTypeCount; ++type) {
        const std::string suffix = std::string(kNames[type]) + "/1024";
        const double ordinary = at("kernel/" + suffix), zeros = at("zeros/" + suffix);
        std::printf("%-13s %8.3f %8.3f %8.2f %14.3f\n", kNames[type], ordinary, zeros,
                    zeros / ordinary, at("literal-zeros/" + suffix));
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter.nsPerSample);
    benchmark::Shutdown();
    return 0;
}
