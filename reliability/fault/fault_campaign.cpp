// Fault-injection campaign: for each action and every counted call N of its recorded sequence, the
// action runs in reliability_fault_host with call N failing once, failing for good, or ending the
// process; then the machine is checked, and after a failure or a kill the same action runs again
// without faults and must succeed.
//
// Invariants per point:
//   - the host lives: no crash, no exception out of an export, no hang (each run bounded);
//   - the result is a code the action may return, and a success code only with the machine in that
//     success's state (driver file, service, PermCount, modules and their recorded paths);
//   - the drivers folder holds v1's or v2's qelmo.sys whole, never a partial one, and never none
//     where there was one before; no qelmo_backup.sys is left (after a kill: after the rerun);
//   - the action run again without faults succeeds and leaves the normal state.
//
//   reliability_fault [--actions a,b,...] [--modes once,always,kill] [--every K] [--file-points]
//                     [--all-errors] [--verbose]
//     --every K      every K-th point of each sequence (default 1: all)
//     --file-points  also every point of the update's file steps (with --every K > 1)
//     --all-errors   fail-once points for every failure of the function (default: one, rotating)
#include <windows.h>

#include <qelmo_plugin.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fault/fault_hooks.h"
#include "support/campaign.h"
#include "support/driver_state.h"
#include "support/machine.h"

namespace qelmo::reliability {
namespace {

constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qelmo";
constexpr const wchar_t* kSessionManagerKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* kPendingRenames = L"PendingFileRenameOperations";
constexpr const wchar_t* kV1ModuleVersion = L"6.0.1035";
constexpr const wchar_t* kV2ModuleVersion = L"6.0.2000";
constexpr double kRunLimitSeconds = 60;

// The machine an action starts from.
enum class Start { kClean, kInstalled, kRunning };

struct ActionSpec {
    const char* name;
    const wchar_t* hostAction;  // reliability_fault_host --action
    Start start;
    DWORD permCount;             // PermCount written before the action (installed machines)
    std::set<uint32_t> results;  // what the action may return
};

const std::vector<ActionSpec>& Actions() {
    static const std::vector<ActionSpec> actions = {
        {"install", L"install", Start::kClean, 1, {DRV_OK, DRV_ERR_ABORT, DRV_ERR_FAILED}},
        {"install-over", L"install", Start::kInstalled, 1, {DRV_OK, DRV_ERR_ABORT, DRV_ERR_FAILED}},
        {"update",
         L"update",
         Start::kRunning,
         1,
         {DRV_OK, DRV_OK_PENDING, DRV_ERR_FAILED, DRV_ERR_ROLLED_BACK, DRV_ERR_ABORT,
          DRV_ERR_ROLLBACK_FAILED}},
        {"uninstall-1",
         L"uninstall",
         Start::kInstalled,
         1,
         {DRV_OK, DRV_ERR_FAILED, DRV_ERR_ABORT, DRV_ERR_STOP_FAILED}},
        {"uninstall-2",
         L"uninstall",
         Start::kInstalled,
         2,
         {DRV_OK, DRV_ERR_FAILED, DRV_ERR_ABORT, DRV_ERR_STOP_FAILED}},
        {"enumerate", L"enumerate", Start::kRunning, 1, {DRV_OK}},
        {"batch",
         L"batch",
         Start::kClean,
         1,
         {DRV_OK, DRV_OK_PENDING, DRV_ERR_FAILED, DRV_ERR_ROLLED_BACK, DRV_ERR_ABORT,
          DRV_ERR_ROLLBACK_FAILED}},
    };
    return actions;
}

struct HostRun {
    ChildResult child;
    bool resultSeen = false;
    uint32_t result = 0;
    bool escaped = false;
    std::vector<std::string> sequence;
    std::string fault;
    int callbacks = -1;
    uint32_t reportedState = 0;
    std::string reportedVersion;
    std::vector<std::string> otherLines;
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

class Campaign {
public:
    Campaign(const std::wstring& work, const Options& options)
        : work_(work),
          host_(ProgramFolder() + L"reliability_fault_host.exe"),
          every_(std::max<uint64_t>(1, options.Number(L"--every", 1))),
          filePoints_(options.Has(L"--file-points")),
          allErrors_(options.Has(L"--all-errors")),
          verbose_(options.Has(L"--verbose")) {
        v1_ = work + L"\\v1";
        v2_ = work + L"\\v2";
    }

    bool Prepare();
    void RestorePendingRenames();
    // Every selected point of one action in the given modes; prints the action's line.
    void RunAction(const ActionSpec& action, const std::vector<fault::Mode>& modes);

