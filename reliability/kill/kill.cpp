// Kill campaign: the host process (qelmoctl.exe) is ended with TerminateProcess at a random moment
// of an install, an update or an uninstall; then the same action runs again to its end.
//
// Invariants, after the kill:
//   update: the drivers folder holds the old or the new driver file whole, never a missing or
//           partial one;
// and after the rerun:
//   every action ends with a documented result;
//   install: the service exists and starts, PermCount is 1, the driver and the four modules are
//            the package's files byte for byte and the recorded module paths name them;
//   update:  DRV_OK, the new driver file in place and running, the new modules in place, no
//            backup left in the package folder;
//   uninstall: the service and the driver file are gone, and a fresh install works again.
//
//   reliability_kill [--kills N] [--seed S]
//     --kills  kills that hit a running host, spread over the three actions (default 6)
#include <windows.h>

#include <qelmo_plugin.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/campaign.h"
#include "common/handles.h"
#include "support/driver_state.h"
#include "support/layout.h"
#include "support/machine.h"

namespace qelmo::reliability {
namespace {

enum class Action { kInstall, kUpdate, kUninstall };
const char* const kActionNames[] = {"install", "update", "uninstall"};

namespace layout = test::layout;
// The host's copy function writes into this temporary beside its destination.
constexpr const wchar_t* kCopyTemporarySuffix = L".oxalcopy";

struct Package {
    std::wstring folder;
    std::wstring moduleVersion;
};

class Campaign {
public:
    Campaign(const std::wstring& work, uint64_t seed)
        : work_(work), random_(seed), qelmoctl_(ProgramFolder() + L"qelmoctl.exe") {
        v1_ = {work + L"\\v1", L"6.0.1035"};
        v2_ = {work + L"\\v2", L"6.0.2000"};
    }

    bool Prepare();
    // One kill of `action` that hits the running host, its rerun and the checks.
    void KillOnce(Action action);
    void Calibrate();

    uint64_t kills[3] = {};
    uint64_t missed = 0;
    uint64_t inconsistencies = 0;
    uint64_t litter = 0;

private:
    uint32_t RunToEnd(const wchar_t* verb, const Package& package, bool* ran);
    std::wstring Command(const wchar_t* verb, const Package& package, bool json) const;
    bool SetUp(Action action);
    double KillDelay(Action action);
    void CheckAfterKill(Action action, double delay);
    void CheckAfterRerun(Action action, uint32_t result, double delay);
    void CheckInstalled(const Package& package, const std::string& when);
    void Inconsistent(const std::string& text);
    void NoteLitter();

