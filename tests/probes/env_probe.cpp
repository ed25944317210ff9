// Prints what the plug-in's load-time facilities found in this process: the module that was bound
// as wintrust.dll, and the environment-path table. System tests copy this program under other
// names (oxalHost.exe) and beside planted DLLs, then read its output.
#include <windows.h>

#include <cstdio>

#include "common/env_paths.h"

int main() {
    wchar_t path[MAX_PATH] = {};
    const auto& catalog = qelmo::Catalog();
    if (catalog.wintrust) GetModuleFileNameW(catalog.wintrust, path, MAX_PATH);
    wprintf(L"wintrust=%ls\n", path);
    wprintf(L"catalog_usable=%d\n", catalog.usable ? 1 : 0);
    for (const auto& [token, value] : qelmo::EnvironmentPathTable())
        wprintf(L"%ls=%ls\n", token.c_str(), value.c_str());
    return 0;
}
