#include "host_buffers.h"

#include <algorithm>
#include <cstring>

#include "checks.h"

namespace velmora::validate {

namespace {

// Room after the block in which a write past its end would land.
constexpr int32_t kTail = 16;

}  // namespace

float marker() {
    const uint32_t bits = 0x7FC0DEADu;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

int32_t HostBuffers::outputCapacity() const {
    return static_cast<int32_t>((lastInPlace ? inputSide : outputSide).size());
}

std::string HostBuffers::run(Subject& subject, int32_t inputPin, int32_t outputPin,
                             const Block& block, float* output) {
    const int32_t frames = std::max(block.frames, 0);
    const size_t size = static_cast<size_t>(block.offset + frames + kTail);
    const size_t from = static_cast<size_t>(block.offset);
    lastInPlace = block.inPlace;

    inputSide.assign(size, marker());
    std::copy(block.input, block.input + frames, inputSide.begin() + block.offset);
    inputCopy = inputSide;
    if (!block.inPlace) outputSide.assign(size, marker());

    float* in = block.noInput ? nullptr : inputSide.data();
    float* out = block.noOutput ? nullptr : outputBuffer().data();
    subject.setAudio(inputPin, in);
    subject.setAudio(outputPin, out);
    subject.process(block.offset, block.frames);

    std::string problem;
    auto outside = [&](const std::vector<float>& buffer, const char* which) {
        for (size_t i = 0; i < buffer.size(); ++i) {
            if (i >= from && i < from + static_cast<size_t>(frames)) continue;
            if (!sameBits(buffer[i], marker())) {
                problem = std::string("wrote ") + which + " element " + std::to_string(i) +
                          ", outside the block of " + std::to_string(block.frames) +
                          " frames at offset " + std::to_string(block.offset);
                return;
            }
        }
    };
    if (block.inPlace) {
        outside(inputSide, "the buffer's");
    } else {
        const Difference change = compareBits(inputSide.data(), inputCopy.data(), size);
        if (!change.same) {
            problem = "wrote the input buffer at element " + std::to_string(change.frame) + " (" +
                      number(change.expected) + " became " + number(change.got) + ")";
        } else {
            outside(outputSide, "the output buffer's");
        }
    }
    if (!block.noOutput && output != nullptr) {
        std::copy_n(outputBuffer().begin() + block.offset, frames, output);
    }
    return problem;
}

}  // namespace velmora::validate
