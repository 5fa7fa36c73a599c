#include "host_buffers.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "checks.h"

namespace velmora::validate {

namespace {

// Room before the buffers the module is given, where a write before the
// block would land (more when the host gives a negative offset), and after
// the block, where a write past its end would.
constexpr int32_t kLead = 8;
constexpr int32_t kNegativeLead = 64;
constexpr int32_t kTail = 16;

}  // namespace

float marker() {
    const uint32_t bits = 0x7FC0DEADu;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float* HostBuffers::outputBase() {
    return outputBuffer().data() + lastLead;
}

int32_t HostBuffers::outputCapacity() const {
    return static_cast<int32_t>((lastInPlace ? inputSide : outputSide).size()) - lastLead;
}

std::string HostBuffers::run(Subject& subject, int32_t inputPin, int32_t outputPin,
                             const Block& block, float* output) {
    // The block's samples sit at the offset, also a negative one that still
    // falls in the lead; but only a block at an offset of 0 or more is the
    // module's to write.
    const int32_t frames = std::max(block.frames, 0);
    const int32_t lead = block.offset < 0 ? kNegativeLead : kLead;
    const int64_t at = int64_t{lead} + block.offset;
    const bool placed = at >= 0;
    const int32_t written = block.offset >= 0 ? frames : 0;
    const size_t size =
        static_cast<size_t>(std::max<int64_t>(lead, placed ? at + frames : 0) + kTail);
    const size_t from = placed ? static_cast<size_t>(at) : 0;
    lastInPlace = block.inPlace;
    lastLead = lead;

    inputSide.assign(size, marker());
    if (placed)
        std::copy(block.input, block.input + frames,
                  inputSide.begin() + static_cast<ptrdiff_t>(from));
    inputCopy = inputSide;
    if (!block.inPlace) outputSide.assign(size, marker());

    float* in = block.noInput ? nullptr : inputSide.data() + lead;
    float* out = block.noOutput ? nullptr : outputBuffer().data() + lead;
    subject.setAudio(inputPin, in);
    subject.setAudio(outputPin, out);
    subject.process(block.offset, block.frames);

    // Outside the frames the module may write, everything is as the host left it.
    std::string problem;
    const uint32_t mark = std::bit_cast<uint32_t>(marker());
    auto outside = [&](const std::vector<float>& buffer, const char* which) {
        for (size_t i = 0; i < buffer.size(); ++i) {
            if (i >= from && i < from + static_cast<size_t>(written)) continue;
            const uint32_t before = block.inPlace ? std::bit_cast<uint32_t>(inputCopy[i]) : mark;
            if (std::bit_cast<uint32_t>(buffer[i]) != before) {
                problem = std::string("wrote ") + which + " element " +
                          std::to_string(static_cast<int64_t>(i) - lead) +
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
            problem = "wrote the input buffer at element " +
                      std::to_string(static_cast<int64_t>(change.frame) - lead) + " (" +
                      number(change.expected) + " became " + number(change.got) + ")";
        } else {
            outside(outputSide, "the output buffer's");
        }
    }
    if (!block.noOutput && output != nullptr) {
        std::copy_n(outputBuffer().begin() + static_cast<ptrdiff_t>(from), written, output);
    }
    return problem;
}

}  // namespace velmora::validate
