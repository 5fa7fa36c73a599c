// The floating-point environment across every call: each check reports the
// calls that changed it while it ran; this one also runs an instance under a
// host environment unlike the default, which a module must leave as it is too.
#include "checks.h"
#include "host_buffers.h"
#include "signals.h"
#include "subject.h"

namespace velmora::validate {

// Hosts run with floating-point modes of their own: other rounding, flush to
// zero, denormals are zero. Every type must give the bits it gives in the
// default modes, and leave the host's modes as they were (the watch sees to
// that for every call).
void checkFpModes(Context& context, Result& result) {
    struct HostModes {
        const char* name;
        uint32_t mxcsr;  // set on top of the usual control bits
    };
    static constexpr HostModes modes[] = {
        {"round down", 0x2000},         {"round up", 0x4000},
        {"round toward zero", 0x6000},  {"flush to zero", 0x8000},
        {"denormals are zero", 0x0040}, {"flush to zero and denormals are zero", 0x8040},
    };
    constexpr int32_t kBlock = 64;

    // Noise, then noise too small for a normal float, then silence while the
    // history decays through the subnormal doubles.
    const Layout& layout = context.known.layout;
    const uint32_t seed = context.trialSeeds("fp-modes").front();
    Random random(seed);
    std::vector<float> input(4000);
    fillSignal(Signal::Noise, random, input.data(), 1000, 44100);
    fillSignal(Signal::Subnormal, random, input.data() + 1000, 1000, 44100);
    fillSignal(Signal::Zeros, random, input.data() + 2000, 2000, 44100);

    const FpControl usual = readFpControl();
    HostBuffers buffers;
    std::vector<float> reference, output;
    int types = 0;
    for (int32_t t = layout.lowestType; t <= layout.highestType; ++t, ++types) {
        const auto type = static_cast<int16_t>(t);
        auto play = [&](const FpControl& host, std::vector<float>& out) {
            Subject subject(context.library, context.watch);
            std::string error;
            if (!startPlaying(subject, layout, type, 44100.0f, kBlock, error)) {
                result.fail(error);
                return false;
            }
            writeFpControl(host);
            const std::string problem =
                playInBlocks(subject, layout, buffers, input, kBlock, false, out);
            writeFpControl(usual);
            if (!problem.empty())
                result.failTrial(seed, "type " + std::to_string(type) + ": " + problem);
            return problem.empty();
        };
        if (!play(usual, reference)) continue;
        for (const HostModes& m : modes) {
            FpControl host = usual;
            host.mxcsr = (usual.mxcsr & ~0xE040u) | m.mxcsr;
            if (!play(host, output)) break;
            const Difference d = compareBits(output.data(), reference.data(), output.size());
            if (!d.same) {
                result.failTrial(
                    seed, "type " + std::to_string(type) + " under " + m.name + ": " + describe(d));
                break;
            }
        }
    }
    result.summary(std::to_string(types) + " types under " + std::to_string(std::size(modes)) +
                   " host modes (other rounding, flush to zero, denormals are zero): the default "
                   "modes' bits, the host's modes kept");
}

void checkFpEnvironment(Context& context, Result& result) {
    for (const std::string& change : context.setupChanges)
        result.fail("while learning the module: " + change);

    const FpControl usual = readFpControl();
    FpControl unusual = usual;
    unusual.mxcsr |= 0x8000 | 0x0040 | 0x6000;  // flush to zero, denormals are zero, toward zero
    unusual.x87 = static_cast<uint16_t>(usual.x87 ^ 0x0C00);  // another rounding mode
    writeFpControl(unusual);
    if (context.known.problem.empty()) {
        const Layout& layout = context.known.layout;
        Subject subject(context.library, context.watch);
        std::string error;
        if (startPlaying(subject, layout, layout.defaultType, 48000.0f, 64, error)) {
            HostBuffers buffers;
            Random random(1);
            std::vector<float> input(256), output(256);
            fillSignal(Signal::Noise, random, input.data(), 256, 48000);
            buffers.run(subject, layout.input, layout.output, {input.data(), 256, 1},
                        output.data());
            subject.pinStatus(layout.input, 0);
            buffers.run(subject, layout.input, layout.output, {input.data(), 256, 1},
                        output.data());
        }
    }
    writeFpControl(usual);

    if (context.watch.totalChanges() > 0) {
        result.fail(std::to_string(context.watch.totalChanges()) + " of " +
                    std::to_string(context.watch.calls()) + " calls changed it");
    }
    result.summary(std::to_string(context.watch.calls()) +
                   " calls into the module, the last ones under a host's unusual settings");
}

}  // namespace velmora::validate
