// The built module library, loaded once for the whole test program.
#pragma once

#include "instance.h"
#include "module_library.h"

namespace velmora::test {

// The library beside the test program (Module.so or Module.dll); a test that
// cannot load it fails with the loader's message.
const host::ModuleLibrary& moduleLibrary();

}  // namespace velmora::test
