// The velmora commands as a user meets them: bodies, responses, the demo,
// the module's description and mistakes on the command line.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tool_harness.h"

namespace {

using namespace velmora::test;

bool isPng(const fs::path& path) {
    return readText(path).rfind("\x89PNG\r\n\x1a\n", 0) == 0;
}

TEST_F(Tool, RenderMatchesTheHostOnEveryChannel) {
    const int channels = 3;
    writeAudio(folder / "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44000, channels,
               testSignal(channels, 5000, 0.5f));
    const Outcome run =
        velmora({"render", "--body", "cello1", "--block", "64", "in.wav", "out.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");  // at the tuned rate there is nothing to note

    const Audio in = readAudio(folder / "in.wav");
    const Audio out = readAudio(folder / "out.wav");
    ASSERT_EQ(out.info.channels, channels);
    ASSERT_EQ(out.info.frames, in.info.frames);
    EXPECT_EQ(out.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    for (int c = 0; c < channels; ++c) {
        const auto expected = reference(in.channel(c), 44000.0f, 8, 64);
        EXPECT_EQ(out.channel(c), expected) << "channel " << c;
    }
}

// The channels of a file are filtered together; each still comes out, bit
// for bit, as that channel rendered alone, past a group of sixteen too.
TEST_F(Tool, EachChannelIsThatChannelRenderedAlone) {
    struct Case {
        int channels;
        int rate;
        const char* tuning;
    };
    for (const Case& c :
         {Case{6, 48000, "true"}, Case{17, 96000, "true"}, Case{6, 48000, "fixed"}}) {
        SCOPED_TRACE(testing::Message()
                     << c.channels << " channels at " << c.rate << " Hz, " << c.tuning);
        writeAudio(folder / "all.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, c.rate, c.channels,
                   testSignal(c.channels, 3000, 0.5f));
        const std::vector<std::string> render = {"render", "--body",  "contrabass", "--tuning",
                                                 c.tuning, "--block", "333"};
        auto renderFile = [&](const std::string& in, const std::string& out) {
            std::vector<std::string> args = render;
            args.insert(args.end(), {in, out});
            const Outcome run = velmora(args);
            ASSERT_EQ(run.status, 0) << run.err;
        };
        renderFile("all.wav", "all-out.wav");
        const Audio in = readAudio(folder / "all.wav");
        const Audio out = readAudio(folder / "all-out.wav");
        for (int channel = 0; channel < c.channels; ++channel) {
            writeAudio(folder / "one.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, c.rate, 1,
                       in.channel(channel));
            renderFile("one.wav", "one-out.wav");
            EXPECT_EQ(out.channel(channel), readAudio(folder / "one-out.wav").samples)
                << "channel " << channel;
        }
    }
}

TEST_F(Tool, EveryBodyPlaysTheFileFromItsFirstSample) {
    // An impulse, then noise: the first sample is where a render could be
    // mistaken for a change of body.
    std::vector<float> signal = testSignal(1, 700, 0.5f);
    signal[0] = 1.0f;
    writeAudio(folder / "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44000, 1, signal);
    const std::vector<float> in = readAudio(folder / "in.wav").samples;
    for (int type = 0; type <= 16; ++type) {
        const Outcome run = velmora(
            {"render", "--body", std::to_string(type), "--block", "256", "in.wav", "out.wav"});
        ASSERT_EQ(run.status, 0) << type << ": " << run.err;
        const std::vector<float> out = readAudio(folder / "out.wav").samples;
        const std::vector<float> expected =
            reference(in, 44000.0f, static_cast<int16_t>(type), 256);
        ASSERT_EQ(out.size(), expected.size());
        EXPECT_EQ(out[0], expected[0]) << "type " << type << "'s first sample";
        EXPECT_EQ(out, expected) << "type " << type;
    }
}

TEST_F(Tool, NamesAndNumbersChooseTheSameBody) {
    writeAudio(folder / "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44000, 1,
               testSignal(1, 2000, 0.5f));
    const std::map<std::string, std::vector<std::string>> spellings = {
        {"8", {"cello1", "Cello I", "CELLO-i", "cello 1"}},
        {"15", {"cor-anglais-2", "Cor Anglais II", "COR_ANGLAIS_ii"}},
        {"11", {"contra"}},
        {"16", {"sym"}},
        {"0", {"pass", "Pass filter"}},
    };
    for (const auto& [number, names] : spellings) {
        ASSERT_EQ(velmora({"render", "--body", number, "in.wav", "number.wav"}).status, 0);
        // The samples, not the bytes: a float WAV's PEAK chunk holds the time of writing.
        const std::vector<float> expected = readAudio(folder / "number.wav").samples;
        for (const auto& name : names) {
            const Outcome run = velmora({"render", "--body", name, "in.wav", "name.wav"});
            ASSERT_EQ(run.status, 0) << name << ": " << run.err;
            EXPECT_EQ(readAudio(folder / "name.wav").samples, expected)
                << name << " is not body " << number;
        }
    }
}

TEST_F(Tool, RenderKeepsTheInputsFormatUnlessAskedForFloat) {
    const auto signal = testSignal(2, 4000, 0.05f);
    writeAudio(folder / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, signal);
    writeAudio(folder / "in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, signal);

    struct Case {
        std::vector<std::string> args;
        int format;
        float tolerance;  // against the host's float output
    };
    const std::vector<Case> cases = {
        {{"in.wav", "out.wav"}, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2.0f / 32768},
        {{"in.flac", "out.flac"}, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2.0f / 32768},
        {{"in.wav", "out.aiff"}, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2.0f / 32768},
        {{"in.wav", "float.wav", "--float"}, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.0f},
    };
    for (const Case& c : cases) {
        // The fixed tuning: the module's own filter, moving with the rate.
        std::vector<std::string> args = {"render", "--body", "Oboe I", "--tuning", "fixed"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome run = velmora(args);
        ASSERT_EQ(run.status, 0) << run.err;
        // The rate is not the tuned one, which the user is told.
        EXPECT_NE(run.err.find("tuned for 44000 Hz"), std::string::npos) << run.err;

        const Audio in = readAudio(folder / c.args[0]);
        const Audio out = readAudio(folder / c.args[1]);
        EXPECT_EQ(out.info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK), c.format)
            << c.args[1];
        EXPECT_EQ(out.info.samplerate, 48000);
        ASSERT_EQ(out.info.frames, in.info.frames);
        for (int channel = 0; channel < 2; ++channel) {
            const auto expected = reference(in.channel(channel), 48000.0f, 12);
            const auto got = out.channel(channel);
            float worst = 0.0f;
            for (size_t i = 0; i < got.size(); ++i) {
                worst = std::max(worst, std::fabs(got[i] - expected[i]));
            }
            EXPECT_LE(worst, c.tolerance) << c.args[1] << " channel " << channel;
        }
    }

    // A body's gain can take a loud file past full scale: 16-bit output
    // clips, and says so, where float keeps every sample.
    writeAudio(folder / "loud.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44000, 1,
               testSignal(1, 4000, 1.8f));
    const Outcome loud = velmora({"render", "--body", "15", "loud.wav", "clipped.wav"});
    EXPECT_EQ(loud.status, 0);
    EXPECT_NE(loud.err.find("clipped"), std::string::npos) << loud.err;
}

TEST_F(Tool, ErrorsAreOneLineAndLeaveNothingBehind) {
    writeAudio(folder / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44000, 1,
               testSignal(1, 1000, 0.5f));
    const std::string input = readText(folder / "in.wav");
    std::ofstream(folder / "kept.wav") << "an earlier result";

    // A copy of the program with no module beside it.
    fs::create_directory(folder / "alone");
    fs::copy_file(VELMORA_TOOL, folder / "alone" / "velmora");

    struct Case {
        std::vector<std::string> args;
        std::string says;
        std::string program = VELMORA_TOOL;
    };
    const std::vector<Case> cases = {
        {{"render", "--body", "1", "missing.wav", "out.wav"}, "missing.wav"},
        {{"render", "--body", "kazoo", "in.wav", "out.wav"}, "kazoo"},
        {{"render", "--body", "violin", "in.wav", "out.wav"}, "Violin III"},
        {{"render", "--body", "99", "in.wav", "out.wav"}, "99"},
        {{"render", "--body", "1", "in.wav", "in.wav"}, "is the input"},
        {{"render", "--body", "1", "in.wav", "./alone/../in.wav"}, "is the input"},
        {{"render", "--body", "1", "in.wav", "in.wav/out.wav"}, "cannot write"},
        {{"render", "--body", "1", "in.wav", "out.flac", "--float"}, "cannot hold"},
        {{"render", "--body", "1", "missing.wav", "kept.wav"}, "missing.wav"},
        {{"render", "--body", "1", "in.wav", "out.wav", "--module", "none.so"}, "none.so"},
        {{"info"}, "Module.so", (folder / "alone" / "velmora").string()},
        {{"response", "--body", "oboe"}, "Oboe II"},
        {{"render", "in.wav", "out.wav"}, "--body"},
    };
    const auto before = filesHere();
    for (const Case& c : cases) {
        std::string line;
        for (const auto& arg : c.args)
            line += arg + " ";
        const Outcome run = velmora(c.args, nullptr, c.program);
        EXPECT_NE(run.status, 0) << line;
        EXPECT_EQ(lineCount(run.err), 1) << line << "\n" << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << line << "\n" << run.err;
        EXPECT_EQ(filesHere(), before) << line;
    }
    EXPECT_EQ(readText(folder / "in.wav"), input);
    EXPECT_EQ(readText(folder / "kept.wav"), "an earlier result");
}

TEST_F(Tool, TheCommandLineSaysWhatIsWrongInPlainWords) {
    writeAudio(folder / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44000, 1,
               testSignal(1, 1000, 0.3f));
    fs::create_directory(folder / "takes");
    // An MP3 whose frames are noise.
    std::ofstream(folder / "bad.mp3")
        << std::string("ID3\3\0\0\0\0\0\0", 10) << std::string(4000, '\x5a');
    // Usage mistakes exit 2; a failure of the work itself 1.
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> says;
        int status = 2;
    };
    const std::vector<Case> cases = {
        {{"rendr"}, {"unknown command \"rendr\"", "did you mean render?"}},
        {{}, {"name a command", "render"}},
        {{"render", "--bdy", "1", "in.wav", "out.wav"}, {"unknown option --bdy", "--body?"}},
        {{"render", "--body", "1", "in.wav", "out.wav", "--fast"}, {"unknown option --fast"}},
        {{"render", "--body", "1", "in.wav", "out.wav", "more.wav"}, {"unexpected \"more.wav\""}},
        {{"render", "--body", "1", "--body", "2", "in.wav", "out.wav"}, {"--body is given more"}},
        {{"render", "--body", "1", "--block", "0", "in.wav", "o.wav"},
         {"from 1 to 65536, not \"0\""}},
        {{"validate", "--iterations", "0"}, {"--iterations", "from 1 to 1000000"}},
        {{"render", "--body", "1", "takes", "out.wav"}, {"takes is a folder, not a sound file"}, 1},
        {{"render", "in.wav", "out.wav"}, {"--body"}},
        {{"render", "--body", "1", "in.wav"}, {"an input and an output"}},
        {{"render", "--body", "1", "in.wav", "o.wav", "--gain", "3", "--normalize"}, {"alone"}},
        {{"render", "--body", "1", "in.wav", "o.wav", "--format", "flac"}, {"--format is for"}},
        {{"ir", "--body", "all", "irs.wav"}, {"irs.wav names a file"}},
        {{"validate", "--check", "soak"}, {"--soak SECONDS"}},
    };
    for (const Case& c : cases) {
        const Outcome run = velmora(c.args);
        const std::string line = c.args.empty() ? "(nothing)" : c.args[0] + " " + run.err;
        EXPECT_EQ(run.status, c.status) << line;
        EXPECT_EQ(lineCount(run.err), 1) << line;
        EXPECT_LT(run.err.size(), 160u) << line;
        for (const std::string& part : c.says) {
            EXPECT_TRUE(contains(run.err, part)) << part << " in " << line;
        }
    }

    EXPECT_FALSE(fs::exists(folder / "irs.wav"));
    // libmpg123 adds notes of its own; the tool's last line says what is wrong.
    const Outcome mp3 = velmora({"render", "--body", "1", "bad.mp3", "out.wav"});
    EXPECT_EQ(mp3.status, 1);
    EXPECT_TRUE(contains(mp3.err, "velmora: cannot read bad.mp3: it is damaged")) << mp3.err;
    // Help names values as a person would, and "--" ends the options.
    const std::string help = velmora({"render", "--help"}).out;
    for (const std::string tag : {"TEXT", "FLOAT", "INT", "NUMBER"})
        EXPECT_FALSE(contains(help, tag)) << tag << " in\n" << help;
    fs::copy_file(folder / "in.wav", folder / "-dash.wav");
    EXPECT_EQ(velmora({"render", "--body", "1", "--", "-dash.wav", "o.wav"}).status, 0);
    // A batch's --quality is for its lossy outputs.
    const Outcome batch =
        velmora({"render", "--body", "1", "in.wav", "o.wav", "--out-dir", "q", "--quality", "3"});
    EXPECT_EQ(batch.status, 0) << batch.err;

    // The version is the module's.
    const Outcome version = velmora({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "velmora 2230\n");
    EXPECT_TRUE(contains(velmora({"info"}).out, "version 2230"));

    // The tuning note only where the shift is large enough to hear: 44100 Hz
    // is +0.2 %, 48000 Hz +9.1 %.
    writeAudio(folder / "cd.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1,
               testSignal(1, 1000, 0.1f));
    const Outcome cd = velmora({"render", "--body", "1", "cd.wav", "out.wav"});
    EXPECT_EQ(cd.status, 0);
    EXPECT_EQ(cd.err, "");
}

// "  12  Oboe I   9.9732  +19.98 dB  1346.37 Hz" into the body number's peak.
std::map<int, std::pair<double, double>> peaks(const std::string& table) {
    std::map<int, std::pair<double, double>> found;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
        if (w.size() < 6 || w.back() != "Hz" ||
            !std::isdigit(static_cast<unsigned char>(w[0][0]))) {
            continue;
        }
        found[std::stoi(w[0])] = {std::stod(w[w.size() - 5]), std::stod(w[w.size() - 2])};
    }
    return found;
}

TEST_F(Tool, ResponsePeaksOfTheWindBodies) {
    const Outcome run = velmora({"response", "--csv", "r.csv", "--plot", "r.png"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto measured = peaks(run.out);
    EXPECT_EQ(measured.size(), 17u) << run.out;  // the pass filter and the 16 bodies

    // Gain and frequency of each wind body's strongest resonance at 44000 Hz.
    const std::map<int, std::pair<double, double>> known = {
        {12, {9.973, 1346}}, {13, {5.884, 1110}}, {14, {9.464, 1008}},
        {15, {10.885, 928}}, {16, {10.00, 775}},
    };
    for (const auto& [body, peak] : known) {
        ASSERT_TRUE(measured.count(body)) << body;
        EXPECT_NEAR(measured.at(body).first, peak.first, 0.005 * peak.first) << body;
        EXPECT_NEAR(measured.at(body).second, peak.second, 3.0) << body;
    }

    // One header and a row per frequency, every row as wide as the header.
    std::istringstream csv(readText(folder / "r.csv"));
    std::string header;
    std::getline(csv, header);
    EXPECT_EQ(header.rfind("frequency_hz,\"Pass filter\",\"Violin I\"", 0), 0u) << header;
    int rows = 0;
    for (std::string row; std::getline(csv, row); ++rows) {
        EXPECT_EQ(std::count(row.begin(), row.end(), ','), 17);
    }
    EXPECT_GT(rows, 100);
    EXPECT_TRUE(isPng(folder / "r.png"));

    // Fixed, the resonances are fractions of the rate: at twice the rate,
    // twice the frequency; true, they stay where they were tuned.
    const Outcome doubled =
        velmora({"response", "--body", "Oboe I", "--rate", "88000", "--tuning", "fixed"});
    ASSERT_EQ(doubled.status, 0) << doubled.err;
    EXPECT_NEAR(peaks(doubled.out).at(12).second, 2 * 1346.0, 6.0) << doubled.out;
    EXPECT_NE(doubled.err.find("tuned for 44000 Hz"), std::string::npos);
    const Outcome tuned = velmora({"response", "--body", "Oboe I", "--rate", "88000"});
    ASSERT_EQ(tuned.status, 0) << tuned.err;
    EXPECT_NEAR(peaks(tuned.out).at(12).second, 1346.4, 0.5) << tuned.out;
    EXPECT_EQ(tuned.err, "");
}

TEST_F(Tool, WithoutGnuplotTheResponseIsWrittenAsATable) {
    const Outcome run = velmora({"response", "--body", "13", "--plot", "r.png"}, "/nonexistent");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("gnuplot"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(folder / "r.png"));
    EXPECT_NE(readText(folder / "r.csv").find("\"Oboe II\""), std::string::npos);
}

TEST_F(Tool, DemoWritesPlayableFilesAndThePlot) {
    const Outcome run = velmora({"demo", "--out", "demo"});
    ASSERT_EQ(run.status, 0) << run.err;

    const fs::path demo = folder / "demo";
    const Audio dry = readAudio(demo / "dry.wav");
    std::vector<fs::path> bodies;
    for (const auto& entry : fs::directory_iterator(demo)) {
        const auto name = entry.path().filename().string();
        EXPECT_NE(name[0], '.') << "left behind: " << name;
        if (entry.path().extension() == ".wav" && name != "dry.wav") bodies.push_back(entry.path());
        EXPECT_NE(run.out.find(name), std::string::npos) << name << " missing from the table";
    }
    EXPECT_EQ(bodies.size(), 17u);
    EXPECT_GT(dry.info.frames, 3 * 44000);  // a few seconds
    for (const auto& path : bodies) {
        const Audio wet = readAudio(path);
        EXPECT_EQ(wet.info.samplerate, 44000);
        EXPECT_EQ(wet.info.channels, 1);
        EXPECT_EQ(wet.info.frames, dry.info.frames);
        float peak = 0.0f;
        for (const float x : wet.samples)
            peak = std::max(peak, std::fabs(x));
        EXPECT_NEAR(peak, 0.891f, 0.01f) << path;  // audible, not clipped
        EXPECT_NE(wet.samples, dry.samples) << path;
    }
    EXPECT_TRUE(isPng(demo / "response.png"));
}

TEST_F(Tool, InfoListsTheModulesOwnBodies) {
    const Outcome run = velmora({"info"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* text : {"Velmora, version 2230", "Signal", "Output", "   0  Pass filter\n",
                             "   1  Violin I\n", "  13  Oboe II\n", "  16  Sympathetic\n"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    }
}

}  // namespace
