// The stages of a cascade side by side in SIMD lanes.
//
// The scalar kernel already runs its stages skewed, so that within one step
// they do not wait for each other. Here stage k lives in lane k of a few
// vector registers: one vector operation runs y = (x - A*y2) - B*y1 for every
// stage at once, with A and B per lane, and one more forms every stage's
// numerator. Shifting the numerators up by one lane hands each stage's output
// to the next: lane 0 takes the next input sample after its gain, and the last
// stage's numerator is the output of its frame.
//
// Stage k works on frame i - S*k in step i. Skewed by S frames a stage, a
// numerator waits S steps before the next stage takes it, so the shift and
// the subtraction it feeds stay off the chain that carries each stage from one
// frame to the next, which is left as short as one resonator's. Every lane
// does the scalar kernel's operations in the same order, each multiplication
// and subtraction on its own, so the bits are the same; the numerators other
// than 1 - z^-2 take their per-lane form (laneForm). The gain, the dry mix
// and the conversions stay scalar.
//
// The first and last steps of a call fill and drain the pipeline: in those
// only the lanes whose frame lies in the call keep what they computed.
//
// One source file per instruction set includes this file after defining
// VELMORA_LANES_TARGET, the attribute that compiles these functions for that
// instruction set (the rest of the library stays at the baseline), and hands
// LaneCascade its helper layer: a vector type and a few operations on it,
// each declared VELMORA_LANE_OP.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "cascade.h"

#ifndef VELMORA_LANES_TARGET
#error "define VELMORA_LANES_TARGET (the instruction set's target attribute) before lanes.h"
#endif

// A helper layer's operations: compiled for its instruction set, and always
// inlined into the kernels.
#define VELMORA_LANE_OP [[VELMORA_LANES_TARGET, gnu::always_inline]] static

namespace velmora::lanes {

// A helper layer provides, for its vector type Vec of `lanes` doubles:
//   load, store (unaligned), zero, broadcast, add, sub, mul;
//   shiftUp(below, v): the top lane of `below`, then v's lanes but its top one;
//   shiftIn(t, v): t, then v's lanes but its top one;
//   masks of lanes: lessOrEqual(a, b), constantMask<bits>(), and
//       select(mask, ifSet, ifClear);
//   lane<j>(v): lane j as a double.

//
// C channels of one body can share the lanes: stage k of channel c in lane
// k*C + c. A call of one channel waits on its stages' chain and leaves the
// processor's arithmetic half idle; a second channel's lanes fill it. The
// hand-over then moves C lanes up (shiftUp<C>, shiftIn<C>), and each stage's
// coefficients are spread over its C lanes.
template <class Isa, class Shape, int skew, int C = 1>
class LaneCascade {
    static constexpr int N = static_cast<int>(Shape::N);
    static constexpr int L = Isa::lanes;
    static constexpr int M = N * C;            // lanes in use
    static constexpr int V = (M + L - 1) / L;  // vectors; the lanes past M idle
    static constexpr int64_t kLatency = int64_t{skew} * (N - 1);
    static constexpr int32_t kShortest = skew * N;
    static_assert(L % C == 0);

    using Vec = typename Isa::Vec;

    // Per lane, how many steps after lane 0 it starts on a frame. Idle lanes
    // start never.
    struct Offsets {
        alignas(64) double of[V * L] = {};
    };
    static constexpr Offsets kOffsets = [] {
        Offsets offsets;
        for (int j = 0; j < V * L; ++j)
            offsets.of[j] = j < M ? static_cast<double>(skew * (j / C)) : 1e300;
        return offsets;
    }();

    // Vector v's lanes whose numerator is (d*y2 - k*y1) + y rather than
    // 1 - z^-2, as bits; whether every working lane of it is such a lane.
    static constexpr unsigned specialLanes(int v) {
        unsigned bits = 0;
        for (int j = 0; j < L; ++j)
            bits |= v * L + j < M && Shape::special(static_cast<std::size_t>((v * L + j) / C))
                        ? 1u << j
                        : 0u;
        return bits;
    }
    static constexpr bool allWorkingLanesSpecial(int v) {
        for (int j = 0; j < L && v * L + j < M; ++j)
            if (!Shape::special(static_cast<std::size_t>((v * L + j) / C))) return false;
        return true;
    }

