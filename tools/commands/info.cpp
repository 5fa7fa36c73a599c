// velmora info: what the module says about itself.
#include <cstdio>
#include <sstream>

#include "commands.h"
#include "loaded_module.h"

namespace velmora::tool {

namespace {

std::string datatypeText(int32_t datatype) {
    const char* name = datatypeName(datatype);
    return name != nullptr ? name : "datatype " + std::to_string(datatype);
}

void printInfo(const std::string& modulePath) {
    const LoadedModule module = loadModule(modulePath);
    std::printf("%s, version %d\n", module.info.name.c_str(), module.info.version);
    std::printf("  library  %s\n", module.library->path().c_str());
    std::istringstream about(module.info.about);
    std::string line;
    for (bool first = true; std::getline(about, line); first = false) {
        std::printf("  %-7s  %s\n", first ? "about" : "", line.c_str());
    }

    std::printf("\nPins\n");
    if (module.pins.empty()) std::printf("  (none declared)\n");
    for (size_t i = 0; i < module.pins.size(); ++i) {
        const PinProperties& pin = module.pins[i];
        std::string detail = datatypeText(pin.datatype) +
                             (pin.direction == PinDirectionOutput ? " output" : " input");
        if (pin.defaultText != nullptr && *pin.defaultText != '\0') {
            detail += ", default " + std::string(pin.defaultText);
        }
        std::printf("  %zu  %-8s %s\n", i, pin.name != nullptr ? pin.name : "", detail.c_str());
    }

    std::printf("\nBodies (values of the enumeration input), tuned for %d Hz\n", kTunedRate);
    if (module.bodies.empty()) std::printf("  (none listed)\n");
    for (const Body& body : module.bodies)
        std::printf("  %3d  %s\n", body.number, body.name.c_str());
}

}  // namespace

Command addInfoCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand("info", "Show the module's name, pins and bodies");
    auto modulePath = std::make_shared<std::string>();
    addModuleOption(*command, *modulePath);
    return {command, [modulePath] { printInfo(*modulePath); }};
}

}  // namespace velmora::tool
