// The module's documented behaviour as a model the validator and the fuzzer
// drive beside the real module: given what the host does, what the module
// must answer, notify and install.
//
// The model knows pins only by their part (audio input, type input, audio
// output), found from the declarations, and process functions only by kind:
// the kernel of a type, the silence process, or the one from creation.
#pragma once

#include <cstdint>
#include <vector>

#include "abi.h"

namespace velmora::validate {

// An input status of this or more means the input carries a signal.
inline constexpr int32_t kActiveStatus = 2;
// The status reported for the output when the input is idle and the output
// sample is smaller than the threshold.
inline constexpr int32_t kSilentStatus = 1;
inline constexpr double kSilenceThreshold = 3e-34;
// Open makes at most this many pins, whatever PinCount answers.
inline constexpr int32_t kMostPins = 65536;
// A change of body crossfades over this many frames, after which the output
// is the new body's from a clear state at the change.
inline constexpr int32_t kFadeFrames = 1024;

// The parts the pins play, by their index in the declarations.
struct Layout {
    int32_t declared = 0;     // declarations answered by opcode 6
    int32_t input = -1;       // first audio input
    int32_t type = -1;        // first enumeration input
    int32_t output = -1;      // first audio output
    int16_t defaultType = 1;  // the type pin's default, which unknown values play
    int16_t lowestType = 0;   // types from here to highestType have kernels of their own
    int16_t highestType = 0;
    std::vector<int16_t> listed;  // the values the type pin's list names

    // Whether the module has the pins the behavioural checks need.
    bool complete() const { return input >= 0 && type >= 0 && output >= 0; }
};

// Found from the declarations of an instance.
Layout layoutFrom(const std::vector<PinProperties>& pins);

struct ProcessKind {
    enum Kind : uint8_t { Initial, Kernel, Silence };
    Kind kind = Initial;
    int16_t type = 0;  // for a kernel, the type it belongs to after resolving

    friend bool operator==(const ProcessKind&, const ProcessKind&) = default;
};

// A request the module makes that tells the host something (as opposed to
// the questions it asks: PinCount, SampleClock, PinBuffer, PinBufferClock).
struct Notice {
    int32_t opcode = 0;
    int32_t index = 0;
    int32_t value = 0;
    intptr_t pointer = 0;

    friend bool operator==(const Notice&, const Notice&) = default;
};

bool isNotice(int32_t requestOpcode);
bool isKnownRequest(int32_t requestOpcode);

// What one call of the current process function must do.
struct ProcessOutcome {
    // How a kernel call starts: from a clear state (after open or silence
    // nothing was played, so even another body than before has nothing to
    // fade from), continuing the body that played last, or changing from it
    // to another, which starts from a clear state while the old body fades
    // out over kFadeFrames frames.
    enum History : uint8_t { Cleared, Continues, Fades };

    bool runsKernel = false;  // a kernel call that reads and writes frames
    int16_t kernelType = 0;
    History history = Cleared;
    // The call's first frames that are still part of a fade: they mix two
    // bodies, and only the later ones are the body's alone.
    int32_t fadingFrames = 0;
    bool writesZeros = false;  // the silence process over the frames
    bool idle = false;         // Idle is requested during the call
};

class Rules {
  public:
    explicit Rules(Layout layout) : pins(std::move(layout)) {}

    const Layout& layout() const { return pins; }
    // The type whose kernel a type value plays.
    int16_t resolve(int16_t type) const;

    // Opcode 0 with the host answering `pinCount`, the type pin holding `type`.
    std::vector<Notice> open(int32_t pinCount, int16_t type);
    void setBlockSize(int32_t frames) { blockSize = frames; }

    // A pin status event. `currentSample` is what the module reads as the
    // output's current sample (0 when it cannot be read); `clock` is the
    // host's SampleClock answer.
    std::vector<Notice> pinStatus(intptr_t pin, int32_t status, int16_t type, float currentSample,
                                  int32_t clock);
    // Whether a pin status event for `pin` is dropped unread.
    bool dropsEventFor(intptr_t pin) const;

    // A call of the process function; an offset below 0 makes it a call
    // without frames.
    ProcessOutcome process(int32_t offset, int32_t frames, bool hasInput, bool hasOutput);

    // Where the module reads the output's current sample: SampleClock minus
    // PinBufferClock frames into the host's buffer, on clocks of 32 bits that
    // wrap (negative when the buffer starts later).
    static int32_t samplePosition(int32_t sampleClock, int32_t bufferClock) {
        return static_cast<int32_t>(static_cast<uint32_t>(sampleClock) -
                                    static_cast<uint32_t>(bufferClock));
    }
    // Whether the module reads the sample at that position: only inside the
    // block size of frames the host's buffers hold. Elsewhere it reads 0.
    bool readsSampleAt(int32_t position) const { return position >= 0 && position < blockSize; }

    ProcessKind current() const { return installed; }
    int32_t announcedBlockSize() const { return blockSize; }
    int32_t countdown() const { return silenceCountdown; }

  private:
    void install(ProcessKind kind, std::vector<Notice>& notices);

    Layout pins;
    int32_t pinArray = 0;           // pins the module made at open
    int32_t bound = 0;              // of those, the ones bound to a declaration
    std::vector<int32_t> statuses;  // last status per pin
    ProcessKind installed;
    int32_t blockSize = 1024;  // the module's default until opcode 3
    int32_t silenceCountdown = 0;
    int16_t playing = 0;        // the body that plays, or played last
    bool played = false;        // a kernel ran frames since open or silence
    int32_t fadeRemaining = 0;  // frames of a fade still to come
};

}  // namespace velmora::validate
