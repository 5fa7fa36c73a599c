#include "checks.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "host_buffers.h"
#include "random.h"
#include "subject.h"

namespace velmora::validate {

namespace {

// A check keeps this many failures for the report; the rest are counted.
constexpr size_t kKeptFailures = 4;

}  // namespace

const std::vector<Check>& allChecks() {
    static const std::vector<Check> checks = {
        {"exports", "the two exports by name, and on Windows by ordinal", checkExports, false},
        {"properties", "getModuleProperties' record for every index", checkProperties, false},
        {"entry", "makeModule's answers and every instance's entry record", checkEntry, false},
        {"opcodes", "pin declarations, the process record, unknown opcodes", checkOpcodes, false},
        {"types", "one kernel per type, unknown types play the default", checkTypes, true},
        {"buffers", "input never written, in place the same, writes only in the block",
         checkBuffers, true},
        {"matrix", "rates x block sizes x offsets x signals: finite, split-exact, repeatable",
         checkMatrix, true},
        {"instances", "many instances in random order, none affecting another", checkInstances,
         true},
        {"automation", "random events between blocks against the module's rules", checkAutomation,
         true},
        {"hostile", "null pointers, missing pins, odd pin counts, unknown events", checkHostile,
         true},
        {"clocks", "clocks drifting apart: the current sample read only inside the block",
         checkClocks, true},
        {"soak", "one instance per type for --soak seconds: rules kept, memory flat", checkSoak,
         true},
        {"fp-modes", "the host's rounding, flush to zero and denormals are zero change no bit",
         checkFpModes, true},
        {"fp-environment", "MXCSR and the x87 control word unchanged by every call",
         checkFpEnvironment, false},
    };
    return checks;
}

ProcessFunction Knowledge::expected(const ProcessKind& kind) const {
    switch (kind.kind) {
        case ProcessKind::Initial:
            return initial;
        case ProcessKind::Silence:
            return silence;
        case ProcessKind::Kernel: {
            const int index = kind.type - layout.lowestType;
            return index >= 0 && index < static_cast<int>(kernels.size())
                       ? kernels[static_cast<size_t>(index)]
                       : nullptr;
        }
    }
    return nullptr;
}

void learn(Context& context) {
    Knowledge& known = context.known;
    std::string error;
    {
        Subject probe(context.library, context.watch);
        if (!probe.create(error)) {
            known.problem = error;
            return;
        }
        known.initial = probe.processFunction();
        known.layout = layoutFrom(probe.declarations());
    }
    const Layout& layout = known.layout;
    if (!layout.complete()) {
        known.problem = "the module declares no audio input, enumeration input and audio output";
        return;
    }
    if (layout.listed.empty()) {
        known.problem = "the enumeration input lists no values";
        return;
    }
    for (int32_t type = layout.lowestType; type <= layout.highestType; ++type) {
        Subject probe(context.library, context.watch);
        if (!probe.create(error)) {
            known.problem = error;
            return;
        }
        probe.setType(layout.type, static_cast<int16_t>(type));
        probe.open();
        known.kernels.push_back(probe.processFunction());
    }
    Subject probe(context.library, context.watch);
    if (!probe.create(error)) {
        known.problem = error;
        return;
    }
    probe.setType(layout.type, layout.defaultType);
    probe.open();
    probe.pinStatus(layout.input, 0);
    known.silence = probe.processFunction();
}

std::vector<uint32_t> Context::trialSeeds(std::string_view check) const {
    if (options.reproduce) return {*options.reproduce};
    std::vector<uint32_t> seeds;
    for (int i = 0; i < options.iterations; ++i)
        seeds.push_back(trialSeed(options.seed, check, static_cast<uint32_t>(i)));
    return seeds;
}

void Result::fail(std::string message) {
    ++failureTotal;
    if (kept.size() < kKeptFailures) kept.push_back(std::move(message));
}

void Result::failTrial(uint32_t seed, std::string message) {
    if (seeds.size() < kKeptFailures) seeds.push_back(seed);
    fail("seed " + std::to_string(seed) + ": " + message);
}

void Result::skip(std::string why) {
    skippedWhy = std::move(why);
}

void Result::trace(std::string step) {
    steps.push_back(std::move(step));
}

Difference compareBits(const float* got, const float* expected, size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
        if (!sameBits(got[i], expected[i])) return {false, i, got[i], expected[i]};
    }
    return {};
}

std::string describe(const Difference& d) {
    return "frame " + std::to_string(d.frame) + " is " + number(d.got) + " where " +
           number(d.expected) + " was expected";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

bool startPlaying(Subject& subject, const Layout& layout, int16_t type, float rate,
                  int32_t blockSize, std::string& error) {
    if (!subject.create(error)) return false;
    subject.setSampleRate(rate);
    subject.setBlockSize(blockSize);
    subject.setType(layout.type, type);
    subject.open();
    subject.pinStatus(layout.input, kActiveStatus);
    return true;
}

std::string playInBlocks(Subject& subject, const Layout& layout, HostBuffers& buffers,
                         const std::vector<float>& input, int32_t block, bool inPlace,
                         std::vector<float>& output) {
    static constexpr int32_t offsets[] = {1, 3, 7, 13, 31, 5, 63, 17};
    const int32_t total = static_cast<int32_t>(input.size());
    output.assign(input.size(), 0.0f);
    int call = 0;
    for (int32_t done = 0; done < total; done += block, ++call) {
        const int32_t frames = std::min(block, total - done);
        Block b{input.data() + done, frames, offsets[call % 8], inPlace};
        const std::string problem =
            buffers.run(subject, layout.input, layout.output, b, output.data() + done);
        if (!problem.empty()) return problem;
    }
    return "";
}

}  // namespace velmora::validate