    std::wstring work_;
    Random random_;
    std::wstring qelmoctl_;
    Package v1_, v2_;
    std::vector<char> driverV1_, driverV2_;
    double duration_[3] = {3, 3, 3};
};

bool Campaign::Prepare() {
    bool ok1 = false, ok2 = false;
    if (!CopyPackageTo(L"v1", v1_.folder) || !CopyPackageTo(L"v2", v2_.folder)) return false;
    driverV1_ = ReadWholeFile(v1_.folder + L"\\" + layout::kDriverFile, &ok1);
    driverV2_ = ReadWholeFile(v2_.folder + L"\\" + layout::kDriverFile, &ok2);
    return ok1 && ok2 && driverV1_ != driverV2_;
}

std::wstring Campaign::Command(const wchar_t* verb, const Package& package, bool json) const {
    return L"\"" + qelmoctl_ + L"\" --log-level 3" + (json ? L" --json " : L" ") + verb + L" \"" +
           package.folder + L"\"";
}

// Runs qelmoctl to its end and returns the plug-in's result (0 when there was none).
uint32_t Campaign::RunToEnd(const wchar_t* verb, const Package& package, bool* ran) {
    uint32_t code = 0;
    bool seen = false;
    ChildOptions options;
    options.folder = work_;
    options.errorsWithOutput = true;
    options.onLine = [&](const std::string& line) {
        const size_t at = line.find("\"result_code\":\"0x");
        if (line.rfind("{", 0) == 0 && at != std::string::npos) {
            code = static_cast<uint32_t>(strtoul(line.c_str() + at + 17, nullptr, 16));
            seen = true;
        }
    };
    options.silenceLimitSeconds = 120;
    options.totalLimitSeconds = 300;
    const ChildRun child = RunCommand(Command(verb, package, true), options);
    if (ran) *ran = child.started && !child.timedOut && seen;
    return code;
}

void Campaign::Inconsistent(const std::string& text) {
    ++inconsistencies;
    Say("  inconsistent: %s\n", text.c_str());
}

// Temporary copies of the host's copy function left by a kill: harmless (the next copy to the
// same destination replaces them) but counted and removed.
void Campaign::NoteLitter() {
    for (const std::wstring& path :
         {layout::InstalledDriverFile() + kCopyTemporarySuffix,
          v1_.folder + L"\\" + layout::kBackupFile + kCopyTemporarySuffix,
          v2_.folder + L"\\" + layout::kBackupFile + kCopyTemporarySuffix}) {
        if (test::FileExists(path)) {
            ++litter;
            Say("  left behind: %s\n", Narrow(path).c_str());
            DeleteFileW(path.c_str());
        }
    }
}

// The machine each kill starts from: clean for an install, v1 installed otherwise.
bool Campaign::SetUp(Action action) {
    test::CleanReport clean = test::CleanMachine();
    if (!clean.clean) {
        Say("  cannot clean the machine:\n%s", clean.Text().c_str());
        return false;
    }
    DeleteFileW((v1_.folder + L"\\" + layout::kBackupFile).c_str());
    DeleteFileW((v2_.folder + L"\\" + layout::kBackupFile).c_str());
    if (action == Action::kInstall) return true;
    bool ran = false;
    const uint32_t result = RunToEnd(L"install", v1_, &ran);
    if (!ran || result != DRV_OK) {
        Say("  set-up install of v1 gave %s\n", ResultName(result));
        return false;
    }
    return true;
}

void Campaign::Calibrate() {
    const Action actions[] = {Action::kInstall, Action::kUpdate, Action::kUninstall};
    for (Action action : actions) {
        if (!SetUp(action)) continue;
        const int index = static_cast<int>(action);
        const Package& package = action == Action::kUpdate ? v2_ : v1_;
        const double start = Seconds();
        bool ran = false;
        RunToEnd(Widen(kActionNames[index]).c_str(), package, &ran);
        if (ran) duration_[index] = Seconds() - start;
        Say("%-9s takes %.2f s uninterrupted\n", kActionNames[index], duration_[index]);
    }
}

// Seconds after the start. Half of the kills land anywhere in the action; the other half where
// files and the service change: before the closing 1 s pause of an install, after the opening
// 1 s pause of an update.
double Campaign::KillDelay(Action action) {
    constexpr double kPause = 1.0;
    const double d = duration_[static_cast<int>(action)];
    double low = 0, high = d * 0.95;
    if (random_.Chance(0.5)) {
        if (action == Action::kInstall) high = std::max(d - kPause, 0.1);
        if (action == Action::kUpdate) low = std::min(kPause, d * 0.6);
    }
    return (low * 1000 + random_.Below(static_cast<uint64_t>((high - low) * 1000) + 1)) / 1000.0;
}

void Campaign::KillOnce(Action action) {
    const int index = static_cast<int>(action);
    const Package& package = action == Action::kUpdate ? v2_ : v1_;
    const std::wstring verb = Widen(kActionNames[index]);
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!SetUp(action)) {
            Inconsistent(std::string("cannot set up the ") + kActionNames[index]);
            return;
        }
        const double delay = KillDelay(action);
        KillableProcess host;
        if (!host.Start(Command(verb.c_str(), package, false), work_)) {
            Inconsistent("cannot start qelmoctl.exe");
            return;
        }
        const bool endedEarly = host.WaitFor(static_cast<DWORD>(delay * 1000));
        if (endedEarly || !host.Kill()) {
            ++missed;  // the action was over before the kill: draw another moment
            continue;
        }
        ++kills[index];
        CheckAfterKill(action, delay);
        NoteLitter();
        bool ran = false;
        const uint32_t result = RunToEnd(verb.c_str(), package, &ran);
        if (!ran) {
            Inconsistent(std::string("the rerun of the ") + kActionNames[index] +
                         " did not finish (killed at " + std::to_string(delay) + " s)");
            return;
        }
        const uint64_t before = inconsistencies;
        CheckAfterRerun(action, result, delay);
        NoteLitter();
        Say("kill %llu: %-9s at %.3f s, rerun %s%s\n",
            static_cast<unsigned long long>(kills[0] + kills[1] + kills[2]), kActionNames[index],
            delay, ResultName(result), inconsistencies == before ? "" : ", INCONSISTENT");
        return;
    }
}

