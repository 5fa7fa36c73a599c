// The format of a rendered file: the container its name asks for, the
// sample type the input had or the user chose, and the encoder settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::tool {

// What the user asked for on the command line.
struct FormatRequest {
    std::string bits;                   // "", "16", "24", "32" or "float"
    std::optional<double> quality;      // 0 to 10, for the lossy encoders
    std::string type;                   // an extension, for "-" and names without one
    std::string typeOption = "--type";  // the option that gave `type`, for messages
    bool qualityWhereLossy = false;     // lossless outputs ignore `quality` (a batch's)
};

// What is known of the input before it is read.
struct SourceFormat {
    int format = 0;  // libsndfile's SF_FORMAT_* bits
    int sampleRate = 0;
    int channels = 0;
    int64_t frames = 0;      // as held, or INT64_MAX when nobody knows
    bool hasLayout = false;  // the input names its channels' positions
};

struct OutputFormat {
    int format = 0;                     // libsndfile's SF_FORMAT_* bits
    int integerBits = 0;                // PCM depth the tool rounds to itself; 0 for the rest
    std::optional<double> compression;  // libsndfile's compression level, 0 best to 1 smallest
    bool lossy = false;                 // Vorbis, Opus, MP3
    bool holdsFloat = false;            // the container could hold float samples
    int64_t sizeLimit = 0;              // bytes of samples the container can hold; 0: no limit
    std::string note;                   // what the user should know about the choice, or ""
};

// The format for an output called `name` ("-" for standard output). Throws,
// naming what would work, when no format fits what was asked.
OutputFormat chooseOutputFormat(const std::string& name, const SourceFormat& source,
                                const FormatRequest& request);

// The rate an output called `name` is written at when its input has
// `rate` and no --rate is given: the input's, or for Opus, which holds only
// 8000 to 48000 Hz at five rates, 48000 Hz when the input's is not one of them.
int naturalRate(const std::string& name, const FormatRequest& request, int rate);

// "WAV", "FLAC", ...: the container's short name.
std::string containerName(int format);

// "WAV (Microsoft), Signed 16 bit PCM" and the like.
std::string describeFormat(int format);

// Bytes one sample takes in the file, at most (4 for encodings that vary).
int bytesPerSample(int format);

}  // namespace velmora::tool
