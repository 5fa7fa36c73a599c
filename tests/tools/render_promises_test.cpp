// What velmora render promises about people's files whatever happens: no
// input is written over, a failure is never reported as success, and what
// cannot be kept is named rather than dropped.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
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
    // The temporary files for standard output and input fill it too.
    Launch smallTemporary;
    smallTemporary.environment = {"TMPDIR=" + small.string()};
    smallTemporary.stdoutPipe = true;
    const Outcome toPipe =
        velmora({"render", "--body", "1", "in.wav", "-", "--type", "mp3"}, smallTemporary);
    smallTemporary.stdoutPipe = false;
    smallTemporary.input = readText(folder / "in.wav");
    const Outcome fromPipe = velmora({"render", "--body", "1", "-", "out.wav"}, smallTemporary);
    umount(small.c_str());
    for (const Outcome& run : {toPipe, fromPipe}) {
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(contains(run.err, "temporary file in " + small.string() + " (TMPDIR)"))
            << run.err;
    }
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
            // And read back into WAV's order (5.1 and 7.1 stand for the rest).
            if (channels != 6 && channels != 8) continue;
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

TEST_F(Tool, StreamsAreReadWhole) {
    // Formats libsndfile reads only from a file, through a pipe.
    const auto signal = testSignal(2, 4000, 0.3f);
    for (const int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                             SF_FORMAT_CAF | SF_FORMAT_PCM_16, SF_FORMAT_W64 | SF_FORMAT_PCM_24,
                             SF_FORMAT_AIFF | SF_FORMAT_PCM_16, SF_FORMAT_OGG | SF_FORMAT_VORBIS}) {
        const std::string name = "in" + std::to_string(format);
        writeAudio(folder / name, format, 44000, 2, signal);
        ASSERT_EQ(velmora({"render", "--body", "2", name, "file.wav"}).status, 0) << name;
        Launch piped;
        piped.input = readText(folder / name);
        const Outcome run = velmora({"render", "--body", "2", "-", "piped.wav"}, piped);
        EXPECT_EQ(run.status, 0) << name << ": " << run.err;
        EXPECT_EQ(run.err, "") << name;
        EXPECT_TRUE(readText(folder / "piped.wav") == readText(folder / "file.wav")) << name;
    }
}

TEST_F(Tool, WhatIsHeldChoosesTheFormatNotWhatIsPromised) {
    // 4 s held, under a header that promises almost 4 GiB.
    writeAudio(folder / "in.wav", kPcm16, 44000, 1, testSignal(1, 4 * 44000, 0.3f));
    std::string bytes = readText(folder / "in.wav");
    const uint32_t promised = 0xFFFF0000u;
    std::memcpy(&bytes[40], &promised, 4);
    std::ofstream(folder / "over.wav", std::ios::binary) << bytes;
    const Outcome wav = velmora({"render", "--body", "2", "over.wav", "out.wav"});
    EXPECT_EQ(wav.status, 0) << wav.err;
    EXPECT_FALSE(contains(wav.err, "RF64")) << wav.err;
    EXPECT_EQ(readText(folder / "out.wav").substr(0, 4), "RIFF");
    const Outcome aiff = velmora({"render", "--body", "2", "over.wav", "out.aiff"});
    EXPECT_EQ(aiff.status, 0) << aiff.err;
    EXPECT_EQ(readAudio(folder / "out.aiff").info.frames, 4 * 44000);

    // A FLAC that does not say how long it is: a plain WAV until it
    // outgrows one, against a limit lowered from 4 GiB to 10000 bytes.
    writeAudio(folder / "unknown.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44000, 2,
               testSignal(2, 5000, 0.3f));
    std::string flac = readText(folder / "unknown.flac");
    flac[21] = static_cast<char>(flac[21] & 0xF0);  // STREAMINFO's total samples: unknown
    std::fill(flac.begin() + 22, flac.begin() + 26, '\0');
    std::ofstream(folder / "unknown.flac", std::ios::binary) << flac;
    ASSERT_EQ(velmora({"render", "--body", "2", "unknown.flac", "plain.wav"}).status, 0);
    EXPECT_EQ(readText(folder / "plain.wav").substr(0, 4), "RIFF");
    Launch small;
    small.environment = {"VELMORA_RIFF_LIMIT_FOR_TESTS=10000"};
    const Outcome grown = velmora({"render", "--body", "2", "unknown.flac", "grown.wav"}, small);
    EXPECT_EQ(grown.status, 0) << grown.err;
    EXPECT_TRUE(contains(grown.err, "outgrew")) << grown.err;
    EXPECT_FALSE(contains(grown.err, "cut short")) << grown.err;
    EXPECT_EQ(readText(folder / "grown.wav").substr(0, 4), "RF64");
    EXPECT_EQ(readAudio(folder / "grown.wav").samples, readAudio(folder / "plain.wav").samples);
    const Outcome tooLarge =
        velmora({"render", "--body", "2", "unknown.flac", "grown.aiff"}, small);
    EXPECT_EQ(tooLarge.status, 1);
    EXPECT_TRUE(contains(tooLarge.err, "4 GiB")) << tooLarge.err;
    EXPECT_FALSE(fs::exists(folder / "grown.aiff"));
}

