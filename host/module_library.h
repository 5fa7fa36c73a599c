// Loading a module library at run time and reaching its two exports.
#pragma once

#include <memory>
#include <string>

#include "abi.h"

namespace velmora::host {

// The platform's loader, kept behind three calls so that each platform's
// version stands beside the other.
namespace loader {
void* open(const std::string& path, std::string& error);
void* find(void* library, const char* name);
void close(void* library);
}  // namespace loader

// What getModuleProperties tells of a module, copied out of the library.
struct ModuleInfo {
    std::string name;
    std::string id;
    std::string about;
    int32_t version = 0;
};

class ModuleLibrary {
  public:
    // The loaded library, or null with `error` saying why (file not found,
    // not a library, an export missing).
    static std::unique_ptr<ModuleLibrary> load(const std::string& path, std::string& error);
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    GetModulePropertiesFunction getModuleProperties() const { return getProperties; }
    MakeModuleFunction makeModule() const { return make; }
    const std::string& path() const { return libraryPath; }
    void* symbol(const char* name) const { return loader::find(handle, name); }

    // Index 0 described, or false with `error` saying what did not check out.
    bool describe(ModuleInfo& info, std::string& error) const;

  private:
    ModuleLibrary() = default;
    void* handle = nullptr;
    std::string libraryPath;
    GetModulePropertiesFunction getProperties = nullptr;
    MakeModuleFunction make = nullptr;
};

// The library file built beside the running program.
std::string defaultModulePath(const std::string& programDirectory);
std::string moduleFileName();

}  // namespace velmora::host
