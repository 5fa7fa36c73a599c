#include "loaded_module.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "driver.h"
#include "tool_error.h"

namespace velmora::tool {

namespace {

std::string programDirectory() {
#if defined(_WIN32)
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return ".";
    return std::filesystem::path(self).parent_path().string();
#else
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
#endif
}

}  // namespace

std::string modulePathOrDefault(const std::string& path) {
    if (!path.empty()) return path;
    return std::filesystem::path(host::defaultModulePath(programDirectory()))
        .make_preferred()
        .string();
}

LoadedModule loadModule(const std::string& path) {
    const std::string file = modulePathOrDefault(path);
    std::string error;
    LoadedModule module;
    module.library = host::ModuleLibrary::load(file, error);
    if (module.library == nullptr) throw Error(error);
    if (!module.library->describe(module.info, error)) throw Error(error);
    if (!host::readPins(*module.library, module.pins, error)) throw Error(error);
    module.bodies = bodiesFrom(module.pins);
    return module;
}

void noteTuning(int rate, const std::string& remedy) {
    // A shift of 1 % (a sixth of a semitone) or less, such as 44100 Hz's
    // +0.2 %, is too small to hear as a different body.
    const double percent = 100.0 * (rate / double(kTunedRate) - 1.0);
    if (std::fabs(percent) <= 1.0) return;
    char shift[32];
    std::snprintf(shift, sizeof shift, "%+.1f%%", percent);
    note("the bodies are tuned for " + std::to_string(kTunedRate) + " Hz; at " +
         std::to_string(rate) + " Hz every resonance moves by " + shift +
         (remedy.empty() ? "" : "; " + remedy));
}

const char* datatypeName(int32_t datatype) {
    switch (datatype) {
        case PinTypeEnum:
            return "enumeration";
        case PinTypeByte:
            return "byte";
        case PinTypeAudio:
            return "audio";
        case PinTypeFloat:
            return "float";
        case PinTypeInt:
            return "integer";
        default:
            return nullptr;
    }
}

}  // namespace velmora::tool
