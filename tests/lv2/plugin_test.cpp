// The LV2 plugin in a host on liblilv: what the bundle tells hosts, and what
// the plugin plays, held bit for bit against Module.so driven through the
// reference host (at 44000 Hz, or with the fixed tuning at any rate), and
// against the kernel layer's bodies designed for the rate.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "allocation_counter.h"
#include "body_filter.h"
#include "body_list.h"
#include "driver.h"
#include "enumeration.h"
#include "lilv_host.h"
#include "module_library.h"
#include "same_bits.h"
#include "tuned_design.h"

namespace {

using velmora::test::LilvHost;
using velmora::test::Node;
using velmora::test::PluginInstance;
using velmora::test::sameBits;
namespace host = velmora::host;

// The plugins' permanent URIs: sessions saved by hosts name them.
constexpr const char* kMono = "urn:velmora:lv2:mono";
constexpr const char* kStereo = "urn:velmora:lv2:stereo";
// The rate the bodies are tuned at: there the true tuning is the module's own.
constexpr double kRate = 44000.0;

// Block sizes a host might use, cycled through; none divides another.
const std::vector<uint32_t> kOddBlocks = {1, 7, 64, 333, 1031, 4096, 2, 517};

const host::ModuleLibrary& moduleLibrary() {
    static std::string error;
    static const auto library = host::ModuleLibrary::load(VELMORA_MODULE_FILE, error);
    if (library == nullptr) {
        ADD_FAILURE() << error;
        std::abort();
    }
    return *library;
}

// One channel of the module, opened on a body, driven as a host drives it.
class ModuleChannel {
  public:
    explicit ModuleChannel(int16_t type) {
        host::RenderSettings settings;
        settings.sampleRate = static_cast<float>(kRate);
        settings.blockFrames = 8192;  // a call of up to this many frames is one block
        settings.type = type;
        std::string error;
        channel = host::Channel::start(moduleLibrary(), settings, error);
        EXPECT_NE(channel, nullptr) << error;
        const auto& pins = channel->instance().pins();
        for (size_t i = 0; i < pins.size(); ++i) {
            if (pins[i].direction != PinDirectionInput) continue;
            if (pins[i].datatype == PinTypeEnum) typePin = static_cast<int32_t>(i);
            if (pins[i].datatype == PinTypeAudio) inputPin = static_cast<int32_t>(i);
        }
    }

    void process(const float* input, float* output, uint32_t frames) {
        channel->process(input, output, static_cast<int32_t>(frames));
    }

    // A host changes the body by writing the pin, then telling of a status.
    void changeBody(int16_t type) {
        channel->instance().setEnum(typePin, type);
        channel->instance().sendPinStatus(inputPin, 2);
    }

