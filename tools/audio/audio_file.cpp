#include "audio_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <utility>

#include "output_file.h"
#include "staged_input.h"
#include "tool_error.h"

namespace velmora::tool {

namespace fs = std::filesystem;

namespace {

// libsndfile's message without its "System error : " and final full stop.
std::string reason(SNDFILE* file) {
    std::string text = sf_strerror(file);
    for (const std::string prefix : {"System error : ", "Error : "}) {
        if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
    }
    if (!text.empty() && text.back() == '.') text.pop_back();
    // Where libsndfile's words mislead: a damaged file is not one that does
    // not exist, and its complaints about itself tell a user nothing.
    const std::vector<std::pair<std::string, std::string>> plain = {
        {"File does not exist or is not a regular file", "it is damaged, or not a sound file"},
        {"SF_INFO struct incomplete", "its header is incomplete or damaged"},
        {"This is a bug in libsndfile", "it is damaged, or in a form libsndfile cannot read"},
    };
    for (const auto& [said, meant] : plain) {
        if (text.find(said) != std::string::npos) return meant;
    }
    return text;
}

// The frames a header promised, which libsndfile logs when it finds the
// file shorter and counts only what is there: "data : 40000 (should be
// 19956)" for the WAV family, "Frame count read from 'COMM' chunk (10000)"
// for AIFF.
int64_t framesPromised(SNDFILE* file, const SF_INFO& info) {
    std::string log(1 << 14, '\0');
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    std::smatch found;
    static const std::regex frameCount(R"(Frame count read from 'COMM' chunk \((\d+)\))");
    if (std::regex_search(log, found, frameCount)) return std::stoll(found[1]);
    static const std::regex dataSize(R"((?:^|\n)data\s*:\s*(\d+)\s*\(should be)");
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    const bool fixedSize = subtype == SF_FORMAT_PCM_S8 || subtype == SF_FORMAT_PCM_U8 ||
                           subtype == SF_FORMAT_PCM_16 || subtype == SF_FORMAT_PCM_24 ||
                           subtype == SF_FORMAT_PCM_32 || subtype == SF_FORMAT_FLOAT ||
                           subtype == SF_FORMAT_DOUBLE;
    if (fixedSize && info.channels > 0 && std::regex_search(log, found, dataSize)) {
        return std::stoll(found[1]) / (int64_t{info.channels} * bytesPerSample(info.format));
    }
    return info.frames;
}

// Speakers by libsndfile's channel map, short for the orders below.
enum : int {
    L = SF_CHANNEL_MAP_LEFT,
    R = SF_CHANNEL_MAP_RIGHT,
    C = SF_CHANNEL_MAP_CENTER,
    LFE = SF_CHANNEL_MAP_LFE,
    BL = SF_CHANNEL_MAP_REAR_LEFT,
    BR = SF_CHANNEL_MAP_REAR_RIGHT,
    BC = SF_CHANNEL_MAP_REAR_CENTER,
    SL = SF_CHANNEL_MAP_SIDE_LEFT,
    SR = SF_CHANNEL_MAP_SIDE_RIGHT,
};

// Default speaker order by channel count, which FLAC implies without naming it.
std::vector<int> impliedOrder(int channels) {
    switch (channels) {
        case 1:
            return {C};
        case 2:
            return {L, R};
        case 3:
            return {L, R, C};
        case 4:
            return {L, R, BL, BR};
        case 5:
            return {L, R, C, BL, BR};
        case 6:
            return {L, R, C, LFE, BL, BR};
        case 7:
            return {L, R, C, LFE, BC, SL, SR};
        case 8:
            return {L, R, C, LFE, BL, BR, SL, SR};
        default:
            return {};
    }
}

// Speaker order of Vorbis and Opus by channel count, up to 7.1; their
// files hold the channels in this order, whatever order WAV has.
std::vector<int> vorbisOrder(int channels) {
    switch (channels) {
        case 3:
            return {L, C, R};
        case 4:
            return {L, R, BL, BR};
        case 5:
            return {L, C, R, BL, BR};
        case 6:
            return {L, C, R, BL, BR, LFE};
        case 7:
            return {L, C, R, SL, SR, BC, LFE};
        case 8:
            return {L, C, R, SL, SR, BL, BR, LFE};
        default:
            return {};
    }
}

bool inVorbisOrder(int format) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    return (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG &&
           (subtype == SF_FORMAT_VORBIS || subtype == SF_FORMAT_OPUS);
}

// Front positions under one name each, so that maps can be compared.
std::vector<int> plainPositions(std::vector<int> map) {
    for (int& position : map) {
        if (position == SF_CHANNEL_MAP_FRONT_LEFT) position = SF_CHANNEL_MAP_LEFT;
        if (position == SF_CHANNEL_MAP_FRONT_RIGHT) position = SF_CHANNEL_MAP_RIGHT;
        if (position == SF_CHANNEL_MAP_FRONT_CENTER || position == SF_CHANNEL_MAP_MONO) {
            position = SF_CHANNEL_MAP_CENTER;
        }
    }
    return map;
}

const char* tagName(int tag) {
    switch (tag) {
        case SF_STR_TITLE:
            return "title";
        case SF_STR_COPYRIGHT:
            return "copyright";
        case SF_STR_ARTIST:
            return "artist";
        case SF_STR_COMMENT:
            return "comment";
        case SF_STR_DATE:
            return "date";
        case SF_STR_ALBUM:
            return "album";
        case SF_STR_LICENSE:
            return "license";
        case SF_STR_TRACKNUMBER:
            return "track number";
        case SF_STR_GENRE:
            return "genre";
        default:
            return "other";
    }
}

// The surround channel in the other pair (side or rear) that stands in
// for a position a layout lacks: 5.1 has either.
int standIn(int position) {
    switch (position) {
        case SF_CHANNEL_MAP_REAR_LEFT:
            return SF_CHANNEL_MAP_SIDE_LEFT;
        case SF_CHANNEL_MAP_REAR_RIGHT:
            return SF_CHANNEL_MAP_SIDE_RIGHT;
        case SF_CHANNEL_MAP_SIDE_LEFT:
            return SF_CHANNEL_MAP_REAR_LEFT;
        case SF_CHANNEL_MAP_SIDE_RIGHT:
            return SF_CHANNEL_MAP_REAR_RIGHT;
        default:
            return position;
    }
}

// For each position of `to`, the channel of `from` that plays there; empty
// when `from` lacks one of them.
std::vector<int> channelsFor(const std::vector<int>& from, const std::vector<int>& to) {
    const std::vector<int> have = plainPositions(from);
    std::vector<int> picks;
    for (const int position : plainPositions(to)) {
        auto found = std::find(have.begin(), have.end(), position);
        if (found == have.end()) found = std::find(have.begin(), have.end(), standIn(position));
        if (found == have.end()) return {};
        picks.push_back(static_cast<int>(found - have.begin()));
    }
    std::vector<int> sorted = picks;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return {};
    return picks;
}

void reorder(const float* in, float* out, int64_t frames, const std::vector<int>& picks) {
    const size_t channels = picks.size();
    for (int64_t f = 0; f < frames; ++f) {
        for (size_t c = 0; c < channels; ++c) {
            out[static_cast<size_t>(f) * channels + c] =
                in[static_cast<size_t>(f) * channels + static_cast<size_t>(picks[c])];
        }
    }
}

// Room for a long coding history; libsndfile takes less than 16 KiB of it.
using BroadcastInfo = SF_BROADCAST_INFO_VAR(16000);

// Triangular noise from -1 to 1 (in units of the last bit): the difference
// of two uniform values, which leaves the rounding error independent of the signal.
double triangular(validate::Random& noise) {
    const uint64_t r = noise.next();
    return static_cast<double>(r >> 40) * 0x1p-24 -
           static_cast<double>((r >> 16) & 0xFFFFFF) * 0x1p-24;
}

sf_count_t ioLength(void* user) {
    const int fd = static_cast<CheckedDescriptor*>(user)->fd;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) return status.st_size;
    return lseek(fd, 0, SEEK_CUR);
}

sf_count_t ioSeek(sf_count_t offset, int whence, void* user) {
    return lseek(static_cast<CheckedDescriptor*>(user)->fd, offset, whence);
}

sf_count_t ioTell(void* user) {
    return lseek(static_cast<CheckedDescriptor*>(user)->fd, 0, SEEK_CUR);
}

sf_count_t ioRead(void* buffer, sf_count_t count, void* user) {
    auto* io = static_cast<CheckedDescriptor*>(user);
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t got =
            ::read(io->fd, static_cast<char*>(buffer) + done, static_cast<size_t>(count - done));
        if (got < 0 && errno == EINTR && !interrupted()) continue;
        if (got <= 0) break;
        done += got;
    }
    return done;
}

