// The plugin in hosts nobody on the project wrote: the LV2 validator over the
// bundle, lv2apply and lv2file rendering files, and jalv playing it live on a
// JACK server. Each test installs the built bundle into a folder of its own,
// as a person installs it into ~/.lv2, and points the hosts there.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "driver.h"
#include "module_library.h"
#include "same_bits.h"
#include "sound_files.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using velmora::test::ChildProcess;
using velmora::test::readAudio;
using velmora::test::readText;
using velmora::test::runProgram;
using velmora::test::sameBits;
using velmora::test::writeAudio;

constexpr const char* kMono = "urn:velmora:lv2:mono";
constexpr const char* kStereo = "urn:velmora:lv2:stereo";

// Noise on some channels and a tone on others, at `level`.
std::vector<float> testSignal(int channels, size_t frames, float level, uint32_t seed = 12345) {
    std::vector<float> samples(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            seed = seed * 1664525u + 1013904223u;
            const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
            const float tone = std::sin(0.02f * static_cast<float>((c + 1) * i));
            samples[i * channels + c] = level * (c % 2 == 0 ? noise : tone) + level * 0.5f;
        }
    }
    return samples;
}

class Hosts : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "velmora-lv2.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        // Installed as a person installs it: the bundle folder copied whole.
        fs::create_directories(folder / "lv2");
        fs::copy(fs::path(VELMORA_LV2_PATH) / "velmora.lv2", bundle(), fs::copy_options::recursive);
    }
    void TearDown() override { fs::remove_all(folder); }

    fs::path bundle() const { return folder / "lv2" / "velmora.lv2"; }

    // The hosts' search path: the installation and the LV2 vocabulary. lilv
    // wants it absolute, and it replaces the default path. GStreamer keeps
    // the plugins it found in a registry of the test's own.
    std::map<std::string, std::string> lv2Environment() const {
        return {{"LV2_PATH", (folder / "lv2").string() + ":/usr/lib/lv2"},
                {"GST_REGISTRY", (folder / "gstreamer-registry.bin").string()}};
    }

    // GStreamer's name for the element of a plugin URI.
    static std::string gstElement(std::string uri) {
        std::replace(uri.begin(), uri.end(), ':', '-');
        return uri;
    }

    // velmora render --float: the reference every host's file is held to.
    std::vector<float> velmoraRender(const fs::path& input, int body) {
        const fs::path output = folder / "velmora-render.wav";
        std::string log;
        const int status = runProgram({VELMORA_TOOL, "render", "--body", std::to_string(body),
                                       "--float", input.string(), output.string()},
                                      {}, log);
        EXPECT_EQ(status, 0) << log;
        std::vector<float> samples = readAudio(output).samples;
        fs::remove(output);
        return samples;
    }

    fs::path folder;
};

TEST_F(Hosts, Lv2ValidateFindsNoErrors) {
    std::vector<std::string> command = {"lv2_validate"};
    for (const auto& entry : fs::directory_iterator(bundle())) {
        if (entry.path().extension() == ".ttl") command.push_back(entry.path().string());
    }
    ASSERT_EQ(command.size(), 4u) << "manifest, plugins and presets";
    std::string log;
    EXPECT_EQ(runProgram(command, {}, log), 0) << log;
    EXPECT_NE(log.find("Found 0 errors"), std::string::npos) << log;
}

// GStreamer lists both plugins as elements, the stereo one with stereo pads.
TEST_F(Hosts, GStreamerListsBothPlugins) {
    std::string log;
    ASSERT_EQ(runProgram({"gst-inspect-1.0", "lv2"}, lv2Environment(), log), 0) << log;
    for (const char* uri : {kMono, kStereo})
        EXPECT_NE(log.find(gstElement(uri)), std::string::npos) << log;
    ASSERT_EQ(runProgram({"gst-inspect-1.0", gstElement(kStereo)}, lv2Environment(), log), 0);
    EXPECT_NE(log.find("channels: 2"), std::string::npos) << log;
}

// lv2apply, lv2file and GStreamer read a WAV, play it through the installed
// plugin and write what comes out; it must be what velmora render writes. The
// first two clip what they write to full scale, so the signal stays below it.
struct FileRender {
    const char* host;
    const char* uri;
    int body;
    int rate;

    int channels() const { return uri == std::string(kStereo) ? 2 : 1; }
};

class FileHosts : public Hosts, public testing::WithParamInterface<FileRender> {};

