// The velmora program run as a user runs it, in a folder of its own per
// test, and the sound files it reads and writes.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sound_files.h"

namespace velmora::test {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;  // the exit status, -1 when killed by a signal
    std::string out;
    std::string err;
};

// How the program is started, beyond its arguments.
struct Launch {
    const char* path = nullptr;            // replaces PATH when given
    std::string program = VELMORA_TOOL;    // another copy of the program
    std::vector<std::string> environment;  // NAME=VALUE added
    uid_t user = static_cast<uid_t>(-1);   // a user to run as (the test runs as root)
    bool stdoutPipe = false;               // standard output is a pipe rather than a file
    std::optional<std::string> input;      // standard input: these bytes through a pipe
    int inputFd = -1;                      // standard input: this descriptor (a file, a terminal)
    int outputFd = -1;                     // standard output: this descriptor
    int errorFd = -1;                      // standard error: this descriptor (a terminal)
};

// A run that the test acts on while it goes (signals, readers).
struct Running {
    pid_t pid = -1;
    bool stdoutPipe = false;
    int outFile = -1, errFile = -1, fromStdout = -1;
    std::string outName, errName;
    std::thread feeder;  // writes Launch::input
};

int lineCount(const std::string& text);
bool contains(const std::string& text, const std::string& part);

// A few channels that differ from each other in level and spectrum.
std::vector<float> testSignal(int channels, int frames, float level);

class Tool : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // velmora with `args`; `path`, when given, replaces the PATH it sees.
    Outcome velmora(const std::vector<std::string>& args, const char* path = nullptr,
                    const std::string& program = VELMORA_TOOL);
    Outcome velmora(const std::vector<std::string>& args, const Launch& launch);
    Running start(const std::vector<std::string>& args, const Launch& launch = {});
    static Outcome finish(Running& run);

    // The module through the host library, driven here rather than by the
    // tool's host code, for one channel.
    static std::vector<float> reference(const std::vector<float>& input, float rate, int16_t type,
                                        int32_t blockFrames = 512);

    std::vector<std::string> filesHere() const;
    std::vector<std::string> filesIn(const fs::path& where) const;

    fs::path folder;
};

}  // namespace velmora::test