sf_count_t ioWrite(const void* buffer, sf_count_t count, void* user) {
    auto* io = static_cast<CheckedDescriptor*>(user);
    sf_count_t done = 0;
    while (done < count && io->failure == 0) {
        const ssize_t put = ::write(io->fd, static_cast<const char*>(buffer) + done,
                                    static_cast<size_t>(count - done));
        if (put < 0 && errno == EINTR && !interrupted()) continue;
        if (put < 0) io->failure = errno;
        if (put == 0) io->failure = ENOSPC;
        if (put > 0) done += put;
    }
    return done;
}

SF_VIRTUAL_IO checkedIo = {ioLength, ioSeek, ioRead, ioWrite, ioTell};

// The chunks of `id` in the file, each whole.
std::vector<std::vector<char>> chunksOf(SNDFILE* file, const char* id) {
    std::vector<std::vector<char>> found;
    SF_CHUNK_INFO wanted{};
    std::memcpy(wanted.id, id, 4);
    wanted.id_size = 4;
    for (SF_CHUNK_ITERATOR* it = sf_get_chunk_iterator(file, &wanted); it != nullptr;
         it = sf_next_chunk_iterator(it)) {
        SF_CHUNK_INFO chunk{};
        if (sf_get_chunk_size(it, &chunk) != SF_ERR_NO_ERROR) continue;
        std::vector<char> data(chunk.datalen);
        chunk.data = data.data();
        if (sf_get_chunk_data(it, &chunk) == SF_ERR_NO_ERROR) found.push_back(std::move(data));
    }
    return found;
}

