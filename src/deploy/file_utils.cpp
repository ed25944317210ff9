#include "deploy/file_utils.h"

#include <shlwapi.h>

#include <cstring>
#include <cwchar>
#include <string_view>

#include "common/debug_log.h"
#include "common/driver_names.h"
#include "common/handles.h"
#include "common/log.h"
#include "deploy/deploy_names.h"
#include "deploy/version_text.h"

namespace qelmo {

namespace {

constexpr size_t kPathUnits = names::kFolderUnits;

// A name that creates exactly one folder level below the folder it is appended to. Separators
// would reach into other folders, and names made only of dots and blanks resolve to the folder
// itself or its parent once the system strips trailing dots and blanks.
bool IsSingleFolderName(const wchar_t* name) {
    if (!name || !*name) return false;
    bool onlyDotsAndBlanks = true;
    for (const wchar_t* p = name; *p; ++p) {
        if (*p == L'\\' || *p == L'/') return false;
        if (*p != L'.' && *p != L' ') onlyDotsAndBlanks = false;
    }
    return !onlyDotsAndBlanks;
}

}  // namespace

namespace Utilities {

int GetFileVersion(const std::wstring& path, std::wstring& version) {
    QLOG(logid::kCatAdapter, logid::kSrcUtilities, logid::kTrace, L"AddOn path is:", path);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        DWORD error = GetLastError();
        QLOG(logid::kCatAdapter, logid::kSrcUtilities, logid::kError,
             L"[Fail]GetFileVersionInfoSize fail, error code is: ", error);
        return 0;
    }
    QLOG(logid::kCatAdapter, logid::kSrcUtilities, logid::kTrace,
         L"GetFileVersionInfoSize Return value is:", size);

    LocalMem block(LocalAlloc(LPTR, size));
    if (!block) return 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.get())) return 0;

    const std::vector<TranslationText> texts = FileVersionTexts(block.get());
    // Every translation is asked in table order and the last text found wins. A query that fails
    // leaves the text of the earlier one in place.
    for (const TranslationText& entry : texts) {
        if (entry.found)
            QLOG(logid::kCatAdapter, logid::kSrcUtilities, logid::kTrace, L"File Version: ",
                 std::wstring_view(entry.text));
        else
            QLOG(logid::kCatAdapter, logid::kSrcUtilities, logid::kTrace, L"File Version: ",
                 static_cast<const wchar_t*>(nullptr));
    }
    const TranslationText* chosen = ChosenVersionText(texts);
    if (!chosen) return 0;
    version = chosen->text;
    return 1;
}

DWORD CreateFolder(std::wstring& folder, const wchar_t* name) {
    CDebugLog debugLog;
    debugLog.Init();

    // The string names the folder to be created whatever happens next.
    folder += L'\\';
    if (name) folder += name;

    DWORD error = ERROR_SUCCESS;
    if (!IsSingleFolderName(name)) {
        error = ERROR_INVALID_NAME;
    } else {
        if (CreateDirectoryW(folder.c_str(), nullptr)) return ERROR_SUCCESS;
        error = GetLastError();
    }

    if (error != ERROR_ALREADY_EXISTS) {
        QLOG(logid::kCatInstall, logid::kSrcUtilities, logid::kTrace,
             L"An error occurred while attempting to create a folder: ", folder, L", Error number:",
             error);
        debugLog.Write(nullptr,
                       L"[Utilities::CreateFolder] An error occurred while attempting to create a "
                       L"folder: %ls, error code: %d",
                       folder.c_str(), static_cast<int>(error));
        return error;
    }
    if (PathIsDirectoryW(folder.c_str())) {
        QLOG(logid::kCatInstall, logid::kSrcUtilities, logid::kTrace,
             L"The folder already exists: ", folder);
        debugLog.Write(nullptr, L"[Utilities::CreateFolder] The folder already exists: %ls",
                       folder.c_str());
        return ERROR_SUCCESS;
    }
    if (PathFileExistsW(folder.c_str())) {
        QLOG(logid::kCatInstall, logid::kSrcUtilities, logid::kError,
             L"Fatal: A file of the same name exists in place of the folder to be created: ",
             folder);
        debugLog.Write(nullptr,
                       L"[Utilities::CreateFolder] Fatal: A file of the same name exists in place "
                       L"of the folder to be created: %ls",
                       folder.c_str());
        return ERROR_ALREADY_EXISTS;
    }
    QLOG(logid::kCatInstall, logid::kSrcUtilities, logid::kError,
         L"Fatal: Create folder failed with error code ", static_cast<DWORD>(ERROR_ALREADY_EXISTS),
         L", folder=", folder);
    debugLog.Write(nullptr,
                   L"[Utilities::CreateFolder] Fatal: Create folder %ls failed, error code: %d",
                   folder.c_str(), static_cast<int>(ERROR_ALREADY_EXISTS));
    return ERROR_ALREADY_EXISTS;
}

