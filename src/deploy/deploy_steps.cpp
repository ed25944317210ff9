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

PlaceResult PlaceModuleFile(const std::wstring& source, const std::wstring& target,
                            const ModuleFileLabels& labels, unsigned copyFailureLevel,
                            const std::function<void()>& beforeVisible) {
    if (!CheckPathFits(source) || !CheckPathFits(target)) return PlaceResult::kFailed;
    // A module file in place is never replaced: the version text names a new folder instead. The
    // one exception is a file shorter than the package's: no whole copy of this version can be
    // shorter, so it is what an interrupted copy of an earlier build left, and it is replaced
    // (whole, in one rename). When that fails (the file is in use) it stays, as before.
    // A source that cannot be looked at (access denied, a full disk) is not a missing source: the
    // file would be reported as placed without being there.
    const bool sourceThere = PathFileExistsW(source.c_str()) != FALSE;
    if (!sourceThere && !NothingThere(GetLastError())) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, copyFailureLevel, kLogCopyFailed, kLogCopyFrom,
             source, kLogCopyTo, target);
        return PlaceResult::kFailed;
    }
    const bool targetThere = PathFileExistsW(target.c_str()) != FALSE;
    const bool cutShort = sourceThere && targetThere && FileShorterThan(target, source);
    if (cutShort) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kWarn, kLogReplaceCutShort, target);
        if (CopyFileWhole(source, target, kModuleCopySuffix, true, beforeVisible))
            return PlaceResult::kCopied;
    }
    if (!sourceThere || targetThere) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace, kLogFileExists, labels.source,
             source, labels.target, target);
        return PlaceResult::kSkipped;
    }
    // The file becomes visible under its name only when it is whole.
    if (!CopyFileWhole(source, target, kModuleCopySuffix, false, beforeVisible)) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, copyFailureLevel, kLogCopyFailed, kLogCopyFrom,
             source, kLogCopyTo, target);
        return PlaceResult::kFailed;
    }
    return PlaceResult::kCopied;
}

void FlushServiceKey() {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kServiceKey, 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS)
        return;
    RegKeyHandle key(opened);
    RegFlushKey(key.get());
}

}  // namespace qelmo::deploy