// Chunks that a production tool reads and that are copied whole.
constexpr std::array kCopiedChunks = {"iXML", "axml", "_PMX"};

// What a RIFF LIST chunk holds that libsndfile does not read: cue labels
// (adtl), and INFO entries beyond the tags (ISRC and the like).
void noteListChunks(SNDFILE* file, std::vector<std::string>& uncarried) {
    static const std::vector<std::string> read = {"INAM", "ICOP", "IART", "ICMT", "ICRD",
                                                  "IGNR", "ISFT", "IPRD", "ITRK"};
    std::vector<std::string> entries;
    for (const std::vector<char>& list : chunksOf(file, "LIST")) {
        const std::string type(list.data(), std::min<size_t>(4, list.size()));
        if (type == "adtl") uncarried.push_back("the cue labels (LIST adtl)");
        if (type != "INFO") continue;
        for (size_t at = 4; at + 8 <= list.size();) {
            const std::string id(list.data() + at, 4);
            uint32_t size = 0;
            std::memcpy(&size, list.data() + at + 4, 4);  // little-endian, as RIFF is
            if (std::find(read.begin(), read.end(), id) == read.end()) entries.push_back(id);
            at += 8 + size + (size & 1);
        }
    }
    if (!entries.empty()) uncarried.push_back("the INFO entries " + listOf(entries, "and"));
}