  public:
    // Each variant a function of its own, compiled the same wherever it is
    // called from. A call too short for the pipeline to fill before it
    // drains goes to the scalar kernel. C histories and buffers.
    [[VELMORA_LANES_TARGET, gnu::noinline]] static void run(const Shape& shape,
                                                            double* const* states,
                                                            const float* const* inputs,
                                                            float* const* outputs, int32_t frames) {
        if (frames < kShortest) {
            for (int c = 0; c < C; ++c)
                runScalar(shape, states[c], inputs[c], outputs[c], frames);
            return;
        }
        LaneCascade cascade(shape, states, inputs, outputs, frames);
        cascade.runSteps();
        cascade.store(states);
    }
    [[VELMORA_LANES_TARGET]] static void run(const Shape& shape, double* state, const float* input,
                                             float* output, int32_t frames) {
        static_assert(C == 1);
        run(shape, &state, &input, &output, frames);
    }

  private:
    [[VELMORA_LANES_TARGET,
      gnu::always_inline]] LaneCascade(const Shape& shape, const double* const* states,
                                       const float* const* inputs, float* const* outputs,
                                       int32_t frameCount)
        : body(shape), lanes(spread(shape.lanes())), frames(frameCount) {
        double older[V * L] = {}, newer[V * L] = {};
        for (int c = 0; c < C; ++c) {
            in[c] = inputs[c];
            out[c] = outputs[c];
            for (int k = 0; k < N; ++k) {
                older[k * C + c] = states[c][2 * k];
                newer[k * C + c] = states[c][2 * k + 1];
            }
        }
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
            y2[v] = Isa::load(older + v * L);
            y1[v] = Isa::load(newer + v * L);
#pragma GCC unroll 4
            for (int s = 0; s < skew; ++s)
                handed[s][v] = Isa::zero();
        }
    }

