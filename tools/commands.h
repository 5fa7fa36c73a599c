// The tool's commands. Each adds its subcommand and options to the app and
// answers the subcommand with what runs it once the command line is parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

namespace velmora::tool {

struct Command {
    CLI::App* subcommand;
    std::function<void()> run;
};

Command addInfoCommand(CLI::App& app);
Command addRenderCommand(CLI::App& app);
Command addResponseCommand(CLI::App& app);
Command addDemoCommand(CLI::App& app);
Command addValidateCommand(CLI::App& app);

// --module, which every command takes.
void addModuleOption(CLI::App& command, std::string& path);

}  // namespace velmora::tool
