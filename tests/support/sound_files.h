// Sound files for tests that run programs on real files: written and read back
// whole with libsndfile, the samples interleaved as floats.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velmora::test {

struct Audio {
    SF_INFO info{};
    std::vector<float> samples;  // interleaved

    std::vector<float> channel(int c) const {
        std::vector<float> one;
        for (size_t i = static_cast<size_t>(c); i < samples.size(); i += info.channels) {
            one.push_back(samples[i]);
        }
        return one;
    }
};

inline void writeAudio(const std::filesystem::path& path, int format, int rate, int channels,
                       const std::vector<float>& samples) {
    SF_INFO info{};
    info.format = format;
    info.samplerate = rate;
    info.channels = channels;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()) / channels);
    sf_close(file);
}

inline Audio readAudio(const std::filesystem::path& path) {
    Audio audio;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &audio.info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    if (file == nullptr) return audio;
    audio.samples.resize(static_cast<size_t>(audio.info.frames * audio.info.channels));
    sf_readf_float(file, audio.samples.data(), audio.info.frames);
    sf_close(file);
    return audio;
}

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace velmora::test