TEST_P(FileHosts, RenderWhatVelmoraRenders) {
    const FileRender& render = GetParam();
    const fs::path input = folder / "in.wav";
    const fs::path output = folder / "out.wav";
    writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_FLOAT, render.rate, render.channels(),
               testSignal(render.channels(), 30000, 0.05f));
    const std::vector<float> expected = velmoraRender(input, render.body);
    ASSERT_FALSE(expected.empty());
    const float peak =
        std::fabs(*std::max_element(expected.begin(), expected.end(),
                                    [](float a, float b) { return std::fabs(a) < std::fabs(b); }));
    ASSERT_LT(peak, 1.0f) << "the signal would clip";

    const std::string body = std::to_string(render.body);
    std::vector<std::string> command;
    if (render.host == std::string("lv2apply")) {
        command = {"lv2apply", "-i", input, "-o", output, "-c", "body", body, render.uri};
    } else if (render.host == std::string("lv2file")) {
        command = {"lv2file", "-i", input, "-o", output, "-p", "body:" + body, render.uri};
    } else {
        // GStreamer's LV2 element takes the stereo plugin's channels as one
        // stereo stream; without its port groups it would not link to a
        // stereo file.
        command = {"gst-launch-1.0",
                   "-q",
                   "filesrc",
                   "location=" + input.string(),
                   "!",
                   "wavparse",
                   "!",
                   gstElement(render.uri),
                   "body=" + body,
                   "!",
                   "wavenc",
                   "!",
                   "filesink",
                   "location=" + output.string()};
    }
    std::string log;
    ASSERT_EQ(runProgram(command, lv2Environment(), log), 0) << log;
    const velmora::test::Audio written = readAudio(output);
    EXPECT_EQ(written.info.channels, render.channels());
    EXPECT_EQ(written.info.samplerate, render.rate);
    EXPECT_TRUE(sameBits(written.samples, expected));
}

INSTANTIATE_TEST_SUITE_P(Lv2, FileHosts,
                         testing::Values(FileRender{"lv2apply", kMono, 8, 44100},
                                         FileRender{"lv2apply", kMono, 0, 44100},
                                         FileRender{"lv2apply", kMono, 16, 48000},
                                         FileRender{"lv2apply", kStereo, 13, 44100},
                                         FileRender{"lv2file", kMono, 1, 44100},
                                         FileRender{"lv2file", kStereo, 11, 96000},
                                         FileRender{"gstreamer", kStereo, 13, 44100},
                                         FileRender{"gstreamer", kStereo, 8, 48000},
                                         FileRender{"gstreamer", kMono, 4, 44100}),
                         [](const auto& info) {
                             return std::string(info.param.host) +
                                    (info.param.channels() == 1 ? "Mono" : "Stereo") + "Body" +
                                    std::to_string(info.param.body) + "At" +
                                    std::to_string(info.param.rate);
                         });

// --- jalv on a JACK server ------------------------------------------------

// A client of the test's own on the server: it plays a known signal into its
// output ports, or records its input ports, from the moment it is told to.
class JackClient {
  public:
    JackClient(const std::string& server, const std::string& name, int channels, bool plays)
        : plays(plays) {
        // The server may still be starting; it is given a few seconds, and
        // the library's complaints meanwhile are not news.
        jack_set_error_function(quiet);
        jack_set_info_function(quiet);
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (client == nullptr && std::chrono::steady_clock::now() < end) {
            jack_status_t status{};
            client = jack_client_open(
                name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                &status, server.c_str());
            if (client == nullptr) std::this_thread::sleep_for(100ms);
        }
        jack_set_error_function(toStandardError);
        jack_set_info_function(toStandardError);
        if (client == nullptr) return;
        for (int c = 0; c < channels; ++c) {
            const std::string port = (plays ? "out_" : "in_") + std::to_string(c);
            ports.push_back(jack_port_register(client, port.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                               plays ? JackPortIsOutput : JackPortIsInput, 0));
        }
        jack_set_process_callback(client, process, this);
        jack_activate(client);
    }
    ~JackClient() {
        if (client == nullptr) return;
        jack_deactivate(client);
        jack_client_close(client);
    }

    bool open() const { return client != nullptr; }
    jack_client_t* handle() const { return client; }
    std::string portName(int c) const { return jack_port_name(ports[static_cast<size_t>(c)]); }

    // Plays channel c of `signal` (one vector per channel), then silence.
    void play(std::vector<std::vector<float>> signal) {
        playing = std::move(signal);
        running = true;
    }
    // Records `frames` frames of every input.
    void record(size_t frames) {
        recording.assign(ports.size(), std::vector<float>(frames, 0.0f));
        running = true;
    }
    bool recorded() const { return position.load() >= recording[0].size(); }
    const std::vector<std::vector<float>>& recordings() const { return recording; }

  private:
    static void quiet(const char*) {}
    static void toStandardError(const char* message) { std::fprintf(stderr, "%s\n", message); }

    static int process(jack_nframes_t frames, void* self) {
        auto& me = *static_cast<JackClient*>(self);
        const size_t at = me.position.load();
        for (size_t c = 0; c < me.ports.size(); ++c) {
            auto* buffer = static_cast<float*>(jack_port_get_buffer(me.ports[c], frames));
            for (jack_nframes_t i = 0; i < frames; ++i) {
                if (me.plays) {
                    const bool live = me.running && at + i < me.playing[c].size();
                    buffer[i] = live ? me.playing[c][at + i] : 0.0f;
                } else if (me.running && at + i < me.recording[c].size()) {
                    me.recording[c][at + i] = buffer[i];
                }
            }
        }
        if (me.running) me.position = at + frames;
        return 0;
    }

