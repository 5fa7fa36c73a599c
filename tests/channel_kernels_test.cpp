// The channel kernels: on every path, for every body as tabled and as
// designed for another rate, and for every count of channels from 1 to 33
// (every way of filling and leaving part of the registers), each channel's
// output and history are bit for bit the scalar kernel's on that channel
// alone, across block splits and with some channels written in place.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "body_filter.h"
#include "kernel_paths.h"
#include "tuned_design.h"
#include "white_noise.h"

namespace {

using velmora::ChannelSet;
using velmora::KernelPath;
using velmora::KernelState;
using velmora::TunedBody;

// What one call of each kind runs: scalar on one channel, or a path on many.
struct Bodies {
    int type;
    bool tuned;  // designed for 48000 Hz rather than the module's tables
    TunedBody design() const { return velmora::tunedBodyAt(type, 48000.0); }
    void alone(KernelState& state, const float* in, float* out, int32_t frames) const {
        const KernelPath& scalar = velmora::kernelPaths()[0];
        if (!tuned) return (*scalar.kernels)[type](state, in, out, frames);
        const TunedBody body = design();
        (*scalar.tuned)[velmora::tunedKernelIndex(body.sections, body.dryTerm)](body, state, in,
                                                                                out, frames);
    }
    void together(const KernelPath& path, const ChannelSet& set, int32_t frames) const {
        if (!tuned) return (*path.channels)[type](set, frames);
        const TunedBody body = design();
        (*path.tunedChannels)[velmora::tunedKernelIndex(body.sections, body.dryTerm)](body, set,
                                                                                      frames);
    }
};

// Calls of these lengths one after another: short and long, on and off
// every register width.
constexpr int32_t kSplits[] = {1, 3, 64, 65, 200, 7, 130};

class ChannelKernels : public ::testing::TestWithParam<std::tuple<const KernelPath*, int, bool>> {};

std::vector<const KernelPath*> channelPaths() {
    std::vector<const KernelPath*> paths;
    for (const KernelPath& path : velmora::kernelPaths())
        if (path.channels != nullptr) paths.push_back(&path);
    return paths;
}

TEST_P(ChannelKernels, EveryChannelIsTheBodyOnItAlone) {
    const auto [path, type, tuned] = GetParam();
    if (!velmora::processorSupports(path->needs)) GTEST_SKIP() << path->name << " not here";
    const Bodies bodies{type, tuned};
    int32_t frames = 0;
    for (int32_t n : kSplits)
        frames += n;

    for (int count = 1; count <= 33; ++count) {
        std::vector<std::vector<float>> in(count), out(count), expected(count);
        std::vector<KernelState> states(count), alone(count);
        for (int c = 0; c < count; ++c) {
            // Loud enough to leave a history worth carrying across the calls.
            in[c] = noise(static_cast<size_t>(frames), static_cast<uint32_t>(7 + 31 * c));
            for (float& x : in[c])
                x *= 1e3f;
            // Every third channel is filtered in place.
            out[c] = c % 3 == 0 ? in[c] : std::vector<float>(in[c].size());
            expected[c].resize(in[c].size());
            states[c].filterState[1] = 0.25 * c;  // a history to start from
            alone[c] = states[c];
        }
        std::vector<KernelState*> statePointers;
        std::vector<const float*> inputs;
        std::vector<float*> outputs;
        for (int c = 0; c < count; ++c)
            statePointers.push_back(&states[c]);
        int32_t at = 0;
        for (int32_t n : kSplits) {
            inputs.clear();
            outputs.clear();
            for (int c = 0; c < count; ++c) {
                bodies.alone(alone[c], in[c].data() + at, expected[c].data() + at, n);
                inputs.push_back((c % 3 == 0 ? out[c] : in[c]).data() + at);
                outputs.push_back(out[c].data() + at);
            }
            bodies.together(*path, {statePointers.data(), inputs.data(), outputs.data(), count}, n);
            at += n;
        }
        for (int c = 0; c < count; ++c) {
            ASSERT_EQ(0, std::memcmp(out[c].data(), expected[c].data(), out[c].size() * 4))
                << count << " channels, channel " << c;
            ASSERT_EQ(0, std::memcmp(states[c].filterState, alone[c].filterState,
                                     sizeof states[c].filterState))
                << count << " channels, channel " << c << "'s history";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ChannelKernels,
                         ::testing::Combine(::testing::ValuesIn(channelPaths()),
                                            ::testing::Range(0, 17), ::testing::Bool()),
                         [](const auto& info) {
                             std::string name = std::get<0>(info.param)->name;
                             name += "_type" + std::to_string(std::get<1>(info.param));
                             if (std::get<2>(info.param)) name += "_tuned";
                             return name;
                         });

// Through BodyFilter: channels that change body together fade together, and
// a channel restored apart from the others still gives its own bits.
TEST(BodyFilterChannels, EachChannelAsItsOwnFilterGivesIt) {
    const velmora::TunedBodies at48k(48000.0, velmora::Tuning::True);
    constexpr int kCount = 5;
    constexpr int32_t kFrames = 700;
    std::vector<velmora::BodyFilter> together(kCount), apart(kCount);
    for (velmora::BodyFilter& f : together)
        f.tuning = &at48k;
    for (velmora::BodyFilter& f : apart)
        f.tuning = &at48k;
    together[3].fadeRemaining = apart[3].fadeRemaining = 100;  // out of step with the rest
    std::vector<std::vector<float>> in(kCount), out(kCount, std::vector<float>(kFrames)),
        expected = out;
    std::vector<const float*> inputs;
    std::vector<float*> outputs;
    for (int c = 0; c < kCount; ++c) {
        in[c] = noise(kFrames, static_cast<uint32_t>(c + 1));
        inputs.push_back(in[c].data());
        outputs.push_back(out[c].data());
    }
    for (int type : {11, 11, 2, 16, 0}) {
        velmora::BodyFilter::processChannels(together, type, inputs.data(), outputs.data(),
                                             kFrames);
        for (int c = 0; c < kCount; ++c) {
            apart[c].process(type, in[c].data(), expected[c].data(), kFrames);
            ASSERT_EQ(0, std::memcmp(out[c].data(), expected[c].data(), kFrames * 4))
                << "type " << type << ", channel " << c;
        }
    }
}

}  // namespace
