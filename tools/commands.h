// The tool's commands. Each adds its subcommand and options to the app and
// answers the subcommand with what runs it once the command line is parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmora::tool {

// The tool's version, which is the module's it was built with.
inline constexpr int kVersion = 2230;

struct Command {
    CLI::App* subcommand;
    std::function<void()> run;
};

Command addInfoCommand(CLI::App& app);
Command addRenderCommand(CLI::App& app);
Command addResponseCommand(CLI::App& app);
Command addDemoCommand(CLI::App& app);
Command addIrCommand(CLI::App& app);
Command addValidateCommand(CLI::App& app);

// --module, which every command takes.
void addModuleOption(CLI::App& command, std::string& path);

// --tuning WORD: true or fixed, and where `withResample` (render) resample
// too. A word left empty means true.
CLI::Option* addTuningOption(CLI::App& command, std::string& word, bool withResample);

// An option whose value may be left out: `--name` alone, or followed by
// something that is not a number, means `--name=fallback`.
CLI::Option* addOptionalValue(CLI::App& command, const std::string& name, std::string& target,
                              const std::string& fallback, const std::string& description);

// Checks of option values that say in plain words what they take.
CLI::Validator wholeNumber(int64_t lowest, int64_t highest);
CLI::Validator numberBetween(double lowest, double highest);

// Parses the command line. A mistake in it is answered by a message that
// says in plain words what is wrong, and a suggestion where a name is
// nearly right; help and the version are printed. Answers the exit status
// when the program should stop there.
std::optional<int> parseCommandLine(CLI::App& app, const std::vector<Command>& commands, int argc,
                                    char** argv);

}  // namespace velmora::tool