std::wstring ModulePath(const Package& package, const layout::Module& module) {
    return layout::ModuleFile(module, package.moduleVersion);
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
    bool okA = false, okB = false;
    const auto bytesA = ReadWholeFile(a, &okA);
    const auto bytesB = ReadWholeFile(b, &okB);
    return okA && okB && bytesA == bytesB;
}

// 0: no service; otherwise its state.
DWORD ServiceState() {
    bool exists = false;
    const SERVICE_STATUS status = test::QelmoStatus(&exists);
    return exists ? status.dwCurrentState : 0;
}

// Starts the service when it is stopped; true when it ends up running.
bool StartsOrRuns() {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return false;
    ScHandle service(
        OpenServiceW(scm.get(), layout::kService, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) return false;
    if (!StartServiceW(service.get(), 0, nullptr) &&
        GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        Say("  StartService: error %lu\n", GetLastError());
    SERVICE_STATUS status = {};
    for (int i = 0; i < 100 && QueryServiceStatus(service.get(), &status); ++i) {
        if (status.dwCurrentState == SERVICE_RUNNING) return true;
        Sleep(50);
    }
    return false;
}

void Campaign::CheckAfterKill(Action action, double delay) {
    const std::wstring driver = layout::InstalledDriverFile();
    bool ok = false;
    const auto bytes = ReadWholeFile(driver, &ok);
    const bool whole = ok && (bytes == driverV1_ || bytes == driverV2_);
    char when[64];
    snprintf(when, sizeof when, " (killed at %.3f s)", delay);
    if (action == Action::kUpdate && !whole)
        Inconsistent(std::string("after a killed update the driver file is ") +
                     (ok ? "neither v1's nor v2's (partial?)" : "missing") + when);
    if (action != Action::kUpdate && ok && !whole)
        Inconsistent(std::string("after a killed ") + kActionNames[static_cast<int>(action)] +
                     " the driver file is partial" + when);
}

void Campaign::CheckInstalled(const Package& package, const std::string& when) {
    if (ServiceState() == 0) Inconsistent("no service" + when);
    if (!SameFile(layout::InstalledDriverFile(), package.folder + L"\\" + layout::kDriverFile))
        Inconsistent("the driver file is not the package's" + when);
    for (const auto& module : layout::kModules) {
        const std::wstring placed = ModulePath(package, module);
        if (!SameFile(placed, package.folder + L"\\" + module.packageFile))
            Inconsistent("module " + Narrow(placed) + " missing or not whole" + when);
        const auto value = test::ReadValue(HKEY_LOCAL_MACHINE, module.key, module.pathValue);
        if (!value.exists || _wcsicmp(value.String().c_str(), placed.c_str()) != 0)
            Inconsistent("recorded module path " + Narrow(value.String()) + " is not " +
                         Narrow(placed) + when);
    }
    const auto permCount =
        test::ReadValue(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kPermCount);
    if (!permCount.exists || permCount.Dword() != 1)
        Inconsistent("PermCount is " + std::to_string(permCount.Dword()) + when);
    if (test::FileExists(package.folder + L"\\" + layout::kBackupFile))
        Inconsistent("a backup file stays in the package folder" + when);
    if (!StartsOrRuns()) Inconsistent("the driver does not start" + when);
}

void Campaign::CheckAfterRerun(Action action, uint32_t result, double delay) {
    char when[96];
    snprintf(when, sizeof when, " (%s killed at %.3f s, rerun gave %s)",
             kActionNames[static_cast<int>(action)], delay, ResultName(result));
    if (!IsActionResult(result)) Inconsistent(std::string("no result code") + when);
    switch (action) {
        case Action::kInstall:
            if (result != DRV_OK) Inconsistent(std::string("the install failed") + when);
            CheckInstalled(v1_, when);
            break;
        case Action::kUpdate:
            if (result != DRV_OK) Inconsistent(std::string("the update failed") + when);
            if (ServiceState() != SERVICE_RUNNING)
                Inconsistent(std::string("the new driver is not running") + when);
            CheckInstalled(v2_, when);
            break;
        case Action::kUninstall: {
            // A kill after the INF step leaves nothing to uninstall: the rerun reports that.
            if (result != DRV_OK && result != DRV_ERR_FAILED)
                Inconsistent(std::string("the uninstall failed") + when);
            if (ServiceState() != 0) Inconsistent(std::string("the service stays") + when);
            if (test::FileExists(layout::InstalledDriverFile()))
                Inconsistent(std::string("the driver file stays") + when);
            for (const auto& module : layout::kModules)
                if (test::FileExists(ModulePath(v1_, module)))
                    Inconsistent("module " + Narrow(ModulePath(v1_, module)) + " stays" + when);
            bool ran = false;
            const uint32_t again = RunToEnd(L"install", v1_, &ran);
            if (!ran || again != DRV_OK)
                Inconsistent(std::string("a fresh install afterwards gave ") + ResultName(again) +
                             when);
            else
                CheckInstalled(v1_, std::string(when) + ", fresh install");
            break;
        }
    }
}

int Run(const Options& options) {
    InstallCrashReporter();
    const uint64_t wanted = options.Number(L"--kills", 6);
    const uint64_t seed = options.Number(L"--seed", GetTickCount64() ^ GetCurrentProcessId());
    Say("kill campaign: %llu kills of qelmoctl.exe over install, update and uninstall, seed %llu\n",
        static_cast<unsigned long long>(wanted), static_cast<unsigned long long>(seed));
    const layout::PendingRenamesKeeper pending;
    const std::wstring work = MakeWorkFolder(L"kill");
    Campaign campaign(work, seed);
    if (!campaign.Prepare()) {
        Say("cannot prepare the packages\n");
        return 2;
    }
    const double start = Seconds();
    campaign.Calibrate();
    const Action order[] = {Action::kInstall, Action::kUpdate, Action::kUninstall};
    uint64_t tried = 0;
    for (uint64_t i = 0; tried < wanted && i < wanted * 3; ++i) {
        const Action action = order[i % 3];
        const uint64_t before = campaign.kills[0] + campaign.kills[1] + campaign.kills[2];
        campaign.KillOnce(action);
        tried = campaign.kills[0] + campaign.kills[1] + campaign.kills[2];
        if (tried == before) Say("  no kill landed for this %s\n", kActionNames[i % 3]);
    }

    test::CleanMachine();
    pending.Restore();
    test::RemoveTree(work);
    Say("%.0f s; kills that came too late (action already over): %llu; copy temporaries left: "
        "%llu\n",
        Seconds() - start, static_cast<unsigned long long>(campaign.missed),
        static_cast<unsigned long long>(campaign.litter));
    Say("kills tried: %llu (install %llu, update %llu, uninstall %llu), inconsistencies found: "
        "%llu\n",
        static_cast<unsigned long long>(tried), static_cast<unsigned long long>(campaign.kills[0]),
        static_cast<unsigned long long>(campaign.kills[1]),
        static_cast<unsigned long long>(campaign.kills[2]),
        static_cast<unsigned long long>(campaign.inconsistencies));
    return campaign.inconsistencies == 0 && tried >= wanted ? 0 : 1;
}

}  // namespace
}  // namespace qelmo::reliability

int main() {
    return qelmo::reliability::Run(qelmo::reliability::Options::FromCommandLine());
}