  private:
    std::unique_ptr<host::Channel> channel;
    int32_t typePin = -1;
    int32_t inputPin = -1;
};

// Calls `play(first frame, frames)` for consecutive blocks from `begin` to
// `end`, their sizes cycling through `blocks`.
template <class Play>
void inBlocks(size_t begin, size_t end, const std::vector<uint32_t>& blocks, Play play) {
    for (size_t done = begin, b = 0; done < end; ++b) {
        const auto n =
            static_cast<uint32_t>(std::min<size_t>(blocks[b % blocks.size()], end - done));
        play(done, n);
        done += n;
    }
}

// Noise and a tone, well inside full scale.
std::vector<float> testSignal(size_t frames, uint32_t seed) {
    std::vector<float> x(frames);
    for (size_t i = 0; i < frames; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
        x[i] = 0.3f * noise + 0.3f * std::sin(0.013f * static_cast<float>(i));
    }
    return x;
}

// The module's output for `input` through `type`, fed in `blocks` (cycled).
std::vector<float> moduleOutput(const std::vector<float>& input, int16_t type,
                                const std::vector<uint32_t>& blocks = {8192}) {
    ModuleChannel module(type);
    std::vector<float> output(input.size());
    inBlocks(0, input.size(), blocks, [&](size_t at, uint32_t n) {
        module.process(input.data() + at, output.data() + at, n);
    });
    return output;
}

// Runs the whole of each channel's signal through `plugin` in `blocks`
// (cycled), in place when asked.
std::vector<std::vector<float>> runPlugin(PluginInstance& plugin,
                                          const std::vector<std::vector<float>>& inputs,
                                          const std::vector<uint32_t>& blocks,
                                          bool inPlace = false) {
    std::vector<std::vector<float>> outputs = inputs;
    if (!inPlace) {
        for (auto& output : outputs)
            std::fill(output.begin(), output.end(), 0.0f);
    }
    inBlocks(0, inputs[0].size(), blocks, [&](size_t at, uint32_t n) {
        std::vector<const float*> in;
        std::vector<float*> out;
        for (size_t c = 0; c < inputs.size(); ++c) {
            in.push_back(inPlace ? outputs[c].data() + at : inputs[c].data() + at);
            out.push_back(outputs[c].data() + at);
        }
        plugin.run(in, out, n);
    });
    return outputs;
}

// --- What the bundle tells hosts ------------------------------------------

// The "Type" list of the module's enumeration pin, as Module.so gives it.
std::vector<host::EnumChoice> moduleTypeList() {
    std::vector<PinProperties> pins;
    std::string error;
    EXPECT_TRUE(host::readPins(moduleLibrary(), pins, error)) << error;
    for (const PinProperties& pin : pins) {
        if (pin.direction == PinDirectionInput && pin.datatype == PinTypeEnum) {
            return host::parseEnumList(pin.extraText != nullptr ? pin.extraText : "");
        }
    }
    ADD_FAILURE() << "the module has no enumeration input";
    return {};
}

TEST(BodyList, IsTheModulesTypeListWithThePassFilterFirst) {
    const auto listed = moduleTypeList();
    ASSERT_EQ(listed.size() + 1, velmora::kBodyNames.size());
    EXPECT_EQ(velmora::kBodyNames[0].number, 0);
    EXPECT_EQ(velmora::kBodyNames[0].name, "Pass filter");
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(velmora::kBodyNames[i + 1].number, listed[i].value);
        EXPECT_EQ(velmora::kBodyNames[i + 1].name, listed[i].name);
    }
}

struct ExpectedPort {
    const char* symbol;
    const char* name;
    const char* kind;  // LILV_URI_AUDIO_PORT or LILV_URI_CONTROL_PORT
    bool input;
};

const std::map<std::string, std::vector<ExpectedPort>> kExpectedPorts = {
    {kMono,
     {{"body", "Body", LILV_URI_CONTROL_PORT, true},
      {"trim", "Trim", LILV_URI_CONTROL_PORT, true},
      {"mix", "Mix", LILV_URI_CONTROL_PORT, true},
      {"in", "In", LILV_URI_AUDIO_PORT, true},
      {"out", "Out", LILV_URI_AUDIO_PORT, false},
      {"tuning", "Tuning", LILV_URI_CONTROL_PORT, true}}},
    {kStereo,
     {{"body", "Body", LILV_URI_CONTROL_PORT, true},
      {"trim", "Trim", LILV_URI_CONTROL_PORT, true},
      {"mix", "Mix", LILV_URI_CONTROL_PORT, true},
      {"in_l", "In L", LILV_URI_AUDIO_PORT, true},
      {"in_r", "In R", LILV_URI_AUDIO_PORT, true},
      {"out_l", "Out L", LILV_URI_AUDIO_PORT, false},
      {"out_r", "Out R", LILV_URI_AUDIO_PORT, false},
      {"tuning", "Tuning", LILV_URI_CONTROL_PORT, true}}},
};

class Bundle : public testing::TestWithParam<const char*> {
  protected:
    const LilvHost& lilv = LilvHost::get();
    const LilvPlugin* plugin = lilv.plugin(GetParam());

    const LilvPort* port(const char* symbol) const {
        const Node node{lilv_new_string(lilv.world(), symbol), lilv_node_free};
        return lilv_plugin_get_port_by_symbol(plugin, node.get());
    }
    std::vector<float> range(const char* symbol) const {
        LilvNode *fallback = nullptr, *minimum = nullptr, *maximum = nullptr;
        lilv_port_get_range(plugin, port(symbol), &fallback, &minimum, &maximum);
        std::vector<float> values;
        for (LilvNode* node : {fallback, minimum, maximum}) {
            values.push_back(node != nullptr ? lilv_node_as_float(node) : NAN);
            lilv_node_free(node);
        }
        return values;  // default, minimum, maximum
    }
    bool hasProperty(const char* symbol, const char* property) const {
        const Node node = lilv.uri(property);
        return lilv_port_has_property(plugin, port(symbol), node.get());
    }
};

