// Sound files through libsndfile. Samples are interleaved floats, full scale
// at 1.0.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "loudness.h"
#include "output_format.h"
#include "random.h"

namespace velmora::tool {

// What a file carries besides its samples. Positions are in frames, which
// a render keeps: its output is aligned with its input sample for sample.
struct AudioMetadata {
    std::vector<int> channelMap;                    // SF_CHANNEL_MAP_* per channel, or empty
    std::vector<std::pair<int, std::string>> tags;  // SF_STR_* and its text
    std::vector<char> broadcastInfo;                // the bext chunk's SF_BROADCAST_INFO, or empty
    std::vector<SF_CUE_POINT> cues;                 // markers
    std::optional<SF_INSTRUMENT> instrument;        // a sampler's loops and key range (smpl)
    std::vector<char> cartInfo;                     // the cart chunk's SF_CART_INFO, or empty
    // Production chunks copied whole (iXML, axml, XMP), by their id.
    std::vector<std::pair<std::string, std::vector<char>>> chunks;
    // What the file carries that no output can get from here, as a note names it.
    std::vector<std::string> uncarried;

    // Whether the channels' positions say more than their count does: more
    // than two channels, or positions other than mono or left and right.
    bool layoutMatters() const;
};

class AudioReader {
  public:
    // "-" is standard input. Streams are copied to a temporary file first,
    // showing the bytes read unless `quiet`.
    explicit AudioReader(const std::filesystem::path& path, bool quiet = true);
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    int64_t frames() const { return info.frames; }
    // What the header promised, which a cut-off file does not hold.
    int64_t declaredFrames() const { return declared; }
    int channels() const { return info.channels; }
    int sampleRate() const { return info.samplerate; }
    int format() const { return info.format; }  // libsndfile's SF_FORMAT_* bits
    const AudioMetadata& metadata() const { return carried; }

    // Up to `frames` frames into `samples`, surround in WAV's order (Vorbis and
    // Opus files are reordered); answers how many were read, 0 at
    // the end. Where the file breaks off, what came before is answered and
    // problem() says why it ended.
    int64_t read(float* samples, int64_t frames);
    const std::string& problem() const { return broken; }

  private:
    std::filesystem::path path;
    SF_INFO info{};
    SNDFILE* file = nullptr;
    int64_t declared = 0;
    AudioMetadata carried;
    std::string broken;
    std::vector<int> picks;  // the file's channel for each of WAV's order, when they differ
    std::vector<float> ordered;
};

// The descriptor libsndfile reads or writes through: every call is checked
// here, since some of its encoders (MP3's) ignore a failed write, and an
// interrupt ends a wait on a pipe or device instead of retrying it.
struct CheckedDescriptor {
    int fd = -1;
    int failure = 0;  // the first write's errno, or 0
};

class AudioWriter {
  public:
    // Writes at the start of `fd`, which stays open; `name` is for messages.
    // Integer samples are rounded, with dither for 16 bits or fewer when
    // `dither` is set.
    AudioWriter(int fd, std::string name, const OutputFormat& format, int sampleRate, int channels,
                bool dither);
    ~AudioWriter();
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    // Before the first write: the input's metadata, where the format holds
    // it. Answers what it could not keep, as "the tags title, artist" and the like.
    // Vorbis and Opus get the channels in their own order, from mono to 7.1.
    std::vector<std::string> keep(const AudioMetadata& metadata);

    void write(const float* samples, int64_t frames);
    void close();  // flushes; the file is complete only after this

    // Samples beyond full scale that an integer format clipped, the
    // largest magnitude of all (finite) samples, 1.0 being full scale (for
    // lossy outputs the true peak, which their decoders reach), and the
    // samples that were not finite, which are written as silence.
    int64_t clippedSamples() const { return clipped; }
    double peak() const { return truePeak ? truePeak->truePeak() : largest; }
    int64_t nonFiniteSamples() const { return nonFinite; }

  private:
    void checkWritten();
    // A WAV that outgrows its 32-bit sizes becomes RF64: what was written is
    // copied into an RF64 file in its place, and writing goes on there.
    void becomeRf64();

    std::string name;
    OutputFormat output;
    SF_INFO info{};
    CheckedDescriptor io;
    SNDFILE* file = nullptr;
    bool dither = false;
    // A fixed sequence, so that the same input always gives the same file.
    validate::Random ditherNoise{0x76656C6D6F7261};  // "velmora"
    std::vector<int32_t> integers;
    std::vector<int> picks;    // the given channel for each of the file's, when they differ
    std::vector<float> ready;  // the samples as they go to the file
    int64_t bytes = 0;
    int64_t clipped = 0;
    double largest = 0.0;
    int64_t nonFinite = 0;
    std::optional<LoudnessMeter> truePeak;
    AudioMetadata kept;  // what keep() was given, for a file begun again as RF64
};

// The same metadata for the file resampled by `ratio` (output rate over
// input rate): markers, loops and the broadcast time reference move with it.
AudioMetadata atRate(AudioMetadata metadata, double ratio);

// What the file written at `fd` (from its start) holds of `wanted`, read
// back: the names of what it lost, as AudioWriter::keep() gives them. Nothing
// when it cannot be read back (a device).
std::optional<std::vector<std::string>> lostOnTheWay(int fd, const AudioMetadata& wanted);

// A whole file in one go to `name`, which appears complete or not at all.
void writeAudioFile(const std::filesystem::path& name, const OutputFormat& format, int sampleRate,
                    int channels, const std::vector<float>& samples);

}  // namespace velmora::tool
