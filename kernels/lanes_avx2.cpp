// The lane kernels on AVX2: four doubles a register.
#include <immintrin.h>

#include "kernel_table.h"

#define VELMORA_LANES_TARGET gnu::target("avx2")
#include "four_channel_staging.h"

namespace velmora::lanes {

namespace {

struct Avx2 : WideRegisterChoice, FourChannelStaging {
    using Vec = __m256d;
    using Mask = __m256d;
    static constexpr int lanes = 4;
    // A register of channels pays from three, but for the longest bodies,
    // whose histories spill from sixteen registers: there, as for two
    // channels, two channels share the stages' lanes (BENCHMARKS.md).
    static constexpr int32_t channelsFrom(int stages) { return stages <= 6 ? 3 : kNever; }

    VELMORA_LANE_OP Vec load(const double* p) { return _mm256_loadu_pd(p); }
    VELMORA_LANE_OP void store(double* p, Vec v) { _mm256_storeu_pd(p, v); }
    VELMORA_LANE_OP Vec zero() { return _mm256_setzero_pd(); }
    VELMORA_LANE_OP Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    VELMORA_LANE_OP Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    VELMORA_LANE_OP Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    // [below3, v0, v1, v2]: the halves [below2, below3, v0, v1], then pairs.
    VELMORA_LANE_OP Vec shiftUp(Vec below, Vec v) {
        return _mm256_shuffle_pd(_mm256_permute2f128_pd(below, v, 0x21), v, 0b0101);
    }
    // [t, v0, v1, v2]: v rotated up a lane, t blended into lane 0.
    VELMORA_LANE_OP Vec shiftIn(double t, Vec v) {
        return _mm256_blend_pd(_mm256_permute4x64_pd(v, _MM_SHUFFLE(2, 1, 0, 3)),
                               _mm256_castpd128_pd256(_mm_set_sd(t)), 0b0001);
    }
    // Two channels a stage: [below2, below3, v0, v1] and [t0, t1, v0, v1].
    VELMORA_LANE_OP Vec shiftUpPair(Vec below, Vec v) {
        return _mm256_permute2f128_pd(below, v, 0x21);
    }
    VELMORA_LANE_OP Vec shiftInPair(double t0, double t1, Vec v) {
        return _mm256_permute2f128_pd(_mm256_castpd128_pd256(_mm_set_pd(t1, t0)), v, 0x20);
    }
    VELMORA_LANE_OP Vec broadcast(double x) { return _mm256_set1_pd(x); }
    VELMORA_LANE_OP Mask lessOrEqual(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    VELMORA_LANE_OP Vec select(Mask m, Vec ifSet, Vec ifClear) {
        return _mm256_blendv_pd(ifClear, ifSet, m);
    }
    template <unsigned bits>
    VELMORA_LANE_OP Mask constantMask() {
        return _mm256_castsi256_pd(_mm256_set_epi64x(bits & 8 ? -1 : 0, bits & 4 ? -1 : 0,
                                                     bits & 2 ? -1 : 0, bits & 1 ? -1 : 0));
    }
    template <int j>
    VELMORA_LANE_OP double lane(Vec v) {
        const __m128d half = j < 2 ? _mm256_castpd256_pd128(v) : _mm256_extractf128_pd(v, 1);
        if constexpr (j % 2 == 0) return _mm_cvtsd_f64(half);
        return _mm_cvtsd_f64(_mm_unpackhi_pd(half, half));
    }
};

}  // namespace

constinit const KernelTable avx2Kernels = kernelsWith<ByFrameCount<Avx2>>();
constinit const TunedKernelTable avx2Tuned = tunedKernelsWith<ByFrameCount<Avx2>>();
constinit const ChannelKernelTable avx2Channels = channelKernelsWith<ByChannelCount<Avx2>>();
constinit const TunedChannelKernelTable avx2TunedChannels =
    tunedChannelKernelsWith<ByChannelCount<Avx2>>();
constinit const KernelTable avx2Skew2Kernels = kernelsWith<WithSkew<Avx2, 2>>();
constinit const TunedKernelTable avx2Skew2Tuned = tunedKernelsWith<WithSkew<Avx2, 2>>();
constinit const KernelTable avx2Skew3Kernels = kernelsWith<WithSkew<Avx2, 3>>();
constinit const TunedKernelTable avx2Skew3Tuned = tunedKernelsWith<WithSkew<Avx2, 3>>();

}  // namespace velmora::lanes
