// What velmora render promises about people's files whatever happens: no
// input is written over, a failure is never reported as success, and what
// cannot be kept is named rather than dropped.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "tool_harness.h"

namespace {

using namespace velmora::test;

constexpr int kPcm16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

TEST_F(Tool, NoInputIsWrittenOver) {
    writeAudio(folder / "a.wav", kPcm16, 44000, 1, testSignal(1, 2000, 0.3f));
    fs::create_directory(folder / "x");
    writeAudio(folder / "x" / "a.wav", kPcm16, 44000, 1, testSignal(1, 3000, 0.1f));
    fs::create_symlink("x/a.wav", folder / "take.wav");
    fs::create_hard_link(folder / "x" / "a.wav", folder / "hard.wav");
    const std::string kept = readText(folder / "x" / "a.wav");

    const std::vector<std::vector<std::string>> runs = {
        {"a.wav", "x/a.wav", "--out-dir", "x"},
        {"a.wav", "take.wav", "--out-dir", "x"},
        {"x/../x/a.wav", "--out-dir", "x/../x"},
        {"a.wav", "hard.wav", "--out-dir", "x"},
        {"hard.wav", "x/../x/a.wav"},
        {"-", "x/a.wav"},
    };
    for (const auto& args : runs) {
        std::vector<std::string> command = {"render", "--body", "8"};
        command.insert(command.end(), args.begin(), args.end());
        Launch launch;
        launch.inputFd = open((folder / "x" / "a.wav").c_str(), O_RDONLY);
        const Outcome run = velmora(command, launch);
        close(launch.inputFd);
        const std::string said = args[0] + " " + args[1] + ": " + run.err;
        EXPECT_EQ(run.status, 1) << said;
        EXPECT_TRUE(contains(run.err, "input")) << said;
        EXPECT_TRUE(readText(folder / "x" / "a.wav") == kept) << said;
    }
}

// 12 s of mono: more MP3 than the small disk below holds.
void writeLongInput(const fs::path& path) {
    writeAudio(path, kPcm16, 48000, 1, testSignal(1, 48000 * 12, 0.3f));
}

TEST_F(Tool, AFailedWriteIsAFailure) {
    writeLongInput(folder / "in.wav");
    // A full device, for every kind of encoder.
    for (const std::string type : {"mp3", "ogg", "opus", "flac", "wav"}) {
        const Outcome full =
            velmora({"render", "--body", "1", "in.wav", "/dev/full", "--type", type});
        EXPECT_EQ(full.status, 1) << type;
        EXPECT_TRUE(contains(full.err, "No space left")) << type << ": " << full.err;
        EXPECT_FALSE(contains(full.out, "/dev/full:")) << type << ": " << full.out;
    }
    // A reader that has gone.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    Launch gone;
    gone.outputFd = ends[1];
    const Outcome broken = velmora({"render", "--body", "1", "in.wav", "-", "--type", "mp3"}, gone);
    close(ends[1]);
    EXPECT_EQ(broken.status, 1) << broken.err;
    EXPECT_TRUE(contains(broken.err, "cannot write standard output: Broken pipe")) << broken.err;
}

TEST_F(Tool, AFullDiskFailsTheRenderAndKeepsTheOldFile) {
    writeLongInput(folder / "in.wav");
    const fs::path small = folder / "small";
    fs::create_directory(small);
    if (geteuid() != 0 || mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    }
    std::ofstream(small / "take.mp3") << "the good take";
    const Outcome full = velmora({"render", "--body", "1", "in.wav", "small/take.mp3"});
    const std::string kept = readText(small / "take.mp3");
    const std::vector<std::string> left = filesIn(small);
    umount(small.c_str());
    EXPECT_EQ(full.status, 1);
    EXPECT_TRUE(contains(full.err, "No space left")) << full.err;
    EXPECT_EQ(kept, "the good take");
    EXPECT_EQ(left, std::vector<std::string>{"take.mp3"});
}

double rms(const std::vector<float>& samples) {
    double sum = 0.0;
    for (const float x : samples)
        sum += double{x} * x;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

TEST_F(Tool, SurroundReachesTheRightSpeakersInVorbisAndOpus) {
    // The WAV channel that plays at each position of a Vorbis or Opus file,
    // from 3.0 to 7.1 (mono and stereo keep their order).
    const std::vector<std::vector<int>> fromWav = {
        {0, 2, 1},          {0, 1, 2, 3},          {0, 2, 1, 3, 4},
        {0, 2, 1, 4, 5, 3}, {0, 2, 1, 5, 6, 4, 3}, {0, 2, 1, 6, 7, 4, 5, 3},
    };
    // Each WAV channel a low tone 6 dB under the one before it.
    auto levelOf = [](int channel) { return 0.6 * std::pow(0.5, channel); };
    for (int channels = 3; channels <= 8; ++channels) {
        std::vector<float> signal(static_cast<size_t>(channels) * 9600);
        for (size_t i = 0; i < signal.size(); ++i) {
            const int c = static_cast<int>(i % static_cast<size_t>(channels));
            const double t = static_cast<double>(i / static_cast<size_t>(channels)) / 48000.0;
            signal[i] = static_cast<float>(levelOf(c) * std::sin(2.0 * M_PI * 80.0 * t));
        }
        const std::string in = "in" + std::to_string(channels) + ".wav";
        writeAudio(folder / in, kPcm16, 48000, channels, signal);
        for (const std::string type : {"ogg", "opus"}) {
            const std::string out = "out" + std::to_string(channels) + "." + type;
            const Outcome run = velmora({"render", "--body", "pass", in, out});
            ASSERT_EQ(run.status, 0) << out << ": " << run.err;
            EXPECT_FALSE(contains(run.err, "layout")) << out << ": " << run.err;
            const Audio written = readAudio(folder / out);
            for (int slot = 0; slot < channels; ++slot) {
                const double expected = levelOf(fromWav[channels - 3][slot]) / std::sqrt(2.0);
                EXPECT_NEAR(20 * std::log10(rms(written.channel(slot)) / expected), 0.0, 2.0)
                    << out << " position " << slot;
            }
            // And read back into WAV's order.
            const std::string back = "back" + std::to_string(channels) + type + ".wav";
            ASSERT_EQ(velmora({"render", "--body", "pass", out, back}).status, 0) << back;
            const Audio again = readAudio(folder / back);
            for (int c = 0; c < channels; ++c) {
                EXPECT_NEAR(20 * std::log10(rms(again.channel(c)) / levelOf(c) * std::sqrt(2.0)),
                            0.0, 2.0)
                    << back << " channel " << c;
            }
        }
    }
}

TEST_F(Tool, SamplesThatAreNotNumbersBecomeSilence) {
    auto signal = testSignal(2, 3000, 0.3f);
    signal[2 * 300 + 1] = std::numeric_limits<float>::quiet_NaN();
    signal[2 * 700] = std::numeric_limits<float>::infinity();
    writeAudio(folder / "nan.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44000, 2, signal);
    for (const std::string out : {"out.wav", "out16.wav --bits 16", "out.flac"}) {
        const std::string name = out.substr(0, out.find(' '));
        std::vector<std::string> args = {"render", "--body", "cello1", "nan.wav", name};
        if (name != out) args.insert(args.end(), {"--bits", "16"});
        const Outcome run = velmora(args);
        ASSERT_EQ(run.status, 0) << out << ": " << run.err;
        EXPECT_TRUE(contains(run.err, "written as silence")) << run.err;
        EXPECT_TRUE(contains(run.err, "(frame 300, channel 2)")) << run.err;
        EXPECT_FALSE(contains(run.err, "clipped")) << run.err;
        const Audio written = readAudio(folder / name);
        double peak = 0.0;
        for (const float x : written.samples) {
            ASSERT_TRUE(std::isfinite(x)) << out;
            peak = std::max(peak, double{std::fabs(x)});
        }
        EXPECT_LT(peak, 0.9) << out;
    }
}

}  // namespace
