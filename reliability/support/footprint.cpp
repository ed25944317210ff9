#include "support/footprint.h"

#include <cwctype>

#include "common/handles.h"
#include "support/layout.h"
#include "support/machine.h"

namespace qelmo::reliability {

namespace {

constexpr int kMaxDepth = 40;

std::wstring Hex64(unsigned long long value) {
    wchar_t text[17] = {};
    for (int i = 15; i >= 0; --i, value >>= 4)
        text[i] = L"0123456789abcdef"[value & 0xF];
    return text;
}

// FNV-1a: enough to tell changed bytes apart.
unsigned long long Digest(const BYTE* bytes, size_t size) {
    unsigned long long hash = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

void AddKey(Snapshot& snapshot, HKEY key, const std::wstring& shownPath, int depth) {
    snapshot[L"k|" + Lower(shownPath)] = L"";
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxValueName = 0, maxValueData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values,
                         &maxValueName, &maxValueData, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<wchar_t> name(maxValueName + 2);
    std::vector<BYTE> data(maxValueData + 2);
    for (DWORD i = 0; i < values; ++i) {
        DWORD nameUnits = static_cast<DWORD>(name.size());
        DWORD dataBytes = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        LSTATUS status =
            RegEnumValueW(key, i, name.data(), &nameUnits, nullptr, &type, data.data(), &dataBytes);
        if (status == ERROR_MORE_DATA) {
            // Grown since the key was measured: measure this value and read it again.
            nameUnits = static_cast<DWORD>(name.size());
            dataBytes = 0;
            RegEnumValueW(key, i, name.data(), &nameUnits, nullptr, &type, nullptr, &dataBytes);
            data.resize(dataBytes + 2);
            nameUnits = static_cast<DWORD>(name.size());
            dataBytes = static_cast<DWORD>(data.size());
            status = RegEnumValueW(key, i, name.data(), &nameUnits, nullptr, &type, data.data(),
                                   &dataBytes);
        }
        if (status != ERROR_SUCCESS) continue;
        snapshot[L"v|" + Lower(shownPath) + L"|" + Lower(std::wstring(name.data(), nameUnits))] =
            std::to_wstring(type) + L":" + std::to_wstring(dataBytes) + L":" +
            Hex64(Digest(data.data(), dataBytes));
    }
    if (depth >= kMaxDepth) return;
    std::vector<wchar_t> subkey(maxSubkey + 2);
    std::vector<std::wstring> children;
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD units = static_cast<DWORD>(subkey.size());
        if (RegEnumKeyExW(key, i, subkey.data(), &units, nullptr, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS)
            children.emplace_back(subkey.data(), units);
    }
    for (const auto& child : children) {
        RegKeyHandle opened;
        if (RegOpenKeyExW(key, child.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, opened.put()) !=
            ERROR_SUCCESS) {
            snapshot[L"k|" + Lower(shownPath + L"\\" + child)] = L"(unreadable)";
            continue;
        }
        AddKey(snapshot, opened.get(), shownPath + L"\\" + child, depth + 1);
    }
}

std::wstring FileData(const WIN32_FIND_DATAW& data) {
    unsigned long long size =
        (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    unsigned long long written =
        (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime;
    return std::to_wstring(size) + L":" + Hex64(written);
}

void AddFolder(Snapshot& snapshot, const std::wstring& folder, bool recurse, int depth) {
    WIN32_FIND_DATAW data = {};
    FindHandle find(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, 0));
    if (!find) return;
    std::vector<std::wstring> subfolders;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            snapshot[L"d|" + Lower(path)] = L"";
            if (recurse && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                subfolders.push_back(path);
        } else {
            snapshot[L"f|" + Lower(path)] = FileData(data);
        }
    } while (FindNextFileW(find.get(), &data));
    find.reset();
    if (depth >= kMaxDepth) return;
    for (const auto& subfolder : subfolders)
        AddFolder(snapshot, subfolder, recurse, depth + 1);
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// `text` is `base` or lies below it (the next character is a separator).
bool AtOrBelow(const std::wstring& text, const std::wstring& base, wchar_t separator) {
    if (!StartsWith(text, base)) return false;
    return text.size() == base.size() || text[base.size()] == separator ||
           text[base.size()] == L'|';
}

bool IsSafetyNetFile(const std::wstring& entry, const std::wstring& systemPrefix) {
    if (!StartsWith(entry, systemPrefix)) return false;
    const std::wstring name = entry.substr(systemPrefix.size());
    return name.find(L'\\') == std::wstring::npos && test::layout::IsSafetyNetName(name);
}

}  // namespace

std::wstring Lower(std::wstring text) {
    if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

void AddRegistryTree(Snapshot& snapshot, HKEY root, const std::wstring& rootName,
                     const std::wstring& path) {
    RegKeyHandle key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return;
    AddKey(snapshot, key.get(), rootName + L"\\" + path, 0);
}

void AddFileTree(Snapshot& snapshot, const std::wstring& folder) {
    AddFolder(snapshot, folder, true, 0);
}

void AddFolderFiles(Snapshot& snapshot, const std::wstring& folder) {
    AddFolder(snapshot, folder, false, 0);
}

Snapshot TakeMachineSnapshot(const std::vector<std::wstring>& extraFolders) {
    Snapshot snapshot;
    AddRegistryTree(snapshot, HKEY_LOCAL_MACHINE, L"HKLM", L"SYSTEM\\CurrentControlSet\\Services");
    AddRegistryTree(snapshot, HKEY_LOCAL_MACHINE, L"HKLM", L"SYSTEM\\CurrentControlSet\\Control");
    AddRegistryTree(snapshot, HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE");
    AddRegistryTree(snapshot, HKEY_CURRENT_USER, L"HKCU", L"Software");

    wchar_t windows[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring windowsDir(windows, n);
    const std::wstring drive = windowsDir.substr(0, 2);
    AddFileTree(snapshot, windowsDir);
    AddFolderFiles(snapshot, drive);
    for (const wchar_t* folder : {L"\\ProgramData", L"\\Program Files", L"\\Program Files (x86)"})
        AddFileTree(snapshot, drive + folder);
    for (const auto& folder : extraFolders)
        AddFileTree(snapshot, folder);
    return snapshot;
}

std::vector<std::wstring> Changes(const Snapshot& before, const Snapshot& after) {
    std::vector<std::wstring> changes;
    auto b = before.begin();
    auto a = after.begin();
    while (b != before.end() || a != after.end()) {
        if (a == after.end() || (b != before.end() && b->first < a->first)) {
            changes.push_back(L"removed " + b->first);
            ++b;
        } else if (b == before.end() || a->first < b->first) {
            changes.push_back(L"added " + a->first);
            ++a;
        } else {
            if (a->second != b->second) changes.push_back(L"changed " + a->first);
            ++a;
            ++b;
        }
    }
    return changes;
}

bool InFootprint(const std::wstring& entry, const std::vector<std::wstring>& backupFiles) {
    namespace where = test::layout;
    static const std::wstring system = Lower(where::SystemDir());
    static const std::wstring serviceKey = Lower(std::wstring(L"hklm\\") + where::kServiceKey);
    static const std::wstring pending = Lower(
        std::wstring(L"v|hklm\\") + where::kSessionManagerKey + L"|" + where::kPendingRenames);
    static const std::wstring driverFile = Lower(where::InstalledDriverFile());
    static const std::vector<std::wstring> moduleRoots = [] {
        std::vector<std::wstring> roots;
        for (const auto& root : where::ModuleRoots())
            roots.push_back(Lower(root));
        return roots;
    }();

    // Wine's service manager counts every service start in this value: not the plug-in's doing.
    static const std::wstring serviceCounter =
        L"v|hklm\\system\\currentcontrolset\\control\\servicecurrent|";

    if (entry.size() < 2) return false;
    // Wine's display driver registers a video device (a new GUID key) when a process of the
    // session first creates a window station; again not the plug-in's doing.
    static const std::wstring videoDevices = L"hklm\\system\\currentcontrolset\\control\\video";
    if (entry == serviceCounter) return true;
    if ((entry.rfind(L"k|", 0) == 0 || entry.rfind(L"v|", 0) == 0) &&
        AtOrBelow(entry.substr(2), videoDevices, L'\\'))
        return true;
    const std::wstring kind = entry.substr(0, 2);
    const std::wstring rest = entry.substr(2);
    if (kind == L"k|" || kind == L"v|")
        return entry == pending || AtOrBelow(rest, serviceKey, L'\\');
    for (const auto& root : moduleRoots)
        if (AtOrBelow(rest, root, L'\\')) return true;
    if (kind != L"f|") return false;
    if (rest == driverFile) return true;
    if (IsSafetyNetFile(rest, system + L"\\")) return true;
    for (const auto& backup : backupFiles)
        if (rest == backup) return true;
    return false;
}

std::vector<std::wstring> ChangesOutsideFootprint(const Snapshot& before, const Snapshot& after,
                                                  const std::vector<std::wstring>& backupFiles) {
    std::vector<std::wstring> outside;
    for (const auto& change : Changes(before, after)) {
        const size_t space = change.find(L' ');
        if (!InFootprint(change.substr(space + 1), backupFiles)) outside.push_back(change);
    }
    return outside;
}

}  // namespace qelmo::reliability
