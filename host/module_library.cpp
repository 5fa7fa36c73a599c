#include "module_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace velmora::host {

#if defined(_WIN32)
void* loader::open(const std::string& path, std::string& error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        error = "cannot load " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
    }
    return reinterpret_cast<void*>(library);
}
void* loader::find(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void loader::close(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}
std::string moduleFileName() {
    return "Module.dll";
}
#else
void* loader::open(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown error");
    }
    return library;
}
void* loader::find(void* library, const char* name) {
    return dlsym(library, name);
}
void loader::close(void* library) {
    dlclose(library);
}
std::string moduleFileName() {
    return "Module.so";
}
#endif

std::string defaultModulePath(const std::string& programDirectory) {
    return (programDirectory.empty() ? std::string(".") : programDirectory) + "/" +
           moduleFileName();
}

std::unique_ptr<ModuleLibrary> ModuleLibrary::load(const std::string& path, std::string& error) {
    void* handle = loader::open(path, error);
    if (handle == nullptr) return nullptr;

    std::unique_ptr<ModuleLibrary> library(new ModuleLibrary);
    library->handle = handle;
    library->libraryPath = path;
    library->getProperties =
        reinterpret_cast<GetModulePropertiesFunction>(loader::find(handle, "getModuleProperties"));
    library->make = reinterpret_cast<MakeModuleFunction>(loader::find(handle, "makeModule"));
    if (library->getProperties == nullptr || library->make == nullptr) {
        error = path + " does not export " +
                (library->getProperties == nullptr ? "getModuleProperties" : "makeModule");
        return nullptr;
    }
    return library;
}

ModuleLibrary::~ModuleLibrary() {
    if (handle != nullptr) loader::close(handle);
}

bool ModuleLibrary::describe(ModuleInfo& info, std::string& error) const {
    ModuleProperties record{};
    if (getProperties(0, &record) != 1) {
        error = libraryPath + " describes no module at index 0";
        return false;
    }
    if (record.name == nullptr || record.id == nullptr || record.about == nullptr) {
        error = libraryPath + " left a text of its properties unset";
        return false;
    }
    info.name = record.name;
    info.id = record.id;
    info.about = record.about;
    info.version = record.version;
    return true;
}

}  // namespace velmora::host
