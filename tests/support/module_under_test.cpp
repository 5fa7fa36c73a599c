#include "module_under_test.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace velmora::test {

const host::ModuleLibrary& moduleLibrary() {
    static std::unique_ptr<host::ModuleLibrary> library = [] {
        std::string error;
        const char* override = std::getenv("VELMORA_MODULE");
        const std::string path = override != nullptr ? override : host::defaultModulePath(".");
        auto loaded = host::ModuleLibrary::load(path, error);
        if (loaded == nullptr) {
            ADD_FAILURE() << error;
            std::abort();
        }
        return loaded;
    }();
    return *library;
}

}  // namespace velmora::test