AudioMetadata readMetadata(SNDFILE* file, const SF_INFO& info) {
    AudioMetadata carried;
    std::vector<int> map(static_cast<size_t>(info.channels));
    if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                   static_cast<int>(map.size() * sizeof(int))) == SF_TRUE) {
        carried.channelMap = map;
    }
    for (int tag = SF_STR_FIRST; tag <= SF_STR_LAST; ++tag) {
        // The program that wrote the input is not the one writing the output.
        if (tag == SF_STR_SOFTWARE) continue;
        if (const char* text = sf_get_string(file, tag)) carried.tags.emplace_back(tag, text);
    }
    BroadcastInfo bext{};
    if (sf_command(file, SFC_GET_BROADCAST_INFO, &bext, sizeof bext) == SF_TRUE) {
        const auto* bytes = reinterpret_cast<const char*>(&bext);
        carried.broadcastInfo.assign(bytes, bytes + sizeof bext);
    }
    uint32_t cueCount = 0;
    if (sf_command(file, SFC_GET_CUE_COUNT, &cueCount, sizeof cueCount) == SF_TRUE &&
        cueCount > 0) {
        SF_CUES cues{};
        if (sf_command(file, SFC_GET_CUE, &cues, sizeof cues) == SF_TRUE) {
            carried.cues.assign(cues.cue_points, cues.cue_points + std::min(cues.cue_count, 100u));
        }
    }
    SF_INSTRUMENT instrument{};
    if (sf_command(file, SFC_GET_INSTRUMENT, &instrument, sizeof instrument) == SF_TRUE) {
        carried.instrument = instrument;
    }
    SF_CART_INFO cart{};
    if (sf_command(file, SFC_GET_CART_INFO, &cart, sizeof cart) == SF_TRUE) {
        const auto* bytes = reinterpret_cast<const char*>(&cart);
        carried.cartInfo.assign(bytes, bytes + sizeof cart);
    }
    for (const char* id : kCopiedChunks) {
        for (std::vector<char>& data : chunksOf(file, id))
            carried.chunks.emplace_back(id, std::move(data));
    }
    noteListChunks(file, carried.uncarried);
    return carried;
}

// The names of what `wanted` has and `found` lacks, the layout aside.
std::vector<std::string> missing(const AudioMetadata& wanted, const AudioMetadata& found) {
    std::vector<std::string> lost;
    std::string tags;
    for (const auto& [tag, text] : wanted.tags) {
        const bool kept = std::any_of(found.tags.begin(), found.tags.end(),
                                      [tag = tag](const auto& t) { return t.first == tag; });
        if (!kept) tags += std::string(tags.empty() ? "" : ", ") + tagName(tag);
    }
    if (!tags.empty()) lost.push_back("the tags " + tags);
    if (!wanted.broadcastInfo.empty() && found.broadcastInfo.empty()) {
        lost.push_back("the broadcast-WAV (bext) chunk");
    }
    if (wanted.cues.size() > found.cues.size()) lost.push_back("the markers (cue points)");
    if (wanted.instrument &&
        (!found.instrument || found.instrument->loop_count < wanted.instrument->loop_count)) {
        lost.push_back(wanted.instrument->loop_count > 0 ? "the loops (smpl)"
                                                         : "the instrument (smpl)");
    }
    if (!wanted.cartInfo.empty() && found.cartInfo.empty()) lost.push_back("the cart chunk");
    for (const auto& [id, data] : wanted.chunks) {
        const bool kept = std::any_of(found.chunks.begin(), found.chunks.end(),
                                      [id = id](const auto& c) { return c.first == id; });
        if (!kept) lost.push_back("the " + id + " chunk");
    }
    return lost;
}

}  // namespace

