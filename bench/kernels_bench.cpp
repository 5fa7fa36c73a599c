// Nanoseconds per sample of every kernel on every path the processor can run
// (the scalar kernels and each instruction set's lanes; with --variants also
// each lane variant alone), beside three baselines run over the same input in
// the same process:
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
// input, each kernel called by a host in floating-point modes of its own,
// against the default modes, and each body designed for 48000 Hz (the true
// tuning) against the same body's fixed kernel on the same path. Tables of ratios, and the targets
// they meet or miss, follow Google Benchmark's own output: from the processor time of each case,
// the least over its repetitions (--benchmark_repetitions), so that other work on the machine
// weighs as little as it can.
#include <benchmark/benchmark.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "body_filter.h"
#include "coefficients.h"
#include "default_fp_modes.h"
#include "floor.h"
#include "kernel_paths.h"
#include "kernels.h"
#include "least_time.h"
#include "noise.h"
#include "reference_kernels.h"
#include "tuned_design.h"

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

// Every case also reports the least of its repetitions, "_min" beside Google
// Benchmark's mean, median and spread: the time least disturbed by other work.
template <class Run>
void registerCase(const std::string& name, Run&& run) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Run>(run))
        ->ComputeStatistics("min", [](const std::vector<double>& v) {
            return *std::min_element(v.begin(), v.end());
        });
}

// A kernel on ordinary input in host blocks of `block` frames.
void kernelCase(const std::string& name, velmora::Kernel kernel, int32_t block) {
    registerCase(name, [=](benchmark::State& s) {
        Rig rig(ordinaryInput());
        blocks(s, block, [&](int32_t o, int32_t n) { rig.run(kernel, o, n); });
    });
}

// A kernel on zeros, in blocks of 1024, once its state has decayed.
void decayedCase(const std::string& name, velmora::Kernel kernel) {
    registerCase(name, [=](benchmark::State& s) {
        Rig rig(silentInput());
        auto run = [&](int32_t o, int32_t n) { rig.run(kernel, o, n); };
        decay(rig, run);
        blocks(s, 1024, run);
    });
}

// A body designed for `rate`, on one path, on ordinary input.
void tunedCase(const std::string& name, const velmora::KernelPath& path, int type, double rate,
               int32_t block) {
    registerCase(name, [=, &path](benchmark::State& s) {
        Rig rig(ordinaryInput());
        const velmora::TunedBody body = velmora::tunedBodyAt(type, rate);
        const velmora::TunedKernel kernel =
            (*path.tuned)[velmora::tunedKernelIndex(body.sections, body.dryTerm)];
        blocks(s, block, [&](int32_t o, int32_t n) {
            kernel(body, rig.state, rig.in + o, rig.output.data() + o, n);
        });
    });
}

// A body through BodyFilter, as every adapter plays it: steady (what a body
// that is not changing pays for the rule), and changing at every block of
// 1024 frames, so that every call is one whole fade of two kernels and the mix.
void registerBodyFilter() {
    for (int type = 0; type < kTypeCount; ++type) {
        const std::string name = kNames[type];
        for (int32_t block : {64, 1024}) {
            registerCase("body-filter/" + name + "/" + std::to_string(block),
                         [=](benchmark::State& s) {
                             const std::vector<float>& input = ordinaryInput();
                             std::vector<float> output(input.size());
                             velmora::BodyFilter filter;
                             filter.open(type);
                             blocks(s, block, [&](int32_t o, int32_t n) {
                                 filter.process(type, input.data() + o, output.data() + o, n);
                             });
                         });
        }
        registerCase("fading/" + name + "/1024", [=](benchmark::State& s) {
            const std::vector<float>& input = ordinaryInput();
            std::vector<float> output(input.size());
            velmora::BodyFilter filter;
            filter.open(type);
            const int other = (type + 1) % kTypeCount;
            bool now = false;
            blocks(s, velmora::BodyFilter::kFadeFrames, [&](int32_t o, int32_t n) {
                now = !now;
                filter.process(now ? other : type, input.data() + o, output.data() + o, n);
            });
        });
    }
}

// Flush to zero, denormals are zero and round down, on top of the defaults.
constexpr unsigned kHostModes = 0x8000 | 0x0040 | 0x2000;

