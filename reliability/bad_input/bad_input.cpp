// Bad input campaign: thousands of generated driver-action records, in batches, through
// Plugin_Interface_DriversDoAction of helperQELMODriver.dll loaded the way the host loads it.
//
// The parent process prepares package folders (whole, hollowed, with broken INF files), takes a
// snapshot of the registry and file trees, and runs the records in a child process under a
// watchdog. The child checks every batch result against what the records allow; the parent checks
// that the child neither crashed nor hung and that nothing changed outside the plug-in's own
// places (see footprint.h).
//
//   reliability_bad_input [--records N] [--real N] [--slow N] [--seed S]
//     --records  generated records, at least (default 10000)
//     --real     records with a whole package that really install, update or uninstall (12)
//     --slow     cheap records with an update action (each pauses 1 s in the dispatch) (6)
//     --seed     random seed (default: from the clock; printed, so a run can be repeated)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "bad_input/child.h"
#include "bad_input/records.h"
#include "common/handles.h"
#include "support/campaign.h"
#include "support/footprint.h"
#include "support/layout.h"
#include "support/machine.h"

namespace qelmo::reliability::bad_input {
namespace {

constexpr double kSilenceLimitSeconds = 240;  // one real update may wait 2 x 30 s on services

// ---- the packages the records point at ---------------------------------------------------------

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr) &&
                             written == bytes.size());
}

bool PreparePackages(Packages& p) {
    bool ok = true;
    for (const wchar_t* name : {L"v1", L"v2", L"failstart", L"blocked", L"stopsafterstart"}) {
        p.whole.push_back(p.work + L"\\" + name);
        ok = CopyPackageTo(name, p.whole.back()) && ok;
    }
    int index = 0;
    for (const wchar_t* file : kPackageFiles) {
        const std::wstring folder = p.work + L"\\missing" + std::to_wstring(index++);
        ok = CopyPackageTo(L"v1", folder) && ok;
        ok = DeleteFileW((folder + L"\\" + file).c_str()) && ok;
        p.missing.push_back(folder);
    }
    // No AddOn folder at all.
    const std::wstring noAddOn = p.work + L"\\missing_addon";
    ok = CopyPackageTo(L"v1", noAddOn) && test::RemoveTree(noAddOn + L"\\AddOn") && ok;
    p.missing.push_back(noAddOn);
    // qelmo.inf is a folder.
    const std::wstring infFolder = p.work + L"\\inf_is_folder";
    ok = CopyPackageTo(L"v1", infFolder) &&
         DeleteFileW((infFolder + L"\\" + layout::kInfFile).c_str()) &&
         CreateDirectoryW((infFolder + L"\\" + layout::kInfFile).c_str(), nullptr) && ok;
    p.brokenInf.push_back(infFolder);
    for (const auto& inf : BrokenInfs()) {
        const std::wstring folder = p.work + L"\\" + inf.name;
        ok = CopyPackageTo(L"v1", folder) &&
             WriteBytes(folder + L"\\" + layout::kInfFile, inf.bytes) && ok;
        p.brokenInf.push_back(folder);
    }
    p.noKipmon64 = p.missing[2];
    p.badVersion = p.work + L"\\badversion";
    ok = CopyPackageTo(L"badversion", p.badVersion) && ok;
    p.aFile = p.work + L"\\a_file";
    ok = WriteBytes(p.aFile, "not a folder") && ok;
    return ok;
}

// ---- the parent: prepares, watches, compares ---------------------------------------------------

// Lines of the child that the report shows.
bool IsReport(const std::string& line) {
    for (const char* tag : {"VIOLATION", "CRASH", "REAL ", "RESULTS", "NOTE", "TIMING"})
        if (line.rfind(tag, 0) == 0) return true;
    return false;
}

// The source paths of PendingFileRenameOperations, lower case.
std::vector<std::wstring> PendingSources() {
    std::vector<std::wstring> sources = layout::PendingSources(layout::PendingRenames());
    for (auto& source : sources)
        source = Lower(source);
    return sources;
}

