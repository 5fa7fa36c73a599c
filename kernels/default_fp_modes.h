// The floating-point modes every kernel computes in, whatever its caller has
// set: round to nearest, subnormals kept as they are (neither flushed to
// zero nor read as zero) and every exception masked, the processor's
// defaults. Hosts set other modes for their own reasons; the bits of the
// output must not depend on them.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace velmora {

// Held for the whole of a kernel call: switches to the default modes if the
// caller's differ and gives the caller its own register back, sticky flags
// and all, on the way out. A caller already in the default modes pays one
// read of the register, and its flags collect the kernel's as they always
// would.
class DefaultFpModes {
  public:
#if defined(__SSE2__)
    DefaultFpModes() : caller(_mm_getcsr()) {
        if ((caller & kControlBits) != kDefaults) _mm_setcsr(kDefaults);
    }
    ~DefaultFpModes() {
        if ((caller & kControlBits) != kDefaults) _mm_setcsr(caller);
    }
#else
    DefaultFpModes() = default;
#endif
    DefaultFpModes(const DefaultFpModes&) = delete;
    DefaultFpModes& operator=(const DefaultFpModes&) = delete;

  private:
#if defined(__SSE2__)
    // MXCSR less its sticky exception flags: denormals are zero, the
    // exception masks, the rounding mode and flush to zero.
    static constexpr uint32_t kControlBits = 0xFFC0;
    // Every exception masked, round to nearest, no flushing.
    static constexpr uint32_t kDefaults = 0x1F80;
    uint32_t caller;
#endif
};

}  // namespace velmora
