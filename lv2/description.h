// What the two plugins show a host: their URIs, their ports in index order
// and the ranges of the controls. The plugin and the program that writes the
// bundle's Turtle both read this, so the description and the code agree.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "body_list.h"

namespace velmora::lv2 {

struct PluginKind {
    std::string_view uri;   // permanent: hosts save sessions by it
    std::string_view name;  // shown in hosts' plugin lists
    int channels;           // audio inputs, and as many outputs, one filter each
};

inline constexpr std::array<PluginKind, 2> kPlugins{{
    {"urn:velmora:lv2:mono", "Velmora", 1},
    {"urn:velmora:lv2:stereo", "Velmora Stereo", 2},
}};

inline constexpr int kMaxChannels = 2;

// Ports: the three controls, then every audio input, then every output,
// then the Tuning control, added later and so last: hosts that save a
// session by port index keep their values.
enum ControlPort : uint32_t { kBodyPort = 0, kTrimPort = 1, kMixPort = 2 };
inline constexpr uint32_t kControlPortCount = 3;

constexpr uint32_t audioInputPort(int channel) {
    return kControlPortCount + static_cast<uint32_t>(channel);
}
constexpr uint32_t audioOutputPort(int channels, int channel) {
    return kControlPortCount + static_cast<uint32_t>(channels + channel);
}
constexpr uint32_t tuningPort(int channels) {
    return kControlPortCount + static_cast<uint32_t>(2 * channels);
}
constexpr uint32_t portCount(int channels) {
    return tuningPort(channels) + 1;
}

struct ControlRange {
    float minimum;
    float maximum;
    float fallback;  // the default, and what a value that is not a number reads as
};

// Body: a "Type" value, shown as the list of bodies.
inline constexpr ControlRange kBodyRange{0.0f, static_cast<float>(kTypeCount - 1),
                                         static_cast<float>(kDefaultBody)};
// Trim in dB on the filtered signal: the bodies raise the level by up to 20 dB.
inline constexpr ControlRange kTrimRange{-40.0f, 24.0f, 0.0f};
// Mix: 0 is the dry input alone, 1 the filtered signal alone.
inline constexpr ControlRange kMixRange{0.0f, 1.0f, 1.0f};

// Tuning: 0 the body true at the session's rate, 1 the module's tables as
// they are (a Tuning value of the kernel layer).
inline constexpr ControlRange kTuningRange{0.0f, 1.0f, 0.0f};
inline constexpr std::array<std::string_view, 2> kTuningNames{"True at this rate",
                                                              "Fixed, as designed at 44 kHz"};

// Trim and Mix move to a new value over this long, so automation does not click.
inline constexpr double kSmoothingSeconds = 0.02;

}  // namespace velmora::lv2
