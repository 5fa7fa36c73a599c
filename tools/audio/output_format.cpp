#include "output_format.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "tool_error.h"

namespace velmora::tool {

namespace {

namespace fs = std::filesystem;

// The containers by extension, with the codec that the lossy ones carry.
struct Container {
    const char* extension;
    int major;
    int codec;  // 0: the sample type is chosen (PCM, float)
};
constexpr std::array kContainers = {
    Container{"wav", SF_FORMAT_WAV, 0},
    Container{"wave", SF_FORMAT_WAV, 0},
    Container{"rf64", SF_FORMAT_RF64, 0},
    Container{"w64", SF_FORMAT_W64, 0},
    Container{"aif", SF_FORMAT_AIFF, 0},
    Container{"aiff", SF_FORMAT_AIFF, 0},
    Container{"aifc", SF_FORMAT_AIFF, 0},
    Container{"flac", SF_FORMAT_FLAC, 0},
    Container{"caf", SF_FORMAT_CAF, 0},
    Container{"au", SF_FORMAT_AU, 0},
    Container{"snd", SF_FORMAT_AU, 0},
    Container{"ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS},
    Container{"oga", SF_FORMAT_OGG, SF_FORMAT_VORBIS},
    Container{"opus", SF_FORMAT_OGG, SF_FORMAT_OPUS},
    Container{"mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III},
};
constexpr const char* kWritableList =
    ".wav, .flac, .aiff, .caf, .w64, .rf64, .au, .ogg (Vorbis), .opus and .mp3";

// Sample types kept from the input when the output can hold them.
constexpr std::array kLosslessTypes = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16,
                                       SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT,
                                       SF_FORMAT_DOUBLE};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string formatName(int format, bool subtype) {
    SF_FORMAT_INFO entry{};
    entry.format = format & (subtype ? SF_FORMAT_SUBMASK : SF_FORMAT_TYPEMASK);
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &entry, sizeof entry) != 0 ||
        entry.name == nullptr) {
        return "unknown";
    }
    return entry.name;
}

// The container libsndfile writes for an extension ("wav" or ".wav"), as
// the table above or libsndfile's own list of the rarer ones has it.
std::optional<Container> containerFor(std::string extension) {
    extension = lower(extension);
    if (!extension.empty() && extension[0] == '.') extension.erase(0, 1);
    for (const Container& c : kContainers) {
        if (extension == c.extension) return c;
    }
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO major{};
        major.format = i;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major);
        // Ogg and MPEG are above, with their codecs; RAW has no header to say what it holds.
        const int type = major.format & SF_FORMAT_TYPEMASK;
        if (major.extension != nullptr && extension == major.extension && type != SF_FORMAT_OGG &&
            type != SF_FORMAT_MPEG && type != SF_FORMAT_RAW) {
            return Container{major.extension, type, 0};
        }
    }
    return std::nullopt;
}

// The input's own container and codec, for outputs whose name says nothing.
Container inputContainer(int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    const int subtype = format & SF_FORMAT_SUBMASK;
    if (major == SF_FORMAT_MPEG) return {"mp3", major, SF_FORMAT_MPEG_LAYER_III};
    if (major == SF_FORMAT_OGG) return {"ogg", major, subtype};
    return {"", major == SF_FORMAT_WAVEX ? SF_FORMAT_WAV : major, 0};
}

bool fits(int format, const SourceFormat& source) {
    SF_INFO probe{};
    probe.format = format;
    probe.channels = source.channels;
    probe.samplerate = source.sampleRate;
    return sf_format_check(&probe) != 0;
}

// Codecs that decode to an approximation; a lossless output stores what they decode to.
bool isLossyCodec(int subtype) {
    return subtype == SF_FORMAT_VORBIS || subtype == SF_FORMAT_OPUS ||
           subtype == SF_FORMAT_MPEG_LAYER_I || subtype == SF_FORMAT_MPEG_LAYER_II ||
           subtype == SF_FORMAT_MPEG_LAYER_III;
}

int subtypeForBits(const std::string& bits) {
    if (bits == "16") return SF_FORMAT_PCM_16;
    if (bits == "24") return SF_FORMAT_PCM_24;
    if (bits == "32") return SF_FORMAT_PCM_32;
    if (bits == "float") return SF_FORMAT_FLOAT;
    throw UsageError("--bits is 16, 24, 32 or float, not \"" + bits + "\"");
}

std::string bitsText(int subtype) {
    switch (subtype) {
        case SF_FORMAT_PCM_16:
            return "16-bit";
        case SF_FORMAT_PCM_24:
            return "24-bit";
        case SF_FORMAT_PCM_32:
            return "32-bit";
        case SF_FORMAT_FLOAT:
            return "float";
        default:
            return formatName(subtype, true);
    }
}