TEST_P(Bundle, LoadsAndVerifies) {
    ASSERT_NE(plugin, nullptr) << GetParam() << " is not in the bundle";
    EXPECT_TRUE(lilv_plugin_verify(plugin));
    const Node name{lilv_plugin_get_name(plugin), lilv_node_free};
    EXPECT_EQ(std::string(lilv_node_as_string(name.get())),
              GetParam() == std::string(kMono) ? "Velmora" : "Velmora Stereo");
    EXPECT_STREQ(lilv_node_as_uri(lilv_plugin_class_get_uri(lilv_plugin_get_class(plugin))),
                 "http://lv2plug.in/ns/lv2core#FilterPlugin");

    // Real-time safe, needing nothing of the host, and without latency.
    const Node hardRt = lilv.uri("http://lv2plug.in/ns/lv2core#hardRTCapable");
    LilvNodes* optional = lilv_plugin_get_optional_features(plugin);
    EXPECT_TRUE(lilv_nodes_contains(optional, hardRt.get()));
    lilv_nodes_free(optional);
    LilvNodes* required = lilv_plugin_get_required_features(plugin);
    EXPECT_EQ(lilv_nodes_size(required), 0u);
    lilv_nodes_free(required);
    EXPECT_FALSE(lilv_plugin_has_latency(plugin));

    // The documentation says a body keeps its sound at other rates.
    const std::string comment = lilv.text(lilv_plugin_get_uri(plugin), LILV_NS_RDFS "comment");
    EXPECT_NE(comment.find("A body sounds the same in a 48 kHz or 96 kHz session"),
              std::string::npos)
        << comment;
    EXPECT_NE(comment.find("moves with the rate"), std::string::npos) << comment;
}

TEST_P(Bundle, PortsAreTheControlsThenTheAudio) {
    ASSERT_NE(plugin, nullptr);
    const auto& expected = kExpectedPorts.at(GetParam());
    ASSERT_EQ(lilv_plugin_get_num_ports(plugin), expected.size());
    const Node input = lilv.uri(LILV_URI_INPUT_PORT);
    const Node output = lilv.uri(LILV_URI_OUTPUT_PORT);
    for (uint32_t i = 0; i < expected.size(); ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(plugin, port)), expected[i].symbol);
        const Node name{lilv_port_get_name(plugin, port), lilv_node_free};
        EXPECT_STREQ(lilv_node_as_string(name.get()), expected[i].name);
        const Node kind = lilv.uri(expected[i].kind);
        EXPECT_TRUE(lilv_port_is_a(plugin, port, kind.get())) << expected[i].symbol;
        EXPECT_TRUE(lilv_port_is_a(plugin, port, (expected[i].input ? input : output).get()))
            << expected[i].symbol;
    }

    EXPECT_EQ(range("body"), (std::vector<float>{1.0f, 0.0f, 16.0f}));
    EXPECT_TRUE(hasProperty("body", "http://lv2plug.in/ns/lv2core#integer"));
    EXPECT_TRUE(hasProperty("body", "http://lv2plug.in/ns/lv2core#enumeration"));
    EXPECT_EQ(range("trim"), (std::vector<float>{0.0f, -40.0f, 24.0f}));
    EXPECT_EQ(lilv.text(lilv_port_get_node(plugin, port("trim")),
                        "http://lv2plug.in/ns/extensions/units#unit"),
              "http://lv2plug.in/ns/extensions/units#db");
    EXPECT_EQ(range("mix"), (std::vector<float>{1.0f, 0.0f, 1.0f}));
    EXPECT_EQ(range("tuning"), (std::vector<float>{0.0f, 0.0f, 1.0f}));
    EXPECT_TRUE(hasProperty("tuning", "http://lv2plug.in/ns/lv2core#enumeration"));
    std::map<int, std::string> points;
    LilvScalePoints* scalePoints = lilv_port_get_scale_points(plugin, port("tuning"));
    LILV_FOREACH(scale_points, i, scalePoints) {
        const LilvScalePoint* point = lilv_scale_points_get(scalePoints, i);
        points[static_cast<int>(lilv_node_as_float(lilv_scale_point_get_value(point)))] =
            lilv_node_as_string(lilv_scale_point_get_label(point));
    }
    lilv_scale_points_free(scalePoints);
    EXPECT_EQ(points, (std::map<int, std::string>{{0, "True at this rate"},
                                                  {1, "Fixed, as designed at 44 kHz"}}));
}