std::wstring GetDevicePath(const wchar_t* path) {
    if (!path) return std::wstring();
    wchar_t expanded[kPathUnits] = {};
    // Only a path with a %NAME% in it changes by expansion; any other is taken as it is, with the
    // same limit the expansion has.
    DWORD needed = 0;
    if (wcschr(path, L'%')) {
        needed = ExpandEnvironmentStringsW(path, expanded, kPathUnits);
    } else {
        const size_t units = wcsnlen(path, kPathUnits);
        needed = static_cast<DWORD>(units + 1);
        if (units < kPathUnits) wmemcpy(expanded, path, units);
    }
    // The count includes the NUL; a larger one means the text did not fit.
    if (needed == 0 || needed > kPathUnits) return std::wstring();

    const size_t length = wcsnlen(expanded, kPathUnits);
    wchar_t drive[3] = {};
    for (size_t i = 0; i < 2 && i < length; ++i)
        drive[i] = expanded[i];
    wchar_t target[kPathUnits] = {};
    if (!QueryDosDeviceW(drive, target, kPathUnits)) target[0] = L'\0';
    target[kPathUnits - 1] = L'\0';

    std::wstring device(target);
    if (length > 2) device.append(expanded + 2, length - 2);
    // A device path that does not fit its buffer is no device path, not a shortened one.
    if (!FitsPathBuffer(device)) return std::wstring();
    return device;
}

}  // namespace Utilities

DWORD CALLBACK CopyProgressFlushRoutine(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER,
                                        DWORD, DWORD reason, HANDLE, HANDLE targetFile,
                                        LPVOID data) {
    if (reason != CALLBACK_STREAM_SWITCH || !data) return PROGRESS_CONTINUE;
    HANDLE* slot = static_cast<HANDLE*>(data);
    if (*slot) {
        KernelHandle previous(*slot);
        *slot = nullptr;
        FlushFileBuffers(previous.get());
    }
    HANDLE duplicate = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), targetFile, GetCurrentProcess(), &duplicate, 0, FALSE,
                        DUPLICATE_SAME_ACCESS))
        *slot = duplicate;
    return PROGRESS_CONTINUE;
}

int CopyFileAndFlush(const wchar_t* source, const wchar_t* target) {
    if (!source || !target || !*source || !*target) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    HANDLE slot = nullptr;
    BOOL copied = CopyFileExW(source, target, &CopyProgressFlushRoutine, &slot, nullptr, 0);
    KernelHandle written(slot);  // closed on return, keeping the copy's last error
    if (!copied) return 0;
    LastErrorKeeper keep;
    if (written) {
        FlushFileBuffers(written.get());
    } else {
        // Copies that never report a stream switch (Wine's do not call the routine at all) hand
        // out no handle; the new file is opened once more to flush it.
        FileHandle reopened(CreateFileW(target, GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (reopened) FlushFileBuffers(reopened.get());
    }
    return 1;
}

bool CopyFileWhole(const std::wstring& source, const std::wstring& target,
                   const wchar_t* temporarySuffix, const std::function<void()>& beforeRename) {
    const std::wstring temporary = target + temporarySuffix;
    bool placed = CopyFileAndFlush(source.c_str(), temporary.c_str()) != 0;
    if (placed) {
        if (beforeRename) beforeRename();
        placed = MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (placed) return true;
    LastErrorKeeper keep;
    DeleteFileW(temporary.c_str());
    return false;
}

bool NothingThere(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool FileSizesDiffer(const std::wstring& path, const std::wstring& reference) {
    WIN32_FILE_ATTRIBUTE_DATA file = {}, other = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &file) ||
        !GetFileAttributesExW(reference.c_str(), GetFileExInfoStandard, &other))
        return false;
    if ((file.dwFileAttributes | other.dwFileAttributes) & FILE_ATTRIBUTE_DIRECTORY) return false;
    const ULONGLONG size = (ULONGLONG{file.nFileSizeHigh} << 32) | file.nFileSizeLow;
    const ULONGLONG otherSize = (ULONGLONG{other.nFileSizeHigh} << 32) | other.nFileSizeLow;
    return size != otherSize;
}

int GetParentFolder(const std::wstring& path, std::wstring& folder) {
    if (path.empty()) return 0;
    size_t separator = path.rfind(L'\\');
    if (separator == std::wstring::npos) separator = path.rfind(L'/');
    if (separator == std::wstring::npos) return 0;
    folder = path.substr(0, separator);
    return 1;
}

}  // namespace qelmo
