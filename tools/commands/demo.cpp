// velmora demo: a synthetic bowed string through every body, ready to listen to.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "audio_file.h"
#include "commands.h"
#include "demo_source.h"
#include "driver.h"
#include "loaded_module.h"
#include "plot.h"
#include "response.h"
#include "tool_error.h"

namespace velmora::tool {

namespace fs = std::filesystem;

namespace {

OutputFormat demoFormat() {
    OutputFormat format;
    format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    format.integerBits = 16;
    return format;
}
constexpr float kPeakLevel = 0.891f;  // -1 dBFS: loud, with room for the converter

double rms(const std::vector<float>& samples) {
    double sum = 0.0;
    for (const float x : samples)
        sum += double(x) * x;
    return std::sqrt(sum / std::max<size_t>(1, samples.size()));
}

// Every file at the same peak, since the bodies' gains differ by tens of dB.
void normalise(std::vector<float>& samples) {
    float peak = 0.0f;
    for (const float x : samples)
        peak = std::max(peak, std::fabs(x));
    if (peak == 0.0f) return;
    for (float& x : samples)
        x *= kPeakLevel / peak;
}

struct Written {
    std::string file;
    std::string what;
    std::string detail;
};

void demo(const std::string& modulePath, const fs::path& folder) {
    const LoadedModule module = loadModule(modulePath);
    if (module.bodies.empty()) throw Error("the module lists no bodies");
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw Error("cannot make " + folder.string() + ": " + error.message());

    std::vector<float> source = bowedString(kTunedRate);
    const double sourceRms = rms(source);
    std::vector<Written> written;

    host::RenderSettings settings;
    settings.sampleRate = kTunedRate;
    for (const Body& body : module.bodies) {
        checkInterrupted();
        settings.type = static_cast<int16_t>(body.number);
        std::vector<float> wet;
        std::string failure;
        if (!host::render(*module.library, settings, source, wet, failure)) throw Error(failure);
        char level[32];
        std::snprintf(level, sizeof level, "%+5.1f dB", 20.0 * std::log10(rms(wet) / sourceRms));
        char number[16];
        std::snprintf(number, sizeof number, "%02d-", body.number);
        const std::string file = number + fileStem(body) + ".wav";
        normalise(wet);
        writeAudioFile(folder / file, demoFormat(), kTunedRate, 1, wet);
        written.push_back({file, body.name, level});
    }
    normalise(source);
    writeAudioFile(folder / "dry.wav", demoFormat(), kTunedRate, 1, source);
    written.insert(written.begin(), {"dry.wav", "the source, unprocessed", ""});

    const auto responses = measureAll(*module.library, module.bodies, kTunedRate, Tuning::True);
    const fs::path plot = plotOrTable(folder / "response.png", responses);
    written.push_back({plot.filename().string(), "magnitude response of every body", ""});

    std::printf("Wrote %zu files to %s (mono, %d Hz, 16-bit WAV, %.1f s, peaks at -1 dBFS):\n",
                written.size(), folder.c_str(), kTunedRate,
                static_cast<double>(source.size()) / kTunedRate);
    // Every file is normalised; the level is what the body did before that.
    std::printf("  %-24s %-34s %s\n", "file", "contents", "body's RMS gain");
    for (const Written& w : written) {
        std::printf("  %-24s %-34s %s\n", w.file.c_str(), w.what.c_str(), w.detail.c_str());
    }
}

}  // namespace

Command addDemoCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand(
        "demo", "Play a synthetic bowed string through every body and plot their responses");
    auto modulePath = std::make_shared<std::string>();
    auto folder = std::make_shared<std::string>("out/demo");
    addModuleOption(*command, *modulePath);
    command->add_option("--out", *folder, "Folder for the files")->capture_default_str();
    return {command, [modulePath, folder] { demo(*modulePath, *folder); }};
}

}  // namespace velmora::tool