TEST_P(Bundle, BodyScalePointsAndPresetsNameEveryBodyAsTheModuleDoes) {
    ASSERT_NE(plugin, nullptr);
    // Value 0, which the module plays without listing, is the pass filter.
    std::map<int, std::string> expected = {{0, "Pass filter"}};
    for (const auto& choice : moduleTypeList())
        expected[choice.value] = choice.name;
    ASSERT_EQ(expected.size(), 17u);

    std::map<int, std::string> points;
    LilvScalePoints* scalePoints = lilv_port_get_scale_points(plugin, port("body"));
    LILV_FOREACH(scale_points, i, scalePoints) {
        const LilvScalePoint* point = lilv_scale_points_get(scalePoints, i);
        points[static_cast<int>(lilv_node_as_float(lilv_scale_point_get_value(point)))] =
            lilv_node_as_string(lilv_scale_point_get_label(point));
    }
    lilv_scale_points_free(scalePoints);
    EXPECT_EQ(points, expected);

    // One preset per body, setting the body and nothing else.
    const Node presetClass = lilv.uri("http://lv2plug.in/ns/ext/presets#Preset");
    const Node portProperty = lilv.uri("http://lv2plug.in/ns/lv2core#port");
    const Node symbolProperty = lilv.uri("http://lv2plug.in/ns/lv2core#symbol");
    const Node valueProperty = lilv.uri("http://lv2plug.in/ns/ext/presets#value");
    std::map<int, std::string> presetBodies;
    LilvNodes* presets = lilv_plugin_get_related(plugin, presetClass.get());
    LILV_FOREACH(nodes, i, presets) {
        const LilvNode* preset = lilv_nodes_get(presets, i);
        lilv_world_load_resource(lilv.world(), preset);
        LilvNodes* settings =
            lilv_world_find_nodes(lilv.world(), preset, portProperty.get(), nullptr);
        EXPECT_EQ(lilv_nodes_size(settings), 1u);
        LILV_FOREACH(nodes, j, settings) {
            const LilvNode* setting = lilv_nodes_get(settings, j);
            const Node symbol{lilv_world_get(lilv.world(), setting, symbolProperty.get(), nullptr),
                              lilv_node_free};
            const Node value{lilv_world_get(lilv.world(), setting, valueProperty.get(), nullptr),
                             lilv_node_free};
            ASSERT_NE(symbol, nullptr);
            ASSERT_NE(value, nullptr);
            EXPECT_STREQ(lilv_node_as_string(symbol.get()), "body");
            presetBodies[static_cast<int>(lilv_node_as_float(value.get()))] =
                lilv.text(preset, LILV_NS_RDFS "label");
        }
        lilv_nodes_free(settings);
    }
    EXPECT_EQ(lilv_nodes_size(presets), expected.size());
    lilv_nodes_free(presets);
    EXPECT_EQ(presetBodies, expected);
}

INSTANTIATE_TEST_SUITE_P(Plugins, Bundle, testing::Values(kMono, kStereo), [](const auto& info) {
    return std::string(info.param == std::string(kMono) ? "Mono" : "Stereo");
});

// --- What the plugin plays -------------------------------------------------

class EveryBody : public testing::TestWithParam<int> {};

TEST_P(EveryBody, IsTheModuleBitForBitInAnyBlocksAndInPlace) {
    const auto type = static_cast<int16_t>(GetParam());
    const std::vector<float> left = testSignal(20000, 7);
    const std::vector<float> right = testSignal(20000, 8);
    // The module fed the same samples in the same blocks.
    const std::vector<float> expectedLeft = moduleOutput(left, type, kOddBlocks);
    const std::vector<float> expectedRight = moduleOutput(right, type, kOddBlocks);

    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "separate buffers");
        PluginInstance mono(kMono, kRate);
        mono.body = static_cast<float>(type);
        EXPECT_TRUE(sameBits(runPlugin(mono, {left}, kOddBlocks, inPlace)[0], expectedLeft));

        // Two independent filters: each channel is the module on that channel alone.
        PluginInstance stereo(kStereo, kRate);
        stereo.body = static_cast<float>(type);
        const auto both = runPlugin(stereo, {left, right}, kOddBlocks, inPlace);
        EXPECT_TRUE(sameBits(both[0], expectedLeft));
        EXPECT_TRUE(sameBits(both[1], expectedRight));
    }
}

