#include "lilv_host.h"

#include <gtest/gtest.h>

namespace velmora::test {

LilvHost& LilvHost::get() {
    static LilvHost host;
    return host;
}

LilvHost::LilvHost() : lilvWorld(lilv_world_new()) {
    // The built bundle and the installed vocabulary; the path must be absolute.
    Node path{lilv_new_string(lilvWorld, VELMORA_LV2_PATH ":/usr/lib/lv2"), lilv_node_free};
    lilv_world_set_option(lilvWorld, LILV_OPTION_LV2_PATH, path.get());
    lilv_world_load_all(lilvWorld);
}

const LilvPlugin* LilvHost::plugin(const char* uriText) const {
    const Node node = uri(uriText);
    return lilv_plugins_get_by_uri(lilv_world_get_all_plugins(lilvWorld), node.get());
}

std::string LilvHost::text(const LilvNode* subject, const char* predicate) const {
    const Node property = uri(predicate);
    const Node value{lilv_world_get(lilvWorld, subject, property.get(), nullptr), lilv_node_free};
    return value != nullptr ? lilv_node_as_string(value.get()) : "";
}

PluginInstance::PluginInstance(const char* uri, double sampleRate) {
    const LilvHost& host = LilvHost::get();
    const LilvPlugin* plugin = host.plugin(uri);
    EXPECT_NE(plugin, nullptr) << uri << " is not on the LV2 path";
    if (plugin == nullptr) return;
    instance = lilv_plugin_instantiate(plugin, sampleRate, nullptr);
    EXPECT_NE(instance, nullptr);
    if (instance == nullptr) return;

    const Node audio = host.uri(LILV_URI_AUDIO_PORT);
    const Node input = host.uri(LILV_URI_INPUT_PORT);
    float* controls[] = {&body, &trim, &mix, &tuning};
    const char* controlSymbols[] = {"body", "trim", "mix", "tuning"};
    for (int c = 0; c < 4; ++c) {
        const Node symbol{lilv_new_string(host.world(), controlSymbols[c]), lilv_node_free};
        const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin, symbol.get());
        EXPECT_NE(port, nullptr) << controlSymbols[c];
        if (port != nullptr) {
            lilv_instance_connect_port(instance, lilv_port_get_index(plugin, port), controls[c]);
        }
    }
    for (uint32_t i = 0; i < lilv_plugin_get_num_ports(plugin); ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        if (!lilv_port_is_a(plugin, port, audio.get())) continue;
        (lilv_port_is_a(plugin, port, input.get()) ? inputPorts : outputPorts).push_back(i);
    }
    activate();
}

PluginInstance::~PluginInstance() {
    if (instance == nullptr) return;
    deactivate();
    lilv_instance_free(instance);
}

void PluginInstance::run(const std::vector<const float*>& inputs,
                         const std::vector<float*>& outputs, uint32_t frames) {
    for (size_t c = 0; c < inputPorts.size(); ++c) {
        // The plugin only reads its inputs, as LV2 requires.
        lilv_instance_connect_port(instance, inputPorts[c], const_cast<float*>(inputs[c]));
        lilv_instance_connect_port(instance, outputPorts[c], outputs[c]);
    }
    lilv_instance_run(instance, frames);
}

}  // namespace velmora::test