    const bool plays;
    jack_client_t* client = nullptr;
    std::vector<jack_port_t*> ports;
    std::atomic<bool> running{false};
    std::atomic<size_t> position{0};
    std::vector<std::vector<float>> playing;
    std::vector<std::vector<float>> recording;
};

bool waitForPort(jack_client_t* client, const std::string& name, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (jack_port_by_name(client, name.c_str()) != nullptr) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// jalv runs the stereo plugin as a JACK client on a server with the dummy
// driver, synchronous so that no period is dropped; the test plays a signal
// into it and records what it plays. Once aligned, the recording is the
// module's output for that signal, sample for sample.
TEST_F(Hosts, JalvOnJackPlaysTheFilterSampleExact) {
    constexpr int kBody = 13;
    constexpr size_t kSignalFrames = 44100;
    constexpr size_t kRecordFrames = kSignalFrames + 22050;
    const std::string server = "velmora-test-" + std::to_string(getpid());
    // Both programs are ended with the test, and by `timeout` should the
    // test itself die: nothing is left running.
    ChildProcess jackd(
        {"timeout", "-k",    "5",  "60",    "jackd", "-n",  server, "-S", "-r", "-t", "5000",
         "-d",      "dummy", "-r", "44100", "-p",    "256", "-C",   "0",  "-P", "0"},
        {{"JACK_NO_AUDIO_RESERVATION", "1"}}, (folder / "jackd.log").string());
    ASSERT_TRUE(jackd.started());
    JackClient recorder(server, "velmora-recorder", 2, false);
    ASSERT_TRUE(recorder.open()) << "jackd did not start:\n" << readText(folder / "jackd.log");

    std::map<std::string, std::string> environment = lv2Environment();
    environment["JACK_DEFAULT_SERVER"] = server;
    environment["JACK_NO_START_SERVER"] = "1";
    // jalv runs until its standard input closes.
    // The fixed tuning, to be held to the module itself at the server's rate.
    ChildProcess jalv({"timeout", "-k", "5", "60", "jalv", "-x", "-n", "velmora-jalv", "-c",
                       "body=" + std::to_string(kBody), "-c", "tuning=1", kStereo},
                      environment, (folder / "jalv.log").string(), true);
    ASSERT_TRUE(jalv.started());
    for (const char* port : {"in_l", "in_r", "out_l", "out_r"}) {
        ASSERT_TRUE(waitForPort(recorder.handle(), std::string("velmora-jalv:") + port, 10s))
            << "jalv did not come up:\n"
            << readText(folder / "jalv.log");
    }

    JackClient player(server, "velmora-player", 2, true);
    ASSERT_TRUE(player.open());
    const std::vector<std::vector<float>> signal = {
        [&] {
            auto left = testSignal(1, kSignalFrames, 0.3f, 1);
            left[0] = 0.25f;  // a first sample that makes the output start at once
            return left;
        }(),
        testSignal(1, kSignalFrames, 0.3f, 2)};
    const char* sides[] = {"l", "r"};
    for (int c = 0; c < 2; ++c) {
        ASSERT_EQ(jack_connect(player.handle(), player.portName(c).c_str(),
                               (std::string("velmora-jalv:in_") + sides[c]).c_str()),
                  0);
        ASSERT_EQ(
            jack_connect(recorder.handle(), (std::string("velmora-jalv:out_") + sides[c]).c_str(),
                         recorder.portName(c).c_str()),
            0);
    }
    recorder.record(kRecordFrames);
    player.play(signal);
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (!recorder.recorded() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(recorder.recorded()) << "the recording did not finish:\n"
                                     << readText(folder / "jackd.log");

    // The module's output for each channel's signal followed by silence.
    std::string error;
    const auto library = velmora::host::ModuleLibrary::load(VELMORA_MODULE_FILE, error);
    ASSERT_NE(library, nullptr) << error;
    velmora::host::RenderSettings settings;
    settings.sampleRate = 44100.0f;
    settings.type = kBody;
    // The plugin's output starts where the signal reaches it, a period or two in.
    const auto& recorded = recorder.recordings();
    const size_t offset = static_cast<size_t>(
        std::find_if(recorded[0].begin(), recorded[0].end(), [](float v) { return v != 0.0f; }) -
        recorded[0].begin());
    ASSERT_LT(offset, 4096u) << "nothing came out of the plugin";
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(sides[c]);
        std::vector<float> input = signal[c];
        input.resize(kRecordFrames - offset, 0.0f);
        std::vector<float> expected;
        ASSERT_TRUE(velmora::host::render(*library, settings, input, expected, error)) << error;
        const std::vector<float> before(recorded[c].begin(), recorded[c].begin() + offset);
        EXPECT_TRUE(sameBits(before, std::vector<float>(offset, 0.0f)));
        const std::vector<float> after(recorded[c].begin() + offset, recorded[c].end());
        EXPECT_TRUE(sameBits(after, expected));
    }

    // Closing its input ends jalv; the clients, then the server, go with the test.
    jalv.closeInput();
    EXPECT_EQ(jalv.wait(5s), 0) << readText(folder / "jalv.log");
}

}  // namespace
