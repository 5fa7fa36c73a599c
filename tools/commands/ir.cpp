// velmora ir: the bodies' impulse responses as float WAV files, for
// convolution reverbs and samplers.
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "audio_file.h"
#include "body_channels.h"
#include "commands.h"
#include "loaded_module.h"
#include "output_format.h"
#include "tool_error.h"

namespace velmora::tool {

namespace fs = std::filesystem;

namespace {

struct IrOptions {
    std::string modulePath;
    std::string body;
    int rate = kTunedRate;
    std::string tuning;   // true (empty: not given) or fixed
    double length = 0.0;  // seconds; 0 until the response decays below kQuiet
    std::string output;
};

// -120 dB of energy: where a response is taken to have ended.
constexpr double kQuiet = 1e-12;
// The longest response measured to find that end.
constexpr double kLongest = 20.0;

std::vector<float> impulseResponse(const LoadedModule& module, const Body& body,
                                   const IrOptions& options) {
    host::RenderSettings settings;
    settings.sampleRate = static_cast<float>(options.rate);
    settings.type = static_cast<int16_t>(body.number);
    const double seconds = options.length > 0.0 ? options.length : kLongest;
    const auto frames = static_cast<int32_t>(std::llround(seconds * options.rate));
    const Tuning tuning = options.tuning == "fixed" ? Tuning::Fixed : Tuning::True;
    std::vector<float> response =
        tool::impulseResponse(*module.library, settings, tuning, std::max(frames, 1));
    if (options.length == 0.0) {
        // Cut where what is left holds less than -120 dB of the energy, so
        // that a convolution with it misses less than that of the output.
        double total = 0.0;
        for (const float x : response)
            total += double{x} * x;
        double rest = 0.0;
        size_t end = response.size();
        while (end > 1 && rest + double{response[end - 1]} * response[end - 1] <= kQuiet * total) {
            --end;
            rest += double{response[end]} * response[end];
        }
        response.resize(end);
    }
    return response;
}

void writeResponses(const IrOptions& options) {
    if (options.body.empty() || options.output.empty()) {
        throw UsageError(
            "ir needs --body NAME (or all) and where to write: velmora ir --body NAME "
            "OUT.wav, or --body all FOLDER");
    }
    const LoadedModule module = loadModule(options.modulePath);
    std::vector<std::pair<Body, fs::path>> jobs;
    if (options.body == "all") {
        std::error_code error;
        // A name like a sound file's is a slip for one body, not a folder to make.
        const std::string extension = fs::path(options.output).extension().string();
        const bool soundName = std::string(".wav.wave.flac.aif.aiff.caf.w64.rf64.au.ogg.opus.mp3.")
                                   .find(extension + ".") != std::string::npos;
        if (extension.size() > 1 && soundName && !fs::is_directory(options.output, error)) {
            throw UsageError("--body all writes one file per body into a folder, and " +
                             options.output +
                             " names a file; give a folder, or one body for one file");
        }
        fs::create_directories(options.output, error);
        if (!fs::is_directory(options.output)) {
            throw Error("--body all writes one file per body into a folder; cannot make " +
                        options.output);
        }
        for (const Body& body : module.bodies)
            jobs.emplace_back(body, fs::path(options.output) / (fileStem(body) + ".wav"));
    } else {
        jobs.emplace_back(findBody(module.bodies, options.body), options.output);
    }
    if (options.tuning == "fixed") noteTuning(options.rate);

    SourceFormat source;
    source.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    source.sampleRate = options.rate;
    source.channels = 1;
    FormatRequest request;
    request.bits = "float";
    for (const auto& [body, path] : jobs) {
        checkInterrupted();
        const OutputFormat format = chooseOutputFormat(path.string(), source, request);
        const std::vector<float> response = impulseResponse(module, body, options);
        writeAudioFile(path, format, options.rate, 1, response);
        std::printf("%s: %s, %zu frames (%.3f s) at %d Hz\n", path.string().c_str(),
                    body.name.c_str(), response.size(),
                    static_cast<double>(response.size()) / options.rate, options.rate);
    }
}

}  // namespace

Command addIrCommand(CLI::App& app) {
    CLI::App* command =
        app.add_subcommand("ir", "Write the bodies' impulse responses as 32-bit float WAV files");
    auto options = std::make_shared<IrOptions>();
    addModuleOption(*command, options->modulePath);
    command->add_option("--body", options->body,
                        "Body by name or number, or all for every body into a folder");
    command->add_option("--rate", options->rate, "Sample rate in Hz")
        ->check(wholeNumber(1000, 768000))
        ->capture_default_str();
    addTuningOption(*command, options->tuning, false);
    command
        ->add_option("--length", options->length,
                     "Seconds (default: until what is left of the response is below -120 dB)")
        ->check(numberBetween(0.0001, 60.0));
    command->add_option("output", options->output, "The WAV file, or with --body all a folder");
    return {command, [options] { writeResponses(*options); }};
}

}  // namespace velmora::tool