    uint64_t points = 0;
    uint64_t violations = 0;
    std::vector<std::string> summaries;

private:
    HostRun RunHost(const ActionSpec& action, fault::Mode mode, uint32_t point, size_t error);
    bool SetUp(const ActionSpec& action);
    std::vector<std::string> Check(const ActionSpec& action, const HostRun& run, bool killed);
    std::vector<std::string> CheckState(const ActionSpec& action, uint32_t result,
                                        const HostRun& run);
    void CheckInstalled(const std::wstring& package, const std::wstring& moduleVersion,
                        DWORD permCount, std::vector<std::string>& problems);
    void CheckRemoved(std::vector<std::string>& problems);
    // "v1", "v2", "none" or "partial".
    std::string DriverFile();

    std::wstring work_, host_, v1_, v2_;
    uint64_t every_;
    bool filePoints_, allErrors_, verbose_;
    std::vector<char> driverV1_, driverV2_;
    test::RegValue pending_;
};

bool Campaign::Prepare() {
    bool ok1 = false, ok2 = false;
    if (!CopyPackageTo(L"v1", v1_) || !CopyPackageTo(L"v2", v2_)) return false;
    driverV1_ = ReadWholeFile(v1_ + L"\\qelmo.sys", &ok1);
    driverV2_ = ReadWholeFile(v2_ + L"\\qelmo.sys", &ok2);
    pending_ = test::ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
    return ok1 && ok2 && driverV1_ != driverV2_;
}

void Campaign::RestorePendingRenames() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    if (pending_.exists)
        RegSetValueExW(key, kPendingRenames, 0, pending_.type, pending_.bytes.data(),
                       pending_.Size());
    else
        RegDeleteValueW(key, kPendingRenames);
    RegCloseKey(key);
}

HostRun Campaign::RunHost(const ActionSpec& action, fault::Mode mode, uint32_t point,
                          size_t error) {
    static const wchar_t* const kModeNames[] = {L"pass", L"once", L"always", L"kill"};
    std::wstring command = L"\"" + host_ + L"\" --action " + action.hostAction + L" --v1 \"" + v1_ +
                           L"\" --v2 \"" + v2_ + L"\" --mode " +
                           kModeNames[static_cast<int>(mode)] + L" --point " +
                           std::to_wstring(point) + L" --error " + std::to_wstring(error);
    HostRun run;
    run.child = RunChild(
        command, work_,
        [&run](const std::string& line) {
            if (StartsWith(line, "sequence ")) {
                run.sequence = Split(line.substr(9), ',');
            } else if (StartsWith(line, "result 0x")) {
                run.result = static_cast<uint32_t>(strtoul(line.c_str() + 9, nullptr, 16));
                run.resultSeen = true;
            } else if (StartsWith(line, "fault ")) {
                run.fault = line.substr(6);
            } else if (StartsWith(line, "escaped exception")) {
                run.escaped = true;
            } else if (StartsWith(line, "callbacks ")) {
                run.callbacks = atoi(line.c_str() + 10);
            } else if (StartsWith(line, "status 0x")) {
                char* end = nullptr;
                run.reportedState = static_cast<uint32_t>(strtoul(line.c_str() + 9, &end, 16));
                run.reportedVersion = end && *end == ' ' ? end + 1 : "";
            } else if (!line.empty() && !StartsWith(line, "ControlService failed!")) {
                run.otherLines.push_back(line);
            }
        },
        kRunLimitSeconds, kRunLimitSeconds);
    return run;
}

bool Campaign::SetUp(const ActionSpec& action) {
    test::CleanReport clean = test::CleanMachine();
    RestorePendingRenames();
    DeleteFileW((v1_ + L"\\qelmo_backup.sys").c_str());
    DeleteFileW((v2_ + L"\\qelmo_backup.sys").c_str());
    if (!clean.clean) {
        Say("  cannot clean the machine:\n%s", clean.Text().c_str());
        return false;
    }
    if (action.start == Start::kClean) return true;
    static const ActionSpec kInstall = Actions()[0];
    const HostRun install = RunHost(kInstall, fault::Mode::kPass, 0, 0);
    if (!install.resultSeen || install.result != DRV_OK) {
        Say("  set-up install of v1 gave %s\n", ResultName(install.result));
        return false;
    }
    if (action.permCount != 1) test::SetServiceDword(L"PermCount", action.permCount);
    if (action.start == Start::kRunning && !test::StartQelmo()) {
        Say("  set-up: the driver does not start\n");
        return false;
    }
    return true;
}

std::string Campaign::DriverFile() {
    bool ok = false;
    const std::vector<char> bytes = ReadWholeFile(test::DriversDir() + L"\\qelmo.sys", &ok);
    if (!ok) return test::FileExists(test::DriversDir() + L"\\qelmo.sys") ? "unreadable" : "none";
    if (bytes == driverV1_) return "v1";
    if (bytes == driverV2_) return "v2";
    return "partial";
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
    bool okA = false, okB = false;
    const std::vector<char> bytesA = ReadWholeFile(a, &okA);
    const std::vector<char> bytesB = ReadWholeFile(b, &okB);
    return okA && okB && bytesA == bytesB;
}

void Campaign::CheckInstalled(const std::wstring& package, const std::wstring& moduleVersion,
                              DWORD permCount, std::vector<std::string>& problems) {
    bool exists = false;
    test::QelmoStatus(&exists);
    if (!exists) problems.push_back("no service");
    if (!SameFile(test::InstalledDriverFile(), package + L"\\qelmo.sys"))
        problems.push_back("the driver file is not the package's (" + DriverFile() + ")");
    const test::DeployedModules modules = test::ModulesOf(moduleVersion);
    const std::wstring sources[] = {package + L"\\kipmon64.dll", package + L"\\kipmon.dll",
                                    package + L"\\AddOn\\KipEvt64.dll",
                                    package + L"\\AddOn\\KipEvt.dll"};
    const std::vector<std::wstring> placed = modules.All();
    const test::RegValue recorded[] = {
        test::ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDll64Name"),
        test::ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDllName"),
        test::ReadValue(HKEY_LOCAL_MACHINE, std::wstring(kServiceKey) + L"\\AddOn\\KipEvt64",
                        L"path"),
        test::ReadValue(HKEY_LOCAL_MACHINE, std::wstring(kServiceKey) + L"\\AddOn\\KipEvt",
                        L"path")};
    for (size_t i = 0; i < placed.size(); ++i) {
        if (!SameFile(placed[i], sources[i]))
            problems.push_back("module " + Narrow(placed[i]) + " missing or not whole");
        if (!recorded[i].exists || _wcsicmp(recorded[i].String().c_str(), placed[i].c_str()) != 0)
            problems.push_back("recorded module path '" + Narrow(recorded[i].String()) +
                               "' is not " + Narrow(placed[i]));
    }
    const test::RegValue perm = test::ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"PermCount");
    if (!perm.exists || perm.Dword() != permCount)
        problems.push_back("PermCount is " +
                           (perm.exists ? std::to_string(perm.Dword()) : std::string("absent")) +
                           ", not " + std::to_string(permCount));
}

void Campaign::CheckRemoved(std::vector<std::string>& problems) {
    bool exists = false;
    test::QelmoStatus(&exists);
    if (exists) problems.push_back("the service stays");
    if (test::FileExists(test::InstalledDriverFile())) problems.push_back("the driver file stays");
    for (const std::wstring& module : test::ModulesOf(kV1ModuleVersion).All())
        if (test::FileExists(module)) problems.push_back("module " + Narrow(module) + " stays");
}

// The state a result stands for.
std::vector<std::string> Campaign::CheckState(const ActionSpec& action, uint32_t result,
                                              const HostRun& run) {
    std::vector<std::string> problems;
    const std::string verb = action.hostAction == std::wstring(L"install")     ? "install"
                             : action.hostAction == std::wstring(L"uninstall") ? "uninstall"
                             : action.hostAction == std::wstring(L"enumerate") ? "enumerate"
                                                                               : "update";
    if (verb == "install" && result == DRV_OK) {
        CheckInstalled(v1_, kV1ModuleVersion, 1, problems);
    } else if (verb == "update" && (result == DRV_OK || result == DRV_OK_PENDING)) {
        CheckInstalled(v2_, kV2ModuleVersion, 1, problems);
        bool exists = false;
        const SERVICE_STATUS status = test::QelmoStatus(&exists);
        if (result == DRV_OK && status.dwCurrentState != SERVICE_RUNNING)
            problems.push_back("DRV_OK but the new driver is not running");
    } else if (verb == "uninstall" && result == DRV_OK) {
        if (action.permCount > 1)
            CheckInstalled(v1_, kV1ModuleVersion, action.permCount - 1, problems);
        else
            CheckRemoved(problems);
    } else if (verb == "enumerate") {
        if (run.callbacks != 1)
            problems.push_back("the callback ran " + std::to_string(run.callbacks) + " times");
        bool exists = false;
        const SERVICE_STATUS status = test::QelmoStatus(&exists);
        if (run.reportedState == DRV_STATE_RUNNING && status.dwCurrentState != SERVICE_RUNNING)
            problems.push_back("reported running, but it is not");
        if (run.reportedState == DRV_STATE_NOT_RUNNING &&
            (!exists || status.dwCurrentState == SERVICE_RUNNING))
            problems.push_back("reported not running, but it runs or does not exist");
        if (run.reportedState != DRV_STATE_RUNNING && run.reportedState != DRV_STATE_NOT_RUNNING &&
            run.reportedState != DRV_STATE_UNKNOWN)
            problems.push_back("reported state is no state");
    }
    for (const std::wstring& backup : {v1_ + L"\\qelmo_backup.sys", v2_ + L"\\qelmo_backup.sys"})
        if (test::FileExists(backup))
            problems.push_back("a backup file is left: " + Narrow(backup));
    return problems;
}

bool IsSuccess(uint32_t result) {
    return result == DRV_OK || result == DRV_OK_PENDING;
}

std::vector<std::string> Campaign::Check(const ActionSpec& action, const HostRun& run,
                                         bool killed) {
    std::vector<std::string> problems;
    if (!run.child.started) problems.push_back("the host did not start");
    if (run.child.hung) problems.push_back("the host hung");
    if (run.escaped) problems.push_back("an exception left an export");
    if (IsCrashCode(run.child.exitCode))
        problems.push_back("the host crashed (exception " + std::to_string(run.child.exitCode) +
                           ")");
    if (killed) {
        if (run.child.exitCode != fault::kKilledExitCode)
            problems.push_back("the host was not ended at the point (exit " +
                               std::to_string(run.child.exitCode) + ")");
    } else if (!run.resultSeen) {
        problems.push_back("no result");
    } else if (action.results.count(run.result) == 0 &&
               !(action.hostAction == std::wstring(L"enumerate") && run.result == DRV_ERR_FAILED &&
                 StartsWith(run.fault, "malloc"))) {
        problems.push_back(std::string("result ") + ResultName(run.result) +
                           " is not one this action returns");
    }
    const std::string driver = DriverFile();
    if (driver == "partial" || driver == "unreadable")
        problems.push_back("the driver file is " + driver);
    if (action.start != Start::kClean && driver == "none" &&
        action.hostAction != std::wstring(L"uninstall"))
        problems.push_back("the driver file is gone");
    if (!killed && run.resultSeen) {
        for (const std::string& problem : CheckState(action, run.result, run))
            problems.push_back((IsSuccess(run.result) ? "after success: " : "") + problem);
    }
    return problems;
}

void Campaign::RunAction(const ActionSpec& action, const std::vector<fault::Mode>& modes) {
    static const char* const kModeNames[] = {"pass", "once", "always", "kill"};
    const double start = Seconds();
    uint64_t actionPoints = 0, actionViolations = 0;
    if (!SetUp(action)) {
        ++violations;
        summaries.push_back(std::string("fault-injection ") + action.name + ": set-up failed");
        return;
    }
    const HostRun recorded = RunHost(action, fault::Mode::kPass, 0, 0);
    std::vector<std::string> baseline = Check(action, recorded, false);
    if (recorded.result != DRV_OK) baseline.push_back("the action without faults did not succeed");
    for (const std::string& problem : baseline)
        Say("  %s without faults: %s\n", action.name, problem.c_str());
    if (!baseline.empty()) ++actionViolations;

    std::map<std::string, int> byFunction;
    for (const std::string& name : recorded.sequence)
        ++byFunction[name];
    std::string counts;
    for (const auto& [name, count] : byFunction)
        counts += " " + name + "=" + std::to_string(count);
    Say("%s: %zu calls:%s\n", action.name, recorded.sequence.size(), counts.c_str());

    static const std::set<std::string> kFileSteps = {
        "Copy",        "CopyFileExW", "MoveFileExW",     "MoveFileW",
        "DeleteFileW", "CreateFileW", "FlushFileBuffers"};
    const bool isUpdate = action.hostAction == std::wstring(L"update");
    for (fault::Mode mode : modes) {
        for (uint32_t point = 1; point <= recorded.sequence.size(); ++point) {
            const std::string& function = recorded.sequence[point - 1];
            const bool selected = (point - 1) % every_ == 0 ||
                                  (filePoints_ && isUpdate && kFileSteps.count(function));
            if (!selected) continue;
            const int id = fault::FunctionId(function.c_str());
            const size_t errorCount = id >= 0 ? fault::Functions()[id].errors.size() : 1;
            std::vector<size_t> errors;
            if (mode == fault::Mode::kFailOnce && allErrors_)
                for (size_t e = 0; e < errorCount; ++e)
                    errors.push_back(e);
            else if (mode == fault::Mode::kFailOnce)
                errors.push_back(point % errorCount);
            else
                errors.push_back(0);
            for (size_t error : errors) {
                if (!SetUp(action)) {
                    ++actionViolations;
                    Say("  %s %s point %u: set-up failed\n", action.name,
                        kModeNames[static_cast<int>(mode)], point);
                    continue;
                }
                ++actionPoints;
                const bool killed = mode == fault::Mode::kKill;
                const HostRun run = RunHost(action, mode, point, error);
                std::vector<std::string> problems = Check(action, run, killed);
                uint32_t rerunResult = 0;
                bool reran = false;
                if (killed || !run.resultSeen || !IsSuccess(run.result)) {
                    const HostRun again = RunHost(action, fault::Mode::kPass, 0, 0);
                    reran = true;
                    rerunResult = again.result;
                    std::vector<std::string> after = Check(action, again, false);
                    // An uninstall that removed the service before it failed leaves nothing for
                    // the rerun to remove: that rerun reports the missing service.
                    const bool nothingLeft = action.hostAction == std::wstring(L"uninstall") &&
                                             action.permCount == 1 &&
                                             again.result == DRV_ERR_FAILED;
                    if (!IsSuccess(again.result) && !nothingLeft)
                        after.push_back(std::string("the rerun gave ") + ResultName(again.result));
                    if (nothingLeft) {
                        std::vector<std::string> removed;
                        CheckRemoved(removed);
                        after.insert(after.end(), removed.begin(), removed.end());
                    }
                    for (const std::string& problem : after)
                        problems.push_back("rerun: " + problem);
                }
                if (!problems.empty()) ++actionViolations;
                if (!problems.empty() || verbose_) {
                    Say("  %s %s point %u (%s, error %lu): %s%s%s\n", action.name,
                        kModeNames[static_cast<int>(mode)], point, function.c_str(),
                        run.fault.empty()
                            ? 0ul
                            : strtoul(run.fault.substr(run.fault.find(' ') + 1).c_str(), nullptr,
                                      10),
                        killed ? "killed" : ResultName(run.result),
                        reran ? (std::string(", rerun ") + ResultName(rerunResult)).c_str() : "",
                        problems.empty() ? "" : ", VIOLATION");
                    for (const std::string& problem : problems)
                        Say("      %s\n", problem.c_str());
                }
            }
        }
    }
    points += actionPoints;
    violations += actionViolations;
    char line[256];
    snprintf(line, sizeof line,
             "fault-injection %s: %llu points, %llu violations (%zu calls, %.0f s)", action.name,
             static_cast<unsigned long long>(actionPoints),
             static_cast<unsigned long long>(actionViolations), recorded.sequence.size(),
             Seconds() - start);
    Say("%s\n", line);
    summaries.push_back(line);
}

std::vector<std::string> Words(const std::wstring& text) {
    return Split(Narrow(text), ',');
}

int Run(const Options& options) {
    InstallCrashReporter();
    SetEnvironmentVariableW(L"OXAL_LOG_FILE", L"none");
    std::vector<fault::Mode> modes;
    for (const std::string& word : Words(options.Text(L"--modes", L"once,always,kill"))) {
        if (word == "once") modes.push_back(fault::Mode::kFailOnce);
        if (word == "always") modes.push_back(fault::Mode::kFailAlways);
        if (word == "kill") modes.push_back(fault::Mode::kKill);
    }
    const std::vector<std::string> wanted = Words(options.Text(L"--actions", L""));
    const std::wstring work = MakeWorkFolder(L"fault");
    Campaign campaign(work, options);
    if (!campaign.Prepare()) {
        Say("cannot prepare the packages\n");
        return 2;
    }
    const double start = Seconds();
    for (const ActionSpec& action : Actions())
        if (wanted.empty() || std::find(wanted.begin(), wanted.end(), action.name) != wanted.end())
            campaign.RunAction(action, modes);
    test::CleanMachine();
    campaign.RestorePendingRenames();
    test::RemoveTree(work);
    Say("\n");
    for (const std::string& line : campaign.summaries)
        Say("%s\n", line.c_str());
    Say("fault-injection total: %llu points, %llu violations, %.0f s\n",
        static_cast<unsigned long long>(campaign.points),
        static_cast<unsigned long long>(campaign.violations), Seconds() - start);
    return campaign.violations == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qelmo::reliability

int main() {
    return qelmo::reliability::Run(qelmo::reliability::Options::FromCommandLine());
}