INSTANTIATE_TEST_SUITE_P(Plugin, EveryBody, testing::Range(0, velmora::kTypeCount));

TEST(Plugin, ValuesOutsideTheBodiesPlayViolinI) {
    const std::vector<float> input = testSignal(5000, 3);
    const std::vector<float> violinI = moduleOutput(input, 1);
    for (const float body : {17.0f, -1.0f, 1000.0f, 1e30f, -INFINITY, NAN}) {
        SCOPED_TRACE(body);
        PluginInstance plugin(kMono, kRate);
        plugin.body = body;
        EXPECT_TRUE(sameBits(runPlugin(plugin, {input}, kOddBlocks)[0], violinI));
    }
}

// A body change while playing is the module's crossfade, in any blocks: the
// pass filter fades like any body, values that play the same body are no
// change, and changes come in the middle of fades.
TEST(Plugin, BodyChangesMidStreamAreTheModules) {
    const std::vector<std::pair<size_t, int16_t>> changes = {
        {0, 1},      {3000, 8},  {5000, 0},   {6500, 11},  {9000, 16},
        {12000, 20}, {13000, 1}, {15001, 13}, {15002, 14}, {18000, 14}};
    const std::vector<float> input = testSignal(20000, 11);

    ModuleChannel module(changes[0].second);
    PluginInstance plugin(kStereo, kRate);
    std::vector<float> expected(input.size()), left(input.size()), right(input.size());
    for (size_t k = 0; k < changes.size(); ++k) {
        const auto [from, type] = changes[k];
        const size_t to = k + 1 < changes.size() ? changes[k + 1].first : input.size();
        if (k > 0) module.changeBody(type);
        plugin.body = static_cast<float>(type);
        module.process(input.data() + from, expected.data() + from,
                       static_cast<uint32_t>(to - from));
        inBlocks(from, to, kOddBlocks, [&](size_t at, uint32_t n) {
            plugin.run({input.data() + at, input.data() + at},
                       {left.data() + at, right.data() + at}, n);
        });
    }
    EXPECT_TRUE(sameBits(left, expected));
    EXPECT_TRUE(sameBits(right, expected));
}

// Every ordered pair of bodies: during the fade each sample lies between the
// old body's own and the new body's own from a clear state at the change,
// and afterwards it is the new body's, bit for bit. A new body every 64
// frames never rises above the loudest body's own level. A new body that
// took over the old one's history would burst far beyond both.
TEST(Plugin, BodyChangesStayWithinTheBodiesOwnLevels) {
    constexpr size_t kChange = 4096, kFade = 1024;
    const std::vector<float> input = testSignal(kChange + 2 * kFade, 7);
    const std::vector<float> tail(input.begin() + kChange, input.end());
    std::vector<std::vector<float>> whole, fresh;
    float loudest = 0.0f;
    for (int16_t body = 0; body < velmora::kTypeCount; ++body) {
        whole.push_back(moduleOutput(input, body));
        fresh.push_back(moduleOutput(tail, body));
        for (const float v : whole.back())
            loudest = std::max(loudest, std::fabs(v));
    }
    for (int16_t from = 0; from < velmora::kTypeCount; ++from) {
        for (int16_t to = 0; to < velmora::kTypeCount; ++to) {
            if (from == to) continue;
            SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
            PluginInstance plugin(kMono, kRate);
            std::vector<float> out(input.size());
            auto play = [&](size_t at, uint32_t n) {
                plugin.run({input.data() + at}, {out.data() + at}, n);
            };
            plugin.body = from;
            inBlocks(0, kChange, kOddBlocks, play);
            plugin.body = to;
            inBlocks(kChange, input.size(), kOddBlocks, play);
            for (size_t i = kChange; i < kChange + kFade; ++i) {
                const float bound =
                    std::max(std::fabs(whole[static_cast<size_t>(from)][i]),
                             std::fabs(fresh[static_cast<size_t>(to)][i - kChange]));
                ASSERT_LE(std::fabs(out[i]), bound) << "frame " << i;
            }
            const std::vector<float> after(out.begin() + kChange + kFade, out.end());
            ASSERT_TRUE(
                sameBits(after, std::vector<float>(fresh[static_cast<size_t>(to)].begin() + kFade,
                                                   fresh[static_cast<size_t>(to)].end())));
        }
    }

    PluginInstance plugin(kStereo, kRate);
    std::vector<float> left(input.size()), right(input.size());
    inBlocks(0, input.size(), {64}, [&](size_t at, uint32_t n) {
        plugin.body = static_cast<float>(at / 64 * 7 % 17);
        plugin.run({input.data() + at, input.data() + at}, {left.data() + at, right.data() + at},
                   n);
    });
    for (size_t i = 0; i < input.size(); ++i)
        ASSERT_LE(std::fabs(left[i]), loudest) << "frame " << i;
}

