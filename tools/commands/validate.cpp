// velmora validate: a module library held against the interface and the
// module's rules, one line per check.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "checks.h"
#include "commands.h"
#include "crash_guard.h"
#include "loaded_module.h"
#include "subject.h"
#include "tool_error.h"

namespace velmora::tool {

namespace {

using namespace velmora::validate;

const char* datatypeWord(int32_t datatype) {
    const char* name = datatypeName(datatype);
    return name != nullptr ? name : "unknown";
}

std::string pinList(const std::vector<PinProperties>& pins) {
    std::string list;
    for (size_t i = 0; i < pins.size(); ++i) {
        const PinProperties& pin = pins[i];
        list += (i == 0 ? "" : ", ") + std::to_string(i) + " " +
                (pin.name != nullptr ? pin.name : "(unnamed)") + " (" + datatypeWord(pin.datatype) +
                (pin.direction == PinDirectionOutput ? " out)" : " in)");
    }
    return list.empty() ? "none declared" : list;
}

std::string reproduceCommand(const Options& options, const Check& check, uint32_t seed) {
    std::string command = "velmora validate";
    if (!options.modulePath.empty()) command += " --module " + options.modulePath;
    command += std::string(" --check ") + check.name + " --reproduce " + std::to_string(seed);
    if (options.soakSeconds > 0 && std::string(check.name) == "soak") {
        command += " --soak " + std::to_string(static_cast<int>(options.soakSeconds));
    }
    return command;
}

void printResult(const Options& options, const Check& check, const Result& result) {
    constexpr const char* indent = "                        ";
    if (result.skipped()) {
        std::printf("  skip  %-15s %s\n", check.name, result.skipReason()->c_str());
    } else if (!result.failed()) {
        std::printf("  pass  %-15s %s\n", check.name, result.summaryText().c_str());
    } else {
        const auto& failures = result.failures();
        for (size_t i = 0; i < failures.size(); ++i) {
            if (i == 0) {
                std::printf("  FAIL  %-15s %s\n", check.name, failures[i].c_str());
            } else {
                std::printf("%s%s\n", indent, failures[i].c_str());
            }
        }
        const int more = result.failureCount() - static_cast<int>(failures.size());
        if (more > 0) std::printf("%sand %d more\n", indent, more);
        if (!result.failedSeeds().empty() && !options.reproduce) {
            std::printf("%sreproduce: %s\n", indent,
                        reproduceCommand(options, check, result.failedSeeds().front()).c_str());
        }
    }
    for (const std::string& step : result.traced())
        std::printf("%s| %s\n", indent, step.c_str());
    std::fflush(stdout);
}

void validate(const Options& options) {
    const bool soakAsked =
        std::find(options.checks.begin(), options.checks.end(), "soak") != options.checks.end();
    if (soakAsked && options.soakSeconds <= 0) {
        throw UsageError("--check soak needs --soak SECONDS, how long to run it");
    }
    const auto begin = std::chrono::steady_clock::now();
    const std::string path = modulePathOrDefault(options.modulePath);
    std::printf("velmora validate: %s\n", path.c_str());

    std::string error;
    auto library = host::ModuleLibrary::load(path, error);
    if (library == nullptr) {
        std::printf("  FAIL  %-15s %s\n\nNo other check can run without the library.\n", "exports",
                    error.c_str());
        throw ExitStatus{1};
    }
    host::ModuleInfo info;
    const bool described = library->describe(info, error);

    FpWatch watch;
    Context context{*library, options, watch, {}, {}};
    installCrashGuard();
    learn(context);
    context.setupChanges = watch.takeChanges();
    std::vector<PinProperties> pins;
    {
        Subject probe(*library, watch);
        if (probe.create(error)) pins = probe.declarations();
    }
    std::printf("  module  %s\n",
                described ? (info.name + ", version " + std::to_string(info.version)).c_str()
                          : "describes itself not at all");
    std::printf("  pins    %s\n", pinList(pins).c_str());
    if (options.reproduce) {
        std::printf("  seed    reproducing trial %u\n\n", *options.reproduce);
    } else {
        std::printf("  seed    %llu, %d iterations\n\n",
                    static_cast<unsigned long long>(options.seed), options.iterations);
    }
    std::fflush(stdout);

    int passed = 0;
    int failed = 0;
    int skipped = 0;
    for (const Check& check : allChecks()) {
        if (!options.checks.empty() && std::find(options.checks.begin(), options.checks.end(),
                                                 check.name) == options.checks.end()) {
            continue;
        }
        checkInterrupted();
        Result result;
        setRunningCheck(check.name);
        if (check.behavioural && !context.known.problem.empty()) {
            result.skip(context.known.problem);
        } else {
            check.run(context, result);
        }
        for (std::string& change : watch.takeChanges())
            result.fail(change);
        printResult(options, check, result);
        if (result.failed()) {
            ++failed;
        } else if (result.skipped()) {
            ++skipped;
        } else {
            ++passed;
        }
    }
    setRunningCheck("the end");

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("\n%d checks: %d passed, %d failed", passed + failed + skipped, passed, failed);
    if (skipped > 0) std::printf(", %d skipped", skipped);
    std::printf(" (%.1f s)\n", seconds);
    std::fflush(stdout);
    if (failed > 0) throw ExitStatus{1};
}

std::string checkNames() {
    std::string names;
    for (const Check& check : allChecks())
        names += std::string("\n  ") + check.name + std::string(15 - std::strlen(check.name), ' ') +
                 check.about;
    return names;
}

}  // namespace

Command addValidateCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand(
        "validate", "Check a module library against the interface and the module's rules");
    auto options = std::make_shared<Options>();
    addModuleOption(*command, options->modulePath);
    command->add_option("--seed", options->seed, "Seed of the randomised checks (default 1)");
    command
        ->add_option("--iterations", options->iterations,
                     "Trials per randomised check (default 20)")
        ->check(wholeNumber(1, 1000000));
    auto reproduce = std::make_shared<uint32_t>(0);
    CLI::Option* reproduceOption =
        command->add_option("--reproduce", *reproduce,
                            "Run one trial with this seed, as a failure printed it, and trace it");
    command
        ->add_option("--soak", options->soakSeconds,
                     "Run the soak for this many seconds (default: no soak)")
        ->check(numberBetween(0.0, 1e6));
    std::vector<std::string> names;
    for (const Check& check : allChecks())
        names.push_back(check.name);
    command
        ->add_option("--check", options->checks,
                     "Run only these checks (repeat or list with commas):" + checkNames())
        ->delimiter(',')
        ->check(CLI::IsMember(names));
    return {command, [options, reproduce, reproduceOption] {
                if (reproduceOption->count() > 0) options->reproduce = *reproduce;
                validate(*options);
            }};
}

}  // namespace velmora::tool
