// velmora render: a sound file through one body, every channel on its own instance.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "audio_file.h"
#include "commands.h"
#include "driver.h"
#include "loaded_module.h"
#include "progress.h"
#include "staged_file.h"
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
    int blockFrames = 512;
};

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(a, b, error) && !error;
}

void render(const RenderOptions& options) {
    const LoadedModule module = loadModule(options.modulePath);
    const Body& body = findBody(module.bodies, options.body);

    AudioReader input(options.input);
    const fs::path outputPath = options.output;
    if (sameFile(options.input, outputPath)) {
        throw Error("the output " + outputPath.string() + " is the input; choose another name");
    }
    const int format = outputFormat(outputPath, input.format(), options.asFloat);

    const int channelCount = input.channels();
    host::RenderSettings settings;
    settings.sampleRate = static_cast<float>(input.sampleRate());
    settings.blockFrames = options.blockFrames;
    settings.type = static_cast<int16_t>(body.number);
    std::vector<std::unique_ptr<host::Channel>> channels;
    for (int c = 0; c < channelCount; ++c) {
        std::string error;
        channels.push_back(host::Channel::start(*module.library, settings, error));
        if (channels.back() == nullptr) throw Error(error);
    }

    StagedFile staged(outputPath);
    AudioWriter writer(staged.path(), format, input.sampleRate(), channelCount);
    noteTuning(input.sampleRate());

    // Whole blocks per chunk, so that every block the module sees is full
    // until the file's last.
    const int64_t chunk = options.blockFrames * std::max(1, 16384 / options.blockFrames);
    std::vector<float> interleaved(static_cast<size_t>(chunk * channelCount));
    std::vector<float> in(static_cast<size_t>(chunk));
    std::vector<float> out(static_cast<size_t>(chunk));
    Progress progress("rendering " + outputPath.filename().string(), input.frames(),
                      int64_t{30} * input.sampleRate());
    int64_t done = 0;
    for (;;) {
        checkInterrupted();
        const int64_t frames = input.read(interleaved.data(), chunk);
        if (frames == 0) break;
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
    staged.commit();

    std::printf("%s: %s, %d channel%s, %.2f s at %d Hz, %s\n", outputPath.c_str(),
                body.name.c_str(), channelCount, channelCount == 1 ? "" : "s",
                static_cast<double>(done) / input.sampleRate(), input.sampleRate(),
                describeFormat(format).c_str());
    if (writer.clippedSamples() > 0) {
        note(std::to_string(writer.clippedSamples()) +
             " samples went beyond full scale and were clipped; --float keeps them");
    }
}

}  // namespace

Command addRenderCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand("render", "Play a sound file through one body");
    auto options = std::make_shared<RenderOptions>();
    addModuleOption(*command, options->modulePath);
    command->add_option("--body", options->body, "Body by name or number (see velmora info)")
        ->required();
    command->add_option("input", options->input, "Sound file to read (WAV, FLAC, AIFF, ...)")
        ->required();
    command
        ->add_option("output", options->output,
                     "File to write, in the input's format unless --float")
        ->required();
    command->add_flag("--float", options->asFloat, "Write 32-bit float samples");
    command->add_option("--block", options->blockFrames, "Frames per processing block")
        ->check(CLI::Range(1, 65536))
        ->capture_default_str();
    return {command, [options] { render(*options); }};
}

}  // namespace velmora::tool