// What the kernels' own floating-point modes cost per call, alone: with the
// host in the default modes (one read of MXCSR) and in modes of its own
// (two writes besides).
void registerFpModes() {
    registerCase("fp-modes/none", [](benchmark::State& s) {
        for (auto _ : s)
            benchmark::ClobberMemory();
    });
    for (const bool own : {false, true}) {
        registerCase(own ? "fp-modes/host-modes" : "fp-modes/default", [=](benchmark::State& s) {
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

void registerAll(bool variants) {
    registerFpModes();
    registerBodyFilter();
    for (int32_t block : {64, 1024}) {
        const std::string size = "/" + std::to_string(block);
        for (int type = 0; type < kTypeCount; ++type) {
            const std::string name = kNames[type];
            for (const velmora::KernelPath& path : velmora::kernelPaths()) {
                if (!velmora::processorSupports(path.needs) || (path.oneVariant && !variants))
                    continue;
                // The pass filter is the same scalar function on every path.
                if (type == 0 && &path != &velmora::kernelPaths()[0]) continue;
                kernelCase("path/" + std::string(path.name) + "/" + name + size,
                           (*path.kernels)[type], block);
                if (type != 0 && !path.oneVariant) {
                    tunedCase("true48k/" + std::string(path.name) + "/" + name + size, path, type,
                              48000.0, block);
                }
            }
            // The library's kernel with the host in modes of its own (flush
            // to zero, denormals are zero, round down): every call switches
            // to the default modes and back.
            registerCase(("host-modes/" + name + size).c_str(), [=](benchmark::State& s) {
                Rig rig(ordinaryInput());
                const velmora::Kernel f = velmora::kernelForType(type);
                const unsigned usual = _mm_getcsr();
                _mm_setcsr(usual | kHostModes);
                blocks(s, block, [&](int32_t o, int32_t n) { rig.run(f, o, n); });
                _mm_setcsr(usual);
            });
            kernelCase("literal/" + name + size, velmora::reference::kernels[type], block);
            registerCase(("df1/" + name + size).c_str(), [=](benchmark::State& s) {
                Rig rig(ordinaryInput());
                const GenericCascade c = genericCascade(type);
                std::vector<DirectFormOneState> st(c.sections.size());
                blocks(s, block, [&](int32_t o, int32_t n) {
                    runDirectFormOne(c, st, rig.input.data() + o, rig.output.data() + o, n);
                });
            });
            registerCase(("tdf2/" + name + size).c_str(), [=](benchmark::State& s) {
                Rig rig(ordinaryInput());
                const GenericCascade c = genericCascade(type);
                std::vector<TransposedState> st(c.sections.size());
                blocks(s, block, [&](int32_t o, int32_t n) {
                    runTransposed(c, st, rig.input.data() + o, rig.output.data() + o, n);
                });
            });
        }
        auto bound = [=]<std::size_t N>(const char* name) {
            registerCase((std::string(name) + size).c_str(), [=](benchmark::State& s) {
                Rig rig(ordinaryInput());
                double y1[N] = {}, y2[N] = {};
                blocks(s, block, [&](int32_t o, int32_t n) {
                    operationCountBound<N>(rig.input.data() + o, rig.output.data() + o, n, y1, y2);
                });
            });
        };
        bound.template operator()<5>("ops/5");
        bound.template operator()<6>("ops/6");
        bound.template operator()<9>("ops/9");
        registerCase(("floor" + size).c_str(), [=](benchmark::State& s) {
            Rig rig(ordinaryInput());
            double state[2] = {0, 0};
            blocks(s, block, [&](int32_t o, int32_t n) {
                oneResonator(rig.input.data() + o, rig.output.data() + o, n, state);
            });
        });
    }
    // Silence with the input still active: the state has decayed.
    for (int type = 0; type < kTypeCount; ++type) {
        const std::string name = kNames[type];
        decayedCase("zeros/" + name + "/1024", (*velmora::chosenKernelPath().kernels)[type]);
        decayedCase("literal-zeros/" + name + "/1024", velmora::reference::kernels[type]);
    }
}

int stagesOf(int type) {
    return velmora::reference::stateElements[type] / 2;
}

// The production paths this processor runs, the scalar kernels first.
std::vector<const velmora::KernelPath*> runnablePaths(bool variants) {
    std::vector<const velmora::KernelPath*> paths;
    for (const velmora::KernelPath& path : velmora::kernelPaths()) {
        if (velmora::processorSupports(path.needs) && path.oneVariant == variants)
            paths.push_back(&path);
    }
    return paths;
}

class Tables {
  public:
    explicit Tables(const std::map<std::string, double>& ns) : ns(ns) {}

    double at(const std::string& key) const {
        const auto it = ns.find(key);
        return it == ns.end() ? NAN : it->second;
    }
    double path(const velmora::KernelPath& p, int type, int size) const {
        return at("path/" + std::string(type == 0 ? "scalar" : p.name) + "/" + kNames[type] + "/" +
                  std::to_string(size));
    }
    double baseline(const char* name, int type, int size) const {
        return at(std::string(name) + "/" + kNames[type] + "/" + std::to_string(size));
    }
    double floor(int size) const { return at("floor/" + std::to_string(size)); }
    double generic(int type, int size) const {
        return std::min(baseline("df1", type, size), baseline("tdf2", type, size));
    }
    double bound(int type, int size) const {
        return type == 0 ? NAN
                         : at("ops/" + std::to_string(stagesOf(type)) + "/" + std::to_string(size));
    }

    // Markdown tables, so that BENCHMARKS.md takes them as they are.
    void everyPath(int size) const {
        const velmora::KernelPath& scalar = velmora::kernelPaths()[0];
        const velmora::KernelPath& chosen = velmora::chosenKernelPath();
        const auto paths = runnablePaths(false);
        std::printf(
            "\nBlocks of %d frames: ns per sample on each path; the ratios are those of "
            "the path the library runs here. The floor is %.3f ns.\n\n| body |",
            size, floor(size));
        for (const velmora::KernelPath* p : paths)
            std::printf(" %s |", p->name);
        std::printf(
            " runs here | x the floor | x faster than literal | x faster than generic |"
            " x faster than scalar |\n|---|");
        for (size_t i = 0; i < paths.size(); ++i)
            std::printf("---:|");
        std::printf("---|---:|---:|---:|---:|\n");
        for (int type = 0; type < kTypeCount; ++type) {
            std::printf("| %s |", kNames[type]);
            for (const velmora::KernelPath* p : paths) {
                if (type == 0 && p != &scalar) {
                    std::printf(" |");
                } else {
                    std::printf(" %.3f |", path(*p, type, size));
                }
            }
            const double k = path(chosen, type, size);
            std::printf(" %s | %.2f | %.2f | %.2f | %.2f |\n", type == 0 ? "scalar" : chosen.name,
                        k / floor(size), baseline("literal", type, size) / k,
                        generic(type, size) / k, path(scalar, type, size) / k);
        }
    }

    void baselines(int size) const {
        std::printf("\nBlocks of %d frames, the baselines: ns per sample (the floor: %.3f)\n\n",
                    size, floor(size));
        std::printf(
            "| body | literal | DF1 | TDF2 | op-count bound |\n|---|---:|---:|---:|---:|\n");
        for (int type = 0; type < kTypeCount; ++type) {
            std::printf("| %s | %.3f | %.3f | %.3f | %.3f |\n", kNames[type],
                        baseline("literal", type, size), baseline("df1", type, size),
                        baseline("tdf2", type, size), bound(type, size));
        }
    }

    void variants() const {
        const auto paths = runnablePaths(true);
        if (paths.empty() || std::isnan(path(*paths[0], 1, 64))) return;
        std::printf("\nEach lane variant alone: ns per sample\n\n| body | frames |");
        for (const velmora::KernelPath* p : paths)
            std::printf(" %s |", p->name);
        std::printf("\n|---|---:|");
        for (size_t i = 0; i < paths.size(); ++i)
            std::printf("---:|");
        std::printf("\n");
        for (int type = 1; type < kTypeCount; ++type) {
            for (int size : {64, 1024}) {
                std::printf("| %s | %d |", kNames[type], size);
                for (const velmora::KernelPath* p : paths)
                    std::printf(" %.3f |", path(*p, type, size));
                std::printf("\n");
            }
        }
    }

    void fpModes() const {
        std::printf(
            "\nThe kernels' own floating-point modes, blocks of 64: ns per call with the host in "
            "the default modes and in its own (flush to zero, denormals are zero, round down)\n\n");
        std::printf("| body | default | host's | cost |\n|---|---:|---:|---:|\n");
        for (int type = 0; type < kTypeCount; ++type) {
            const double usual = path(velmora::chosenKernelPath(), type, 64) * 64;
            const double own = baseline("host-modes", type, 64) * 64;
            std::printf("| %s | %.1f | %.1f | %.1f |\n", kNames[type], usual, own, own - usual);
        }
        const double loop = at("fp-modes/none");
        std::printf(
            "\nThe modes alone: %.1f ns per call in the default modes, %.1f in the host's\n",
            (at("fp-modes/default") - loop) * kFramesPerIteration,
            (at("fp-modes/host-modes") - loop) * kFramesPerIteration);
    }

    // The true tuning's cost: each body designed for 48000 Hz against its
    // fixed kernel, both on the same path.
    double trueAt48k(const velmora::KernelPath& p, int type, int size) const {
        return at("true48k/" + std::string(p.name) + "/" + kNames[type] + "/" +
                  std::to_string(size));
    }
    void tuning(int size) const {
        const auto paths = runnablePaths(false);
        std::printf(
            "\nTrue tuning at 48000 Hz, blocks of %d frames: ns per sample, and x the fixed "
            "kernel on the same path\n\n| body |",
            size);
        for (const velmora::KernelPath* p : paths)
            std::printf(" %s | x fixed |", p->name);
        std::printf("\n|---|");
        for (size_t i = 0; i < paths.size(); ++i)
            std::printf("---:|---:|");
        std::printf("\n");
        for (int type = 1; type < kTypeCount; ++type) {
            std::printf("| %s |", kNames[type]);
            for (const velmora::KernelPath* p : paths) {
                const double tuned = trueAt48k(*p, type, size);
                std::printf(" %.3f | %.2f |", tuned, tuned / path(*p, type, size));
            }
            std::printf("\n");
        }
    }

    // A change of body: a steady body through BodyFilter against its kernel
    // alone, and a call that is one whole fade (two kernels and the mix)
    // against the two kernels alone.
    void bodyFilter() const {
        const velmora::KernelPath& chosen = velmora::chosenKernelPath();
        std::printf(
            "\nBodyFilter: ns per sample of a steady body against its kernel alone, and of a "
            "fade (blocks of 1024, each one whole fade from the body below)\n\n");
        std::printf(
            "| body | kernel 64 | steady 64 | ratio | kernel 1024 | steady 1024 | ratio |"
            " fading 1024 | x the two kernels |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        for (int type = 0; type < kTypeCount; ++type) {
            const int other = (type + 1) % kTypeCount;
            const double k64 = path(chosen, type, 64), k1024 = path(chosen, type, 1024);
            const double s64 = baseline("body-filter", type, 64);
            const double s1024 = baseline("body-filter", type, 1024);
            const double fading = baseline("fading", type, 1024);
            std::printf("| %s | %.3f | %.3f | %.2f | %.3f | %.3f | %.2f | %.3f | %.2f |\n",
                        kNames[type], k64, s64, s64 / k64, k1024, s1024, s1024 / k1024, fading,
                        fading / (k1024 + path(chosen, other, 1024)));
        }
    }

    void zeros() const {
        std::printf("\nZeros after the state has decayed, blocks of 1024: ns per sample\n\n");
        std::printf(
            "| body | ordinary input | zeros | ratio | literal kernel on zeros |\n"
            "|---|---:|---:|---:|---:|\n");
        for (int type = 0; type < kTypeCount; ++type) {
            const double ordinary = path(velmora::chosenKernelPath(), type, 1024);
            const double zeros = baseline("zeros", type, 1024);
            std::printf("| %s | %.3f | %.3f | %.2f | %.3f |\n", kNames[type], ordinary, zeros,
                        zeros / ordinary, baseline("literal-zeros", type, 1024));
        }
    }

    // The targets, on the path the library runs here: the range over the
    // bodies each concerns, and whether its worst meets the target.
    void targets() const {
        const velmora::KernelPath& chosen = velmora::chosenKernelPath();
        std::printf("\nTargets, on the %s path\n", chosen.name);
        auto range = [&](const char* what, int size, auto&& bodies, auto&& value, double target,
                         bool atMost) {
            double lo = INFINITY, hi = -INFINITY;
            bool measured = true;
            for (int type = 1; type < kTypeCount; ++type) {
                if (!bodies(type)) continue;
                const double v = value(type, size);
                measured = measured && !std::isnan(v);
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            if (!measured) {
                // A filtered run: judge nothing rather than a part of it.
                std::printf("  %-52s %5d  not measured\n", what, size);
                return;
            }
            const double worst = atMost ? hi : lo;
            const bool met = atMost ? worst <= target : worst >= target;
            std::printf("  %-52s %5d  %5.2f to %5.2f  %s %.1f: %s\n", what, size, lo, hi,
                        atMost ? "within" : "at least", target, met ? "met" : "MISSED");
        };
        auto timesFloor = [&](int type, int size) {
            return path(chosen, type, size) / floor(size);
        };
        auto fasterThanLiteral = [&](int type, int size) {
            return baseline("literal", type, size) / path(chosen, type, size);
        };
        auto fiveStages = [](int type) { return stagesOf(type) == 5; };
        auto every = [](int) { return true; };
        for (const velmora::KernelPath* p : runnablePaths(false)) {
            auto overFixed = [&](int type, int size) {
                return trueAt48k(*p, type, size) / path(*p, type, size);
            };
            const std::string what = std::string(p->name) + ": true at 48 kHz, x the fixed";
            for (int size : {1024, 64})
                range(what.c_str(), size, every, overFixed, 1.3, true);
        }
        if (sizeof(void*) == 8) {
            range("five-stage bodies, x the floor", 1024, fiveStages, timesFloor, 1.6, true);
            range(
                "Contrabass and Oboe II, x the floor", 1024,
                [](int type) { return type == 11 || type == 13; }, timesFloor, 1.8, true);
            range(
                "Sympathetic, x the floor", 1024, [](int type) { return type == 16; }, timesFloor,
                1.9, true);
            range("every body, x faster than literal", 1024, every, fasterThanLiteral, 5.5, false);
            range("five-stage bodies, x the floor", 64, fiveStages, timesFloor, 2.3, true);
            range(
                "Sympathetic, x the floor", 64, [](int type) { return type == 16; }, timesFloor,
                3.6, true);
            return;
        }
        // The 32-bit library's targets are against today's scalar kernels:
        // twice as fast where AVX2 is present, never slower on SSE2 alone.
        const velmora::KernelPath& scalar = velmora::kernelPaths()[0];
        for (const velmora::KernelPath* p : runnablePaths(false)) {
            if (p == &scalar) continue;
            auto fasterThanScalar = [&](int type, int size) {
                return path(scalar, type, size) / path(*p, type, size);
            };
            const std::string what = std::string(p->name) + " path, x faster than scalar";
            if (p->needs == velmora::InstructionSet::Sse2) {
                for (int size : {64, 1024})
                    range(what.c_str(), size, every, fasterThanScalar, 1.0, false);
            } else {
                range(what.c_str(), 1024, every, fasterThanScalar, 2.0, false);
            }
        }
    }

  private:
    const std::map<std::string, double>& ns;
};

void printTables(const std::map<std::string, double>& ns) {
    std::printf("\n%d-bit build. The processor offers:", static_cast<int>(8 * sizeof(void*)));
    for (const auto set : {velmora::InstructionSet::Sse2, velmora::InstructionSet::Avx2,
                           velmora::InstructionSet::Avx512f}) {
        if (velmora::processorSupports(set)) std::printf(" %s", velmora::nameOf(set));
    }
    std::printf(". The library runs the %s path.\n", velmora::chosenKernelPath().name);
    const Tables tables(ns);
    for (int size : {1024, 64}) {
        tables.everyPath(size);
        tables.baselines(size);
    }
    for (int size : {1024, 64})
        tables.tuning(size);
    tables.variants();
    tables.fpModes();
    tables.bodyFilter();
    tables.zeros();
    tables.targets();
}

}  // namespace

int main(int argc, char** argv) {
    // --variants: also each lane variant alone, for choosing among them.
    bool variants = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--variants") == 0) {
            variants = true;
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
            break;
        }
    }
    registerAll(variants);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    LeastTimeReporter reporter([](const auto&) { return kFramesPerIteration; });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printTables(reporter.nsPerSample);
    benchmark::Shutdown();
    return 0;
}