    [[VELMORA_LANES_TARGET, gnu::always_inline]] void store(double* const* states) const {
        double older[V * L], newer[V * L];
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
            Isa::store(older + v * L, y2[v]);
            Isa::store(newer + v * L, y1[v]);
        }
        for (int c = 0; c < C; ++c) {
            double o[N], n[N];
            for (int k = 0; k < N; ++k) {
                o[k] = older[k * C + c];
                n[k] = newer[k * C + c];
            }
            storeHistory(states[c], o, n, N);
        }
    }

    // Each stage's coefficients over its C lanes; one channel reads the
    // shape's own.
    [[VELMORA_LANES_TARGET, gnu::always_inline]] auto spread(const LaneCoefficients& one) {
        if constexpr (C == 1) {
            return Coefficients{one.a, one.b, one.d, one.k};
        } else {
            for (int j = 0; j < V * L; ++j) {
                const int k = j / C;
                const bool used = j < M;
                spreadLanes.a[j] = used ? one.a[k] : 0.0;
                spreadLanes.b[j] = used ? one.b[k] : 0.0;
                spreadLanes.d[j] = used ? one.d[k] : 0.0;
                spreadLanes.k[j] = used ? one.k[k] : 0.0;
            }
            return Coefficients{spreadLanes.a, spreadLanes.b, spreadLanes.d, spreadLanes.k};
        }
    }

    // How a step treats the lanes. In a full step every lane has a frame of
    // the call. While the pipeline fills, the lanes above the first few have
    // no frame yet, and while it drains the lanes below the last few have
    // none left: they compute regardless, and between groups of steps the
    // history of the lanes without a frame is given back (filling) or kept
    // aside as each lane finishes (draining).
    enum class Phase { Fill, Full, Drain };

    // Steps go in groups of `skew`, so that which of the waiting numerators a
    // step takes is fixed in the code and they all stay in registers. Lane k
    // starts on frame 0 at the first step of group k.
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void runSteps() {
        Vec start1[V], start2[V];
        copyHistory(start1, start2);
        for (int g = 0; g < N; ++g) {
            giveBack(start1, start2, g);
            group<Phase::Fill>(g * skew);
        }
        int64_t i = kShortest;
        for (; i + skew <= frames; i += skew)
            group<Phase::Full>(i);
        // The frames left over, fewer than `skew`; then the slots are turned
        // so that the drain's groups start at slot 0 and each lane finishes
        // at the end of one.
        lastFrames(i, std::make_integer_sequence<int, skew>{});
        i = frames;
        Vec final1[V], final2[V];
        copyHistory(final1, final2);
        for (int k = 1; k < N; ++k, i += skew) {
            group<Phase::Drain>(i);
            keep(final1, final2, k);  // lane k has just done its last frame
        }
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
            y1[v] = final1[v];
            y2[v] = final2[v];
        }
    }

    template <int... rest>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void lastFrames(
        int64_t i, std::integer_sequence<int, rest...>) {
        const int64_t left = frames - i;
        ((left == rest ? lastFrames<rest>(i) : void()), ...);
    }
    template <int rest>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void lastFrames(int64_t i) {
        steps<Phase::Full>(i, std::make_integer_sequence<int, rest>{});
        Vec turned[skew][V];
#pragma GCC unroll 4
        for (int s = 0; s < skew; ++s) {
#pragma GCC unroll 8
            for (int v = 0; v < V; ++v)
                turned[s][v] = handed[(s + rest) % skew][v];
        }
#pragma GCC unroll 4
        for (int s = 0; s < skew; ++s) {
#pragma GCC unroll 8
            for (int v = 0; v < V; ++v)
                handed[s][v] = turned[s][v];
        }
    }

    // Copies the history of every lane, or of lanes k and up, into `to1` and
    // `to2`, and gives it back from them.
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void copyHistory(Vec (&to1)[V], Vec (&to2)[V]) {
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
            to1[v] = y1[v];
            to2[v] = y2[v];
        }
    }
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void keep(Vec (&to1)[V], Vec (&to2)[V], int k) {
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
            const auto lanes = lanesFrom(v, k);
            to1[v] = Isa::select(lanes, y1[v], to1[v]);
            to2[v] = Isa::select(lanes, y2[v], to2[v]);
        }
    }
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void giveBack(const Vec (&from1)[V],
                                                               const Vec (&from2)[V], int k) {
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
            const auto lanes = lanesFrom(v, k);
            y1[v] = Isa::select(lanes, from1[v], y1[v]);
            y2[v] = Isa::select(lanes, from2[v], y2[v]);
        }
    }
    // Vector v's lanes of stage k and up.
    [[VELMORA_LANES_TARGET, gnu::always_inline]] static auto lanesFrom(int v, int k) {
        return Isa::lessOrEqual(Isa::broadcast(static_cast<double>(skew * k)), offsets(v));
    }

    // A group of steps from step i on, slot by slot.
    template <Phase phase>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void group(int64_t i) {
        steps<phase>(i, std::make_integer_sequence<int, skew>{});
    }
    template <Phase phase, int... slot>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void steps(int64_t i,
                                                            std::integer_sequence<int, slot...>) {
        (step<phase, slot>(i + slot), ...);
    }

    // Step i: stage k on frame i - skew*k.
    template <Phase phase, int slot>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void step(int64_t i) {
        Vec(&numerators)[V] = handed[slot];  // formed `skew` steps ago; this step's go here
        double samples[C] = {};              // draining: past the last frame
        if constexpr (phase != Phase::Drain) {
            for (int c = 0; c < C; ++c)
                samples[c] = body.gain(static_cast<double>(in[c][i]));
        }
        Vec x[V];
        if constexpr (C == 1) {
            x[0] = Isa::shiftIn(samples[0], numerators[0]);
        } else {
            x[0] = Isa::shiftInPair(samples[0], samples[1], numerators[0]);
        }
#pragma GCC unroll 8
        for (int v = 1; v < V; ++v) {
            if constexpr (C == 1) {
                x[v] = Isa::shiftUp(numerators[v - 1], numerators[v]);
            } else {
                x[v] = Isa::shiftUpPair(numerators[v - 1], numerators[v]);
            }
        }
        updateAll(x, numerators, std::make_integer_sequence<int, V>{});

        const int64_t frame = i - kLatency;
        if constexpr (phase == Phase::Fill) {
            if (frame < 0) return;
        }
        emit(frame, numerators[V - 1], std::make_integer_sequence<int, C>{});
    }

    // The last stage's lanes are the outputs of the frame. The dry sample is
    // read before the output is written: the host may give one buffer for
    // both.
    template <int... c>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void emit(int64_t frame, Vec last,
                                                           std::integer_sequence<int, c...>) {
        ((out[c][frame] = static_cast<float>(body.mix(
              Isa::template lane<((N - 1) * C + c) % L>(last), static_cast<double>(in[c][frame])))),
         ...);
    }

    template <int... v>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void updateAll(const Vec (&x)[V],
                                                                Vec (&numerators)[V],
                                                                std::integer_sequence<int, v...>) {
        (update<v>(x[v], numerators[v]), ...);
    }

    // The stages of vector v on their inputs x: their outputs, their histories
    // and what they hand on.
    template <int v>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void update(Vec x, Vec& handOn) {
        const Vec a = Isa::load(lanes.a + v * L), b = Isa::load(lanes.b + v * L);
        const Vec y = Isa::sub(Isa::sub(x, Isa::mul(a, y2[v])), Isa::mul(b, y1[v]));
        handOn = numerator<v>(y, y1[v], y2[v]);
        y2[v] = y1[v];
        y1[v] = y;
    }

    // How many steps after lane 0 each lane of vector v starts.
    [[VELMORA_LANES_TARGET, gnu::always_inline]] static Vec offsets(int v) {
        return Isa::load(kOffsets.of + v * L);
    }

    // What the stages of vector v hand on: y - y2, or (d*y2 - k*y1) + y in
    // the special lanes.
    template <int v>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] Vec numerator(Vec y, Vec y1, Vec y2) const {
        constexpr unsigned special = specialLanes(v);
        if constexpr (special == 0) {
            return Isa::sub(y, y2);
        } else {
            const Vec d = Isa::load(lanes.d + v * L), k = Isa::load(lanes.k + v * L);
            const Vec formed = Isa::add(Isa::sub(Isa::mul(d, y2), Isa::mul(k, y1)), y);
            if constexpr (allWorkingLanesSpecial(v)) return formed;
            return Isa::select(Isa::template constantMask<special>(), formed, Isa::sub(y, y2));
        }
    }

    // Where update reads each lane's coefficients.
    struct Coefficients {
        const double *a, *b, *d, *k;
    };

    const Shape body;
    struct {
        double a[V * L], b[V * L], d[V * L], k[V * L];
    } spreadLanes;  // for C channels: each stage's coefficients in its C lanes
    const Coefficients lanes;
    const float* in[C];
    float* out[C];
    int32_t frames;
    Vec y1[V];            // per lane k: y_k at its stage's previous frame
    Vec y2[V];            // y_k one frame before that
    Vec handed[skew][V];  // numerators waiting for the next stage, by step modulo skew
};

