// velmora render: a sound file through one body, every channel on its own instance.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "audio_file.h"
#include "commands.h"
#include "driver.h"
#include "loaded_module.h"
#include "output_file.h"
#include "output_format.h"
#include "progress.h"
#include "tool_error.h"

namespace velmora::tool {

namespace fs = std::filesystem;

namespace {

struct RenderOptions {
    std::string modulePath;
    std::string body;
    std::string input;
    std::string output;
    bool asFloat = false;
    bool noDither = false;
    double quality = std::nan("");  // unset
    FormatRequest format;
    int blockFrames = 512;
};

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(a, b, error) && !error;
}

std::string seconds(int64_t frames, int rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(frames) / rate);
    return text;
}

std::string decibels(double gain) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f dB", 20.0 * std::log10(gain));
    return text;
}

std::string plural(int64_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Where the input holds NaN or infinite samples, which no sound file should.
struct NonFiniteInput {
    int64_t count = 0;
    int64_t firstFrame = 0;
    int firstChannel = 0;

    void scan(const float* samples, int64_t frames, int channels, int64_t startFrame) {
        for (int64_t i = 0; i < frames * channels; ++i) {
            if (std::isfinite(samples[i])) continue;
            if (count++ == 0) {
                firstFrame = startFrame + i / channels;
                firstChannel = static_cast<int>(i % channels);
            }
        }
    }
};

void render(const RenderOptions& options) {
    if (options.body.empty()) {
        throw Error("render needs --body NAME or NUMBER (velmora info lists the bodies)");
    }
    if (options.input.empty() || options.output.empty()) {
        throw Error("render needs an input and an output: velmora render --body NAME IN OUT");
    }
    const LoadedModule module = loadModule(options.modulePath);
    const Body& body = findBody(module.bodies, options.body);

    AudioReader input(options.input);
    const OutputTarget target = findOutput(options.output, true);
    if (target.kind != OutputTarget::Kind::StandardOutput && sameFile(options.input, target.file)) {
        throw Error("the output " + options.output + " is the input; choose another name");
    }
    FormatRequest request = options.format;
    if (!std::isnan(options.quality)) request.quality = options.quality;
    if (options.asFloat) {
        if (!request.bits.empty() && request.bits != "float") {
            throw Error("--float and --bits " + request.bits + " ask for different samples");
        }
        request.bits = "float";
    }
    const int rate = input.sampleRate();
    const int channelCount = input.channels();
    SourceFormat source;
    source.format = input.format();
    source.sampleRate = rate;
    source.channels = channelCount;
    source.frames = input.declaredFrames();
    source.hasLayout = input.metadata().layoutMatters();
    const OutputFormat format = chooseOutputFormat(options.output, source, request);

    host::RenderSettings settings;
    settings.sampleRate = static_cast<float>(rate);
    settings.blockFrames = options.blockFrames;
    settings.type = static_cast<int16_t>(body.number);
    std::vector<std::unique_ptr<host::Channel>> channels;
    for (int c = 0; c < channelCount; ++c) {
        std::string error;
        channels.push_back(host::Channel::start(*module.library, settings, error));
        if (channels.back() == nullptr) throw Error(error);
    }
    noteTuning(rate);
    if (!format.note.empty()) note(format.note);

    OutputFile output(target);
    AudioWriter writer(output.descriptor(), target.describe(), format, rate, channelCount,
                       !options.noDither);
    const std::vector<std::string> lost = writer.keep(input.metadata());

    // Whole blocks per chunk, so that every block the module sees is full
    // until the file's last.
    const int64_t chunk = options.blockFrames * std::max(1, 16384 / options.blockFrames);
    std::vector<float> interleaved(static_cast<size_t>(chunk * channelCount));
    std::vector<float> in(static_cast<size_t>(chunk));
    std::vector<float> out(static_cast<size_t>(chunk));
    Progress progress("rendering " + fs::path(options.output).filename().string(), input.frames(),
                      int64_t{30} * rate);
    NonFiniteInput nonFinite;
    int64_t done = 0;
    for (;;) {
        checkInterrupted();
        const int64_t frames = input.read(interleaved.data(), chunk);
        if (frames == 0) break;
        nonFinite.scan(interleaved.data(), frames, channelCount, done);
        for (int c = 0; c < channelCount; ++c) {
            for (int64_t i = 0; i < frames; ++i)
                in[i] = interleaved[i * channelCount + c];
            channels[c]->process(in.data(), out.data(), static_cast<int32_t>(frames));
            for (int64_t i = 0; i < frames; ++i)
                interleaved[i * channelCount + c] = out[i];
        }
        writer.write(interleaved.data(), frames);
        done += frames;
        progress.update(done);
    }
    progress.finish();
    writer.close();
    output.commit();

    // The summary goes with the other messages when the sound takes standard output.
    std::FILE* summary = target.kind == OutputTarget::Kind::StandardOutput ? stderr : stdout;
    std::fprintf(summary, "%s: %s, %s, %.2f s at %d Hz, %s\n", target.describe().c_str(),
                 body.name.c_str(), plural(channelCount, "channel", "channels").c_str(),
                 static_cast<double>(done) / rate, rate, describeFormat(format.format).c_str());
    std::fflush(summary);

    const std::string inputName = options.input;
    // An MP3's length is an estimate unless a read failed.
    const bool estimated = (input.format() & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
    if (done < input.declaredFrames() && (!estimated || !input.problem().empty())) {
        note(inputName + " is cut short: its header promises " +
             plural(input.declaredFrames(), "frame", "frames") + " (" +
             seconds(input.declaredFrames(), rate) + ") but it holds " +
             plural(done, "frame", "frames") + " (" + seconds(done, rate) +
             (input.problem().empty() ? ")" : "; " + input.problem() + ")") +
             ", so the output is as short");
    }
    if (nonFinite.count > 0) {
        note(inputName + " holds " + plural(nonFinite.count, "sample", "samples") +
             " that are not numbers (NaN) or infinite, the first at " +
             seconds(nonFinite.firstFrame, rate) + " (frame " +
             std::to_string(nonFinite.firstFrame) + ", channel " +
             std::to_string(nonFinite.firstChannel + 1) + ")");
    }
    if (writer.nonFiniteSamples() > 0) {
        note(plural(writer.nonFiniteSamples(), "sample", "samples") +
             " of the output are not numbers or infinite" +
             (format.integerBits > 0 ? "; they are written as 0 or full scale" : ""));
    }
    if (!lost.empty()) {
        std::string what;
        for (size_t i = 0; i < lost.size(); ++i) {
            if (i > 0) what += i + 1 == lost.size() ? " and " : ", ";
            what += lost[i];
        }
        note(containerName(format.format) + " has no place for " + what + " of " + inputName +
             ", so the output goes without");
    }
    const double peak = writer.peak();
    if (writer.clippedSamples() > 0) {
        note(plural(writer.clippedSamples(), "sample", "samples") +
             " went beyond full scale and were clipped (the output peaks at " + decibels(peak) +
             "FS); " +
             (format.holdsFloat ? "--bits float keeps them"
                                : "a .wav output with --bits float keeps them"));
    } else if (peak > 1.0 && format.integerBits == 0) {
        note("the output peaks at " + decibels(peak) + "FS, over full scale by " +
             decibels(peak).substr(1) +
             (format.lossy ? ": players will clip it"
                           : ": the float samples keep it, but players "
                             "and integer formats will clip it") +
             " unless it is turned down by that much");
    }
}

}  // namespace

Command addRenderCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand("render", "Play a sound file through one body");
    auto options = std::make_shared<RenderOptions>();
    addModuleOption(*command, options->modulePath);
    command->add_option("--body", options->body, "Body by name or number (see velmora info)");
    command->add_option("input", options->input, "Sound file to read (WAV, FLAC, AIFF, MP3, ...)");
    command->add_option("output", options->output,
                        "File to write, its format named by its extension; - for standard output");
    command->add_option("--bits", options->format.bits,
                        "Sample depth of a lossless output: 16, 24, 32 or float "
                        "(default: the input's)");
    command->add_flag("--float", options->asFloat, "The same as --bits float");
    command->add_flag("--no-dither", options->noDither,
                      "Round 16-bit and smaller samples without dither");
    command
        ->add_option("--quality", options->quality,
                     "Quality of an .ogg, .opus or .mp3 output, 0 (smallest) to 10 (best); "
                     "default: the encoder's")
        ->check(numberBetween(0.0, 10.0));
    command->add_option("--type", options->format.type,
                        "Format for - or a name without extension, as an extension (wav, flac, "
                        "...); default: the input's");
    command->add_option("--block", options->blockFrames, "Frames per processing block (1 to 65536)")
        ->check(wholeNumber(1, 65536))
        ->capture_default_str();
    return {command, [options] { render(*options); }};
}

}  // namespace velmora::tool
