// velmora response: each body's magnitude response, its peak, a table and a plot.
#include "response.h"

#include <cmath>
#include <cstdio>

#include "commands.h"
#include "loaded_module.h"
#include "plot.h"
#include "tool_error.h"

namespace velmora::tool {

namespace {

struct ResponseOptions {
    std::string modulePath;
    std::string body = "all";
    int rate = kTunedRate;
    std::string tuning;  // true (empty: not given) or fixed
    std::string csv;
    std::string plot;
};

void printPeaks(const std::vector<Response>& responses) {
    std::printf("%-21s %9s %11s %12s\n", "body", "peak gain", "level", "frequency");
    for (const Response& r : responses) {
        std::printf("%3d  %-16s %9.4f %+8.2f dB %9.2f Hz\n", r.body.number, r.body.name.c_str(),
                    r.peak.gain, 20.0 * std::log10(r.peak.gain), r.peak.frequency);
    }
}

void measure(const ResponseOptions& options) {
    const LoadedModule module = loadModule(options.modulePath);
    std::vector<Body> bodies;
    if (options.body == "all") {
        if (module.bodies.empty()) throw Error("the module lists no bodies");
        bodies = module.bodies;
    } else {
        bodies.push_back(findBody(module.bodies, options.body));
    }
    if (!options.plot.empty()) checkPlotName(options.plot);
    const Tuning tuning = options.tuning == "fixed" ? Tuning::Fixed : Tuning::True;
    if (tuning == Tuning::Fixed) noteTuning(options.rate);

    const std::vector<Response> responses =
        measureAll(*module.library, bodies, options.rate, tuning);
    printPeaks(responses);
    std::fflush(stdout);  // before any file that is standard output too
    if (!options.csv.empty()) writeResponseCsv(options.csv, responses);
    if (!options.plot.empty()) plotOrTable(options.plot, responses, options.csv);
}

}  // namespace

Command addResponseCommand(CLI::App& app) {
    CLI::App* command =
        app.add_subcommand("response", "Measure the bodies' magnitude responses and their peaks");
    auto options = std::make_shared<ResponseOptions>();
    addModuleOption(*command, options->modulePath);
    command->add_option("--body", options->body, "Body by name or number, or all")
        ->capture_default_str();
    command->add_option("--rate", options->rate, "Sample rate in Hz")
        ->check(wholeNumber(1000, 768000))
        ->capture_default_str();
    addTuningOption(*command, options->tuning, false);
    command->add_option("--csv", options->csv, "Write the responses (dB) as CSV");
    command->add_option("--plot", options->plot,
                        "Draw the responses with gnuplot, as .png, .svg or .pdf");
    return {command, [options] { measure(*options); }};
}

}  // namespace velmora::tool
