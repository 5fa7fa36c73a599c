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
    "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix pg: <http://lv2plug.in/ns/ext/port-groups#> .\n"
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
    "Tuning plays the module's coefficients as they are, so that every resonance moves with "
    "the rate (at 48000 Hz each lies 48/44 higher). A change of Body "
    "crossfades from the old body to the new over 1024 frames, the new one starting "
    "from a clear state, so the switch neither clicks nor bursts. Trim sets the level of the "
    "filtered signal, which the bodies raise by up to "
    "20 dB, and Mix blends it with the dry input; both follow automation smoothly. At "
    "Trim 0 dB and Mix 1 the output is exactly that of the Velmora module at 44000 Hz, "
    "and at any rate with the fixed tuning.";

// Shown by hosts as the plugins' author.
constexpr const char* kMaintainer = "The Velmora developers";

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

// A quoted Turtle string.
std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// The stereo plugin's channels form a stereo input and a stereo output, so
// that hosts which match channels by role (left, right) find them.
std::string groupUri(const PluginKind& kind, bool input) {
    return std::string(kind.uri) + (input ? ":in" : ":out");
}

void writeGroups(std::ostream& out, const PluginKind& kind) {
    if (kind.channels != 2) return;
    for (const bool input : {true, false}) {
        out << "<" << groupUri(kind, input) << ">\n"
            << "    a pg:StereoGroup , " << (input ? "pg:InputGroup" : "pg:OutputGroup") << " ;\n"
            << "    lv2:symbol \"" << (input ? "stereo_in" : "stereo_out") << "\" ;\n"
            << "    lv2:name \"" << (input ? "Stereo In" : "Stereo Out") << "\" .\n\n";
    }
}

void writePlugin(std::ostream& out, const PluginKind& kind) {
    writeGroups(out, kind);
    const bool stereo = kind.channels == 2;
    out << "<" << kind.uri << ">\n"
        << "    a lv2:Plugin , lv2:FilterPlugin , doap:Project ;\n"
        << "    doap:name \"" << kind.name << "\" ;\n"
        << "    doap:maintainer [ a foaf:Person ; foaf:name \"" << kMaintainer << "\" ] ;\n"
        << "    lv2:minorVersion 0 ;\n"
        << "    lv2:microVersion 3 ;\n"
        << "    lv2:optionalFeature lv2:hardRTCapable ;\n";
    if (stereo) {
        out << "    pg:mainInput <" << groupUri(kind, true) << "> ;\n"
            << "    pg:mainOutput <" << groupUri(kind, false) << "> ;\n";
    }
    out << "    rdfs:comment \"" << kComment
        << (stereo ? " The two channels play through two independent filters." : "") << "\" ;\n"
        << "    lv2:port ";

    const char* control = "lv2:InputPort , lv2:ControlPort";
    writePort(out, control, kBodyPort, "body", "Body",
              {{"lv2:default", std::to_string(kDefaultBody)},
               {"lv2:minimum", "0"},
               {"lv2:maximum", std::to_string(kTypeCount - 1)},
               {"lv2:portProperty", "lv2:integer , lv2:enumeration"},
               {"rdfs:comment", quoted("The instrument body the signal plays through; a change "
                                       "keeps the filter's history and softens the first "
                                       "sample")},
               {"lv2:scalePoint", bodyScalePoints()}});
    out << " , ";
    std::vector<Property> trim = rangeOf(kTrimRange);
    trim.push_back({"units:unit", "units:db"});
    trim.push_back({"rdfs:comment", quoted("Level of the filtered signal, before the mix")});
    writePort(out, control, kTrimPort, "trim", "Trim", trim);
    out << " , ";
    std::vector<Property> mix = rangeOf(kMixRange);
    mix.push_back({"units:unit", "units:coef"});
    mix.push_back(
        {"rdfs:comment", quoted("Share of the filtered signal in the output: 0 is the dry input "
                                "alone, exactly; 1 the filtered signal alone")});
    writePort(out, control, kMixPort, "mix", "Mix", mix);

    // Mono ports are "in" and "out"; stereo ones carry their side.
    struct Side {
        const char* symbol;
        const char* name;
        const char* designation;
        const char* comment;
    };
    constexpr Side sides[kMaxChannels] = {{"_l", " L", "pg:left", " of the left channel"},
                                          {"_r", " R", "pg:right", " of the right channel"}};
    for (const bool input : {true, false}) {
        for (int c = 0; c < kind.channels; ++c) {
            const Side& side = sides[c];
            std::vector<Property> properties{
                {"rdfs:comment",
                 quoted(std::string(input ? "The signal to filter" : "The filtered signal") +
                        (stereo ? side.comment : ""))}};
            if (stereo) {
                properties.push_back({"pg:group", "<" + groupUri(kind, input) + ">"});
                properties.push_back({"lv2:designation", side.designation});
            }
            out << " , ";
            writePort(out,
                      input ? "lv2:AudioPort , lv2:InputPort" : "lv2:AudioPort , lv2:OutputPort",
                      input ? audioInputPort(c) : audioOutputPort(kind.channels, c),
                      std::string(input ? "in" : "out") + (stereo ? side.symbol : ""),
                      std::string(input ? "In" : "Out") + (stereo ? side.name : ""), properties);
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
