// velmora for audio work: level, tuning rate, ring-out, batches and pipes,
// impulse responses and the response plot, each on files made here and
// checked against the module, FFTW and libebur128 directly.
#include <ebur128.h>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "tool_harness.h"

namespace {

using namespace velmora::test;

constexpr int kFloatWav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
constexpr int kPcm16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

double peakOf(const std::vector<float>& samples) {
    double peak = 0.0;
    for (const float x : samples)
        peak = std::max(peak, double{std::fabs(x)});
    return peak;
}

double decibels(double ratio) {
    return 20.0 * std::log10(ratio);
}

double loudnessOf(const Audio& audio) {
    ebur128_state* state =
        ebur128_init(static_cast<unsigned>(audio.info.channels),
                     static_cast<unsigned long>(audio.info.samplerate), EBUR128_MODE_I);
    ebur128_add_frames_float(state, audio.samples.data(),
                             audio.samples.size() / static_cast<size_t>(audio.info.channels));
    double loudness = 0.0;
    ebur128_loudness_global(state, &loudness);
    ebur128_destroy(&state);
    return loudness;
}

double truePeakOf(const Audio& audio) {
    ebur128_state* state =
        ebur128_init(static_cast<unsigned>(audio.info.channels),
                     static_cast<unsigned long>(audio.info.samplerate), EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(state, audio.samples.data(),
                             audio.samples.size() / static_cast<size_t>(audio.info.channels));
    double peak = 0.0;
    ebur128_true_peak(state, 0, &peak);
    ebur128_destroy(&state);
    return peak;
}

// The magnitude spectrum of `signal`, zero-padded to `size`.
std::vector<double> spectrum(const std::vector<float>& signal, size_t size) {
    std::vector<double> in(size, 0.0);
    std::copy_n(signal.begin(), std::min(size, signal.size()), in.begin());
    std::vector<std::complex<double>> out(size / 2 + 1);
    fftw_plan plan =
        fftw_plan_dft_r2c_1d(static_cast<int>(size), in.data(),
                             reinterpret_cast<fftw_complex*>(out.data()), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    std::vector<double> magnitude(out.size());
    for (size_t i = 0; i < out.size(); ++i)
        magnitude[i] = std::abs(out[i]);
    return magnitude;
}

// The frequency of the largest magnitude above 20 Hz.
double strongestPeak(const std::vector<float>& response, int rate) {
    const size_t size = 1 << 20;
    const std::vector<double> magnitude = spectrum(response, size);
    const double binHz = static_cast<double>(rate) / size;
    const auto first = magnitude.begin() + static_cast<std::ptrdiff_t>(20.0 / binHz);
    return static_cast<double>(std::max_element(first, magnitude.end()) - magnitude.begin()) *
           binHz;
}

// Linear convolution through FFTW, the first `frames` samples.
std::vector<float> convolve(const std::vector<float>& a, const std::vector<float>& b,
                            size_t frames) {
    size_t size = 1;
    while (size < a.size() + b.size())
        size *= 2;
    std::vector<double> x(size, 0.0), y(size, 0.0), z(size);
    std::copy(a.begin(), a.end(), x.begin());
    std::copy(b.begin(), b.end(), y.begin());
    std::vector<std::complex<double>> fx(size / 2 + 1), fy(size / 2 + 1);
    auto forward = [&](std::vector<double>& in, std::vector<std::complex<double>>& out) {
        fftw_plan plan =
            fftw_plan_dft_r2c_1d(static_cast<int>(size), in.data(),
                                 reinterpret_cast<fftw_complex*>(out.data()), FFTW_ESTIMATE);
        fftw_execute(plan);
        fftw_destroy_plan(plan);
    };
    forward(x, fx);
    forward(y, fy);
    for (size_t i = 0; i < fx.size(); ++i)
        fx[i] *= fy[i] / static_cast<double>(size);
    fftw_plan back =
        fftw_plan_dft_c2r_1d(static_cast<int>(size), reinterpret_cast<fftw_complex*>(fx.data()),
                             z.data(), FFTW_ESTIMATE);
    fftw_execute(back);
    fftw_destroy_plan(back);
    return std::vector<float>(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(frames));
}

TEST_F(Tool, GainNormalizeMixAndLoudnessSetTheLevel) {
    const int rate = 44000;
    const std::vector<float> dry = testSignal(1, rate, 0.2f);
    writeAudio(folder / "in.wav", kFloatWav, rate, 1, dry);
    const std::vector<float> wet = reference(dry, rate, 12);  // Oboe I
    auto render = [&](std::vector<std::string> options) {
        std::vector<std::string> args = {"render", "--body", "oboe1", "in.wav", "out.wav"};
        args.insert(args.end(), options.begin(), options.end());
        const Outcome run = velmora(args);
        EXPECT_EQ(run.status, 0) << run.err;
        return readAudio(folder / "out.wav").samples;
    };

    const std::vector<float> gained = render({"--gain", "-6.5"});
    EXPECT_NEAR(decibels(peakOf(gained) / peakOf(wet)), -6.5, 0.01);
    EXPECT_NEAR(gained[1000], wet[1000] * std::pow(10.0, -6.5 / 20), 1e-6);

    EXPECT_NEAR(decibels(peakOf(render({"--normalize"}))), -1.0, 0.01);
    EXPECT_NEAR(decibels(peakOf(render({"--normalize", "-12"}))), -12.0, 0.01);
    EXPECT_NEAR(decibels(peakOf(render({"--normalize=-3", "--bits", "24"}))), -3.0, 0.01);
    // The true peak (4x oversampled) and the integrated loudness, as
    // libebur128 measures them.
    Audio level;
    level.info.channels = 1;
    level.info.samplerate = rate;
    level.samples = render({"--normalize", "-1dBTP"});
    EXPECT_NEAR(decibels(truePeakOf(level)), -1.0, 0.01);
    level.samples = render({"--loudness", "-23"});
    EXPECT_NEAR(loudnessOf(level), -23.0, 0.01);

    // The mix blends the input in; at 1 it is the body exactly.
    const std::vector<float> mixed = render({"--mix", "0.25"});
    ASSERT_EQ(mixed.size(), dry.size());
    for (size_t i = 0; i < dry.size(); i += 97) {
        EXPECT_NEAR(mixed[i], 0.25 * wet[i] + 0.75 * dry[i], 1e-6) << i;
    }
    EXPECT_EQ(render({"--mix", "1"}), wet);

    // The output as loud as the input, by libebur128's own measure, and
    // the gain on top of that.
    const std::vector<float> stereo = testSignal(2, 4 * rate, 0.1f);
    writeAudio(folder / "in.wav", kPcm16, rate, 2, stereo);
    const Audio input = readAudio(folder / "in.wav");
    render({"--match-loudness"});
    const Audio matched = readAudio(folder / "out.wav");
    EXPECT_NEAR(loudnessOf(matched), loudnessOf(input), 0.1);
    render({"--match-loudness", "--gain", "-3"});
    EXPECT_NEAR(loudnessOf(readAudio(folder / "out.wav")), loudnessOf(input) - 3.0, 0.1);

    const Outcome both =
        velmora({"render", "--body", "1", "in.wav", "x.wav", "--normalize", "--match-loudness"});
    EXPECT_EQ(both.status, 2);
    EXPECT_FALSE(fs::exists(folder / "x.wav"));
}

TEST_F(Tool, TrueAndResampledTuningsPlaceTheResonancesWhereTheyWereTuned) {
    // Oboe I's strongest resonance at the tuned rate.
    std::vector<float> impulse(44000, 0.0f);
    impulse[0] = 1.0f;
    const double tuned = strongestPeak(reference(impulse, 44000, 12), 44000);
    for (const int rate : {48000, 22050}) {
        std::vector<float> click(static_cast<size_t>(rate), 0.0f);
        click[static_cast<size_t>(rate / 10)] = 0.5f;
        writeAudio(folder / "click.wav", kFloatWav, rate, 1, click);
        const Outcome fixed =
            velmora({"render", "--body", "oboe1", "--tuning", "fixed", "click.wav", "fixed.wav"});
        EXPECT_TRUE(contains(fixed.err, "--tuning true")) << fixed.err;
        for (const char* tuning : {"--tuning=true", "--tuning=resample", "--retune"}) {
            const Outcome run =
                velmora({"render", "--body", "oboe1", tuning, "click.wav", "out.wav"});
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_FALSE(contains(run.err, "tuned for")) << run.err;
            const Audio out = readAudio(folder / "out.wav");
            EXPECT_EQ(out.info.samplerate, rate);
            EXPECT_EQ(out.info.frames, rate);
            const double peak = strongestPeak(out.samples, rate);
            EXPECT_NEAR(peak, tuned, 0.005 * tuned) << rate << " Hz, " << tuning;
        }
        // Fixed, the resonance moves with the rate.
        const double moved = strongestPeak(readAudio(folder / "fixed.wav").samples, rate);
        EXPECT_NEAR(moved, tuned * rate / 44000.0, 0.005 * tuned) << rate << " Hz";
        // Stereo, and the click where it was.
        std::vector<float> pair;
        for (const float x : click) {
            pair.push_back(x);
            pair.push_back(-x);
        }
        writeAudio(folder / "pair.wav", kFloatWav, rate, 2, pair);
        ASSERT_EQ(velmora({"render", "--body", "pass", "--retune", "pair.wav", "p.wav"}).status, 0);
        const Audio through = readAudio(folder / "p.wav");
        ASSERT_EQ(through.info.frames, rate);
        const std::vector<float> left = through.channel(0);
        const auto loudest = std::max_element(
            left.begin(), left.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); });
        EXPECT_EQ(loudest - left.begin(), rate / 10) << rate;
        EXPECT_NEAR(through.channel(1)[static_cast<size_t>(rate / 10)], -*loudest, 1e-6);
    }
}

TEST_F(Tool, RateResamplesTheOutput) {
    // Oboe I at 44000 Hz, its resonance and a click where they were, at 48000 Hz.
    std::vector<float> click(44000, 0.0f);
    click[4400] = 0.5f;
    writeAudio(folder / "click.wav", kFloatWav, 44000, 1, click);
    const double tuned = strongestPeak(reference(click, 44000, 12), 44000);
    const Outcome run =
        velmora({"render", "--body", "oboe1", "click.wav", "out.wav", "--rate", "48000"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio out = readAudio(folder / "out.wav");
    EXPECT_EQ(out.info.samplerate, 48000);
    EXPECT_EQ(out.info.frames, 48000);
    EXPECT_NEAR(strongestPeak(out.samples, 48000), tuned, 0.005 * tuned);
    ASSERT_EQ(velmora({"render", "--body", "pass", "click.wav", "p.wav", "--rate", "96000"}).status,
              0);
    const std::vector<float> through = readAudio(folder / "p.wav").samples;
    const auto loudest = std::max_element(through.begin(), through.end(), [](float a, float b) {
        return std::fabs(a) < std::fabs(b);
    });
    EXPECT_EQ(loudest - through.begin(), 9600);

    // Opus resamples a rate it lacks to 48000 Hz by itself, and says so.
    writeAudio(folder / "cd.wav", kPcm16, 44100, 2, testSignal(2, 44100, 0.3f));
    const Outcome opus = velmora({"render", "--body", "1", "cd.wav", "cd.opus"});
    ASSERT_EQ(opus.status, 0) << opus.err;
    EXPECT_TRUE(contains(opus.err, "resampled to 48000 Hz")) << opus.err;
    EXPECT_EQ(readAudio(folder / "cd.opus").info.samplerate, 48000);
}

TEST_F(Tool, TailAddsTheRingOut) {
    const int rate = 44000;
    const std::vector<float> dry = testSignal(2, rate / 5, 0.3f);
    writeAudio(folder / "in.wav", kPcm16, rate, 2, dry);
    auto framesWith = [&](std::vector<std::string> options, const std::string& out) {
        std::vector<std::string> args = {"render", "--body", "cello1", "in.wav", out};
        args.insert(args.end(), options.begin(), options.end());
        const Outcome run = velmora(args);
        EXPECT_EQ(run.status, 0) << run.err;
        return readAudio(folder / out).info.frames;
    };
    EXPECT_EQ(framesWith({}, "a.wav"), rate / 5);
    EXPECT_EQ(framesWith({"--tail", "0.5"}, "a.wav"), rate / 5 + rate / 2);

    // Until it stays below the output's smallest step: past the end of the
    // automatic tail a longer one holds nothing louder.
    const int64_t automatic = framesWith({"--tail"}, "auto.wav");
    EXPECT_GT(automatic, rate / 5 + rate / 20);
    EXPECT_LT(automatic, rate / 5 + 2 * rate);
    ASSERT_EQ(framesWith({"--tail", "2", "--float"}, "long.wav"), rate / 5 + 2 * rate);
    const Audio longer = readAudio(folder / "long.wav");
    const Audio cut = readAudio(folder / "auto.wav");
    double after = 0.0;
    for (size_t i = static_cast<size_t>(automatic * 2); i < longer.samples.size(); ++i)
        after = std::max(after, double{std::fabs(longer.samples[i])});
    EXPECT_LT(after, 1.0 / 32768);
    // And the ring-out continues the same signal.
    for (size_t i = 0; i < cut.samples.size(); i += 101) {
        EXPECT_NEAR(cut.samples[i], longer.samples[i], 1.0 / 16384) << i;
    }
    // A float output rings on to -120 dBFS.
    EXPECT_GT(framesWith({"--tail", "--float"}, "f.wav"), automatic);
}

TEST_F(Tool, ABatchRendersEveryFileItCanAndSaysWhichFailed) {
    const int rate = 44000;
    writeAudio(folder / "a.wav", kPcm16, rate, 2, testSignal(2, 5000, 0.3f));
    writeAudio(folder / "b.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 1,
               testSignal(1, 7000, 0.3f));
    writeAudio(folder / "c.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, rate, 1,
               testSignal(1, 3000, 0.3f));
    std::ofstream(folder / "bad.wav") << "not a sound file";

    // Fixed tuning, which notes a rate away from 44000 Hz per file.
    const Outcome run = velmora({"render", "--body", "cello1", "--tuning", "fixed", "a.wav",
                                 "bad.wav", "b.flac", "c.aiff", "--out-dir", "out"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(filesIn(folder / "out"), (std::vector<std::string>{"a.wav", "b.flac", "c.aiff"}));
    EXPECT_TRUE(contains(run.out, "bad.wav")) << run.out;
    EXPECT_TRUE(contains(run.out, "failed")) << run.out;
    EXPECT_TRUE(contains(run.err, "3 of 4 files rendered, 1 failed")) << run.err;
    EXPECT_TRUE(contains(run.err, "b.flac: the bodies are tuned")) << run.err;
    for (const std::string name : {"a.wav", "b.flac", "c.aiff"}) {
        ASSERT_EQ(velmora({"render", "--body", "cello1", "--tuning", "fixed", name, "one-" + name})
                      .status,
                  0);
        EXPECT_TRUE(readText(folder / "out" / name) == readText(folder / ("one-" + name))) << name;
    }

    const Outcome good = velmora({"render", "--body", "8", "a.wav", "c.aiff", "--out-dir", "flac",
                                  "--format", "flac", "-q"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.out, "");
    EXPECT_EQ(filesIn(folder / "flac"), (std::vector<std::string>{"a.flac", "c.flac"}));
    EXPECT_EQ(readAudio(folder / "flac" / "a.flac").info.frames, 5000);
}

TEST_F(Tool, StandardInputToStandardOutput) {
    const std::vector<float> dry = testSignal(1, 6000, 0.3f);
    writeAudio(folder / "in.wav", kFloatWav, 44000, 1, dry);
    Launch shell;
    shell.program = "/bin/sh";
    shell.stdoutPipe = true;
    const Outcome run = velmora(
        {"-c", "cat in.wav | " VELMORA_TOOL " render --body viola1 --gain 0 - - --type wav"},
        shell);
    ASSERT_EQ(run.status, 0) << run.err;
    std::ofstream(folder / "piped.wav", std::ios::binary) << run.out;
    const Audio out = readAudio(folder / "piped.wav");
    EXPECT_EQ(out.samples, reference(dry, 44000, 4));
    EXPECT_TRUE(contains(run.err, "standard output: Viola I")) << run.err;
}

TEST_F(Tool, ImpulseResponsesConvolveToTheRender) {
    const Outcome run = velmora({"ir", "--body", "cello1", "--rate", "48000", "cello.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio ir = readAudio(folder / "cello.wav");
    EXPECT_EQ(ir.info.format, kFloatWav);
    EXPECT_EQ(ir.info.samplerate, 48000);
    EXPECT_LT(ir.info.frames, 48000 * 5);

    const std::vector<float> dry = testSignal(1, 30000, 0.5f);
    writeAudio(folder / "in.wav", kFloatWav, 48000, 1, dry);
    ASSERT_EQ(velmora({"render", "--body", "cello1", "in.wav", "out.wav"}).status, 0);
    const std::vector<float> rendered = readAudio(folder / "out.wav").samples;
    // Float precision: the error is of the order of the output's last bits,
    // with the response cut where it ends and with it whole.
    ASSERT_EQ(
        velmora({"ir", "--body", "8", "--rate", "48000", "--length", "1", "whole.wav"}).status, 0);
    const double scale = peakOf(rendered);
    for (const char* name : {"cello.wav", "whole.wav"}) {
        const std::vector<float> convolved =
            convolve(dry, readAudio(folder / name).samples, rendered.size());
        double worst = 0.0;
        for (size_t i = 0; i < rendered.size(); ++i)
            worst = std::max(worst, double{std::fabs(rendered[i] - convolved[i])});
        EXPECT_LT(worst, 1e-6 * scale) << name;
    }

    const Outcome all = velmora({"ir", "--body", "all", "--length", "0.25", "irs"});
    ASSERT_EQ(all.status, 0) << all.err;
    const auto files = filesIn(folder / "irs");
    EXPECT_EQ(files.size(), 17u);
    EXPECT_EQ(readAudio(folder / "irs" / "cor-anglais-ii.wav").info.frames, 11000);
}

TEST_F(Tool, ThePlotIsDrawnInTheFormatItsNameSays) {
    const Outcome run = velmora({"response", "--plot", "r.svg", "--rate", "48000"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string svg = readText(folder / "r.svg");
    EXPECT_TRUE(contains(svg, "<svg")) << svg.substr(0, 200);
    // Every body, the pass filter too, with its peak named.
    for (const char* name : {"Pass filter", "Violin I", "Cor Anglais II", "Sympathetic",
                             "Cellos and basses", "48000 Hz", "1346 Hz"}) {
        EXPECT_TRUE(contains(svg, name)) << name;
    }
    ASSERT_EQ(velmora({"response", "--body", "oboe2", "--plot", "o.pdf"}).status, 0);
    EXPECT_EQ(readText(folder / "o.pdf").substr(0, 5), "%PDF-");
    ASSERT_EQ(velmora({"response", "--body", "oboe2", "--plot", "o.png"}).status, 0);
    EXPECT_EQ(readText(folder / "o.png").substr(1, 3), "PNG");
    const Outcome gif = velmora({"response", "--plot", "r.gif"});
    EXPECT_EQ(gif.status, 1);
    EXPECT_TRUE(contains(gif.err, ".png, .svg or .pdf")) << gif.err;
}

}  // namespace
