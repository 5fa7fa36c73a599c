// Whole signals through a module: the steps a host takes from create to
// process, gathered for programs that want audio out of the module rather
// than the conversation with it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "abi.h"
#include "instance.h"
#include "module_library.h"

namespace velmora::host {

// The pin declarations of a freshly opened instance; the texts in them are
// the library's and stay valid while it is loaded.
bool readPins(const ModuleLibrary& library, std::vector<PinProperties>& pins, std::string& error);

struct RenderSettings {
    float sampleRate = 44000.0f;
    int32_t blockFrames = 512;
    int16_t type = 1;  // value for the module's enumeration input
};

// One audio channel through an instance of its own, opened with the chosen
// type already set, so that the signal plays through it from its first sample
// as the kernel from a clear state, and with its input active. The pins are
// found by their declarations: the first audio input, enumeration input and
// audio output.
class Channel {
  public:
    static std::unique_ptr<Channel> start(const ModuleLibrary& library,
                                          const RenderSettings& settings, std::string& error);

    // Consecutive calls continue one signal. Each call is cut into blocks of
    // the settings' size, so calls of a multiple of it keep every block full.
    void process(const float* input, float* output, int32_t frames);

    Instance& instance() { return host; }

  private:
    Channel(const ModuleLibrary& library, int32_t blockFrames);

    Instance host;
    int32_t blockFrames;
    int32_t inputPin = -1;
    int32_t outputPin = -1;
};

// `input` through a new channel into `output` (resized to match).
bool render(const ModuleLibrary& library, const RenderSettings& settings,
            const std::vector<float>& input, std::vector<float>& output, std::string& error);

// The first `frames` samples of the response to a unit impulse.
bool impulseResponse(const ModuleLibrary& library, const RenderSettings& settings, int32_t frames,
                     std::vector<float>& response, std::string& error);

}  // namespace velmora::host
