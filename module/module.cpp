#include "module.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "module_factory.h"
#include "process_functions.h"

namespace {

constexpr ModuleDescription kDescription{
    "Velmora",
    "Velmora\n"
    "Written by the Velmora developers.\n"
    "\n"
    "You may use this module freely in any host and any work, commercial or not.",
    2230,
};

}  // namespace

const ModuleDescription& moduleDescription() noexcept {
    return kDescription;
}

SEModule_base* createModule(HostCallback callback, intptr_t hostValue) noexcept {
    return new (std::nothrow) Module(callback, hostValue);
}

namespace {

enum Pin : int32_t { SignalPin = 0, TypePin = 1, OutputPin = 2 };

constexpr const char* kTypeList =
    "Violin I= 1, Violin II=2, Violin III=3, Viola I=4, Viola II=5, Viol I=6, Viol II=7, "
    "Cello I=8, Cello II=9, Bass=10, Contrabass=11, Oboe I=12, Oboe II = 13, "
    "Cor Anglais I=14, Cor Anglais II=15, Sympathetic=16";

// An input status of this or more means the input is active.
constexpr int32_t kActiveStatus = 2;
// Reported for the output when the input is not active and the output is silent.
constexpr int32_t kSilentOutputStatus = 1;
// An output sample smaller than this counts as silence.
constexpr double kSilenceThreshold = 3e-34;

// The magnitude bits of the smallest float that is not below the silence
// threshold: a sample counts as silent exactly when its own are smaller.
constexpr uint32_t kSilenceBits = [] {
    const float nearest = static_cast<float>(kSilenceThreshold);
    const uint32_t bits = std::bit_cast<uint32_t>(nearest);
    return static_cast<double>(nearest) < kSilenceThreshold ? bits + 1 : bits;
}();

// Whether the output's current sample (null where it cannot be read, which
// reads as 0.0) counts as silence. The sample is the host's and may be a
// signalling NaN while the host has exceptions unmasked, so it is judged by
// its bits and no floating-point operation touches it (an optimiser may move
// arithmetic out of a guarded stretch of modes). A NaN is not silent and
// leaves the status as the input gave it.
bool isSilent(const float* sample) {
    if (sample == nullptr) return true;
    uint32_t bits;
    std::memcpy(&bits, sample, sizeof bits);
    return (bits & 0x7FFFFFFFu) < kSilenceBits;
}

}  // namespace

bool Module::getPinProperties(int32_t index, PinProperties* record) {
    switch (index) {
        case SignalPin:
            record->variable = &inBuffer;
            record->direction = PinDirectionInput;
            record->datatype = PinTypeAudio;
            record->name = "Signal";
            record->defaultText = "0";
            return true;
        case TypePin:
            record->variable = &type;
            record->direction = PinDirectionInput;
            record->datatype = PinTypeEnum;
            record->name = "Type";
            record->defaultText = "1";
            record->extraText = kTypeList;
            return true;
        case OutputPin:
            record->variable = &outBuffer;
            record->direction = PinDirectionOutput;
            record->datatype = PinTypeAudio;
            record->name = "Output";
            return true;
        default:
            return false;
    }
}

void Module::open() {
    SEModule_base::open();
    body.open(type);
    // The kernel runs from the start, whatever the input's status.
    setProcessFunction(velmora::processFunctionForType(type));
}

void Module::onPinStatusChange(SEPin*) {
    // A host that gave fewer than three pins has nothing here to read or to
    // report on; the module carries on as it is.
    if (getPinCount() <= OutputPin || !getPin(SignalPin)->isBound() ||
        !getPin(OutputPin)->isBound()) {
        return;
    }

    // Whichever pin changed, the whole state is worked out again.
    int32_t status = getPin(SignalPin)->getStatus();
    if (status < kActiveStatus && isSilent(getPin(OutputPin)->currentSample())) {
        status = kSilentOutputStatus;
    }
    getPin(OutputPin)->transmitStatus(getSampleClock(), status);

    if (status < kActiveStatus) {
        silenceCountdown = getBlockSize();
        setProcessFunction(processSilence);
    } else {
        setProcessFunction(velmora::processFunctionForType(type));
    }
}

void SE_CDECL Module::processSilence(void* module, int32_t offset, int32_t frames) {
    Module& m = from(module);
    // A negative offset would reach before the host's buffer: no frames.
    const int32_t count = offset < 0 ? 0 : std::max(frames, 0);
    // The countdown stops at zero: a silent input may last for days, and a
    // counter run on past its range would stop the Idle requests.
    if (m.silenceCountdown > 0) m.silenceCountdown -= std::min(count, m.silenceCountdown);
    if (m.outBuffer != nullptr && count > 0) std::fill_n(m.outBuffer + offset, count, 0.0f);
    m.body.clear();
    if (m.silenceCountdown <= 0) m.callHost(Idle);
}
