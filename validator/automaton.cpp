#include "automaton.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>

#include "signals.h"

namespace velmora::validate {

namespace {

// The host's clock is moved back by this much before it could overflow;
// the module sees only differences of clocks and the clock it reports.
constexpr int32_t kClockRebase = 1 << 30;
// Longer kernel stretches are checked up to here and no further.
constexpr size_t kLongestReplay = size_t{1} << 20;

std::string noticeText(const Notice& notice) {
    switch (notice.opcode) {
        case PinStatus:
            return "PinStatus(pin " + std::to_string(notice.index) + ", status " +
                   std::to_string(notice.value) + ", clock " + std::to_string(notice.pointer) + ")";
        case Idle:
            return "Idle";
        case ProcessChanged:
            return "ProcessChanged";
        default:
            return "request " + std::to_string(notice.opcode);
    }
}

std::string noticeList(const std::vector<Notice>& notices) {
    if (notices.empty()) return "nothing";
    std::string text;
    for (const Notice& notice : notices)
        text += (text.empty() ? "" : ", ") + noticeText(notice);
    return text;
}

std::string functionName(const Knowledge& known, ProcessFunction function) {
    if (function == known.silence) return "the silence process";
    if (function == known.initial) return "the process function from creation";
    for (size_t i = 0; i < known.kernels.size(); ++i) {
        if (known.kernels[i] == function) {
            return "type " + std::to_string(known.layout.lowestType + static_cast<int>(i)) +
                   "'s kernel";
        }
    }
    return "a process function no fresh instance installs";
}

}  // namespace

Automaton::Automaton(Context& c, Result& r, uint32_t trialSeed, Settings s)
    : context(c),
      result(r),
      layout(c.known.layout),
      seed(trialSeed),
      settings(s),
      random(trialSeed),
      subject(c.library, c.watch),
      rules(c.known.layout) {}

bool Automaton::fail(const std::string& problem) {
    result.failTrial(seed, "step " + std::to_string(stepNumber) + " (" + action + "): " + problem);
    if (context.tracing()) trace();
    return false;
}

void Automaton::trace() {
    // A soak's steps are too many to list.
    if (!context.tracing() || settings.soak) return;
    char number[16];
    std::snprintf(number, sizeof number, "%3d  ", stepNumber);
    result.trace(number + action + " -> " + noticeList(received));
}

bool Automaton::start(int16_t startType) {
    std::string error;
    if (!subject.create(error)) return fail(error);
    type = startType;
    rate = static_cast<float>(random.pick({22050, 44100, 48000, 96000, 192000}));
    blockSize = random.pick({1, 7, 64, 256, 512, 1024, 4096});
    subject.host.sampleClock = random.between(0, 1 << 20);
    subject.setSampleRate(rate);
    subject.setBlockSize(blockSize);
    rules.setBlockSize(blockSize);
    subject.setType(layout.type, type);
    action = "open with type " + std::to_string(type) + " at " + number(rate) + " Hz, blocks of " +
             std::to_string(blockSize);
    const std::vector<Notice> expected = rules.open(3, type);
    subject.open();
    if (!checkRequests(expected, true) || !checkInstalled()) return false;
    trace();
    return true;
}

bool Automaton::checkRequests(const std::vector<Notice>& expected, bool questionsAllowed) {
    received.clear();
    for (const host::Request& request : subject.requests()) {
        if (!isKnownRequest(request.opcode)) {
            subject.clearRequests();
            return fail("the module sent request " + std::to_string(request.opcode) +
                        ", which hosts do not know");
        }
        if (!isNotice(request.opcode) && !questionsAllowed) {
            subject.clearRequests();
            return fail("an event the module must drop made it ask the host (request " +
                        std::to_string(request.opcode) + ")");
        }
        if (isNotice(request.opcode)) {
            received.push_back({request.opcode, request.opcode == PinStatus ? request.index : 0,
                                request.opcode == PinStatus ? request.value : 0,
                                request.opcode == PinStatus ? request.pointer : 0});
        }
    }
    subject.clearRequests();
    if (received != expected) {
        return fail("the module sent " + noticeList(received) + "; the rules say " +
                    noticeList(expected));
    }
    return true;
}

bool Automaton::checkInstalled() {
    const ProcessFunction expected = context.known.expected(rules.current());
    const ProcessFunction actual = subject.processFunction();
    if (actual == expected) return true;
    return fail("the module installed " + functionName(context.known, actual) + "; the rules say " +
                functionName(context.known, expected));
}

int32_t Automaton::currentPosition() const {
    return Rules::samplePosition(subject.host.sampleClock,
                                 subject.host.bufferClocks[static_cast<size_t>(layout.output)]);
}

// What the module reads as the output's current sample: the host's buffer
// at the host's clock, or 0 when there is no buffer or the clock points
// outside the block size of frames the buffer holds.
float Automaton::currentSample() const {
    const int32_t position = currentPosition();
    if (outputBase == nullptr || !rules.readsSampleAt(position) || position >= outputCapacity) {
        return 0.0f;
    }
    return outputBase[position];
}

void Automaton::advanceClock(int32_t frames, int32_t position) {
    auto& host = subject.host;
    if (host.sampleClock > kClockRebase) {
        host.sampleClock -= kClockRebase;
    }
    host.sampleClock += std::max(frames, 0);
    host.bufferClocks[static_cast<size_t>(layout.output)] = host.sampleClock - position;
}

bool Automaton::step() {
    ++stepNumber;
    const uint32_t roll = random.below(100);
    bool ok;
    if (settings.soak) {
        ok = roll < 85 ? process() : roll < 97 ? pinStatus(layout.input) : pinStatus(layout.output);
    } else if (roll < 42) {
        ok = process();
    } else if (roll < 62) {
        ok = pinStatus(layout.input);
    } else if (roll < 67) {
        ok = pinStatus(random.chance(50) ? layout.type : layout.output);
    } else if (roll < 79) {
        ok = settings.typeChanges ? changeType() : process();
    } else if (roll < 82) {
        ok = setBlockSize();
    } else if (roll < 84) {
        ok = setSampleRate();
    } else if (roll < 88) {
        ok = reopen();
    } else if (roll < 95) {
        ok = ignoredEvent();
    } else {
        ok = processRecord();
    }
    if (ok) trace();
    return ok;
}

bool Automaton::process() {
    int32_t frames;
    const uint32_t size = random.below(100);
    if (settings.soak) {
        frames = size < 80 ? blockSize : random.between(0, std::max(blockSize, 1));
    } else {
        frames = size < 5    ? 0
                 : size < 10 ? 1
                 : size < 40 ? std::min(blockSize, 4096)
                             : random.between(1, 700);
    }
    // Now and then a host's mistake: a negative offset, a call without frames.
    const uint32_t where = random.below(100);
    const int32_t offset = where < 78   ? 2 * random.between(0, 20) + 1
                           : where < 97 ? random.between(0, 40)
                                        : random.pick({-1, -7, -64});
    const Signal signal = random.pick({Signal::Noise, Signal::Noise, Signal::Zeros, Signal::Tiny,
                                       Signal::Impulses, Signal::Square});
    Block block;
    block.frames = frames;
    block.offset = offset;
    block.inPlace = random.chance(15);
    if (!block.inPlace && !settings.soak) {
        block.noInput = random.chance(3);
        block.noOutput = random.chance(3);
    }
    input.resize(static_cast<size_t>(std::max(frames, 0)));
    output.resize(input.size());
    fillSignal(signal, random, input.data(), frames, static_cast<int32_t>(rate), framesDone);
    block.input = input.data();

    action = "process " + std::to_string(frames) + " frames of " + signalName(signal) +
             " at offset " + std::to_string(offset) + (block.inPlace ? " in place" : "") +
             (block.noInput ? ", null input" : "") + (block.noOutput ? ", null output" : "");
    const ProcessOutcome outcome = rules.process(offset, frames, !block.noInput, !block.noOutput);
    std::fill(output.begin(), output.end(), marker());
    const std::string problem =
        buffers.run(subject, layout.input, layout.output, block, output.data());
    outputBase = block.noOutput ? nullptr : buffers.outputBase();
    outputCapacity = buffers.outputCapacity();
    advanceClock(frames, offset + std::max(frames, 1) - 1);
    framesDone += std::max(frames, 0);

    if (!problem.empty()) return fail(problem);
    if (!checkRequests(outcome.idle ? std::vector<Notice>{{Idle, 0, 0, 0}} : std::vector<Notice>{},
                       true)) {
        return false;
    }
    if (!checkInstalled()) return false;

    if (outcome.writesZeros) {
        for (size_t i = 0; i < output.size(); ++i) {
            if (!sameBits(output[i], 0.0f)) {
                return fail("the silence process left frame " + std::to_string(i) + " at " +
                            number(output[i]));
            }
        }
    } else if (outcome.runsKernel) {
        for (size_t i = 0; i < output.size(); ++i) {
            if (!std::isfinite(output[i])) {
                return fail("frame " + std::to_string(i) + " of the output is " +
                            number(output[i]));
            }
        }
    } else if (!block.noOutput && !block.inPlace) {
        for (size_t i = 0; i < output.size(); ++i) {
            if (!sameBits(output[i], marker())) {
                return fail("a call the rules say does nothing wrote frame " + std::to_string(i));
            }
        }
    }

    if (!outcome.runsKernel) {
        // Any call of the silence process clears the kernel's history.
        if (rules.current().kind == ProcessKind::Silence && !endReplay()) return false;
        return true;
    }
    if (outcome.history != ProcessOutcome::Continues && !endReplay()) return false;
    // After a change of body the new one starts from a clear state too: once
    // its fade is over, its output is a fresh instance's from the change on.
    if (outcome.history != ProcessOutcome::Continues && settings.replay) {
        replay.active = true;
        replay.type = outcome.kernelType;
        replay.rate = rate;
        replay.blockSize = blockSize;
        replay.fromStep = stepNumber;
        replay.fadingFrames = 0;
        replay.input.clear();
        replay.output.clear();
    }
    if (replay.active) {
        replay.fadingFrames += static_cast<size_t>(outcome.fadingFrames);
        replay.input.insert(replay.input.end(), input.begin(), input.end());
        replay.output.insert(replay.output.end(), output.begin(), output.end());
        if (replay.input.size() > kLongestReplay && !endReplay()) return false;
    }
    return true;
}

bool Automaton::endReplay() {
    if (!replay.active) return true;
    replay.active = false;
    if (replay.input.empty()) return true;
    Subject fresh(context.library, context.watch);
    std::string error;
    if (!startPlaying(fresh, layout, replay.type, replay.rate, replay.blockSize, error)) {
        return fail(error);
    }
    replayOutput.resize(replay.input.size());
    const std::string problem = replayBuffers.run(
        fresh, layout.input, layout.output,
        {replay.input.data(), static_cast<int32_t>(replay.input.size()), 1}, replayOutput.data());
    if (!problem.empty()) return fail("a fresh instance " + problem);
    // The frames of a fade mix two bodies; only the later ones are compared.
    const size_t from = std::min(replay.fadingFrames, replayOutput.size());
    Difference d = compareBits(replay.output.data() + from, replayOutput.data() + from,
                               replayOutput.size() - from);
    d.frame += from;
    ++replayCount;
    if (d.same) return true;
    return fail(
        "type " + std::to_string(replay.type) + "'s output since step " +
        std::to_string(replay.fromStep) +
        (from > 0 ? ", after the " + std::to_string(from) + " frames of its fade," : "") +
        " differs from a fresh instance's given the same input in one call: " + describe(d));
}

bool Automaton::pinStatus(int32_t pin) {
    std::string detail;
    if (random.chance(30) && outputBase != nullptr) {
        const int32_t position = currentPosition();
        if (position >= 0 && position < outputCapacity) {
            const float tiny = std::numeric_limits<float>::denorm_min();
            const float value =
                random.pick({0.0f, -0.0f, 1e-35f, -2.9e-34f, 2.9e-34f, 3e-34f, 3.1e-34f, 1e-30f,
                             0.25f, -0.5f, tiny, std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity()});
            outputBase[position] = value;
        }
    }
    int32_t& bufferClock = subject.host.bufferClocks[static_cast<size_t>(layout.output)];
    const int32_t clock = subject.host.sampleClock;
    const uint32_t clocks = random.below(100);
    if (clocks < 8) {
        bufferClock = clock + random.between(1, 5);
        detail = ", the clock before the output buffer";
    } else if (clocks < 16) {
        // Clocks that drifted apart: the current sample just past the block
        // size of frames the buffer holds, or anywhere in the clocks' range,
        // as with a host that answers PinBufferClock with 0.
        const int64_t past = int64_t{rules.announcedBlockSize()} + random.between(0, 8);
        const int32_t drifted =
            random.chance(50)
                ? static_cast<int32_t>(clock - past)
                : random.pick({0, INT32_MIN, INT32_MAX, static_cast<int32_t>(random.next())});
        // A position inside the block size is the host's promise to keep; a
        // buffer shorter than that is no case to test.
        const int32_t position = Rules::samplePosition(clock, drifted);
        if (!rules.readsSampleAt(position) || position < outputCapacity) {
            bufferClock = drifted;
            detail = ", clocks drifted apart (PinBufferClock " + std::to_string(drifted) + ")";
        }
    }
    const int32_t status = random.pick({0, 0, 1, 1, 2, 2, 2, 3, -1, 7});
    const float sample = currentSample();
    action = "pin " + std::to_string(pin) + " status " + std::to_string(status) +
             ", current output sample " + number(sample) + detail;
    const std::vector<Notice> expected =
        rules.pinStatus(pin, status, type, sample, subject.host.sampleClock);
    subject.pinStatus(pin, status);
    return checkRequests(expected, true) && checkInstalled();
}

bool Automaton::changeType() {
    if (random.chance(80)) {
        type = static_cast<int16_t>(random.between(layout.lowestType, layout.highestType));
    } else {
        type = random.pick<int16_t>(
            {-1, static_cast<int16_t>(layout.highestType + 1), 100, 32767, -32768});
    }
    subject.setType(layout.type, type);
    action = "type " + std::to_string(type);
    if (!checkRequests({}, false)) return false;
    if (random.chance(60)) return pinStatus(layout.input);
    return true;
}

bool Automaton::setBlockSize() {
    blockSize = random.pick({1, 7, 64, 512, 1024, 4096, 0, -3});
    action = "block size " + std::to_string(blockSize);
    if (!endReplay()) return false;
    rules.setBlockSize(blockSize);
    subject.setBlockSize(blockSize);
    if (blockSize <= 0) blockSize = 64;  // what the host's own blocks will be
    return checkRequests({}, true) && checkInstalled();
}

bool Automaton::setSampleRate() {
    rate = static_cast<float>(random.pick({22050, 44100, 48000, 88200, 192000}));
    action = "sample rate " + number(rate);
    if (!endReplay()) return false;
    subject.setSampleRate(rate);
    return checkRequests({}, true) && checkInstalled();
}

bool Automaton::reopen() {
    action = "open again";
    if (!endReplay()) return false;
    const std::vector<Notice> expected = rules.open(3, type);
    subject.open();
    return checkRequests(expected, true) && checkInstalled();
}

bool Automaton::ignoredEvent() {
    ModuleEvent event{};
    const uint32_t kind = random.below(4);
    if (kind == 0) {
        event.type = EventPinStatus;
        event.pointer = random.pick<intptr_t>(
            {-1, layout.declared, layout.declared + 5, 1000, INTPTR_MAX, INTPTR_MIN});
        event.value = random.pick({0, 1, 2});
        action = "status " + std::to_string(event.value) + " for pin " +
                 std::to_string(event.pointer) + ", which does not exist";
    } else if (kind == 1) {
        event.type = random.pick({1, 3, 4, 20, 22, -1, INT32_MAX});
        event.value = 2;
        event.pointer = random.pick<intptr_t>({0, 1, 2, -1});
        action = "an event of unknown type " + std::to_string(event.type);
    } else if (kind == 2) {
        event.type = EventRunOperation;
        action = "an operation event naming no operation";
    } else {
        event.type = EventHook2;
        event.first = 1;
        event.value = 2;
        event.shortValue = 3;
        action = "a hook event";
    }
    subject.event(event);
    return checkRequests({}, false) && checkInstalled();
}

bool Automaton::processRecord() {
    action = "opcode 13";
    const auto* info =
        reinterpret_cast<const ProcessRecordInfo*>(subject.dispatch(OpcodeGetProcessRecord));
    if (info == nullptr || info->record == nullptr) return fail("opcode 13 answered no record");
    if (info->record->function != subject.processFunction()) {
        return fail("the process record names " +
                    functionName(context.known, info->record->function) + ", the entry record " +
                    functionName(context.known, subject.processFunction()));
    }
    return checkRequests({}, true) && checkInstalled();
}

bool Automaton::finish() {
    action = "the end of the trial";
    return endReplay();
}

}  // namespace velmora::validate
