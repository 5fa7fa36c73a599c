// Staging for the channel lanes of the instruction sets with AVX's
// registers (AVX2, AVX-512F); included after VELMORA_LANES_TARGET is defined.
#pragma once

#include <immintrin.h>

#include "channel_lanes.h"

namespace velmora::lanes {

// Staging four channels at a time with AVX's registers: frames f to f + 3 of
// four channels (rows) as four rows of `to`, `width` doubles apart, and back.
struct FourChannelStaging {
    static constexpr int stagedRows = 4;
    VELMORA_LANE_OP void framesIn(const float* const* rows, int f, double* to, int width) {
        __m128 r0 = _mm_loadu_ps(rows[0] + f), r1 = _mm_loadu_ps(rows[1] + f),
               r2 = _mm_loadu_ps(rows[2] + f), r3 = _mm_loadu_ps(rows[3] + f);
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        _mm256_storeu_pd(to, _mm256_cvtps_pd(r0));
        _mm256_storeu_pd(to + width, _mm256_cvtps_pd(r1));
        _mm256_storeu_pd(to + 2 * width, _mm256_cvtps_pd(r2));
        _mm256_storeu_pd(to + 3 * width, _mm256_cvtps_pd(r3));
    }
    VELMORA_LANE_OP void framesOut(const double* from, int width, float* const* rows, int f) {
        __m128 r0 = _mm256_cvtpd_ps(_mm256_loadu_pd(from)),
               r1 = _mm256_cvtpd_ps(_mm256_loadu_pd(from + width)),
               r2 = _mm256_cvtpd_ps(_mm256_loadu_pd(from + 2 * width)),
               r3 = _mm256_cvtpd_ps(_mm256_loadu_pd(from + 3 * width));
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        _mm_storeu_ps(rows[0] + f, r0);
        _mm_storeu_ps(rows[1] + f, r1);
        _mm_storeu_ps(rows[2] + f, r2);
        _mm_storeu_ps(rows[3] + f, r3);
    }
};

}  // namespace velmora::lanes