AudioMetadata atRate(AudioMetadata metadata, double ratio) {
    if (ratio == 1.0) return metadata;
    auto move = [ratio](auto position) {
        return static_cast<decltype(position)>(std::llround(static_cast<double>(position) * ratio));
    };
    for (SF_CUE_POINT& cue : metadata.cues) {
        cue.position = move(cue.position);
        cue.sample_offset = move(cue.sample_offset);
    }
    if (metadata.instrument) {
        for (int i = 0; i < metadata.instrument->loop_count && i < 16; ++i) {
            metadata.instrument->loops[i].start = move(metadata.instrument->loops[i].start);
            metadata.instrument->loops[i].end = move(metadata.instrument->loops[i].end);
        }
    }
    if (metadata.broadcastInfo.size() >= sizeof(SF_BROADCAST_INFO)) {
        SF_BROADCAST_INFO bext{};
        std::memcpy(&bext, metadata.broadcastInfo.data(), sizeof bext);
        const uint64_t reference =
            move((uint64_t{bext.time_reference_high} << 32) | bext.time_reference_low);
        bext.time_reference_low = static_cast<uint32_t>(reference);
        bext.time_reference_high = static_cast<uint32_t>(reference >> 32);
        std::memcpy(metadata.broadcastInfo.data(), &bext, sizeof bext);
    }
    return metadata;
}

std::optional<std::vector<std::string>> lostOnTheWay(int fd, const AudioMetadata& wanted) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return std::nullopt;
    if (lseek(copy, 0, SEEK_SET) != 0 || (fcntl(copy, F_GETFL) & O_ACCMODE) == O_WRONLY) {
        close(copy);
        return std::nullopt;
    }
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(copy, SFM_READ, &info, SF_TRUE);
    if (file == nullptr) {
        close(copy);
        return std::nullopt;
    }
    const std::vector<std::string> lost = missing(wanted, readMetadata(file, info));
    sf_close(file);
    return lost;
}

bool AudioMetadata::layoutMatters() const {
    if (channelMap.size() > 2) return true;
    const std::vector<int> plain = plainPositions(channelMap);
    return !plain.empty() && plain != impliedOrder(static_cast<int>(plain.size()));
}

AudioReader::AudioReader(const fs::path& filePath, bool quiet) : path(filePath) {
    std::error_code error;
    if (fs::is_directory(path, error)) {
        throw Error(path.string() + " is a folder, not a sound file");
    }
    const int stream = openStream(path.string(), quiet);
    file = stream >= 0 ? sf_open_fd(stream, SFM_READ, &info, SF_TRUE)
                       : sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        if (stream >= 0) close(stream);
        const std::string name = path == "-" ? "standard input" : path.string();
        throw Error("cannot read " + name + ": " + reason(nullptr));
    }
    declared = std::max<int64_t>(info.frames, framesPromised(file, info));

    if (inVorbisOrder(info.format) && !vorbisOrder(info.channels).empty()) {
        // Read in WAV's order, which the rest of the tool speaks.
        carried.channelMap = impliedOrder(info.channels);
        picks = channelsFor(vorbisOrder(info.channels), carried.channelMap);
    }
    const std::vector<int> wavOrder = carried.channelMap;
    carried = readMetadata(file, info);
    if (!picks.empty()) carried.channelMap = wavOrder;
}

AudioReader::~AudioReader() {
    if (file != nullptr) sf_close(file);
}

int64_t AudioReader::read(float* samples, int64_t frames) {
    if (!broken.empty()) return 0;
    float* into = samples;
    if (!picks.empty()) {
        ordered.resize(static_cast<size_t>(frames * info.channels));
        into = ordered.data();
    }
    const sf_count_t got = sf_readf_float(file, into, frames);
    if (got < frames && sf_error(file) != SF_ERR_NO_ERROR) broken = reason(file);
    if (!picks.empty()) reorder(into, samples, got, picks);
    return got;
}

