// The floating-point environment across every call: each check reports the
// calls that changed it while it ran; this one also runs an instance under a
// host environment unlike the default, which a module must leave as it is too.
#include "checks.h"
#include "host_buffers.h"
#include "signals.h"
#include "subject.h"

namespace velmora::validate {

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
