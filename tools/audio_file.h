// Sound files through libsndfile: any format it reads in, the same format or
// 32-bit float out. Samples are interleaved floats, full scale at 1.0.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::tool {

class AudioReader {
  public:
    explicit AudioReader(const std::filesystem::path& path);
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    int64_t frames() const { return info.frames; }
    int channels() const { return info.channels; }
    int sampleRate() const { return info.samplerate; }
    int format() const { return info.format; }  // libsndfile's SF_FORMAT_* bits

    // Up to `frames` frames into `samples`; answers how many were read.
    int64_t read(float* samples, int64_t frames);

  private:
    std::filesystem::path path;
    SF_INFO info{};
    SNDFILE* file = nullptr;
};

class AudioWriter {
  public:
    AudioWriter(const std::filesystem::path& path, int format, int sampleRate, int channels);
    ~AudioWriter();
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    void write(const float* samples, int64_t frames);
    void close();  // flushes; the file is complete only after this

    // Samples beyond full scale, which an integer format clips.
    int64_t clippedSamples() const { return clipped; }

  private:
    std::filesystem::path path;
    SF_INFO info{};
    SNDFILE* file = nullptr;
    bool integerSamples = false;
    int64_t clipped = 0;
};

// The format for `output`: the container its extension names (the input's
// when the extension names none) holding the input's sample type, or 32-bit
// float when `asFloat`. Throws when the container cannot hold that type.
int outputFormat(const std::filesystem::path& output, int inputFormat, bool asFloat);

// "WAV, 16-bit PCM" and the like.
std::string describeFormat(int format);

// A whole file in one go, staged so that it appears complete or not at all.
void writeAudioFile(const std::filesystem::path& path, int format, int sampleRate, int channels,
                    const std::vector<float>& samples);

}  // namespace velmora::tool
