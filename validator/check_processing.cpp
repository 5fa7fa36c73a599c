// What the module does with audio: its kernels, the host's buffers, and the
// matrix of rates, block sizes, offsets and signals.
#include <algorithm>
#include <climits>
#include <cmath>
#include <set>

#include "checks.h"
#include "host_buffers.h"
#include "signals.h"
#include "subject.h"

namespace velmora::validate {

namespace {

std::string typeText(int16_t type) {
    return "type " + std::to_string(type);
}

std::vector<int16_t> typesToPlay(const Layout& layout) {
    std::vector<int16_t> types;
    for (int32_t t = layout.lowestType; t <= layout.highestType; ++t)
        types.push_back(static_cast<int16_t>(t));
    return types;
}

// Values outside the types the module knows, each distinct.
std::vector<int16_t> unknownTypes(const Layout& layout) {
    std::set<int16_t> values;
    for (const int32_t v : {layout.highestType + 1, layout.lowestType - 1, 100, 32767, -32768}) {
        if (v < layout.lowestType || v > layout.highestType) values.insert(static_cast<int16_t>(v));
    }
    return {values.begin(), values.end()};
}

bool allFinite(const std::vector<float>& samples, size_t& where) {
    for (size_t i = 0; i < samples.size(); ++i) {
        if (!std::isfinite(samples[i])) {
            where = i;
            return false;
        }
    }
    return true;
}

}  // namespace

void checkTypes(Context& context, Result& result) {
    const Knowledge& known = context.known;
    const Layout& layout = known.layout;
    std::set<ProcessFunction> distinct;
    for (const int16_t type : typesToPlay(layout)) {
        const ProcessFunction kernel = known.expected({ProcessKind::Kernel, type});
        if (kernel == nullptr || kernel == known.initial) {
            result.fail(typeText(type) + " installs no kernel at open");
        } else if (!distinct.insert(kernel).second) {
            result.fail(typeText(type) +
                        " shares its kernel with another type, so the host "
                        "cannot tell a change of type");
        }
    }
    if (known.silence == known.initial || distinct.count(known.silence) != 0) {
        result.fail("an idle input installs no process function of its own");
    }

    const ProcessFunction fallback = known.expected({ProcessKind::Kernel, layout.defaultType});
    const std::vector<int16_t> unknown = unknownTypes(layout);
    for (const int16_t type : unknown) {
        Subject subject(context.library, context.watch);
        std::string error;
        if (!subject.create(error)) {
            result.fail(error);
            return;
        }
        subject.setType(layout.type, type);
        subject.open();
        if (subject.processFunction() != fallback) {
            result.fail("the unknown " + typeText(type) + " does not play type " +
                        std::to_string(layout.defaultType) + "'s kernel");
        }
    }

    // ProcessChanged at the first open, and not at a second one that installs the same.
    Subject subject(context.library, context.watch);
    std::string error;
    if (!subject.create(error)) {
        result.fail(error);
        return;
    }
    subject.setType(layout.type, layout.defaultType);
    subject.open();
    auto changes = [&] {
        int n = 0;
        for (const auto& request : subject.requests())
            n += request.opcode == ProcessChanged;
        subject.clearRequests();
        return n;
    };
    if (changes() != 1) result.fail("the first open does not send ProcessChanged exactly once");
    subject.open();
    if (changes() != 0) result.fail("a second open of the same type sends ProcessChanged");

    result.summary(std::to_string(distinct.size()) + " kernels for types " +
                   std::to_string(layout.lowestType) + " to " + std::to_string(layout.highestType) +
                   "; " + std::to_string(unknown.size()) + " unknown values play type " +
                   std::to_string(layout.defaultType) + "'s");
}

void checkBuffers(Context& context, Result& result) {
    const Layout& layout = context.known.layout;
    const uint32_t seed = context.trialSeeds("buffers").front();
    Random random(seed);
    constexpr int32_t kFrames = 300;
    std::vector<float> input(kFrames);
    fillSignal(Signal::Noise, random, input.data(), kFrames, 44100);
    HostBuffers buffers;
    std::string error;

    auto fresh = [&](Subject& subject, int16_t type) {
        if (startPlaying(subject, layout, type, 44100.0f, 64, error)) return true;
        result.fail(error);
        return false;
    };
    auto report = [&](const std::string& where, const std::string& problem) {
        if (!problem.empty()) result.failTrial(seed, where + ": " + problem);
        return problem.empty();
    };

    const std::vector<int16_t> types = typesToPlay(layout);
    for (const int16_t type : types) {
        const std::string name = typeText(type);
        std::vector<float> reference, output;
        {
            Subject subject(context.library, context.watch);
            if (!fresh(subject, type)) return;
            if (!report(name,
                        playInBlocks(subject, layout, buffers, input, kFrames, false, reference)))
                continue;
        }
        for (const int32_t block : {kFrames, 64}) {
            Subject subject(context.library, context.watch);
            if (!fresh(subject, type)) return;
            const std::string where = name + " in place, blocks of " + std::to_string(block);
            if (!report(where, playInBlocks(subject, layout, buffers, input, block, true, output)))
                continue;
            const Difference d = compareBits(output.data(), reference.data(), output.size());
            if (!d.same) result.failTrial(seed, where + ": " + describe(d));
        }

        // Calls with null buffers or no frames leave no trace, in the
        // buffers or in what follows.
        Subject subject(context.library, context.watch);
        if (!fresh(subject, type)) return;
        output.assign(kFrames, 0.0f);
        std::vector<float> scratch(kFrames);
        const Block empty[] = {{input.data(), 50, 3, false, true, false},
                               {input.data(), 50, 3, false, false, true},
                               {input.data(), 50, 3, false, true, true},
                               {input.data(), 0, 3},
                               {input.data(), -1, 3},
                               {input.data(), 50, -1},
                               {input.data(), 50, -64, true},
                               {input.data(), 50, INT32_MIN}};
        bool ok = report(name, buffers.run(subject, layout.input, layout.output,
                                           {input.data(), 100, 1}, output.data()));
        for (const Block& b : empty) {
            if (!ok) break;
            ok = report(name + ", " + std::to_string(b.frames) + " frames at offset " +
                            std::to_string(b.offset) + (b.inPlace ? " in place" : "") +
                            (b.noInput ? ", null input" : "") + (b.noOutput ? ", null output" : ""),
                        buffers.run(subject, layout.input, layout.output, b, scratch.data()));
            if (ok && b.noInput && !b.noOutput &&
                std::any_of(scratch.begin(), scratch.begin() + 50,
                            [](float v) { return !sameBits(v, marker()); })) {
                result.failTrial(seed, name + " writes the output when its input is null");
                ok = false;
            }
        }
        if (!ok) continue;
        if (!report(name,
                    buffers.run(subject, layout.input, layout.output,
                                {input.data() + 100, kFrames - 100, 5}, output.data() + 100))) {
            continue;
        }
        const Difference d = compareBits(output.data(), reference.data(), output.size());
        if (!d.same) {
            result.failTrial(seed, name +
                                       " after calls with null buffers, no frames or negative "
                                       "offsets: " +
                                       describe(d));
        }
    }

    // The silence of an idle input: zeros over the block, nothing elsewhere.
    Subject subject(context.library, context.watch);
    if (!fresh(subject, layout.defaultType)) return;
    subject.pinStatus(layout.input, 0);
    std::vector<float> output(kFrames);
    const Block calls[] = {{input.data(), 100, 7},
                           {input.data(), 100, 7, true},
                           {input.data(), 100, 7, false, true, false},
                           {input.data(), 100, 7, false, false, true},
                           {input.data(), 0, 7},
                           {input.data(), -5, 7},
                           {input.data(), 100, -7},
                           {input.data(), 100, INT32_MIN}};
    for (const Block& b : calls) {
        const std::string where =
            "silence over " + std::to_string(b.frames) + " frames at offset " +
            std::to_string(b.offset) + (b.inPlace ? " in place" : "") +
            (b.noInput ? ", null input" : "") + (b.noOutput ? ", null output" : "");
        std::fill(output.begin(), output.end(), 1.0f);
        if (!report(where, buffers.run(subject, layout.input, layout.output, b, output.data())))
            continue;
        // At a negative offset there is nothing to write; the buffers show none was.
        if (b.noOutput || b.offset < 0) continue;
        for (int32_t i = 0; i < b.frames; ++i) {
            if (!sameBits(output[static_cast<size_t>(i)], 0.0f)) {
                result.failTrial(seed, where + ": frame " + std::to_string(i) + " is " +
                                           number(output[static_cast<size_t>(i)]) + ", not 0");
                break;
            }
        }
    }

    result.summary(std::to_string(types.size()) +
                   " types and silence: input never written, in place identical, nothing written "
                   "outside the block, through null buffers or at negative offsets");
}

void checkMatrix(Context& context, Result& result) {
    static constexpr int32_t rates[] = {22050, 44100, 48000, 88200, 96000, 176400, 192000};
    static constexpr int32_t blocks[] = {1, 7, 64, 1024, 4096};
    static constexpr Signal signals[] = {Signal::Noise, Signal::Impulses, Signal::Square,
                                         Signal::Subnormal};
    constexpr int32_t kFrames = 5000;  // past the largest block, so it is split too

    const Layout& layout = context.known.layout;
    const uint32_t seed = context.trialSeeds("matrix").front();
    std::vector<int16_t> types = typesToPlay(layout);
    types.push_back(unknownTypes(layout).front());

    HostBuffers buffers;
    std::vector<float> input(kFrames), reference, output;
    std::string error;
    for (const int32_t rate : rates) {
        for (const Signal signal : signals) {
            Random random(seed ^ static_cast<uint32_t>(rate) ^
                          (static_cast<uint32_t>(signal) << 24));
            fillSignal(signal, random, input.data(), kFrames, rate);
            for (const int16_t type : types) {
                const std::string where =
                    std::to_string(rate) + " Hz, " + typeText(type) + ", " + signalName(signal);
                auto run = [&](int32_t block, std::vector<float>& out) {
                    Subject subject(context.library, context.watch);
                    if (!startPlaying(subject, layout, type, static_cast<float>(rate), block,
                                      error)) {
                        result.fail(error);
                        return false;
                    }
                    const std::string problem =
                        playInBlocks(subject, layout, buffers, input, block, false, out);
                    if (!problem.empty()) result.failTrial(seed, where + ": " + problem);
                    return problem.empty();
                };
                if (!run(kFrames, reference)) continue;
                size_t at = 0;
                if (!allFinite(reference, at)) {
                    result.failTrial(seed, where + ": frame " + std::to_string(at) + " is " +
                                               number(reference[at]));
                    continue;
                }
                for (const int32_t block : blocks) {
                    if (!run(block, output)) break;
                    const Difference d = compareBits(output.data(), reference.data(), kFrames);
                    if (!d.same) {
                        result.failTrial(seed, where + ", blocks of " + std::to_string(block) +
                                                   " against one call: " + describe(d));
                        break;
                    }
                }
                if (!run(kFrames, output)) continue;
                const Difference d = compareBits(output.data(), reference.data(), kFrames);
                if (!d.same) {
                    result.failTrial(
                        seed, where + ": a fresh instance differs from the first, " + describe(d));
                }
            }
        }
    }
    result.summary(std::to_string(std::size(rates)) + " rates x " +
                   std::to_string(std::size(blocks)) + " block sizes x " +
                   std::to_string(types.size()) + " types x " + std::to_string(std::size(signals)) +
                   " signals, odd offsets: finite, bit-identical whatever the split");
}

}  // namespace velmora::validate