AudioWriter::AudioWriter(int fd, std::string fileName, const OutputFormat& format, int sampleRate,
                         int channels, bool ditherShort)
    : name(std::move(fileName)), output(format) {
    info.format = format.format;
    info.samplerate = sampleRate;
    info.channels = channels;
    io.fd = fd;
    file = sf_open_virtual(&checkedIo, SFM_WRITE, &info, &io);
    if (file == nullptr) throw Error("cannot write " + name + ": " + reason(nullptr));
    // The PEAK chunk holds the time of writing; without it the same input
    // gives the same bytes.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    if (output.compression) {
        double level = *output.compression;
        sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    // The encodings libsndfile converts to itself clip rather than wrap around.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    dither = ditherShort && output.integerBits > 0 && output.integerBits <= 16;
    if (output.lossy) truePeak.emplace(channels, sampleRate, true);
}

AudioWriter::~AudioWriter() {
    if (file != nullptr) sf_close(file);
}

std::vector<std::string> AudioWriter::keep(const AudioMetadata& metadata) {
    kept = metadata;
    std::vector<std::string> lost;
    const int major = output.format & SF_FORMAT_TYPEMASK;
    const std::string container = containerName(output.format);
    const std::vector<int> toVorbis =
        inVorbisOrder(output.format) ? vorbisOrder(info.channels) : std::vector<int>{};
    if (!toVorbis.empty()) {
        const std::vector<int> from =
            metadata.channelMap.empty() ? impliedOrder(info.channels) : metadata.channelMap;
        picks = channelsFor(from, toVorbis);
        if (picks.empty()) lost.push_back("the channel layout");
    } else if (metadata.layoutMatters()) {
        const bool named = major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64 ||
                           major == SF_FORMAT_CAF || major == SF_FORMAT_AIFF;
        std::vector<int> map = metadata.channelMap;
        const bool kept =
            named ? sf_command(file, SFC_SET_CHANNEL_MAP_INFO, map.data(),
                               static_cast<int>(map.size() * sizeof(int))) == SF_TRUE
                  : major == SF_FORMAT_FLAC && plainPositions(map) == impliedOrder(info.channels);
        if (!kept) lost.push_back("the channel layout");
    }
    std::string tags;
    for (const auto& [tag, text] : metadata.tags) {
        if (sf_set_string(file, tag, text.c_str()) != 0) {
            tags += std::string(tags.empty() ? "" : ", ") + tagName(tag);
        }
    }
    if (!tags.empty()) lost.push_back("the tags " + tags);
    if (!metadata.broadcastInfo.empty()) {
        BroadcastInfo bext{};
        std::memcpy(&bext, metadata.broadcastInfo.data(),
                    std::min(sizeof bext, metadata.broadcastInfo.size()));
        if (sf_command(file, SFC_SET_BROADCAST_INFO, &bext, sizeof bext) != SF_TRUE) {
            lost.push_back("the broadcast-WAV (bext) chunk");
        }
    }
    if (!metadata.cues.empty()) {
        SF_CUES cues{};
        cues.cue_count = static_cast<uint32_t>(metadata.cues.size());
        std::copy(metadata.cues.begin(), metadata.cues.end(), cues.cue_points);
        if (sf_command(file, SFC_SET_CUE, &cues, sizeof cues) != SF_TRUE) {
            lost.push_back("the markers (cue points)");
        }
    }
    if (metadata.instrument) {
        SF_INSTRUMENT instrument = *metadata.instrument;
        if (sf_command(file, SFC_SET_INSTRUMENT, &instrument, sizeof instrument) != SF_TRUE) {
            lost.push_back(instrument.loop_count > 0 ? "the loops (smpl)"
                                                     : "the instrument (smpl)");
        }
    }
    if (!metadata.cartInfo.empty()) {
        SF_CART_INFO cart{};
        std::memcpy(&cart, metadata.cartInfo.data(),
                    std::min(sizeof cart, metadata.cartInfo.size()));
        if (sf_command(file, SFC_SET_CART_INFO, &cart, sizeof cart) != SF_TRUE) {
            lost.push_back("the cart chunk");
        }
    }
    // Raw chunks only into the RIFF family, whose chunks they are.
    const bool riff = major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64;
    for (const auto& [id, data] : metadata.chunks) {
        std::vector<char> bytes = data;
        SF_CHUNK_INFO chunk{};
        std::memcpy(chunk.id, id.data(), 4);
        chunk.id_size = 4;
        chunk.datalen = static_cast<unsigned>(bytes.size());
        chunk.data = bytes.data();
        if (!riff || sf_set_chunk(file, &chunk) != SF_ERR_NO_ERROR) {
            lost.push_back("the " + id + " chunk");
        }
    }
    return lost;
}