// "16-bit, 24-bit or float": the --bits choices a container holds.
std::string depthsHeld(int major, const SourceFormat& source) {
    std::vector<std::string> held;
    for (const int subtype :
         {SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT}) {
        if (fits(major | subtype, source)) held.push_back(bitsText(subtype));
    }
    return held.empty() ? "none of them" : listOf(held, "or");
}

int integerBits(int subtype) {
    switch (subtype) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            return 8;
        case SF_FORMAT_PCM_16:
            return 16;
        case SF_FORMAT_PCM_24:
            return 24;
        case SF_FORMAT_PCM_32:
            return 32;
        default:
            return 0;
    }
}

// Bytes of samples a container with 32-bit sizes holds, less room for its
// header and metadata. A test can lower it, to reach the path of large
// files with small ones.
int64_t thirtyTwoBitLimit() {
    if (const char* forTests = std::getenv("VELMORA_RIFF_LIMIT_FOR_TESTS")) {
        return std::strtoll(forTests, nullptr, 10);
    }
    return int64_t{0xFFFFFFFF} - (int64_t{1} << 20);
}

bool hasThirtyTwoBitSizes(int major) {
    return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_AIFF ||
           major == SF_FORMAT_AU;
}

void chooseLossy(OutputFormat& output, const Container& container, const SourceFormat& source,
                 const FormatRequest& request) {
    const std::string name = formatName(container.codec, true);
    if (!request.bits.empty()) {
        throw UsageError("--bits does not apply to " + name + ", which keeps no sample depth; " +
                         "use --quality, or a lossless output such as .wav or .flac");
    }
    if (container.codec == SF_FORMAT_OPUS) {
        constexpr std::array rates = {8000, 12000, 16000, 24000, 48000};
        if (std::find(rates.begin(), rates.end(), source.sampleRate) == rates.end()) {
            throw Error("Opus holds only 8000, 12000, 16000, 24000 and 48000 Hz, not " +
                        std::to_string(source.sampleRate) + " Hz; choose one with --rate");
        }
    }
    if (container.codec == SF_FORMAT_MPEG_LAYER_III) {
        constexpr std::array rates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
        if (std::find(rates.begin(), rates.end(), source.sampleRate) == rates.end()) {
            throw Error(
                "MP3 holds only 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100 "
                "and 48000 Hz, not " +
                std::to_string(source.sampleRate) +
                " Hz; choose one with --rate, or use .ogg "
                "(Vorbis) or .flac");
        }
    }
    output.format = container.major | container.codec;
    if (!fits(output.format, source)) {
        throw Error(name + " cannot hold " + std::to_string(source.channels) +
                    " channels; use .wav or .flac");
    }
    output.lossy = true;
    if (request.quality) output.compression = 1.0 - *request.quality / 10.0;
}

