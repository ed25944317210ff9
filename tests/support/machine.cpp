#include "support/machine.h"

#include <gtest/gtest.h>

#include <cwctype>

#include "common/handles.h"
#include "support/log_capture.h"
#include "support/machine_parts.h"

namespace qelmo::test {
namespace {

using namespace layout;
using machine_parts::ErrorText;
using machine_parts::kPollMs;
using machine_parts::RemoveService;

// How long a file in use gets to be released before the clean-up gives up on it.
constexpr DWORD kFileReleaseLimitMs = 3000;

void DeleteKeyTree(const std::wstring& path, CleanReport& report) {
    LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }
    if (KeyExists(HKEY_LOCAL_MACHINE, path))
        report.problems.push_back(ErrorText(L"cannot delete HKLM\\" + path, status));
}

void DeleteOneFile(const std::wstring& path, CleanReport& report) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    // Wine keeps a driver image open for a moment after its start failed (longer on a loaded
    // machine): a file in use gets a few more tries.
    for (DWORD tries = kFileReleaseLimitMs / kPollMs;; --tries) {
        if (DeleteFileW(path.c_str())) return;
        const DWORD error = GetLastError();
        const bool inUse = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        if (!inUse || tries == 0) {
            report.problems.push_back(ErrorText(L"cannot delete " + path, error));
            return;
        }
        Sleep(kPollMs);
    }
}

bool AllDigits(const std::wstring& text, size_t from) {
    if (from >= text.size()) return false;
    for (size_t i = from; i < text.size(); ++i)
        if (!iswdigit(text[i])) return false;
    return true;
}

// Files in `folder` matching `pattern` that `select` accepts.
template <typename Pred>
std::vector<std::wstring> FindFiles(const std::wstring& folder, const std::wstring& pattern,
                                    Pred select) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data = {};
    FindHandle find(FindFirstFileW((folder + L"\\" + pattern).c_str(), &data));
    if (!find) return found;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::wstring name = data.cFileName;
        if (select(name)) found.push_back(folder + L"\\" + name);
    } while (FindNextFileW(find.get(), &data));
    return found;
}

void RemoveFiles(CleanReport& report) {
    for (const auto& folder : ModuleRoots())
        if (!RemoveTree(folder)) report.problems.push_back(L"cannot remove " + folder);

    const std::wstring drivers = DriversDir();
    DeleteOneFile(drivers + L"\\" + kDriverFile, report);
    DeleteOneFile(drivers + L"\\" + kBackupFile, report);
    DeleteOneFile(SystemDir() + L"\\" + kBackupFile, report);
    // Renamed out of the way: qelmo.sys.<tick count>, the count printed signed.
    const std::wstring renamedPrefix = std::wstring(kDriverFile) + L".";
    for (const auto& file : FindFiles(drivers, renamedPrefix + L"*", [&](const std::wstring& name) {
             size_t digits = renamedPrefix.size();
             if (digits < name.size() && name[digits] == L'-') ++digits;
             return AllDigits(name, digits);
         }))
        DeleteOneFile(file, report);

    for (const auto& file :
         FindFiles(SystemDir(), std::wstring(L"*") + kSafetyNetExtension, IsSafetyNetName))
        DeleteOneFile(file, report);
}

}  // namespace

std::string CleanReport::Text() const {
    std::string text;
    for (const auto& problem : problems)
        text += "  " + Narrow(problem) + "\n";
    return text;
}

CleanReport CleanMachine(const std::vector<std::wstring>& extraServices) {
    CleanReport report;
    std::vector<std::wstring> services{kService};
    services.insert(services.end(), extraServices.begin(), extraServices.end());

    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm)
        report.problems.push_back(ErrorText(L"OpenSCManager", GetLastError()));
    else
        for (const auto& name : services)
            RemoveService(scm.get(), name, report);

    for (const auto& name : services)
        DeleteKeyTree(kServicesKey + name, report);
    DeleteKeyTree(kVendorKey, report);
    RemoveFiles(report);

    report.clean = report.problems.empty();
    return report;
}

MachineGuard::MachineGuard(std::vector<std::wstring> extraServices)
    : extraServices_(std::move(extraServices)) {
    atStart_ = CleanMachine(extraServices_);
    if (!atStart_.clean)
        ADD_FAILURE() << "the machine could not be cleaned before the test:\n" << atStart_.Text();
}

MachineGuard::~MachineGuard() {
    CleanReport report = Restore();
    if (!report.clean) ADD_FAILURE() << "the test left the machine changed:\n" << report.Text();
}

CleanReport MachineGuard::Restore() {
    CleanReport report = CleanMachine(extraServices_);
    if (!pending_.Restore())
        report.problems.push_back(L"cannot restore PendingFileRenameOperations");
    report.clean = report.problems.empty();
    return report;
}

}  // namespace qelmo::test
