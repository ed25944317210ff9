// The module files: version texts, folder chains, copies, their registry records and their
// removal, done directly.
#include <windows.h>
#include <shlwapi.h>

#include <cwchar>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "common/handles.h"
#include "deploy/deploy_names.h"
#include "direct.h"
#include "support/machine.h"

namespace qelmo::bench::direct {

namespace {

std::wstring FileVersionText(const std::wstring& path) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (!size) return L"";
    std::vector<BYTE> block(size);
    void* text = nullptr;
    UINT units = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion", &text, &units))
        return L"";
    return static_cast<const wchar_t*>(text);
}

// A module file appears under its name only when whole: copied beside it, flushed, renamed.
void CopyAndFlush(const std::wstring& from, const std::wstring& to) {
    if (!PathFileExistsW(from.c_str()) || PathFileExistsW(to.c_str())) return;
    const std::wstring temporary = to + deploy::kModuleCopySuffix;
    if (!CopyFileW(from.c_str(), temporary.c_str(), TRUE)) return;
    FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (file) {
        FlushFileBuffers(file.get());
        file.reset();
    }
    MoveFileExW(temporary.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
}

std::wstring DevicePath(const std::wstring& path) {
    wchar_t device[MAX_PATH] = {};
    QueryDosDeviceW(path.substr(0, 2).c_str(), device, MAX_PATH);
    return std::wstring(device) + path.substr(2);
}

// The add-on's key made one level at a time below the service key, as the plug-in makes it.
void CreateKeyChain(std::initializer_list<const wchar_t*> levels) {
    RegKeyHandle parent;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                      parent.put()) != ERROR_SUCCESS)
        return;
    for (const wchar_t* level : levels) {
        RegKeyHandle created;
        if (RegCreateKeyExW(parent.get(), level, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            created.put(), nullptr) != ERROR_SUCCESS)
            return;
        parent = std::move(created);
    }
}

}  // namespace

// The module chains, copies and their registry records for one package.
void DeployModules(const std::wstring& package) {
    const std::wstring system = test::SystemDir(), wow = test::Wow64Dir();
    struct Module {
        const std::wstring* base;
        const wchar_t* group;
        const wchar_t* source;
        const wchar_t* file;
    };
    const Module modules[] = {{&system, L"KipMon", L"kipmon64.dll", L"kipmon64.dll"},
                              {&wow, L"KipMon", L"kipmon.dll", L"kipmon.dll"},
                              {&system, L"AddOn", L"AddOn\\KipEvt64.dll", L"KipEvt64.dll"},
                              {&wow, L"AddOn", L"AddOn\\KipEvt.dll", L"KipEvt.dll"}};
    const std::wstring engineVersion = FileVersionText(package + L"\\kipmon64.dll");
    const std::wstring addOnVersion = FileVersionText(package + L"\\AddOn\\KipEvt64.dll");
    for (const Module& m : modules) {
        const std::wstring& version =
            wcscmp(m.group, L"KipMon") == 0 ? engineVersion : addOnVersion;
        std::wstring folder = *m.base;
        for (const std::wstring& level :
             {std::wstring(L"qelmo"), std::wstring(L"20019"), std::wstring(m.group), version}) {
            folder += L"\\" + level;
            ReadDebugSwitch();
            if (!CreateDirectoryW(folder.c_str(), nullptr)) PathIsDirectoryW(folder.c_str());
        }
        const std::wstring target = folder + L"\\" + m.file;
        CopyAndFlush(package + L"\\" + m.source, target);
        if (wcscmp(m.file, L"kipmon64.dll") == 0) {
            SetSz(kServiceKey, L"QELMOMonDll64Name", target);
            SetSz(kServiceKey, L"QELMOMonDll64NameDev", DevicePath(target));
        } else if (wcscmp(m.file, L"kipmon.dll") == 0) {
            SetSz(kServiceKey, L"QELMOMonDllName", target);
            SetSz(kServiceKey, L"QELMOMonDllNameDev", DevicePath(target));
        } else {
            const wchar_t* addOn = wcscmp(m.file, L"KipEvt64.dll") == 0 ? L"KipEvt64" : L"KipEvt";
            const std::wstring key = std::wstring(kServiceKey) + L"\\AddOn\\" + addOn;
            CreateKeyChain({L"AddOn", addOn});
            SetSz(key, L"path", target);
            SetSz(key, L"devpath", DevicePath(target));
            SetSz(key, L"version", version);
        }
        FlushServiceKey();
    }
}

void RemoveModuleFile(const std::wstring& path, int folders) {
    DeleteFileW(path.c_str());
    std::wstring folder = path;
    for (int i = 0; i < folders; ++i) {
        folder = folder.substr(0, folder.rfind(L'\\'));
        RemoveDirectoryW(folder.c_str());
    }
}

}  // namespace qelmo::bench::direct
