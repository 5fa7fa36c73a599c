// The lane kernels on AVX-512F: eight doubles a register, so a body of up to
// eight stages fits in one.
#include <immintrin.h>

#include "kernel_table.h"

#define VELMORA_LANES_TARGET gnu::target("avx512f")
#include "four_channel_staging.h"

namespace velmora::lanes {

namespace {

struct Avx512 : WideRegisterChoice, FourChannelStaging {
    using Vec = __m512d;
    using Mask = __mmask8;
    static constexpr int lanes = 8;
    // A register of channels pays from six; fewer share the stages' lanes
    // two at a time (BENCHMARKS.md).
    static constexpr int32_t channelsFrom(int) { return 6; }

    VELMORA_LANE_OP Vec load(const double* p) { return _mm512_loadu_pd(p); }
    VELMORA_LANE_OP void store(double* p, Vec v) { _mm512_storeu_pd(p, v); }
    VELMORA_LANE_OP Vec zero() { return _mm512_setzero_pd(); }
    VELMORA_LANE_OP Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    VELMORA_LANE_OP Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    VELMORA_LANE_OP Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    // [below7, v0 ... v6]: an index of 8 or more picks from the second source.
    VELMORA_LANE_OP Vec shiftUp(Vec below, Vec v) {
        return _mm512_permutex2var_pd(v, _mm512_set_epi64(6, 5, 4, 3, 2, 1, 0, 15), below);
    }
    // [t, v0 ... v6]
    VELMORA_LANE_OP Vec shiftIn(double t, Vec v) {
        return _mm512_permutex2var_pd(v, _mm512_set_epi64(6, 5, 4, 3, 2, 1, 0, 8),
                                      _mm512_castpd128_pd512(_mm_set_sd(t)));
    }
    // Two channels a stage: [below6, below7, v0 ... v5] and [t0, t1, v0 ... v5].
    VELMORA_LANE_OP Vec shiftUpPair(Vec below, Vec v) {
        return _mm512_permutex2var_pd(v, _mm512_set_epi64(5, 4, 3, 2, 1, 0, 15, 14), below);
    }
    VELMORA_LANE_OP Vec shiftInPair(double t0, double t1, Vec v) {
        return _mm512_permutex2var_pd(v, _mm512_set_epi64(5, 4, 3, 2, 1, 0, 9, 8),
                                      _mm512_castpd128_pd512(_mm_set_pd(t1, t0)));
    }
    VELMORA_LANE_OP Vec broadcast(double x) { return _mm512_set1_pd(x); }
    VELMORA_LANE_OP Mask lessOrEqual(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    VELMORA_LANE_OP Vec select(Mask m, Vec ifSet, Vec ifClear) {
        return _mm512_mask_blend_pd(m, ifClear, ifSet);
    }
    template <unsigned bits>
    VELMORA_LANE_OP Mask constantMask() {
        return static_cast<Mask>(bits);
    }
    template <int j>
    VELMORA_LANE_OP double lane(Vec v) {
        if constexpr (j == 0) return _mm512_cvtsd_f64(v);
        // Only lane 0 is asked for; the others keep v's.
        return _mm512_cvtsd_f64(_mm512_mask_permutexvar_pd(v, 1, _mm512_set1_epi64(j), v));
    }
};

}  // namespace

constinit const KernelTable avx512Kernels = kernelsWith<ByFrameCount<Avx512>>();
constinit const TunedKernelTable avx512Tuned = tunedKernelsWith<ByFrameCount<Avx512>>();
constinit const ChannelKernelTable avx512Channels = channelKernelsWith<ByChannelCount<Avx512>>();
constinit const TunedChannelKernelTable avx512TunedChannels =
    tunedChannelKernelsWith<ByChannelCount<Avx512>>();
constinit const KernelTable avx512Skew2Kernels = kernelsWith<WithSkew<Avx512, 2>>();
constinit const TunedKernelTable avx512Skew2Tuned = tunedKernelsWith<WithSkew<Avx512, 2>>();
constinit const KernelTable avx512Skew3Kernels = kernelsWith<WithSkew<Avx512, 3>>();
constinit const TunedKernelTable avx512Skew3Tuned = tunedKernelsWith<WithSkew<Avx512, 3>>();

}  // namespace velmora::lanes
