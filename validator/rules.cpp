#include "rules.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

#include "enumeration.h"

namespace velmora::validate {

Layout layoutFrom(const std::vector<PinProperties>& pins) {
    Layout layout;
    layout.declared = static_cast<int32_t>(pins.size());
    for (int32_t i = 0; i < layout.declared; ++i) {
        const PinProperties& pin = pins[static_cast<size_t>(i)];
        const bool input = pin.direction == PinDirectionInput;
        if (pin.datatype == PinTypeAudio && input && layout.input < 0) layout.input = i;
        if (pin.datatype == PinTypeAudio && !input && layout.output < 0) layout.output = i;
        if (pin.datatype != PinTypeEnum || !input || layout.type >= 0) continue;
        layout.type = i;
        if (pin.extraText != nullptr) {
            for (const auto& choice : host::parseEnumList(pin.extraText))
                layout.listed.push_back(static_cast<int16_t>(choice.value));
        }
        if (pin.defaultText != nullptr) {
            const std::string_view text = pin.defaultText;
            int value = 0;
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), value);
            if (error == std::errc{} && end == text.data() + text.size()) {
                layout.defaultType = static_cast<int16_t>(value);
            }
        }
    }
    if (!layout.listed.empty()) {
        const auto [low, high] = std::minmax_element(layout.listed.begin(), layout.listed.end());
        layout.lowestType = std::min<int16_t>(0, *low);
        layout.highestType = *high;
    }
    return layout;
}

bool isNotice(int32_t opcode) {
    return opcode == PinStatus || opcode == Idle || opcode == ProcessChanged;
}

bool isKnownRequest(int32_t opcode) {
    switch (opcode) {
        case PinStatus:
        case SampleClock:
        case PinBuffer:
        case PinBufferClock:
        case Idle:
        case PinCount:
        case ProcessChanged:
            return true;
        default:
            return false;
    }
}

int16_t Rules::resolve(int16_t type) const {
    return type >= pins.lowestType && type <= pins.highestType ? type : pins.defaultType;
}

void Rules::install(ProcessKind kind, std::vector<Notice>& notices) {
    if (kind == installed) return;
    installed = kind;
    notices.push_back({ProcessChanged, 0, 0, 0});
}

std::vector<Notice> Rules::open(int32_t pinCount, int16_t type) {
    std::vector<Notice> notices;
    pinArray = std::clamp(pinCount, 0, kMostPins);
    bound = std::min(pinArray, pins.declared);
    statuses.assign(static_cast<size_t>(pinArray), 0);
    playing = resolve(type);
    played = false;
    fadeRemaining = 0;
    install({ProcessKind::Kernel, playing}, notices);
    return notices;
}

bool Rules::dropsEventFor(intptr_t pin) const {
    return pin < 0 || pin >= bound;
}

std::vector<Notice> Rules::pinStatus(intptr_t pin, int32_t status, int16_t type,
                                     float currentSample, int32_t clock) {
    std::vector<Notice> notices;
    if (dropsEventFor(pin)) return notices;
    auto& held = statuses[static_cast<size_t>(pin)];
    held = status;

    // With fewer pins than the output's index the module has nothing to report on.
    if (pinArray > pins.output && pins.input >= 0 && pins.input < bound && pins.output >= 0 &&
        pins.output < bound) {
        int32_t reported = statuses[static_cast<size_t>(pins.input)];
        if (reported < kActiveStatus &&
            std::fabs(static_cast<double>(currentSample)) < kSilenceThreshold) {
            reported = kSilentStatus;
        }
        notices.push_back({PinStatus, pins.output, reported, static_cast<intptr_t>(clock)});
        if (reported < kActiveStatus) {
            silenceCountdown = blockSize;
            install({ProcessKind::Silence, 0}, notices);
        } else {
            install({ProcessKind::Kernel, resolve(type)}, notices);
        }
    }

    // A status of 1 is seen while the module is told of it, then reads 0.
    if (status == 1) held = 0;
    return notices;
}

ProcessOutcome Rules::process(int32_t offset, int32_t frames, bool hasInput, bool hasOutput) {
    ProcessOutcome outcome;
    if (offset < 0) frames = 0;
    switch (installed.kind) {
        case ProcessKind::Initial:
            break;
        case ProcessKind::Kernel:
            if (frames <= 0 || !hasInput || !hasOutput) break;
            outcome.runsKernel = true;
            outcome.kernelType = installed.type;
            outcome.history = !played                     ? ProcessOutcome::Cleared
                              : playing == installed.type ? ProcessOutcome::Continues
                                                          : ProcessOutcome::Fades;
            // A change during a fade starts a fade of its own.
            if (outcome.history == ProcessOutcome::Fades) fadeRemaining = kFadeFrames;
            outcome.fadingFrames = std::min(frames, fadeRemaining);
            fadeRemaining -= outcome.fadingFrames;
            playing = installed.type;
            played = true;
            break;
        case ProcessKind::Silence: {
            const int32_t count = std::max(frames, 0);
            if (silenceCountdown > 0) silenceCountdown -= std::min(count, silenceCountdown);
            outcome.writesZeros = hasOutput && count > 0;
            outcome.idle = silenceCountdown <= 0;
            played = false;
            fadeRemaining = 0;
            break;
        }
    }
    return outcome;
}

}  // namespace velmora::validate