TEST_F(Tool, AnEmptyInputGivesAValidEmptyFileOrAnError) {
    writeAudio(folder / "empty.wav", kPcm16, 48000, 1, {});
    for (const std::string out :
         {"e.wav", "e.aiff", "e.caf", "e.flac", "e.ogg", "e.opus", "e.mp3"}) {
        const Outcome run = velmora({"render", "--body", "2", "empty.wav", out});
        if (run.status == 0) {
            SF_INFO info{};
            SNDFILE* file = sf_open((folder / out).c_str(), SFM_READ, &info);
            EXPECT_NE(file, nullptr) << out << ": " << sf_strerror(nullptr);
            if (file != nullptr) sf_close(file);
            EXPECT_EQ(info.frames, 0) << out;
        } else {
            EXPECT_EQ(run.status, 1) << out;
            EXPECT_TRUE(contains(run.err, "no samples")) << out << ": " << run.err;
            EXPECT_FALSE(fs::exists(folder / out)) << out;
        }
    }
}

// Whether the run ends within `seconds`; killed if not.
bool endsWithin(const Running& run, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == run.pid) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(run.pid, SIGKILL);
    return false;
}

TEST_F(Tool, AnInterruptEndsEveryWaitAndLeavesWhatWasThere) {
    writeLongInput(folder / "in.wav");
    std::ofstream(folder / "out.wav") << "the earlier take";
    ASSERT_EQ(mkfifo((folder / "in-fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((folder / "out-fifo").c_str(), 0600), 0);
    int stalled[2], unread[2];
    ASSERT_EQ(pipe(stalled), 0);
    ASSERT_EQ(pipe(unread), 0);
    struct Wait {
        std::string what;
        std::vector<std::string> args;
        int input = -1, output = -1;
        int signal = SIGINT;
    };
    const std::vector<Wait> waits = {
        {"a FIFO without a writer", {"in-fifo", "out.wav"}},
        {"a pipe that stalls", {"-", "out.wav"}, stalled[0], -1, SIGTERM},
        {"a FIFO without a reader", {"in.wav", "out-fifo"}},
        {"a reader that does not read", {"in.wav", "-"}, -1, unread[1], SIGTERM},
        {"the render itself", {"in.wav", "out.wav", "--block", "1", "--normalize"}},
    };
    for (const Wait& wait : waits) {
        std::vector<std::string> args = {"render", "--body", "3"};
        args.insert(args.end(), wait.args.begin(), wait.args.end());
        Launch launch;
        launch.inputFd = wait.input;
        launch.outputFd = wait.output;
        Running run = start(args, launch);
        // Mid-render is once the output is being written; the others wait at once.
        if (wait.what == "the render itself") {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (filesHere().size() == 4 && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        kill(run.pid, wait.signal);
        EXPECT_TRUE(endsWithin(run, 1.0)) << wait.what;
        const Outcome outcome = finish(run);
        EXPECT_EQ(outcome.status, 128 + wait.signal) << wait.what << ": " << outcome.err;
        EXPECT_TRUE(readText(folder / "out.wav") == "the earlier take") << wait.what;
        EXPECT_EQ(filesHere(),
                  (std::vector<std::string>{"in-fifo", "in.wav", "out-fifo", "out.wav"}))
            << wait.what;
    }
    for (const int fd : {stalled[0], stalled[1], unread[0], unread[1]})
        close(fd);

    // A terminal is no sound file.
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    Launch typed;
    typed.inputFd = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    Running typing = start({"render", "--body", "3", "-", "t.wav"}, typed);
    EXPECT_TRUE(endsWithin(typing, 5.0)) << "waits for typing";
    const Outcome fromTerminal = finish(typing);
    close(typed.inputFd);
    close(terminal);
    EXPECT_EQ(fromTerminal.status, 1);
    EXPECT_TRUE(contains(fromTerminal.err, "standard input is a terminal")) << fromTerminal.err;
}

TEST_F(Tool, TheRingOutIsJudgedAtTheLevelAsWritten) {
    // A quiet burst that the level options raise by some 40 dB.
    writeAudio(folder / "pluck.wav", kPcm16, 44000, 1, testSignal(1, 4400, 0.01f));
    for (const std::string level : {"--normalize", "--match-loudness"}) {
        const Outcome run = velmora({"render", "--body", "contrabass", "pluck.wav", "out.wav",
                                     "--tail", level, "--no-dither"});
        ASSERT_EQ(run.status, 0) << run.err;
        const Audio out = readAudio(folder / "out.wav");
        ASSERT_GT(out.samples.size(), 4400u) << level;
        double last = 0.0;  // the loudest of the final 10 ms
        for (size_t i = out.samples.size() - 440; i < out.samples.size(); ++i)
            last = std::max(last, double{std::fabs(out.samples[i])});
        EXPECT_LT(last * 32768.0, 8.0) << level << ": " << out.samples.size() << " frames";
    }
}

TEST_F(Tool, ProgressShowsBothPassesAndTheBytesOfAStream) {
    // What the program shows on a terminal as standard error.
    auto onTerminal = [&](const std::vector<std::string>& args, Launch launch) {
        const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
        launch.errorFd = open(ptsname(terminal), O_RDWR | O_NOCTTY);
        std::string shown;
        std::thread reader([&] {
            char buffer[4096];
            for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;)
                shown.append(buffer, static_cast<size_t>(got));
        });
        Running run = start(args, launch);
        close(launch.errorFd);
        finish(run);
        reader.join();  // ends when the last writer has gone
        close(terminal);
        return shown;
    };
    writeAudio(folder / "long.wav", kPcm16, 8000, 1, testSignal(1, 8000 * 40, 0.3f));
    const std::string passes =
        onTerminal({"render", "--body", "1", "long.wav", "out.wav", "--normalize"}, {});
    EXPECT_TRUE(contains(passes, "pass 1 of 2")) << passes;
    EXPECT_TRUE(contains(passes, "pass 2 of 2")) << passes;
    Launch piped;
    piped.input = readText(folder / "long.wav");
    const std::string stream = onTerminal({"render", "--body", "1", "-", "out.wav"}, piped);
    EXPECT_TRUE(contains(stream, "reading standard input 0.6 MB")) << stream;
    EXPECT_TRUE(contains(stream, "rendering out.wav 100%")) << stream;
}

TEST_F(Tool, ABatchNamesItsOutputsApart) {
    for (const std::string take : {"x/t.wav", "y/t.wav"}) {
        fs::create_directories((folder / take).parent_path());
        writeAudio(folder / take, kPcm16, 44000, 1, testSignal(1, 1000, 0.3f));
    }
    const Outcome collide =
        velmora({"render", "--body", "1", "x/t.wav", "y/t.wav", "--out-dir", "a"});
    EXPECT_EQ(collide.status, 1);
    EXPECT_TRUE(contains(collide.err, "--mirror")) << collide.err;
    const Outcome apart = velmora({"render", "--body", "1", "x/t.wav", "y/t.wav", "--out-dir", "b",
                                   "--mirror", "--suffix", "-violin", "--format", "flac"});
    EXPECT_EQ(apart.status, 0) << apart.err;
    EXPECT_EQ(filesIn(folder / "b" / "x"), std::vector<std::string>{"t-violin.flac"});
    EXPECT_EQ(filesIn(folder / "b" / "y"), std::vector<std::string>{"t-violin.flac"});
}

TEST_F(Tool, StagingFilesOfKilledRunsAreRemoved) {
    writeAudio(folder / "in.wav", kPcm16, 44000, 1, testSignal(1, 2000, 0.3f));
    // One left by a killed run, one that a running render holds, and a
    // file of the user's that only looks alike.
    for (const std::string name :
         {".out.wav.velmora-Ab12Cd", ".out.wav.velmora-Xy34Zw", ".out.wav.velmora-notes"}) {
        std::ofstream(folder / name) << "staged";
    }
    const int running = open((folder / ".out.wav.velmora-Xy34Zw").c_str(), O_RDONLY);
    ASSERT_EQ(flock(running, LOCK_EX), 0);
    ASSERT_EQ(velmora({"render", "--body", "1", "in.wav", "out.wav"}).status, 0);
    close(running);
    EXPECT_EQ(filesHere(),
              (std::vector<std::string>{".out.wav.velmora-Xy34Zw", ".out.wav.velmora-notes",
                                        "in.wav", "out.wav"}));
}

TEST_F(Tool, MarkersLoopsAndProductionChunksAreKeptOrNamed) {
    // A take with two markers, a loop, tags, an iXML chunk and cue labels.
    {
        SF_INFO info{};
        info.format = kPcm16;
        info.samplerate = 44000;
        info.channels = 1;
        SNDFILE* file = sf_open((folder / "take.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        SF_CUES cues{};
        cues.cue_count = 2;
        cues.cue_points[0] = {1, 100, 0, 0, 0, 100, {}};
        cues.cue_points[1] = {2, 1500, 0, 0, 0, 1500, {}};
        sf_command(file, SFC_SET_CUE, &cues, sizeof cues);
        SF_INSTRUMENT instrument{};
        instrument.basenote = 60;
        instrument.key_hi = instrument.velocity_hi = 127;
        instrument.loop_count = 1;
        instrument.loops[0] = {SF_LOOP_FORWARD, 200, 1800, 0};
        sf_command(file, SFC_SET_INSTRUMENT, &instrument, sizeof instrument);
        for (const auto& [tag, text] :
             std::vector<std::pair<int, const char*>>{{SF_STR_TITLE, "Sarabande"},
                                                      {SF_STR_DATE, "2026-12-09"},
                                                      {SF_STR_ALBUM, "Suites"},
                                                      {SF_STR_GENRE, "Baroque"}}) {
            sf_set_string(file, tag, text);
        }
        char ixml[] = "<BWFXML><SCENE>12</SCENE></BWFXML>";
        SF_CHUNK_INFO chunk{};
        std::memcpy(chunk.id, "iXML", 4);
        chunk.id_size = 4;
        chunk.datalen = sizeof ixml;
        chunk.data = ixml;
        sf_set_chunk(file, &chunk);
        const auto signal = testSignal(1, 2000, 0.3f);
        sf_writef_float(file, signal.data(), 2000);
        sf_close(file);
    }
    // Cue labels, appended as another recorder writes them.
    std::string bytes = readText(folder / "take.wav");
    const std::string labels = std::string("LIST\x16\0\0\0adtllabl\x0a\0\0\0\x01\0\0\0Verse\0", 30);
    bytes += labels;
    const uint32_t riffSize = static_cast<uint32_t>(bytes.size() - 8);
    std::memcpy(&bytes[4], &riffSize, 4);
    std::ofstream(folder / "take.wav", std::ios::binary) << bytes;

    const Outcome wav = velmora({"render", "--body", "1", "take.wav", "out.wav"});
    ASSERT_EQ(wav.status, 0) << wav.err;
    EXPECT_EQ(wav.err,
              "velmora: take.wav carries the cue labels (LIST adtl), which velmora does not copy, "
              "so the output goes without\n");
    SF_INFO info{};
    SNDFILE* out = sf_open((folder / "out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(out, nullptr);
    SF_CUES cues{};
    EXPECT_EQ(sf_command(out, SFC_GET_CUE, &cues, sizeof cues), SF_TRUE);
    EXPECT_EQ(cues.cue_count, 2u);
    EXPECT_EQ(cues.cue_points[1].sample_offset, 1500u);
    SF_INSTRUMENT instrument{};
    EXPECT_EQ(sf_command(out, SFC_GET_INSTRUMENT, &instrument, sizeof instrument), SF_TRUE);
    EXPECT_EQ(instrument.loop_count, 1);
    EXPECT_EQ(instrument.loops[0].end, 1800u);
    SF_CHUNK_INFO ixml{};
    std::memcpy(ixml.id, "iXML", 4);
    ixml.id_size = 4;
    EXPECT_NE(sf_get_chunk_iterator(out, &ixml), nullptr);
    sf_close(out);

    // Formats without a place for them name what they lose.
    const std::vector<std::pair<std::string, std::vector<std::string>>> named = {
        {"out.aiff", {"date, album, genre", "markers", "loops", "iXML"}},
        {"out.flac", {"markers", "loops", "iXML"}},
    };
    for (const auto& [name, says] : named) {
        const Outcome run = velmora({"render", "--body", "1", "take.wav", name});
        ASSERT_EQ(run.status, 0) << run.err;
        for (const std::string& part : says)
            EXPECT_TRUE(contains(run.err, part)) << name << ": " << run.err;
        EXPECT_FALSE(contains(run.err, "title")) << name << ": " << run.err;
    }
}

}  // namespace
