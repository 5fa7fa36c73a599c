// Writes the bundle's Turtle from the plugin's own description and the list of
// bodies, so that what hosts read cannot drift from what the code does.
//
//   velmora_lv2_turtle BUNDLE_DIR BINARY_NAME
//
// writes manifest.ttl, velmora.ttl (the two plugins) and presets.ttl (one
// preset per body and plugin) into BUNDLE_DIR.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "description.h"

namespace velmora::lv2 {

namespace {

constexpr const char* kPrefixes =
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
    "\n";

constexpr const char* kComment =
    "Gives a signal the resonances of an instrument body: sixteen fixed-coefficient "
    "bodies (violins, violas, viols, cellos, bass, contrabass, oboes, cors anglais and "
    "a Sympathetic bank of nine narrow resonances) and a plain DC-blocking pass filter, "
    "each a cascade of two-pole resonators run in double precision. A body sounds the same "
    "in a 48 kHz or 96 kHz session (any rate from 8 to 384 kHz) as at 44 kHz, where it "
    "was tuned: the plugin designs it for the session's rate, with no latency. The fixed "
    "Tuning plays the module's coefficients as they are, so that every resonance moves with the "
    "rate (at 48000 Hz each lies 48/44 higher). A change of Body "
    "keeps the filter's history and softens its first sample, so the switch does not "
    "click. Trim sets the level of the filtered signal, which the bodies raise by up to "
    "20 dB, and Mix blends it with the dry input; both follow automation smoothly. At "
    "Trim 0 dB and Mix 1 the output is exactly that of the Velmora module at 44000 Hz, "
    "and at any rate with the fixed tuning.";

std::string presetUri(const PluginKind& kind, const BodyName& body) {
    return std::string(kind.uri) + ":preset:body-" + std::to_string(body.number);
}

// A number as Turtle reads it: a decimal for a float control.
std::string decimal(float value) {
    std::ostringstream text;
    text << value;
    const std::string digits = text.str();
    return digits.find('.') == std::string::npos ? digits + ".0" : digits;
}

struct Property {
    std::string_view predicate;
    std::string object;
};

// One port: its classes, index, symbol and name, then its own properties.
void writePort(std::ostream& out, std::string_view classes, uint32_t index, std::string_view symbol,
               std::string_view name, const std::vector<Property>& properties = {}) {
    out << "[\n"
        << "        a " << classes << " ;\n"
        << "        lv2:index " << index << " ;\n"
        << "        lv2:symbol \"" << symbol << "\" ;\n"
        << "        lv2:name \"" << name << "\"";
    for (const Property& property : properties)
        out << " ;\n        " << property.predicate << " " << property.object;
    out << "\n    ]";
}

std::vector<Property> rangeOf(const ControlRange& range) {
    return {{"lv2:default", decimal(range.fallback)},
            {"lv2:minimum", decimal(range.minimum)},
            {"lv2:maximum", decimal(range.maximum)}};
}

std::string bodyScalePoints() {
    std::string points;
    for (const BodyName& body : kBodyNames) {
        points += (body.number == 0 ? "" : " ,\n            ");
        points += "[ rdfs:label \"" + std::string(body.name) + "\" ; rdf:value " +
                  std::to_string(body.number) + " ]";
    }
    return points;
}

void writePlugin(std::ostream& out, const PluginKind& kind) {
    out << "<" << kind.uri << ">\n"
        << "    a lv2:Plugin , lv2:FilterPlugin ;\n"
        << "    doap:name \"" << kind.name << "\" ;\n"
        << "    lv2:minorVersion 0 ;\n"
        << "    lv2:microVersion 2 ;\n"
        << "    lv2:optionalFeature lv2:hardRTCapable ;\n"
        << "    rdfs:comment \"" << kComment
        << (kind.channels == 2 ? " The two channels play through two independent filters." : "")
        << "\" ;\n"
        << "    lv2:port ";

    const char* control = "lv2:InputPort , lv2:ControlPort";
    writePort(out, control, kBodyPort, "body", "Body",
              {{"lv2:default", std::to_string(kDefaultBody)},
               {"lv2:minimum", "0"},
               {"lv2:maximum", std::to_string(kTypeCount - 1)},
               {"lv2:portProperty", "lv2:integer , lv2:enumeration"},
               {"lv2:scalePoint", bodyScalePoints()}});
    out << " , ";
    std::vector<Property> trim = rangeOf(kTrimRange);
    trim.push_back({"units:unit", "units:db"});
    trim.push_back({"rdfs:comment", "\"Level of the filtered signal\""});
    writePort(out, control, kTrimPort, "trim", "Trim", trim);
    out << " , ";
    std::vector<Property> mix = rangeOf(kMixRange);
    mix.push_back({"rdfs:comment", "\"0 is the dry input alone, 1 the filtered signal alone\""});
    writePort(out, control, kMixPort, "mix", "Mix", mix);

    // Mono ports are "in" and "out"; stereo ones carry their side.
    const char* sides[kMaxChannels][2] = {{"_l", " L"}, {"_r", " R"}};
    for (const bool input : {true, false}) {
        for (int c = 0; c < kind.channels; ++c) {
            const std::string symbol = kind.channels == 1 ? "" : sides[c][0];
            const std::string name = kind.channels == 1 ? "" : sides[c][1];
            out << " , ";
            writePort(out,
                      input ? "lv2:AudioPort , lv2:InputPort" : "lv2:AudioPort , lv2:OutputPort",
                      input ? audioInputPort(c) : audioOutputPort(kind.channels, c),
                      (input ? "in" : "out") + symbol, (input ? "In" : "Out") + name);
        }
    }
    out << " , ";
    std::string points;
    for (size_t value = 0; value < kTuningNames.size(); ++value) {
        points += (value == 0 ? "" : " ,\n            ");
        points += "[ rdfs:label \"" + std::string(kTuningNames[value]) + "\" ; rdf:value " +
                  std::to_string(value) + " ]";
    }
    const std::vector<Property> tuning = {
        {"lv2:default", "0"},
        {"lv2:minimum", "0"},
        {"lv2:maximum", "1"},
        {"lv2:portProperty", "lv2:integer , lv2:enumeration"},
        {"lv2:scalePoint", points},
        {"rdfs:comment", "\"Whether the body keeps its 44 kHz sound at the session's rate\""}};
    writePort(out, control, tuningPort(kind.channels), "tuning", "Tuning", tuning);
    out << " .\n\n";
}

std::string manifest(const std::string& binary) {
    std::ostringstream out;
    out << kPrefixes;
    for (const PluginKind& kind : kPlugins) {
        out << "<" << kind.uri << ">\n"
            << "    a lv2:Plugin ;\n"
            << "    lv2:binary <" << binary << "> ;\n"
            << "    rdfs:seeAlso <velmora.ttl> .\n\n";
    }
    for (const PluginKind& kind : kPlugins) {
        for (const BodyName& body : kBodyNames) {
            out << "<" << presetUri(kind, body) << ">\n"
                << "    a pset:Preset ;\n"
                << "    lv2:appliesTo <" << kind.uri << "> ;\n"
                << "    rdfs:seeAlso <presets.ttl> .\n\n";
        }
    }
    return out.str();
}

std::string plugins() {
    std::ostringstream out;
    out << kPrefixes;
    for (const PluginKind& kind : kPlugins)
        writePlugin(out, kind);
    return out.str();
}

// A preset sets the body and leaves Trim and Mix where the person has them.
std::string presets() {
    std::ostringstream out;
    out << kPrefixes;
    for (const PluginKind& kind : kPlugins) {
        for (const BodyName& body : kBodyNames) {
            out << "<" << presetUri(kind, body) << ">\n"
                << "    a pset:Preset ;\n"
                << "    lv2:appliesTo <" << kind.uri << "> ;\n"
                << "    rdfs:label \"" << body.name << "\" ;\n"
                << "    lv2:port [\n"
                << "        lv2:symbol \"body\" ;\n"
                << "        pset:value " << body.number << "\n"
                << "    ] .\n\n";
        }
    }
    return out.str();
}

bool write(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    if (!file) std::fprintf(stderr, "velmora_lv2_turtle: cannot write %s\n", path.c_str());
    return static_cast<bool>(file);
}

}  // namespace

}  // namespace velmora::lv2

int main(int argc, char** argv) {
    using namespace velmora::lv2;
    if (argc != 3) {
        std::fprintf(stderr, "usage: velmora_lv2_turtle BUNDLE_DIR BINARY_NAME\n");
        return 2;
    }
    const std::string bundle = argv[1];
    const bool written = write(bundle + "/manifest.ttl", manifest(argv[2])) &&
                         write(bundle + "/velmora.ttl", plugins()) &&
                         write(bundle + "/presets.ttl", presets());
    return written ? 0 : 1;
}
