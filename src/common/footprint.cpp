#include "common/footprint.h"

#include <cstring>

namespace qelmo::footprint {

namespace {

std::wstring WithBackslash(std::wstring folder) {
    if (folder.empty() || folder.back() != L'\\') folder += L'\\';
    return folder;
}

std::wstring Join(const std::wstring& folder, const wchar_t* name) {
    return folder + L'\\' + name;
}

}  // namespace

std::wstring DriversFolder(const std::wstring& windowsDirectory) {
    return WithBackslash(windowsDirectory) + kDriversSubfolder;
}

std::wstring DriverFileInSystemFolder(const std::wstring& systemDirectory,
                                      const wchar_t* serviceName) {
    return WithBackslash(systemDirectory) + kDriversFolderName + L'\\' +
           DriverFileName(serviceName);
}

std::wstring DriverFileName(const wchar_t* serviceName) {
    return std::wstring(serviceName) + kDriverFileSuffix;
}

std::wstring BackupFileName(const wchar_t* serviceName) {
    return std::wstring(serviceName) + kBackupFileSuffix;
}

std::wstring InfFileName(const wchar_t* serviceName) {
    return std::wstring(serviceName) + kInfSuffix;
}

std::wstring SysWow64FolderOf(const std::wstring& windowsDirectory) {
    return Join(windowsDirectory, kSysWow64Folder);
}

std::wstring ModuleRoot(const std::wstring& systemFolder) {
    return Join(systemFolder, kModuleRootFolder);
}

std::wstring OwnerFolder(const std::wstring& systemFolder) {
    return Join(ModuleRoot(systemFolder), names::kOwnerModuleFolder);
}

std::wstring ModuleFilePath(const std::wstring& systemFolder, const wchar_t* group,
                            const std::wstring& version, const wchar_t* file) {
    return Join(Join(Join(OwnerFolder(systemFolder), group), version.c_str()), file);
}

std::wstring PackageFilePath(const std::wstring& packageFolder, const ModuleRecord& record) {
    const std::wstring folder =
        record.packageFolder ? Join(packageFolder, record.packageFolder) : packageFolder;
    return Join(folder, record.fileName);
}

std::wstring PendingPathToDosPath(const std::wstring& stored, bool* replace) {
    std::wstring path = stored;
    const bool bang = !path.empty() && path[0] == L'!';
    if (bang) path.erase(0, 1);
    if (replace) *replace = bang;
    if (path.compare(0, 4, L"\\??\\") == 0) path.erase(0, 4);
    return path;
}

std::vector<PendingRename> ParsePendingRenames(const unsigned char* data, size_t bytes) {
    // Every NUL ends one string, empty ones included; text after the last NUL is a string too.
    std::vector<std::wstring> strings;
    std::wstring current;
    bool open = false;  // units seen since the last NUL
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        wchar_t unit = 0;
        memcpy(&unit, data + i, 2);  // no alignment assumed
        if (unit == L'\0') {
            strings.push_back(current);
            current.clear();
            open = false;
        } else {
            current += unit;
            open = true;
        }
    }
    if (open) strings.push_back(current);

    std::vector<PendingRename> pairs;
    for (size_t i = 0; i < strings.size(); i += 2) {
        const bool hasTarget = i + 1 < strings.size();
        const std::wstring& source = strings[i];
        const std::wstring target = hasTarget ? strings[i + 1] : std::wstring();
        if (source.empty() && target.empty()) continue;  // the list's closing NUL, or padding
        PendingRename op;
        op.source = PendingPathToDosPath(source);
        op.target = PendingPathToDosPath(target, &op.replace);
        op.incomplete = !hasTarget;
        pairs.push_back(op);
    }
    return pairs;
}

}  // namespace qelmo::footprint