// The library's two builds differ in registers: sixteen vector registers in
// the 64-bit one, eight in the 32-bit one, where a body's histories and
// waiting numerators spill from the registers whatever the skew and the
// longer skew hides that better.
inline constexpr bool kSixteenRegisters = sizeof(void*) == 8;
inline constexpr int32_t kNever = INT32_MAX;

// The choice of variant the four- and eight-lane helper layers share: the
// lanes from the first frame, and the longer skew wherever a call fills its
// pipeline, except, in the 64-bit build, for bodies of more than six stages
// (Sympathetic's nine), bound by their operations rather than by the chain.
struct WideRegisterChoice {
    static constexpr int32_t lanesFrom = 0;
    static constexpr int32_t longSkewFrom(int stages) {
        if (!kSixteenRegisters) return 0;
        return stages <= 6 ? 0 : kNever;
    }
};

// Engines for kernelsWith: one skew throughout, or each call's variant
// chosen by its frame count. The longer skew takes the hand-over between
// stages further off each stage's own chain, which saves a little on every
// frame, but its pipeline takes a step more per stage to fill and to drain:
// it pays from the helper layer's longSkewFrom(stages) frames. Below
// lanesFrom frames, or below the shorter skew's own pipeline, the scalar
// kernel runs. Measured on the project's machine (BENCHMARKS.md).
template <class Isa, int skew>
struct WithSkew {
    template <class Shape>
    static void run(const Shape& shape, double* state, const float* input, float* output,
                    int32_t frames) {
        LaneCascade<Isa, Shape, skew>::run(shape, state, input, output, frames);
    }
};

template <class Isa>
struct ByFrameCount {
    template <class Shape>
    [[VELMORA_LANES_TARGET]] static void run(const Shape& shape, double* state, const float* input,
                                             float* output, int32_t frames) {
        constexpr int stages = static_cast<int>(Shape::N);
        constexpr int32_t longFrom = std::max(3 * stages, Isa::longSkewFrom(stages));
        if (frames < Isa::lanesFrom) {
            runScalar(shape, state, input, output, frames);
            return;
        }
        if constexpr (longFrom != kNever) {
            if (frames >= longFrom) {
                LaneCascade<Isa, Shape, 3>::run(shape, state, input, output, frames);
                return;
            }
        }
        LaneCascade<Isa, Shape, 2>::run(shape, state, input, output, frames);
    }
};

}  // namespace velmora::lanes