// Not-a-number and infinities in the input do to the plugin what they do to
// the module given the same blocks: they spoil the rest of their block, and
// the next block starts from a clear history.
TEST(Plugin, RecoversFromNonFiniteInputAsTheModuleDoes) {
    for (const int16_t type : {0, 1, 13, 16}) {
        SCOPED_TRACE(type);
        std::vector<float> input = testSignal(12000, 5);
        input[3000] = NAN;
        input[7000] = INFINITY;
        input[7001] = -INFINITY;
        PluginInstance plugin(kMono, kRate);
        plugin.body = type;
        const std::vector<float> played = runPlugin(plugin, {input}, kOddBlocks)[0];
        EXPECT_TRUE(sameBits(played, moduleOutput(input, type, kOddBlocks)));
        EXPECT_TRUE(std::isfinite(played.back()));
    }
}

// After deactivation and activation the plugin starts again from a clear
// history, as a new module instance does.
TEST(Plugin, ActivationStartsAfresh) {
    const std::vector<float> input = testSignal(4000, 9);
    PluginInstance plugin(kMono, kRate);
    plugin.body = 8;
    runPlugin(plugin, {testSignal(3000, 1)}, kOddBlocks);
    plugin.deactivate();
    plugin.body = 12;
    plugin.activate();
    EXPECT_TRUE(sameBits(runPlugin(plugin, {input}, kOddBlocks)[0], moduleOutput(input, 12)));
}

// Trim and Mix settle on exact values: Mix 0 is the dry input itself, and a
// trim scales the filtered signal by its gain.
TEST(Plugin, TrimAndMixScaleAndBlend) {
    const std::vector<float> input = testSignal(6000, 4);
    const std::vector<float> wet = moduleOutput(input, 8);

    PluginInstance dry(kMono, kRate);
    dry.body = 8;
    dry.mix = 0.0f;
    EXPECT_TRUE(sameBits(runPlugin(dry, {input}, kOddBlocks)[0], input));

    PluginInstance quieter(kMono, kRate);
    quieter.body = 8;
    quieter.trim = -20.0f;
    const auto output = runPlugin(quieter, {input}, kOddBlocks)[0];
    for (size_t i = 0; i < input.size(); ++i)
        ASSERT_NEAR(output[i], 0.1f * wet[i], 1e-6f * std::fabs(wet[i]) + 1e-12f) << i;

    PluginInstance half(kMono, kRate);
    half.body = 8;
    half.mix = 0.5f;
    const auto blended = runPlugin(half, {input}, kOddBlocks)[0];
    for (size_t i = 0; i < input.size(); ++i)
        ASSERT_NEAR(blended[i], 0.5f * (wet[i] + input[i]), 1e-6f) << i;

    // Outside their ranges the controls stop at the ends.
    PluginInstance beyond(kMono, kRate);
    beyond.body = 8;
    beyond.trim = 100.0f;
    beyond.mix = -3.0f;
    EXPECT_TRUE(sameBits(runPlugin(beyond, {input}, kOddBlocks)[0], input));
}