int RunParent(const Options& options) {
    InstallCrashReporter();
    const uint64_t recordsWanted = options.Number(L"--records", 10000);
    const uint64_t realWanted = options.Number(L"--real", 12);
    const uint64_t slowWanted = options.Number(L"--slow", 6);
    const uint64_t seed = options.Number(L"--seed", GetTickCount64() ^ GetCurrentProcessId());
    Say("bad input campaign: %llu records (%llu real, %llu slow), seed %llu\n",
        static_cast<unsigned long long>(recordsWanted), static_cast<unsigned long long>(realWanted),
        static_cast<unsigned long long>(slowWanted), static_cast<unsigned long long>(seed));

    uint64_t violations = 0;
    auto violation = [&](const std::string& text) {
        ++violations;
        if (violations <= 60) Say("  violation: %s\n", text.c_str());
    };

    const layout::PendingRenamesKeeper pending;
    test::CleanReport clean = test::CleanMachine();
    if (!clean.clean) {
        Say("cannot clean the machine before the campaign:\n%s", clean.Text().c_str());
        return 2;
    }
    Packages packages;
    packages.work = MakeWorkFolder(L"bad_input");
    if (!PreparePackages(packages)) {
        Say("cannot prepare the package folders in %s\n", Narrow(packages.work).c_str());
        return 2;
    }

    const Snapshot before = TakeMachineSnapshot({packages.work});
    std::vector<std::wstring> backupFiles;
    uint64_t records = 0, batches = 0, childViolations = 0, realDone = 0, consoleLines = 0;
    bool done = false;
    std::string lastBatch = "none";
    const std::wstring command = L"\"" + ProgramPath() + L"\" --child --work \"" + packages.work +
                                 L"\" --records " + std::to_wstring(recordsWanted) + L" --real " +
                                 std::to_wstring(realWanted) + L" --slow " +
                                 std::to_wstring(slowWanted) + L" --seed " + std::to_wstring(seed) +
                                 (options.Has(L"--timing") ? L" --timing" : L"");
    const double totalLimit = 600 + recordsWanted * 0.05 + realWanted * 60.0 + slowWanted * 60.0;
    ChildOptions childOptions;
    childOptions.folder = packages.work;
    childOptions.errorsWithOutput = true;
    childOptions.onLine = [&](const std::string& line) {
        if (line.rfind("ALLOW ", 0) == 0) {
            backupFiles.push_back(Lower(UnitsFromHex(line.substr(6))));
        } else if (line.rfind("B ", 0) == 0) {
            lastBatch = line.substr(2);
        } else if (line.rfind("DONE ", 0) == 0) {
            unsigned long long r = 0, b = 0, v = 0, real = 0;
            if (sscanf(line.c_str() + 5, "%llu %llu %llu %llu", &r, &b, &v, &real) == 4) {
                records = r;
                batches = b;
                childViolations = v;
                realDone = real;
                done = true;
            }
        } else if (IsReport(line)) {
            Say("  child: %s\n", line.c_str());
        } else if (!line.empty()) {
            ++consoleLines;  // the plug-in's own console echo ("ControlService failed! ...")
        }
    };
    childOptions.silenceLimitSeconds = kSilenceLimitSeconds;
    childOptions.totalLimitSeconds = totalLimit;
    const ChildRun child = RunCommand(command, childOptions);

    if (!child.started) violation("the child process could not be started");
    if (child.timedOut)
        violation("the child hung (no progress for " + std::to_string(int(kSilenceLimitSeconds)) +
                  " s); last batch: " + lastBatch);
    if (IsCrashCode(child.exitCode)) {
        char text[96];
        snprintf(text, sizeof text, "the child crashed with 0x%08lx; last batch: ",
                 static_cast<unsigned long>(child.exitCode));
        violation(text + lastBatch);
    }
    if (!done && !child.timedOut && !IsCrashCode(child.exitCode))
        violation("the child ended without its summary (exit " + std::to_string(child.exitCode) +
                  ")");
    violations += childViolations;

    const Snapshot after = TakeMachineSnapshot({packages.work});
    const auto outside = ChangesOutsideFootprint(before, after, backupFiles);
    for (const auto& change : outside)
        violation("changed outside the plug-in's places: " + Narrow(change));

    // Not an invariant, a figure: what the run left for the next restart to delete.
    const auto renames = PendingSources();
    std::set<std::wstring> distinct(renames.begin(), renames.end());
    Say("pending renames left by the run: %zu, %zu distinct paths\n", renames.size(),
        distinct.size());
    if (options.Has(L"--show-pending"))
        for (const auto& path : distinct)
            Say("  pending: %zu x %s\n",
                static_cast<size_t>(std::count(renames.begin(), renames.end(), path)),
                Narrow(path).c_str());

    test::CleanReport cleanAfter = test::CleanMachine();
    pending.Restore();
    test::RemoveTree(packages.work);
    if (!cleanAfter.clean) Say("note: clean-up after the campaign:\n%s", cleanAfter.Text().c_str());

    Say("batches: %llu (%llu real records), %.0f s, %llu console lines from the plug-in\n",
        static_cast<unsigned long long>(batches), static_cast<unsigned long long>(realDone),
        child.seconds, static_cast<unsigned long long>(consoleLines));
    Say("records tried: %llu, invariant violations: %llu\n",
        static_cast<unsigned long long>(records), static_cast<unsigned long long>(violations));
    return violations == 0 && records >= recordsWanted ? 0 : 1;
}

}  // namespace
}  // namespace qelmo::reliability::bad_input

int main() {
    const qelmo::reliability::Options options = qelmo::reliability::Options::FromCommandLine();
    if (options.Has(L"--child")) return qelmo::reliability::bad_input::RunChildCampaign(options);
    return qelmo::reliability::bad_input::RunParent(options);
}
