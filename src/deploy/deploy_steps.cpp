#include "deploy/deploy_steps.h"

#include <shlwapi.h>

#include "common/driver_names.h"
#include "common/footprint.h"
#include "common/handles.h"
#include "common/log.h"
#include "deploy/deploy_names.h"
#include "deploy/file_utils.h"

namespace qelmo::deploy {

DWORD CreateModuleFolder(const std::wstring& base, const wchar_t* group,
                         const std::wstring& version, std::wstring& folder) {
    folder = base;
    if (base.empty()) {
        // Without it the chain would be built relative to the current drive's root.
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, kLogNoSystemFolder);
        return ERROR_PATH_NOT_FOUND;
    }
    const wchar_t* chain[] = {footprint::kModuleRootFolder, names::kOwnerModuleFolder, group,
                              version.c_str()};
    for (const wchar_t* level : chain) {
        DWORD result = Utilities::CreateFolder(folder, level);
        if (result != ERROR_SUCCESS) return result;
    }
    return ERROR_SUCCESS;
}

bool CheckPathFits(const std::wstring& path) {
    if (FitsPathBuffer(path)) return true;
    QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, kLogPathTooLong, path);
    return false;
}

bool PrepareModuleFileSite(const std::wstring& systemFolder, const wchar_t* group,
                           const std::wstring& version, const wchar_t* folderLog,
                           const std::wstring& sourceFolder, const wchar_t* fileName,
                           ModuleFileSite& site) {
    if (CreateModuleFolder(systemFolder, group, version, site.folder) != ERROR_SUCCESS)
        return false;
    QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace, folderLog, site.folder);
    site.source = sourceFolder + L'\\' + fileName;
    site.target = site.folder + L'\\' + fileName;
    return true;
}

PlaceResult PlaceModuleFile(const std::wstring& source, const std::wstring& target,
                            const ModuleFileLabels& labels, unsigned copyFailureLevel,
                            const std::function<void()>& beforeVisible) {
    if (!CheckPathFits(source) || !CheckPathFits(target)) return PlaceResult::kFailed;
    // A module file in place is never replaced: the version text names a new folder instead.
    // Copies are renamed into place whole (below), so a file of another size under this name can
    // only come from elsewhere: an interrupted copy of an earlier build, or another build with
    // the same version text. It is kept, and said so.
    // A source that cannot be looked at (access denied, a full disk) is not a missing source: the
    // file would be reported as placed without being there.
    const bool sourceThere = PathFileExistsW(source.c_str()) != FALSE;
    if (!sourceThere && !NothingThere(GetLastError())) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, copyFailureLevel, kLogCopyFailed, kLogCopyFrom,
             source, kLogCopyTo, target);
        return PlaceResult::kFailed;
    }
    if (!sourceThere || PathFileExistsW(target.c_str())) {
        if (sourceThere && FileSizesDiffer(target, source))
            QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kWarn, kLogSizeDiffers, target);
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace, kLogFileExists, labels.source,
             source, labels.target, target);
        return PlaceResult::kSkipped;
    }
    // The file becomes visible under its name only when it is whole.
    if (!CopyFileWhole(source, target, kModuleCopySuffix, beforeVisible)) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, copyFailureLevel, kLogCopyFailed, kLogCopyFrom,
             source, kLogCopyTo, target);
        return PlaceResult::kFailed;
    }
    return PlaceResult::kCopied;
}

void FlushServiceKey() {
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kServiceKey, 0, KEY_QUERY_VALUE, key.put()) ==
        ERROR_SUCCESS)
        RegFlushKey(key.get());
}

}  // namespace qelmo::deploy
