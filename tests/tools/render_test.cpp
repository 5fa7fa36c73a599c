// velmora render and what it does with people's files: where the output
// goes, its format and size, its levels and rounding, and what the input
// carries or lacks.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tool_harness.h"

namespace {

using namespace velmora::test;

constexpr int kPcm16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kFloatWav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

int typeAndSubtype(const Audio& audio) {
    return audio.info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK);
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    stat(path.c_str(), &status);
    return status.st_mode;
}

TEST_F(Tool, OutputsGoWhereTheirNamesPoint) {
    writeAudio(folder / "in.wav", kPcm16, 44000, 2, testSignal(2, 3000, 0.3f));
    const std::vector<std::string> render = {"render", "--body", "viola1", "in.wav"};
    auto renderTo = [&](const std::string& output, const Launch& launch = {}) {
        std::vector<std::string> args = render;
        args.push_back(output);
        return velmora(args, launch);
    };
    ASSERT_EQ(renderTo("plain.wav").status, 0);
    const std::string expected = readText(folder / "plain.wav");

    // "-" is standard output, as a pipe or as a file the shell opened; the
    // summary then goes to standard error.
    Launch piped;
    piped.stdoutPipe = true;
    const Outcome pipe = renderTo("-", piped);
    EXPECT_EQ(pipe.status, 0) << pipe.err;
    EXPECT_TRUE(pipe.out == expected) << "through a pipe";
    EXPECT_TRUE(contains(pipe.err, "standard output: Viola I")) << pipe.err;
    const Outcome redirected = renderTo("-");
    EXPECT_TRUE(redirected.out == expected) << "into a file";

    // A FIFO is written, in order, for whoever reads it. The reader neither
    // waits for a writer to come nor stops before the program has finished.
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    const int fifo = open((folder / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    std::string fromFifo;
    std::atomic<bool> finished = false;
    std::thread reader([&] {
        char buffer[65536];
        for (;;) {
            const bool last = finished;
            const ssize_t got = read(fifo, buffer, sizeof buffer);
            if (got > 0) {
                fromFifo.append(buffer, static_cast<size_t>(got));
            } else if (last) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    EXPECT_EQ(renderTo("fifo").status, 0);
    finished = true;
    reader.join();
    close(fifo);
    EXPECT_TRUE(fromFifo == expected);
    EXPECT_TRUE(S_ISFIFO(modeOf(folder / "fifo")));

    // A device stays a device. Root makes one of its own rather than risk
    // the machine's /dev/null.
    fs::path null = "/dev/null";
    if (geteuid() == 0 && mknod((folder / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        null = folder / "null";
    }
    EXPECT_EQ(renderTo(null.string()).status, 0);
    EXPECT_TRUE(S_ISCHR(modeOf(null))) << null;

    // A symbolic link is followed: its target is replaced and the link kept.
    fs::create_directory(folder / "takes");
    std::ofstream(folder / "takes" / "take.wav") << "an earlier take";
    fs::create_symlink("takes/take.wav", folder / "link.wav");
    EXPECT_EQ(renderTo("link.wav").status, 0);
    EXPECT_TRUE(fs::is_symlink(folder / "link.wav"));
    EXPECT_TRUE(readText(folder / "takes" / "take.wav") == expected);
    EXPECT_EQ(filesIn(folder / "takes"), std::vector<std::string>{"take.wav"});

    // A replaced file keeps its permissions.
    std::ofstream(folder / "shared.wav") << "old";
    fs::permissions(folder / "shared.wav", fs::perms(0640));
    EXPECT_EQ(renderTo("shared.wav").status, 0);
    EXPECT_EQ(modeOf(folder / "shared.wav") & 07777, 0640u);

    // The longest name the folder allows leaves room for no longer a
    // temporary one, and still works.
    const std::string longest = std::string(251, 'x') + ".wav";
    EXPECT_EQ(renderTo(longest).status, 0);
    EXPECT_TRUE(readText(folder / longest) == expected);

    // A file nobody may write is not replaced, even by root.
    std::ofstream(folder / "kept.wav") << "keep me";
    fs::permissions(folder / "kept.wav", fs::perms(0444));
    const Outcome protectedFile = renderTo("kept.wav");
    EXPECT_NE(protectedFile.status, 0);
    EXPECT_TRUE(contains(protectedFile.err, "write-protected")) << protectedFile.err;
    EXPECT_EQ(readText(folder / "kept.wav"), "keep me");

    // Nor is another user's file, though the folder would let its name be
    // taken over: run as nobody in a folder of nobody's, on root's file.
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() == 0 && nobody != nullptr) {
        std::ofstream(folder / "roots.wav") << "root's";
        fs::permissions(folder / "roots.wav", fs::perms(0644));
        ASSERT_EQ(chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        Launch asNobody;
        asNobody.user = nobody->pw_uid;
        const Outcome others = renderTo("roots.wav", asNobody);
        EXPECT_NE(others.status, 0);
        EXPECT_TRUE(contains(others.err, "write-protected")) << others.err;
        EXPECT_EQ(readText(folder / "roots.wav"), "root's");
        EXPECT_EQ(renderTo("nobodys.wav", asNobody).status, 0) << "a new file is theirs to make";
    }

    // A folder is not a file to write.
    const Outcome toFolder = renderTo("takes");
    EXPECT_NE(toFolder.status, 0);
    EXPECT_TRUE(contains(toFolder.err, "takes is a folder")) << toFolder.err;
    for (const std::string& name : filesHere())
        EXPECT_NE(name[0], '.') << "left behind: " << name;
}

TEST_F(Tool, AWavTooLargeForRiffIsWrittenAsRf64) {
    // 20000 bytes of samples, against a limit lowered from 4 GiB to 10000
    // bytes: the same decision and writing as for a long recording.
    const auto signal = testSignal(2, 5000, 0.3f);
    writeAudio(folder / "in.wav", kPcm16, 44000, 2, signal);
    Launch small;
    small.environment = {"VELMORA_RIFF_LIMIT_FOR_TESTS=10000"};
    const Outcome large = velmora({"render", "--body", "2", "in.wav", "large.wav"}, small);
    ASSERT_EQ(large.status, 0) << large.err;
    EXPECT_TRUE(contains(large.err, "RF64")) << large.err;
    EXPECT_EQ(readText(folder / "large.wav").substr(0, 4), "RF64");
    const Audio rf64 = readAudio(folder / "large.wav");
    EXPECT_EQ(rf64.info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);

    ASSERT_EQ(velmora({"render", "--body", "2", "in.wav", "plain.wav"}).status, 0);
    EXPECT_EQ(readText(folder / "plain.wav").substr(0, 4), "RIFF");
    EXPECT_EQ(rf64.samples, readAudio(folder / "plain.wav").samples);

    // AIFF has no 64-bit form: refused before anything is written.
    const Outcome aiff = velmora({"render", "--body", "2", "in.wav", "large.aiff"}, small);
    EXPECT_NE(aiff.status, 0);
    EXPECT_TRUE(contains(aiff.err, "4 GiB")) << aiff.err;
    EXPECT_FALSE(fs::exists(folder / "large.aiff"));
}

TEST_F(Tool, TheExtensionNamesTheFormat) {
    writeAudio(folder / "in.wav", kPcm16, 48000, 2, testSignal(2, 48000, 0.3f));
    const std::vector<std::pair<std::string, int>> outputs = {
        {"out.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {"out.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"out.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {"out.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16},
        {"out.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16},
        {"out.au", SF_FORMAT_AU | SF_FORMAT_PCM_16},
        {"out.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"out.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
        {"out.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
        {"out.flac --bits 24", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {"out.wav --bits 32", SF_FORMAT_WAV | SF_FORMAT_PCM_32},
        {"out.wav --bits float", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {"out.caf --float", SF_FORMAT_CAF | SF_FORMAT_FLOAT},
        // A decoded lossy input is written as 24-bit.
        {"back.wav from out.mp3", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {"back.flac from out.ogg", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
    };
    for (const auto& [words, format] : outputs) {
        std::istringstream split(words);
        std::vector<std::string> w{std::istream_iterator<std::string>(split), {}};
        std::string input = "in.wav";
        if (w.size() == 3 && w[1] == "from") {
            input = w[2];
            w.resize(1);
        }
        std::vector<std::string> args = {"render", "--body", "1", input};
        args.insert(args.end(), w.begin(), w.end());
        const Outcome run = velmora(args);
        ASSERT_EQ(run.status, 0) << words << ": " << run.err;
        const Audio out = readAudio(folder / w[0]);
        EXPECT_EQ(typeAndSubtype(out), format) << words;
        EXPECT_EQ(out.info.samplerate, 48000) << words;
        EXPECT_EQ(out.info.channels, 2) << words;
    }

    // The lossy encoders' quality, from 0 (smallest) to 10.
    ASSERT_EQ(velmora({"render", "--body", "1", "in.wav", "low.ogg", "--quality", "1"}).status, 0);
    ASSERT_EQ(velmora({"render", "--body", "1", "in.wav", "high.ogg", "--quality", "9"}).status, 0);
    EXPECT_LT(2 * fs::file_size(folder / "low.ogg"), fs::file_size(folder / "high.ogg"));

    // What cannot be written is refused, naming what can, and nothing is left.
    writeAudio(folder / "cd.wav", kPcm16, 44100, 1, testSignal(1, 1000, 0.3f));
    // A command line that asks for the impossible exits 2, a file that
    // cannot be written as asked 1.
    struct Refusal {
        std::vector<std::string> args;
        std::string says;
        int status = 2;
    };
    const std::vector<Refusal> refusals = {
        {{"in.wav", "out.m4a"}, ".flac"},
        {{"in.wav", "out.wv"}, ".flac"},
        {{"in.wav", "out.unknown"}, ".wav"},
        {{"cd.wav", "out44.mp3", "--rate", "44000"}, "--rate", 1},
        {{"in.wav", "x.ogg", "--bits", "16"}, "--quality"},
        {{"in.wav", "x.flac", "--quality", "5"}, "lossy"},
        {{"in.wav", "x.flac", "--bits", "float"}, ".wav", 1},
        {{"in.wav", "x.wav", "--bits", "12"}, "16, 24, 32 or float"},
    };
    const auto before = filesHere();
    for (const Refusal& r : refusals) {
        std::vector<std::string> args = {"render", "--body", "1"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const Outcome run = velmora(args);
        EXPECT_EQ(run.status, r.status) << r.args[1];
        EXPECT_TRUE(contains(run.err, r.says)) << r.args[1] << ": " << run.err;
        EXPECT_FALSE(contains(run.err, "--float keeps")) << run.err;
        EXPECT_EQ(filesHere(), before) << r.args[1];
    }
}

TEST_F(Tool, BrokenInputIsReported) {
    // A WAV cut off after 4000 of the 10000 frames its header promises.
    writeAudio(folder / "whole.wav", kPcm16, 44000, 1, testSignal(1, 10000, 0.3f));
    const std::string whole = readText(folder / "whole.wav");
    std::ofstream(folder / "cut.wav", std::ios::binary) << whole.substr(0, 44 + 2 * 4000);
    const Outcome cut = velmora({"render", "--body", "1", "cut.wav", "out.wav"});
    EXPECT_EQ(cut.status, 0) << cut.err;
    EXPECT_TRUE(contains(cut.err, "10000 frames")) << cut.err;
    EXPECT_TRUE(contains(cut.err, "4000 frames")) << cut.err;
    EXPECT_EQ(readAudio(folder / "out.wav").info.frames, 4000);

    // Float samples that are not numbers: how many, and where the first is.
    auto signal = testSignal(2, 1000, 0.3f);
    signal[2 * 300 + 1] = std::numeric_limits<float>::quiet_NaN();
    signal[2 * 700] = std::numeric_limits<float>::infinity();
    writeAudio(folder / "nan.wav", kFloatWav, 44000, 2, signal);
    const Outcome nan = velmora({"render", "--body", "1", "nan.wav", "out.wav"});
    EXPECT_EQ(nan.status, 0) << nan.err;
    EXPECT_TRUE(contains(nan.err, "2 samples that are not numbers")) << nan.err;
    EXPECT_TRUE(contains(nan.err, "frame 300, channel 2")) << nan.err;

    // A folder is not a sound file.
    fs::create_directory(folder / "takes");
    const Outcome directory = velmora({"render", "--body", "1", "takes", "out.wav"});
    EXPECT_NE(directory.status, 0);
    EXPECT_TRUE(contains(directory.err, "takes is a folder, not a sound file")) << directory.err;
}

TEST_F(Tool, LayoutTagsAndBroadcastChunkAreKept) {
    // A 5.1 broadcast WAV with a title and an artist.
    const int map[6] = {SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT,     SF_CHANNEL_MAP_CENTER,
                        SF_CHANNEL_MAP_LFE,  SF_CHANNEL_MAP_REAR_LEFT, SF_CHANNEL_MAP_REAR_RIGHT};
    {
        SF_INFO info{};
        info.format = SF_FORMAT_WAVEX | SF_FORMAT_PCM_24;
        info.samplerate = 44000;
        info.channels = 6;
        SNDFILE* file = sf_open((folder / "surround.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        sf_command(file, SFC_SET_CHANNEL_MAP_INFO, const_cast<int*>(map), sizeof map);
        sf_set_string(file, SF_STR_TITLE, "Sarabande");
        sf_set_string(file, SF_STR_ARTIST, "A cellist");
        SF_BROADCAST_INFO bext{};
        std::strcpy(bext.description, "Take 3, close microphones");
        std::strcpy(bext.originator, "Studio B");
        bext.time_reference_low = 123456;
        sf_command(file, SFC_SET_BROADCAST_INFO, &bext, sizeof bext);
        const auto signal = testSignal(6, 2000, 0.2f);
        sf_writef_float(file, signal.data(), 2000);
        sf_close(file);
    }
    struct Kept {
        std::vector<int> map;
        std::string title, artist, description;
        uint32_t timeReference = 0;
    };
    auto keptIn = [](const fs::path& path) {
        Kept kept;
        SF_INFO info{};
        SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
        if (file == nullptr) return kept;
        kept.map.resize(static_cast<size_t>(info.channels));
        if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, kept.map.data(),
                       static_cast<int>(kept.map.size() * sizeof(int))) != SF_TRUE) {
            kept.map.clear();
        }
        if (const char* t = sf_get_string(file, SF_STR_TITLE)) kept.title = t;
        if (const char* a = sf_get_string(file, SF_STR_ARTIST)) kept.artist = a;
        SF_BROADCAST_INFO bext{};
        if (sf_command(file, SFC_GET_BROADCAST_INFO, &bext, sizeof bext) == SF_TRUE) {
            kept.description = bext.description;
            kept.timeReference = bext.time_reference_low;
        }
        sf_close(file);
        return kept;
    };

    const Outcome wav = velmora({"render", "--body", "cello1", "surround.wav", "out.wav"});
    ASSERT_EQ(wav.status, 0) << wav.err;
    EXPECT_EQ(wav.err, "");
    const Kept inWav = keptIn(folder / "out.wav");
    EXPECT_EQ(inWav.map, std::vector<int>(map, map + 6));
    EXPECT_EQ(inWav.title, "Sarabande");
    EXPECT_EQ(inWav.artist, "A cellist");
    EXPECT_EQ(inWav.description, "Take 3, close microphones");
    EXPECT_EQ(inWav.timeReference, 123456u);

    // FLAC holds the tags, and 5.1 in this order without naming it; it has
    // no place for the broadcast chunk, which the user is told.
    const Outcome flac = velmora({"render", "--body", "cello1", "surround.wav", "out.flac"});
    ASSERT_EQ(flac.status, 0) << flac.err;
    const Kept inFlac = keptIn(folder / "out.flac");
    EXPECT_EQ(inFlac.title, "Sarabande");
    EXPECT_EQ(readAudio(folder / "out.flac").info.channels, 6);
    EXPECT_TRUE(contains(flac.err, "bext")) << flac.err;
    EXPECT_FALSE(contains(flac.err, "layout")) << flac.err;

    const Outcome w64 = velmora({"render", "--body", "cello1", "surround.wav", "out.w64"});
    ASSERT_EQ(w64.status, 0) << w64.err;
    EXPECT_TRUE(contains(w64.err, "channel layout")) << w64.err;
    EXPECT_TRUE(contains(w64.err, "title, artist")) << w64.err;
}

// Rounding errors of a 16-bit output against the float it came from, in
// steps of the last bit.
struct Errors {
    double mean = 0.0;
    double largest = 0.0;
};
Errors errorsIn(const std::vector<float>& written, const std::vector<float>& exact) {
    Errors e;
    for (size_t i = 0; i < written.size(); ++i) {
        const double error = (double(written[i]) - double(exact[i])) * 32768.0;
        e.mean += error / static_cast<double>(written.size());
        e.largest = std::max(e.largest, std::fabs(error));
    }
    return e;
}

TEST_F(Tool, SixteenBitsAreRoundedWithDitherAndFloatFilesRepeat) {
    // Quiet noise through the pass filter: every sample falls between steps.
    const auto signal = testSignal(1, 40000, 0.02f);
    writeAudio(folder / "in.wav", kFloatWav, 44000, 1, signal);
    const std::vector<float> exact = reference(readAudio(folder / "in.wav").samples, 44000.0f, 0);

    ASSERT_EQ(velmora({"render", "--body", "pass", "in.wav", "a.wav", "--bits", "16"}).status, 0);
    const Errors dithered = errorsIn(readAudio(folder / "a.wav").samples, exact);
    EXPECT_LT(std::fabs(dithered.mean), 0.02);  // no bias, where truncation has -0.5
    EXPECT_LE(dithered.largest, 1.5);           // rounding plus triangular dither of +-1
    EXPECT_GT(dithered.largest, 0.75);          // the dither is there

    ASSERT_EQ(velmora({"render", "--body", "pass", "in.wav", "b.wav", "--bits", "16"}).status, 0);
    EXPECT_TRUE(readText(folder / "a.wav") == readText(folder / "b.wav")) << "the same dither";

    ASSERT_EQ(
        velmora({"render", "--body", "pass", "in.wav", "c.wav", "--bits", "16", "--no-dither"})
            .status,
        0);
    const Errors rounded = errorsIn(readAudio(folder / "c.wav").samples, exact);
    EXPECT_LT(std::fabs(rounded.mean), 0.02);
    EXPECT_LE(rounded.largest, 0.5);

    // 24 bits: rounded to the nearest step, no dither.
    ASSERT_EQ(velmora({"render", "--body", "pass", "in.wav", "d.wav", "--bits", "24"}).status, 0);
    const std::vector<float> deep = readAudio(folder / "d.wav").samples;
    for (size_t i = 0; i < deep.size(); ++i) {
        ASSERT_LE(std::fabs(double(deep[i]) - double(exact[i])) * 8388608.0, 0.5) << i;
    }

    // Float files carry no time of writing: a second later, the same bytes.
    ASSERT_EQ(velmora({"render", "--body", "pass", "in.wav", "e.wav"}).status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(velmora({"render", "--body", "pass", "in.wav", "f.wav"}).status, 0);
    EXPECT_TRUE(readText(folder / "e.wav") == readText(folder / "f.wav"));
}

TEST_F(Tool, LevelsOverFullScaleAreReported) {
    // A tone at Cor Anglais II's strongest resonance (928 Hz, +20.7 dB)
    // goes well over full scale.
    std::vector<float> tone(8000);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = 0.3f * static_cast<float>(std::sin(2.0 * M_PI * 928.0 / 44000.0 * i));
    }
    writeAudio(folder / "loud.wav", kPcm16, 44000, 1, tone);
    const std::vector<float> exact =
        reference(readAudio(folder / "loud.wav").samples, 44000.0f, 15);
    float peak = 0.0f;
    for (const float x : exact)
        peak = std::max(peak, std::fabs(x));
    ASSERT_GT(peak, 1.5f);
    char level[16];
    std::snprintf(level, sizeof level, "+%.2f dB", 20.0 * std::log10(peak));

    const Outcome floatOut = velmora({"render", "--body", "15", "loud.wav", "f.wav", "--float"});
    EXPECT_EQ(floatOut.status, 0);
    EXPECT_TRUE(contains(floatOut.err, std::string("peaks at ") + level)) << floatOut.err;

    const Outcome clipped = velmora({"render", "--body", "15", "loud.wav", "c.wav"});
    EXPECT_TRUE(contains(clipped.err, "clipped")) << clipped.err;
    EXPECT_TRUE(contains(clipped.err, "--bits float keeps them")) << clipped.err;
    const Outcome flac = velmora({"render", "--body", "15", "loud.wav", "c.flac"});
    EXPECT_TRUE(contains(flac.err, "a .wav output with --bits float")) << flac.err;
    // Lossy outputs by their true peak, which decoders reach.
    const Outcome ogg = velmora({"render", "--body", "15", "loud.wav", "c.ogg"});
    EXPECT_TRUE(contains(ogg.err, "dBTP, over full scale")) << ogg.err;
    EXPECT_TRUE(contains(ogg.err, "--normalize -1dBTP")) << ogg.err;
}

}  // namespace
