// velmora: hear the module's bodies, check a build, process recordings.
#include <CLI/CLI.hpp>
#include <iostream>
#include <vector>

#include "commands.h"
#include "module_library.h"
#include "tool_error.h"

using namespace velmora::tool;

void velmora::tool::addModuleOption(CLI::App& command, std::string& path) {
    command.add_option(
        "--module", path,
        "Module library to load (default: " + host::moduleFileName() + " beside velmora)");
}

int main(int argc, char** argv) {
    CLI::App app{"Velmora: instrument-body resonances for sound files"};
    app.require_subcommand(0, 1);

    const std::vector<Command> commands = {
        addInfoCommand(app),
#if VELMORA_SOUND_COMMANDS
        addRenderCommand(app),
        addResponseCommand(app),
        addIrCommand(app),
        addDemoCommand(app),
#endif
        addValidateCommand(app)
    };

    if (const auto status = parseCommandLine(app, commands, argc, argv)) return *status;

    installInterruptHandler();
    try {
        for (const Command& command : commands) {
            if (command.subcommand->parsed()) command.run();
        }
    } catch (const ExitStatus& e) {
        if (interruptingSignal() == 0) return e.status;
    } catch (const UsageError& e) {
        std::cerr << "velmora: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        // A wait cut short by an interrupt fails however it is worded.
        std::cerr << "velmora: " << (interruptingSignal() != 0 ? "interrupted" : e.what()) << '\n';
        if (interruptingSignal() == 0) return 1;
    }
    // As shell tools end when interrupted: 128 and the signal's number.
    if (interruptingSignal() != 0) return 128 + interruptingSignal();
    return 0;
}