// A Trim or Mix move is spread over 20 ms at the instance's own sample rate,
// in even steps; once back at 0 dB and 1 the output is the module's again.
TEST(Plugin, TrimAndMixMoveSmoothlyAndComeBackExact) {
    for (const double rate : {44100.0, 96000.0}) {
        SCOPED_TRACE(rate);
        const auto ramp = static_cast<size_t>(rate * 0.02);
        const size_t change = 3000, back = change + 2 * ramp;
        const std::vector<float> input = testSignal(back + ramp + 3000, 6);
        const std::vector<float> wet = moduleOutput(input, 1);

        PluginInstance plugin(kMono, rate);
        plugin.tuning = 1.0f;  // the module's tables, as moduleOutput plays them
        std::vector<float> output(input.size());
        auto play = [&](size_t from, size_t to) {
            inBlocks(from, to, kOddBlocks, [&](size_t at, uint32_t n) {
                plugin.run({input.data() + at}, {output.data() + at}, n);
            });
        };
        play(0, change);
        plugin.mix = 0.0f;
        play(change, back);
        plugin.mix = 1.0f;
        play(back, input.size());

        // Before the move: the module; at its end: the dry input exactly.
        for (size_t i = 0; i < change; ++i)
            ASSERT_EQ(output[i], wet[i]) << i;
        for (size_t i = change + ramp; i < back; ++i)
            ASSERT_EQ(output[i], input[i]) << i;
        // In between, the share of the filtered signal falls in equal steps.
        for (size_t i = change; i < change + ramp; ++i) {
            const double expectedShare = 1.0 - static_cast<double>(i - change + 1) / ramp;
            const double difference = static_cast<double>(wet[i]) - input[i];
            if (std::fabs(difference) < 0.05) continue;
            const double share = (static_cast<double>(output[i]) - input[i]) / difference;
            ASSERT_NEAR(share, expectedShare, 1e-4) << i;
        }
        // And back: the module's bits once the move is over.
        for (size_t i = back + ramp; i < input.size(); ++i)
            ASSERT_EQ(std::bit_cast<uint32_t>(output[i]), std::bit_cast<uint32_t>(wet[i])) << i;
    }
}

// At 48 and 96 kHz the plugin plays each body as the kernel layer designs it
// for the rate (the bits the package and the tool give too), and with the
// fixed tuning the module's tables.
TEST(Plugin, EachRateGetsItsDesignAndFixedIsTheModule) {
    const std::vector<float> input = testSignal(12000, 4);
    for (const double rate : {48000.0, 96000.0}) {
        const velmora::TunedBodies bodies(rate, velmora::Tuning::True);
        for (const int16_t type : {1, 8, 13, 16}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, type " << type);
            velmora::BodyFilter filter;
            filter.open(type);
            filter.tuning = &bodies;
            std::vector<float> expected(input.size());
            filter.process(type, input.data(), expected.data(), static_cast<int32_t>(input.size()));
            PluginInstance plugin(kMono, rate);
            plugin.body = type;
            EXPECT_TRUE(sameBits(runPlugin(plugin, {input}, kOddBlocks)[0], expected));

            PluginInstance fixed(kMono, rate);
            fixed.body = type;
            fixed.tuning = 1.0f;
            EXPECT_TRUE(
                sameBits(runPlugin(fixed, {input}, kOddBlocks)[0], moduleOutput(input, type)));
        }
    }
}

