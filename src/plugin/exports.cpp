// The plug-in's four exports and DllMain. All work lives in the subsystem libraries below
// qelmo_plugin.
#define QELMO_PLUGIN_BUILD
#include <windows.h>

#include <qelmo_version.h>

#include "common/env_paths.h"
#include "plugin/plugin_api.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        // The load-time facilities (catalog binding, environment paths) are built by static
        // initialisers before this runs; referencing them keeps them in the module.
        (void)qelmo::Catalog();
    }
    return TRUE;
}

// No exception leaves an export: the host calls through a C interface.
uint32_t Plugin_Interface_DriversDoAction(const DrvInfo* pDrvInfo, uint32_t count) {
    try {
        return qelmo::DriversDoAction(pDrvInfo, count);
    } catch (...) {
        qelmo::LogEscapedException(L"Plugin_Interface_DriversDoAction");
        return DRV_ERR_FAILED;
    }
}

uint32_t Plugin_Interface_EnumerateDriversInfo(DriverEnumCallback pfnCallback, void* pContext) {
    try {
        return qelmo::EnumerateDriversInfo(pfnCallback, pContext);
    } catch (...) {
        qelmo::LogEscapedException(L"Plugin_Interface_EnumerateDriversInfo");
        return DRV_ERR_FAILED;
    }
}

uint32_t Plugin_Interface_GetHelperOwnerModuleID(void) {
    return QELMO_OWNER_MODULE_ID;
}

void Plugin_Interface_GetModuleVersion(uint32_t* pVersion) {
    if (!pVersion) return;
    pVersion[0] = QELMO_VERSION_MAJOR;
    pVersion[1] = QELMO_VERSION_MINOR;
    pVersion[2] = QELMO_VERSION_PATCH;
}

}  // extern "C"
