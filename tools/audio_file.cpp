#include "audio_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "staged_file.h"
#include "tool_error.h"

namespace velmora::tool {

namespace fs = std::filesystem;

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The major format libsndfile writes for an extension, or 0.
int majorFormatFor(const fs::path& path) {
    std::string extension = lower(path.extension().string());
    if (extension.empty()) return 0;
    extension.erase(0, 1);
    if (extension == "aif") extension = "aiff";
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO major{};
        major.format = i;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major);
        if (major.extension != nullptr && extension == major.extension) return major.format;
    }
    return 0;
}

// libsndfile's message without its "System error : " and final full stop.
std::string reason(SNDFILE* file) {
    std::string text = sf_strerror(file);
    const std::string prefix = "System error : ";
    if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

std::string formatName(int format, int command) {
    SF_FORMAT_INFO entry{};
    entry.format = format;
    if (sf_command(nullptr, command, &entry, sizeof entry) != 0 || entry.name == nullptr) {
        return "unknown";
    }
    return entry.name;
}

bool isIntegerSubtype(int subtype) {
    return subtype != SF_FORMAT_FLOAT && subtype != SF_FORMAT_DOUBLE;
}

}  // namespace

AudioReader::AudioReader(const fs::path& filePath) : path(filePath) {
    file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) throw Error("cannot read " + path.string() + ": " + reason(nullptr));
}

AudioReader::~AudioReader() {
    if (file != nullptr) sf_close(file);
}

int64_t AudioReader::read(float* samples, int64_t frames) {
    const sf_count_t got = sf_readf_float(file, samples, frames);
    if (got < frames && sf_error(file) != SF_ERR_NO_ERROR) {
        throw Error("cannot read " + path.string() + ": " + reason(file));
    }
    return got;
}

AudioWriter::AudioWriter(const fs::path& filePath, int format, int sampleRate, int channels)
    : path(filePath) {
    info.format = format;
    info.samplerate = sampleRate;
    info.channels = channels;
    file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        throw Error("cannot write " + path.string() + ": " + reason(nullptr));
    }
    integerSamples = isIntegerSubtype(format & SF_FORMAT_SUBMASK);
    // Clipping rather than the wrap-around a plain conversion would give.
    if (integerSamples) sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

AudioWriter::~AudioWriter() {
    if (file != nullptr) sf_close(file);
}

void AudioWriter::write(const float* samples, int64_t frames) {
    const int64_t count = frames * info.channels;
    if (integerSamples) {
        clipped +=
            std::count_if(samples, samples + count, [](float x) { return std::fabs(x) > 1.0f; });
    }
    if (sf_writef_float(file, samples, frames) != frames) {
        throw Error("cannot write " + path.string() + ": " + reason(file));
    }
}

void AudioWriter::close() {
    SNDFILE* closing = file;
    file = nullptr;
    if (sf_close(closing) != 0) throw Error("cannot finish writing " + path.string());
}

int outputFormat(const fs::path& output, int inputFormat, bool asFloat) {
    const int inputMajor = inputFormat & SF_FORMAT_TYPEMASK;
    const int major = majorFormatFor(output);
    const int subtype = asFloat ? SF_FORMAT_FLOAT : inputFormat & SF_FORMAT_SUBMASK;
    // The input's byte order only means something in its own container.
    const int endian = major == 0 || major == inputMajor ? inputFormat & SF_FORMAT_ENDMASK : 0;
    const int format = (major != 0 ? major : inputMajor) | subtype | endian;

    SF_INFO probe{};
    probe.format = format;
    probe.channels = 1;
    probe.samplerate = 44100;
    if (!sf_format_check(&probe)) {
        throw Error(formatName(format & SF_FORMAT_TYPEMASK, SFC_GET_FORMAT_INFO) + " cannot hold " +
                    formatName(subtype, SFC_GET_FORMAT_INFO) +
                    " samples; choose another output type (such as .wav)");
    }
    return format;
}

std::string describeFormat(int format) {
    return formatName(format & SF_FORMAT_TYPEMASK, SFC_GET_FORMAT_INFO) + ", " +
           formatName(format & SF_FORMAT_SUBMASK, SFC_GET_FORMAT_INFO);
}

void writeAudioFile(const fs::path& path, int format, int sampleRate, int channels,
                    const std::vector<float>& samples) {
    StagedFile staged(path);
    AudioWriter writer(staged.path(), format, sampleRate, channels);
    writer.write(samples.data(), static_cast<int64_t>(samples.size()) / channels);
    writer.close();
    staged.commit();
}

}  // namespace velmora::tool
