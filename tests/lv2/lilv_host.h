// A small LV2 host on liblilv, as audio programs load plugins: the world read
// from an LV2 path holding the built bundle, and plugin instances whose
// control ports live here and whose audio ports are connected per run.
#pragma once

#include <lilv/lilv.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora::test {

using Node = std::unique_ptr<LilvNode, decltype(&lilv_node_free)>;

// The bundle's plugins and the LV2 vocabulary, loaded once per program.
class LilvHost {
  public:
    static LilvHost& get();
    ~LilvHost() { lilv_world_free(lilvWorld); }
    LilvHost(const LilvHost&) = delete;
    LilvHost& operator=(const LilvHost&) = delete;

    LilvWorld* world() const { return lilvWorld; }
    // The plugin of `uri`, or null.
    const LilvPlugin* plugin(const char* uri) const;
    Node uri(const char* text) const { return {lilv_new_uri(lilvWorld, text), lilv_node_free}; }
    // A property's one value as a string ("" if there is none).
    std::string text(const LilvNode* subject, const char* predicate) const;

  private:
    LilvHost();
    LilvWorld* lilvWorld;
};

// One instance of a plugin, activated, with its controls at their defaults.
class PluginInstance {
  public:
    PluginInstance(const char* uri, double sampleRate);
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    bool loaded() const { return instance != nullptr; }
    int channels() const { return static_cast<int>(inputPorts.size()); }

    // One run of `frames` frames; one buffer per channel, and the input and
    // output of a channel may be the same buffer.
    void run(const std::vector<const float*>& inputs, const std::vector<float*>& outputs,
             uint32_t frames);
    void activate() { lilv_instance_activate(instance); }
    void deactivate() { lilv_instance_deactivate(instance); }

    // The control ports' values, read by the plugin at every run.
    float body = 1.0f;
    float trim = 0.0f;
    float mix = 1.0f;
    float tuning = 0.0f;  // 0 true at the instance's rate, 1 fixed

  private:
    LilvInstance* instance = nullptr;
    std::vector<uint32_t> inputPorts;
    std::vector<uint32_t> outputPorts;
};

}  // namespace velmora::test
