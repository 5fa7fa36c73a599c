// One instance driven by random host actions between blocks, beside the
// rules model: after every action the module's requests, its process
// function and its output are held against what the rules say.
//
// Kernel output is checked by replay: from the moment a kernel starts from
// cleared state (after open or silence, or at a change of body) until its
// history is broken, its input goes through a fresh instance in one call,
// which must give the same bits, except in the frames of a change's fade.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "checks.h"
#include "host_buffers.h"
#include "random.h"
#include "rules.h"
#include "subject.h"

namespace velmora::validate {

class Automaton {
  public:
    struct Settings {
        bool typeChanges = true;  // the host changes the type between blocks
        bool replay = true;       // kernel output against fresh instances
        bool soak = false;        // mostly whole blocks, status changes now and then
    };

    Automaton(Context& context, Result& result, uint32_t seed, Settings settings);

    bool start(int16_t type);
    // One random action and its checks; false once a failure is reported.
    bool step();
    // Replays what is left; false on a failure.
    bool finish();

    int64_t frames() const { return framesDone; }
    int steps() const { return stepNumber; }
    int replays() const { return replayCount; }

  private:
    bool fail(const std::string& problem);
    bool checkRequests(const std::vector<Notice>& expected, bool questionsAllowed);
    bool checkInstalled();
    void trace();

    bool process();
    bool pinStatus(int32_t pin);
    bool changeType();
    bool setBlockSize();
    bool setSampleRate();
    bool reopen();
    bool ignoredEvent();
    bool processRecord();

    float currentSample() const;
    int32_t currentPosition() const;
    void advanceClock(int32_t frames, int32_t position);
    bool endReplay();

    Context& context;
    Result& result;
    const Layout& layout;
    uint32_t seed;
    Settings settings;
    Random random;
    Subject subject;
    Rules rules;
    HostBuffers buffers;

    int16_t type = 0;
    float rate = 44100.0f;
    int32_t blockSize = 512;
    float* outputBase = nullptr;  // what the output variable points at
    int32_t outputCapacity = 0;
    int stepNumber = 0;
    int64_t framesDone = 0;
    int replayCount = 0;
    std::string action;
    std::vector<Notice> received;
    std::vector<float> input;
    std::vector<float> output;

    struct Replay {
        bool active = false;
        int16_t type = 0;
        float rate = 0;
        int32_t blockSize = 0;
        int fromStep = 0;
        size_t fadingFrames = 0;  // the first frames, mixed with the body before
        std::vector<float> input;
        std::vector<float> output;
    } replay;
    HostBuffers replayBuffers;
    std::vector<float> replayOutput;
};

}  // namespace velmora::validate
