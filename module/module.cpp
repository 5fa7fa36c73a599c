#include "module.h"

#include <new>

#include "module_factory.h"

namespace {

constexpr ModuleDescription kDescription{
    "Velmora",
    "Velmora\n"
    "Written by the Velmora developers.\n"
    "\n"
    "You may use this module freely in any host and any work, commercial or not.",
    2230,
};

}  // namespace

const ModuleDescription& moduleDescription() noexcept { return kDescription; }

SEModule_base* createModule(HostCallback callback, intptr_t hostValue) noexcept {
    return new (std::nothrow) Module(callback, hostValue);
}

void Module::onPinStatusChange(SEPin*) {}

void Module::open() { SEModule_base::open(); }

bool Module::getPinProperties(int32_t, PinProperties*) { return false; }

void SE_CDECL Module::processSilence(void*, int32_t, int32_t) {}
