// The validator's checks and what they share: the library under test, what
// was learned of it from fresh instances, the options and the report of one check.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "abi.h"
#include "fp_environment.h"
#include "module_library.h"
#include "rules.h"

namespace velmora::validate {

class Subject;
class HostBuffers;

struct Options {
    std::string modulePath;
    uint64_t seed = 1;
    int iterations = 20;
    std::optional<uint32_t> reproduce;  // one trial of each randomised check, traced
    double soakSeconds = 0;
    std::vector<std::string> checks;  // empty: all
};

// What fresh instances showed before the checks began.
struct Knowledge {
    Layout layout;
    std::vector<ProcessFunction> kernels;  // per type from layout.lowestType
    ProcessFunction silence = nullptr;
    ProcessFunction initial = nullptr;
    std::string problem;  // why the behavioural checks cannot run, if they cannot

    ProcessFunction expected(const ProcessKind& kind) const;
};

struct Context {
    const host::ModuleLibrary& library;
    const Options& options;
    FpWatch& watch;
    Knowledge known;
    std::vector<std::string> setupChanges;  // environment changes while learning

    // The seeds of a randomised check's trials: one per iteration, or the one
    // being reproduced.
    std::vector<uint32_t> trialSeeds(std::string_view check) const;
    bool tracing() const { return options.reproduce.has_value(); }
};

// The outcome of one check: a summary when it passes, its first failures
// when it does not.
class Result {
  public:
    void fail(std::string message);
    // A failure of one trial of a randomised check; the seed reproduces it.
    void failTrial(uint32_t seed, std::string message);
    void summary(std::string text) { line = std::move(text); }
    void skip(std::string why);
    void trace(std::string step);

    bool failed() const { return failureTotal > 0; }
    bool skipped() const { return skippedWhy.has_value(); }
    const std::string& summaryText() const { return line; }
    const std::vector<std::string>& failures() const { return kept; }
    int failureCount() const { return failureTotal; }
    const std::vector<uint32_t>& failedSeeds() const { return seeds; }
    const std::optional<std::string>& skipReason() const { return skippedWhy; }
    const std::vector<std::string>& traced() const { return steps; }

  private:
    std::string line;
    std::vector<std::string> kept;
    std::vector<uint32_t> seeds;
    std::vector<std::string> steps;
    std::optional<std::string> skippedWhy;
    int failureTotal = 0;
};

struct Check {
    const char* name;
    const char* about;  // for --help and the README
    void (*run)(Context&, Result&);
    bool behavioural;  // needs the module's pins and learned process functions
};

const std::vector<Check>& allChecks();

void learn(Context& context);

void checkExports(Context&, Result&);
void checkProperties(Context&, Result&);
void checkEntry(Context&, Result&);
void checkOpcodes(Context&, Result&);
void checkTypes(Context&, Result&);
void checkBuffers(Context&, Result&);
void checkMatrix(Context&, Result&);
void checkInstances(Context&, Result&);
void checkAutomation(Context&, Result&);
void checkHostile(Context&, Result&);
void checkClocks(Context&, Result&);
void checkSoak(Context&, Result&);
void checkFpModes(Context&, Result&);
void checkFpEnvironment(Context&, Result&);

// Shared by checks: bits of two signals, and where they first differ.
struct Difference {
    bool same = true;
    size_t frame = 0;
    float got = 0;
    float expected = 0;
};
Difference compareBits(const float* got, const float* expected, size_t frames);
std::string describe(const Difference& difference);
inline bool sameBits(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}
std::string number(double value);  // short, exact enough to read

// Creates the instance and starts it as a host starts playing: rate, block
// size, type, open, and the input marked active.
bool startPlaying(Subject& subject, const Layout& layout, int16_t type, float rate,
                  int32_t blockSize, std::string& error);

// `input` through the instance in calls of `block` frames, each at an odd
// offset inside the host's buffers. Answers the first buffer problem, or "".
std::string playInBlocks(Subject& subject, const Layout& layout, HostBuffers& buffers,
                         const std::vector<float>& input, int32_t block, bool inPlace,
                         std::vector<float>& output);

}  // namespace velmora::validate
