// One channel of body filtering with the rule every adapter follows when the
// body changes: the new body keeps the old one's history and its first sample
// is softened. The module, the plugin and the Python package all filter
// through this, so the rule exists once.
#pragma once

#include <cstdint>

#include "kernels.h"
#include "tuned_design.h"

namespace velmora {

class BodyFilter {
  public:
    // Starts afresh on `type`: the history is cleared and `type` counts as
    // the body already playing, so nothing is softened.
    void open(int32_t type) {
        previousType = type;
        state.clear();
    }

    // Looks at the body again. A body other than the one last seen keeps the
    // history and softens the next first sample; seeing the same body again
    // takes back a softening that no kernel has used yet.
    void reconsider(int32_t type) {
        if (type != previousType) {
            state.firstSampleFlag = true;
            previousType = type;
        } else {
            state.firstSampleFlag = false;
        }
    }

    // Filters with the kernel of `type`: the body as `tuning` designs it for
    // its rate, or, without one, as the module's tables are.
    void process(int32_t type, const float* input, float* output, int32_t frames) {
        if (tuning != nullptr) {
            tuning->process(type, state, input, output, frames);
        } else {
            kernelForType(type)(state, input, output, frames);
        }
    }

    KernelState state;                    // history and first-sample flag
    int32_t previousType = 1;             // the body seen at the last open or reconsideration
    const TunedBodies* tuning = nullptr;  // the bodies at the rate played, kept by the adapter
};

}  // namespace velmora