void chooseLossless(OutputFormat& output, const Container& container, const SourceFormat& source,
                    const FormatRequest& request) {
    const std::string name = containerName(container.major);
    if (request.quality && !request.qualityWhereLossy) {
        throw UsageError("--quality applies to the lossy formats (.ogg, .opus, .mp3); " + name +
                         " keeps every sample as it is");
    }
    const int inputMajor = source.format & SF_FORMAT_TYPEMASK;
    const int inputSubtype = source.format & SF_FORMAT_SUBMASK;
    // The input's byte order only means something in its own container.
    const int endian = container.major == inputMajor ? source.format & SF_FORMAT_ENDMASK : 0;
    int subtype = 0;
    if (!request.bits.empty()) {
        subtype = subtypeForBits(request.bits);
        if (!fits(container.major | subtype, source)) {
            throw Error(name + " cannot hold " + bitsText(subtype) + " samples, only " +
                        depthsHeld(container.major, source) +
                        (subtype == SF_FORMAT_FLOAT ? "; .wav, .aiff and .caf hold float" : ""));
        }
    } else if (!isLossyCodec(inputSubtype) &&
               fits(container.major | inputSubtype | endian, source)) {
        subtype = inputSubtype;  // the input's own type, lossy codecs aside
    } else {
        // A decoded lossy input, or a type this container lacks: 24-bit keeps
        // more than any of them carries audibly.
        for (const int candidate : {SF_FORMAT_PCM_24, SF_FORMAT_FLOAT, SF_FORMAT_PCM_16}) {
            if (fits(container.major | candidate, source)) {
                subtype = candidate;
                break;
            }
        }
        if (subtype == 0) {
            throw Error(name + " cannot hold " + std::to_string(source.channels) + " channels at " +
                        std::to_string(source.sampleRate) + " Hz; use .wav");
        }
        const bool keptAny = std::find(kLosslessTypes.begin(), kLosslessTypes.end(),
                                       inputSubtype) != kLosslessTypes.end();
        if (keptAny) {
            output.note = name + " cannot hold the input's " + bitsText(inputSubtype) +
                          " samples; writing " + bitsText(subtype) + " (--bits chooses)";
        }
    }
    output.format = container.major | subtype | (subtype == inputSubtype ? endian : 0);
    output.integerBits = integerBits(subtype);
    output.holdsFloat = fits(container.major | SF_FORMAT_FLOAT, source);

    // Files that outgrow 32-bit sizes: WAV becomes RF64, its 64-bit form;
    // the others cannot be written.
    const int64_t limit = thirtyTwoBitLimit();
    const int64_t frameBytes = int64_t{source.channels} * bytesPerSample(output.format);
    const bool unknownLength = source.frames > INT64_MAX / frameBytes;
    // A length nobody knows (a stream's, a FLAC without its count) is
    // not guessed: the file is written plain and a WAV becomes RF64 only if
    // it outgrows the plain form (AudioWriter switches); the others fail then.
    const int64_t predicted = unknownLength ? 0 : source.frames * frameBytes;
    if (container.major == SF_FORMAT_WAV && predicted > limit) {
        output.format = SF_FORMAT_RF64 | (output.format & SF_FORMAT_SUBMASK);
        output.note =
            "the output outgrows the 4 GiB of a plain WAV file, so it is written as "
            "RF64, WAV's 64-bit form";
        return;
    }
    if (container.major == SF_FORMAT_WAV && source.hasLayout) {
        // WAV names the channels' positions only in its extensible form.
        output.format = SF_FORMAT_WAVEX | (output.format & ~SF_FORMAT_TYPEMASK);
    }
    if (hasThirtyTwoBitSizes(container.major)) {
        if (predicted > limit) {
            throw Error(name + " cannot hold more than 4 GiB, and this output would take " +
                        std::to_string(predicted >> 20) +
                        " MiB; use .wav (written as RF64), .w64, .caf or .flac");
        }
        output.sizeLimit = limit;
    }
}

}  // namespace

int naturalRate(const std::string& name, const FormatRequest& request, int rate) {
    const std::string extension = name == "-" ? "" : fs::path(name).extension().string();
    const std::optional<Container> container =
        containerFor(extension.empty() ? request.type : extension);
    constexpr std::array opusRates = {8000, 12000, 16000, 24000, 48000};
    const bool opus = container && container->codec == SF_FORMAT_OPUS;
    if (opus && std::find(opusRates.begin(), opusRates.end(), rate) == opusRates.end()) {
        return 48000;
    }
    return rate;
}

OutputFormat chooseOutputFormat(const std::string& name, const SourceFormat& source,
                                const FormatRequest& request) {
    const std::string extension = name == "-" ? "" : fs::path(name).extension().string();
    std::optional<Container> container;
    if (!extension.empty() && !request.type.empty()) {
        throw UsageError(request.typeOption +
                         " is for standard output and names without an extension; " + name +
                         " says " + extension);
    }
    // The name's extension, or for "-" and names without one, --type.
    const std::string asked = extension.empty() ? request.type : extension;
    if (!asked.empty()) {
        container = containerFor(asked);
        if (!container) {
            throw UsageError("velmora cannot write " + asked + " files; it writes " +
                             kWritableList);
        }
    } else {
        container = inputContainer(source.format);
    }
    if (request.quality && (*request.quality < 0.0 || *request.quality > 10.0)) {
        throw UsageError("--quality goes from 0 (smallest) to 10 (best)");
    }

    OutputFormat output;
    if (container->codec != 0) {
        chooseLossy(output, *container, source, request);
    } else {
        chooseLossless(output, *container, source, request);
    }
    return output;
}

std::string containerName(int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    if (major == SF_FORMAT_WAVEX) return "WAV";
    const std::string full = formatName(major, false);
    return full.substr(0, full.find(" ("));
}

std::string describeFormat(int format) {
    return formatName(format, false) + ", " + formatName(format, true);
}

int bytesPerSample(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
            return 1;
        case SF_FORMAT_PCM_16:
            return 2;
        case SF_FORMAT_PCM_24:
            return 3;
        case SF_FORMAT_DOUBLE:
            return 8;
        default:
            return 4;
    }
}

}  // namespace velmora::tool
