// Steps that the monitor engine and the event add-on deployment share: building a version folder
// below a system folder and placing one module file there without ever replacing one.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace qelmo::deploy {

// Builds base\qelmo\20019\<group>\<version> one level at a time into `folder`. 0 when the last
// level exists as a directory; otherwise the error of the level that failed (the levels before it
// stay). An empty base (the system folder is unknown) fails before anything is created.
DWORD CreateModuleFolder(const std::wstring& base, const wchar_t* group,
                         const std::wstring& version, std::wstring& folder);

// Where one module file goes: its version folder, the file in the package and its target there.
struct ModuleFileSite {
    std::wstring folder;
    std::wstring source;
    std::wstring target;
};

// Builds the version folder of `fileName` below `systemFolder` (CreateModuleFolder), logs it with
// `folderLog` and fills `site` with the folder and the file's source in `sourceFolder` and its
// target. False when the folder cannot be built.
bool PrepareModuleFileSite(const std::wstring& systemFolder, const wchar_t* group,
                           const std::wstring& version, const wchar_t* folderLog,
                           const std::wstring& sourceFolder, const wchar_t* fileName,
                           ModuleFileSite& site);

// How the "file has been exists" line names the two paths of one module file.
struct ModuleFileLabels {
    const wchar_t* source;
    const wchar_t* target;
};

enum class PlaceResult { kCopied, kSkipped, kFailed };

// Copies source to target unless the source is missing or the target is already there (then
// kSkipped and the line naming both; a target of another size is kept with a warning). A source
// that cannot be looked at fails. The target's name appears only once the copy is whole;
// `beforeVisible` (when given) runs once the copy is whole and before it gets its name. A failed
// copy logs "Failed to copy file." with both paths at `copyFailureLevel`. A target path too long
// for its buffer fails before anything is copied.
PlaceResult PlaceModuleFile(const std::wstring& source, const std::wstring& target,
                            const ModuleFileLabels& labels, unsigned copyFailureLevel,
                            const std::function<void()>& beforeVisible = {});

// Fails (with a log line) when the path and its NUL do not fit a path buffer.
bool CheckPathFits(const std::wstring& path);

// Opens the service key for querying and flushes it, so the values just written reach the disk.
void FlushServiceKey();

}  // namespace qelmo::deploy
