// The host's side of one process call: input and output buffers with the
// block at an offset inside them and a marker pattern everywhere else, also
// before the addresses the module is given, so that a write outside the
// block (or at a negative offset), or into the input, shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "subject.h"

namespace velmora::validate {

struct Block {
    const float* input = nullptr;  // `frames` samples
    int32_t frames = 0;
    int32_t offset = 0;    // first frame inside the buffers; below 0, a host's mistake
    bool inPlace = false;  // one buffer for input and output
    bool noInput = false;  // the input variable holds null
    bool noOutput = false;
};

class HostBuffers {
  public:
    // Sets the variables of `inputPin` and `outputPin`, calls the process
    // function, and copies the block's output to `output` (unless noOutput).
    // Answers what went wrong with the buffers, or an empty string.
    std::string run(Subject& subject, int32_t inputPin, int32_t outputPin, const Block& block,
                    float* output);

    // The output buffer of the last call, as the module's output variable
    // still points at it, and how many samples it holds from there.
    float* outputBase();
    int32_t outputCapacity() const;

  private:
    std::vector<float>& outputBuffer() { return lastInPlace ? inputSide : outputSide; }

    std::vector<float> inputSide;
    std::vector<float> outputSide;
    std::vector<float> inputCopy;
    bool lastInPlace = false;
    int32_t lastLead = 0;  // samples before the address the module was given
};

// A quiet NaN with a payload no computation produces.
float marker();

}  // namespace velmora::validate
