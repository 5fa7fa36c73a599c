// The module library a command works with, loaded and described once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "abi.h"
#include "bodies.h"
#include "module_library.h"

namespace velmora::tool {

// The rate at which the bodies' resonances sit where they were tuned; they
// are fixed fractions of the sample rate, so at other rates they move with it.
inline constexpr int kTunedRate = 44000;

struct LoadedModule {
    std::unique_ptr<host::ModuleLibrary> library;
    host::ModuleInfo info;
    std::vector<PinProperties> pins;
    std::vector<Body> bodies;
};

// `path`, or when empty the library built beside this program.
std::string modulePathOrDefault(const std::string& path);

// Loads `path`, or when empty the library built beside this program. Throws with
// the loader's or the host's message.
LoadedModule loadModule(const std::string& path);

// The name of a pin datatype, or null for a number no datatype has.
const char* datatypeName(int32_t datatype);

// Tells the user when `rate` moves the bodies' resonances audibly (by more
// than 1 %) from where they were tuned, with `remedy` after it when given.
void noteTuning(int rate, const std::string& remedy = "");

}  // namespace velmora::tool