void AudioWriter::write(const float* given, int64_t frames) {
    const int64_t count = frames * info.channels;
    bytes += count * bytesPerSample(output.format);
    const int major = output.format & SF_FORMAT_TYPEMASK;
    if (output.sizeLimit > 0 && bytes > output.sizeLimit &&
        (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX)) {
        becomeRf64();
    }
    if (output.sizeLimit > 0 && bytes > output.sizeLimit) {
        throw Error("the output outgrows the 4 GiB that " + containerName(output.format) +
                    " can hold; use .wav (written as RF64), .w64, .caf or .flac");
    }
    // In the file's channel order, and silent where a sample is not a number.
    ready.resize(static_cast<size_t>(count));
    if (picks.empty()) {
        std::copy_n(given, count, ready.begin());
    } else {
        reorder(given, ready.data(), frames, picks);
    }
    for (float& x : ready) {
        if (std::isfinite(x)) {
            largest = std::max(largest, static_cast<double>(std::fabs(x)));
        } else {
            ++nonFinite;
            x = 0.0f;
        }
    }
    const float* samples = ready.data();
    if (truePeak) truePeak->add(samples, frames);

    sf_count_t written = 0;
    if (output.integerBits > 0) {
        // Rounded here rather than by libsndfile, to the nearest step, with
        // the dither added first; full scale (1.0) is 2^(bits-1) steps.
        const double steps = std::ldexp(1.0, output.integerBits - 1);
        const int64_t justify = int64_t{1} << (32 - output.integerBits);
        integers.resize(static_cast<size_t>(count));
        for (int64_t i = 0; i < count; ++i) {
            double value = static_cast<double>(samples[i]) * steps;
            if (dither) value += triangular(ditherNoise);
            double step = std::nearbyint(value);
            if (step > steps - 1.0 || step < -steps) {
                ++clipped;
                step = std::clamp(step, -steps, steps - 1.0);
            }
            integers[static_cast<size_t>(i)] =
                static_cast<int32_t>(static_cast<int64_t>(step) * justify);
        }
        written = sf_writef_int(file, integers.data(), frames);
    } else {
        const int subtype = output.format & SF_FORMAT_SUBMASK;
        if (!output.lossy && subtype != SF_FORMAT_FLOAT && subtype != SF_FORMAT_DOUBLE) {
            clipped += std::count_if(samples, samples + count,
                                     [](float x) { return std::fabs(x) > 1.0f; });
        }
        written = sf_writef_float(file, samples, frames);
    }
    checkWritten();
    if (written != frames) {
        // libsndfile's FLAC messages speak of its decoder on writes too.
        std::string why = reason(file);
        if (const size_t at = why.find("decoder"); at != std::string::npos) {
            why.replace(at, 7, "encoder");
        }
        throw Error("cannot write " + name + ": " + why);
    }
}