// LV2 lets a host give any output the buffer of any input, and both inputs
// one buffer. Whichever it chooses, each channel is its input through the
// body, blended with that same input.
TEST(Plugin, StereoIsRightUnderEveryAliasingAHostMayChoose) {
    const std::vector<float> left = testSignal(6000, 21), right = testSignal(6000, 22);
    enum Buffer { Own, InL, InR };
    struct Aliasing {
        bool sharedInput;  // both inputs read one buffer (the left signal)
        Buffer outL, outR;
    };
    std::vector<Aliasing> aliasings;
    for (const bool shared : {false, true}) {
        for (const Buffer l : {Own, InL, InR}) {
            for (const Buffer r : {Own, InL, InR}) {
                const bool sameBuffer = l != Own && (l == r || (shared && r != Own));
                if (!sameBuffer) aliasings.push_back({shared, l, r});
            }
        }
    }
    for (const float mix : {1.0f, 0.5f}) {
        PluginInstance reference(kStereo, kRate);
        reference.body = 9;
        reference.mix = mix;
        for (const Aliasing& a : aliasings) {
            SCOPED_TRACE(testing::Message() << "mix " << mix << ", shared " << a.sharedInput
                                            << ", out_l " << a.outL << ", out_r " << a.outR);
            const std::vector<float>& rightSignal = a.sharedInput ? left : right;
            const auto expected = runPlugin(reference, {left, rightSignal}, {4096});
            reference.deactivate();
            reference.activate();

            PluginInstance plugin(kStereo, kRate);
            plugin.body = 9;
            plugin.mix = mix;
            std::vector<float> played[2] = {std::vector<float>(left.size()),
                                            std::vector<float>(left.size())};
            inBlocks(0, left.size(), kOddBlocks, [&](size_t at, uint32_t n) {
                std::vector<float> inL(left.begin() + at, left.begin() + at + n);
                std::vector<float> inR(rightSignal.begin() + at, rightSignal.begin() + at + n);
                std::vector<float> ownL(n), ownR(n);
                float* inputs[2] = {inL.data(), a.sharedInput ? inL.data() : inR.data()};
                auto buffer = [&](Buffer b, std::vector<float>& own) {
                    return b == Own ? own.data() : inputs[b == InL ? 0 : 1];
                };
                float* outL = buffer(a.outL, ownL);
                float* outR = buffer(a.outR, ownR);
                plugin.run({inputs[0], inputs[1]}, {outL, outR}, n);
                std::copy_n(outL, n, played[0].begin() + at);
                std::copy_n(outR, n, played[1].begin() + at);
            });
            EXPECT_TRUE(sameBits(played[0], expected[0]));
            EXPECT_TRUE(sameBits(played[1], expected[1]));
        }
    }
}

// At Mix 0 the output is the input, bit for bit: negative zeros, and a NaN
// that spoils the filter's history touches its own frame alone. Trim, Mix
// and their ramps compute in the default floating-point modes whatever the
// host's.
TEST(Plugin, MixZeroIsTheInputItselfAndTheBlendIgnoresTheHostsModes) {
    std::vector<float> input = testSignal(3000, 23);
    input[10] = NAN;
    input[11] = -0.0f;
    input[2000] = INFINITY;
    auto play = [&](float mix, unsigned modes) {
        PluginInstance plugin(kMono, kRate);
        plugin.trim = -6.0f;
        plugin.mix = mix;
        const unsigned host = _mm_getcsr();
        _mm_setcsr(modes);
        const auto first = runPlugin(plugin, {input}, {1024});
        plugin.mix = 1.0f - mix;  // a ramp, mid-stream
        const auto second = runPlugin(plugin, {input}, {1024});
        _mm_setcsr(host);
        std::vector<float> both = first[0];
        both.insert(both.end(), second[0].begin(), second[0].end());
        return both;
    };
    constexpr unsigned kDefaults = 0x1F80;
    constexpr unsigned kOdd = kDefaults | 0x8040 | 0x6000;  // flush, denormals zero, toward zero
    const std::vector<float> dry = play(0.0f, kOdd);
    EXPECT_TRUE(sameBits(std::vector<float>(dry.begin(), dry.begin() + 3000), input));
    EXPECT_TRUE(sameBits(play(0.3f, kOdd), play(0.3f, kDefaults)));
}

// run() is real-time safe: it allocates nothing, whatever the controls do.
TEST(Plugin, RunNeverAllocates) {
    if (!velmora::test::canCountAllocations()) GTEST_SKIP() << "malloc cannot be counted here";
    PluginInstance plugin(kStereo, kRate);
    const std::vector<float> input = testSignal(4096, 2);
    std::vector<float> left(input.size()), right(input.size());
    const std::vector<const float*> in = {input.data(), input.data()};
    const std::vector<float*> out = {left.data(), right.data()};

    velmora::test::startCountingAllocations();
    for (int block = 0; block < 200; ++block) {
        plugin.body = static_cast<float>(block % 19);
        plugin.trim = block % 3 == 0 ? -12.0f : 0.0f;
        plugin.mix = block % 5 == 0 ? 0.25f : 1.0f;
        plugin.tuning = static_cast<float>(block / 7 % 2);
        plugin.run(in, out, kOddBlocks[block % kOddBlocks.size()]);
    }
    const int64_t allocations = velmora::test::stopCountingAllocations();
    EXPECT_EQ(allocations, 0);

    // The counter itself sees an allocation.
    static void* volatile allocated;
    velmora::test::startCountingAllocations();
    allocated = std::malloc(64);
    EXPECT_EQ(velmora::test::stopCountingAllocations(), 1);
    std::free(allocated);
}

}  // namespace
