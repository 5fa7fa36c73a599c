// The library's two exports and its load entry.
#include "abi.h"
#include "module_factory.h"
#include "se_module_base.h"

#if defined(_WIN32)
#include <windows.h>
#define SE_EXPORT
#else
#define SE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

SE_EXPORT int32_t SE_CDECL getModuleProperties(int32_t index, ModuleProperties* record) noexcept {
    if (record == nullptr) return 0;
    const ModuleDescription& description = moduleDescription();
    record->version = description.version;  // whatever the index
    if (index != 0) return 0;
    record->name = description.name;
    record->id = description.name;
    record->about = description.about;
    return 1;
}

SE_EXPORT ModuleEntry* SE_CDECL makeModule(int32_t index, int32_t kind, HostCallback callback,
                                           intptr_t hostValue) noexcept {
    if (index != 0 || kind != 1) return nullptr;
    SEModule_base* module = createModule(callback, hostValue);
    return module != nullptr ? module->getEntry() : nullptr;
}

#if defined(_WIN32)
// The module does no work when the library is loaded or unloaded.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
#endif

}  // extern "C"