void AudioWriter::becomeRf64() {
    // The plain WAV as it stands, complete, into a nameless temporary file.
    const int status = sf_close(std::exchange(file, nullptr));
    checkWritten();
    if (status != 0) throw Error("cannot finish writing " + name);
    const int copy = namelessTemporaryFile("to turn " + name + " into RF64");
    SNDFILE* plain = nullptr;
    try {
        std::vector<char> buffer(1 << 20);
        if (lseek(io.fd, 0, SEEK_SET) != 0) throw Error("cannot read back " + name);
        for (ssize_t got; (got = ::read(io.fd, buffer.data(), buffer.size())) != 0;) {
            if (got < 0 || ::write(copy, buffer.data(), static_cast<size_t>(got)) != got) {
                throw Error("cannot copy " + name +
                            " to turn it into RF64: " + std::strerror(errno));
            }
        }
        // Begun again as RF64, with the metadata, and the samples as they were.
        if (ftruncate(io.fd, 0) != 0 || lseek(io.fd, 0, SEEK_SET) != 0 ||
            lseek(copy, 0, SEEK_SET) != 0) {
            throw Error("cannot write " + name + ": " + std::strerror(errno));
        }
        output.format = SF_FORMAT_RF64 | (output.format & SF_FORMAT_SUBMASK);
        output.sizeLimit = 0;
        info.format = output.format;
        file = sf_open_virtual(&checkedIo, SFM_WRITE, &info, &io);
        if (file == nullptr) throw Error("cannot write " + name + ": " + reason(nullptr));
        sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
        keep(AudioMetadata(kept));
        SF_INFO plainInfo{};
        plain = sf_open_fd(copy, SFM_READ, &plainInfo, SF_FALSE);
        if (plain == nullptr) throw Error("cannot read back " + name + ": " + reason(nullptr));
        sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        // PCM samples as integers and float ones as floats, each exactly.
        std::vector<int32_t> integerSamples(static_cast<size_t>(16384 * info.channels));
        std::vector<float> floatSamples(integerSamples.size());
        for (;;) {
            checkInterrupted();
            const sf_count_t got = output.integerBits > 0
                                       ? sf_readf_int(plain, integerSamples.data(), 16384)
                                       : sf_readf_float(plain, floatSamples.data(), 16384);
            if (got <= 0) break;
            const sf_count_t put = output.integerBits > 0
                                       ? sf_writef_int(file, integerSamples.data(), got)
                                       : sf_writef_float(file, floatSamples.data(), got);
            checkWritten();
            if (put != got) throw Error("cannot write " + name + ": " + reason(file));
        }
    } catch (...) {
        if (plain != nullptr) sf_close(plain);
        ::close(copy);
        throw;
    }
    sf_close(plain);
    ::close(copy);
    note(
        "the output outgrew the 4 GiB of a plain WAV file, so it is written as RF64, WAV's "
        "64-bit form");
}

void AudioWriter::checkWritten() {
    checkInterrupted();
    if (io.failure != 0) throw Error("cannot write " + name + ": " + std::strerror(io.failure));
}

void AudioWriter::close() {
    // libsndfile leaves these empty or unreadable when no sample was written.
    const int major = output.format & SF_FORMAT_TYPEMASK;
    if (bytes == 0 && (major == SF_FORMAT_FLAC || major == SF_FORMAT_MPEG ||
                       (output.format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS)) {
        const std::string kind = major == SF_FORMAT_FLAC   ? "FLAC"
                                 : major == SF_FORMAT_MPEG ? "MP3"
                                                           : "Opus";
        throw Error("the output has no samples, and an empty " + kind +
                    " file cannot be written, so " + name + " is not written");
    }
    SNDFILE* closing = file;
    file = nullptr;
    // Closing writes what the encoder still holds, and the header.
    const int status = sf_close(closing);
    checkWritten();
    if (status != 0) throw Error("cannot finish writing " + name);
}

void writeAudioFile(const fs::path& name, const OutputFormat& format, int sampleRate, int channels,
                    const std::vector<float>& samples) {
    OutputFile output(findOutput(name.string()));
    AudioWriter writer(output.descriptor(), name.string(), format, sampleRate, channels, true);
    writer.write(samples.data(), static_cast<int64_t>(samples.size()) / channels);
    writer.close();
    output.commit();
}

}  // namespace velmora::tool
