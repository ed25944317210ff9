#include "service/inf_setup.h"

#include <setupapi.h>

#include <cstdio>
#include <cwchar>

#include "common/handles.h"
#include "common/log.h"
#include "common/trace.h"
#include "service/service_control.h"
#include "service/service_names.h"

#define INF_LOG(level, ...)                                                                      \
    do {                                                                                         \
        ::qelmo::LastErrorKeeper infLogKeep_;                                                    \
        QLOG(::qelmo::logid::kCatInstall, ::qelmo::logid::kSrcDriverManage, level, __VA_ARGS__); \
    } while (0)
#define INF_TRACE(name, ...)                                                          \
    QTRACE_SCOPE(name, ::qelmo::logid::kCatInstall, ::qelmo::logid::kSrcDriverManage, \
                 ::qelmo::logid::kTrace, __VA_ARGS__)

namespace qelmo {

namespace {

// A usable INF path: given, existing, and whole in the command line. A path that would be cut
// short is refused, so the setup function never runs the sections of some other (shorter) path.
bool UsableInfPath(const wchar_t* section, const wchar_t* infPath) {
    if (infPath == nullptr || *infPath == L'\0' || !PathExists(infPath)) return false;
    const int units = _scwprintf(svc::kInfCommandFormat, section, infPath);
    return units >= 0 && static_cast<size_t>(units) < svc::kInfCommandUnits;
}

struct SourceScan {
    std::wstring folder;   // the package folder, with its trailing separator
    std::wstring missing;  // the first queued source that does not exist
};

// Notes the first queued copy whose source file does not exist; the scan goes on. Only sources
// inside the package folder are judged: a path the setup code could not form whole (Wine's
// setup functions cut long paths short) says nothing about the package.
UINT CALLBACK NoteMissingSource(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) {
    if (notification != SPFILENOTIFY_QUEUESCAN_EX || !param1) return NO_ERROR;
    auto* scan = static_cast<SourceScan*>(context);
    const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
    if (!scan->missing.empty() || !paths->Source) return NO_ERROR;
    const std::wstring source = paths->Source;
    const bool inPackage =
        source.size() > scan->folder.size() &&
        CompareStringOrdinal(source.c_str(), static_cast<int>(scan->folder.size()),
                             scan->folder.c_str(), static_cast<int>(scan->folder.size()),
                             TRUE) == CSTR_EQUAL;
    if (inPackage && GetFileAttributesW(source.c_str()) == INVALID_FILE_ATTRIBUTES)
        scan->missing = source;
    return NO_ERROR;
}
}  // namespace

bool PathExists(const wchar_t* path) {
    return path != nullptr && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

std::wstring InfServiceName(const std::wstring& infPath) {
    const size_t slash = infPath.find_last_of(L"/\\");
    const size_t start = slash == std::wstring::npos ? 0 : slash + 1;
    const size_t dot = infPath.rfind(L'.');
    size_t end = dot == std::wstring::npos ? infPath.size() : dot;
    if (end < start) end = infPath.size();  // the last '.' belongs to a folder name
    return infPath.substr(start, end - start);
}

std::wstring BuildInfCommandLine(const wchar_t* section, const wchar_t* infPath) {
    wchar_t commandLine[svc::kInfCommandUnits] = {};
    _snwprintf_s(commandLine, svc::kInfCommandUnits, _TRUNCATE, svc::kInfCommandFormat,
                 section ? section : L"", infPath ? infPath : L"");
    commandLine[svc::kInfCommandUnits - 1] = L'\0';
    return commandLine;
}

bool InfSourceFilesPresent(const std::wstring& infPath) {
    const size_t slash = infPath.find_last_of(L"/\\");
    if (slash == std::wstring::npos) return true;
    const std::wstring folder = infPath.substr(0, slash);
    InfFileHandle inf(SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    if (!inf) return true;
    FileQueueHandle queue(SetupOpenFileQueue());
    if (!queue) return true;
    // The setup function runs the section with the INF's folder as the source (mode 128).
    if (!SetupInstallFilesFromInfSectionW(inf.get(), nullptr, queue.get(), svc::kInfInstallSection,
                                          folder.c_str(), 0))
        return true;
    SourceScan scan{folder + infPath[slash], std::wstring()};
    DWORD scanResult = 0;
    SetupScanFileQueueW(queue.get(), SPQ_SCAN_USE_CALLBACKEX, nullptr, &NoteMissingSource, &scan,
                        &scanResult);
    if (scan.missing.empty()) return true;
    INF_LOG(logid::kError, L"The driver package lacks ", scan.missing, L", which ", infPath,
            L" copies; its install section is not run.");
    return false;
}

BOOL _InstallDriverByInf(const wchar_t* infPath) {
    INF_TRACE(trace, L"_InstallDriverByInf", L"INF File Path: ", infPath);
    if (!UsableInfPath(svc::kInfInstallSection, infPath)) {
        INF_LOG(logid::kError, svc::kIncorrectInfPath);
        QTRACE_LEAVE(trace);
        return FALSE;
    }
    if (!InfSourceFilesPresent(infPath)) {
        QTRACE_LEAVE(trace);
        return FALSE;
    }
    const std::wstring commandLine = BuildInfCommandLine(svc::kInfInstallSection, infPath);
    // The setup function reports nothing; whether the service now exists is the outcome.
    InstallHinfSectionW(nullptr, nullptr, commandLine.c_str(), 0);

    const std::wstring serviceName = InfServiceName(infPath);
    const BOOL installed = IsDriverExist(serviceName.c_str());
    INF_LOG(logid::kTrace,
            installed ? L"called InstallHinfSectionW() Succeed!, command line: "
                      : L"called InstallHinfSectionW() Fail!, command line: ",
            commandLine);
    QTRACE_LEAVE(trace);
    return installed;
}

BOOL _UnInstallDriverByInf(const wchar_t* infPath) {
    INF_TRACE(trace, L"_UnInstallDriverByInf");
    if (!UsableInfPath(svc::kInfUninstallSection, infPath)) {
        INF_LOG(logid::kError, svc::kIncorrectInfPath);
        QTRACE_LEAVE(trace);
        return FALSE;
    }
    const std::wstring commandLine = BuildInfCommandLine(svc::kInfUninstallSection, infPath);
    InstallHinfSectionW(nullptr, nullptr, commandLine.c_str(), 0);
    QTRACE_LEAVE(trace);
    return TRUE;
}

}  // namespace qelmo
