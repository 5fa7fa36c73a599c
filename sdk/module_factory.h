// What the host interface layer needs from the one module a library offers.
// Declared here, defined by the module; the exports reach the module only
// through these.
#pragma once

#include <cstdint>

#include "abi.h"

class SEModule_base;

struct ModuleDescription {
    const char* name;   // shown to the host as both name and identifier
    const char* about;  // four lines separated by line feeds
    int32_t version;
};

// Constant data of the library, valid while it is loaded.
const ModuleDescription& moduleDescription() noexcept;

// A new instance, or null when it cannot be allocated. Nothing is sent to the host.
SEModule_base* createModule(HostCallback callback, intptr_t hostValue) noexcept;
