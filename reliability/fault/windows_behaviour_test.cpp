// Windows behaviour that Wine lacks, proven end to end through the exports. The plug-in is loaded
// with its import table patched (fault_hooks.h) and the simulations of fault_sim.h stand in for
// what Wine stubs or never shows:
//   - Wine's service objects have no security: GetNamedSecurityInfoW returns an empty DACL and
//     SetNamedSecurityInfoW stores nothing. The simulation keeps a real DACL per service, starting
//     from Windows' default for a kernel driver service.
//   - Wine's kernel drivers are running or stopped at once; the simulation reports START_PENDING
//     and STOP_PENDING with wait hints and checkpoints first.
//   - Wine deletes a mapped file; on Windows a loaded module refuses deletion and overwriting with
//     a sharing violation but can be renamed.
//   - A service deleted while another program holds a handle to it stays, marked for deletion.
//     Wine marks it too, but still opens it and writes no DeleteFlag; the simulation refuses its
//     opens with 1072 and writes DeleteFlag = 1 into its key, as Windows does.
// Sleep is instant through the hooks; the waits still run to their deadlines in virtual time.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "fault/fault_action.h"
#include "fault/fault_hooks.h"
#include "fault/fault_sim.h"
#include "support/driver_state.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

constexpr const wchar_t* kService = L"qelmo";
constexpr const wchar_t* kAdministrators = L"S-1-5-32-544";
constexpr ACCESS_MASK kRestrictedAdministrators = 0x000E01FF;
constexpr ACCESS_MASK kOthers = GENERIC_READ | GENERIC_EXECUTE;
constexpr const wchar_t* kV1ModuleVersion = L"6.0.1035";

class WindowsBehaviour : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(plugin_.Loaded()); }
    uint32_t Run(uint32_t action, const std::wstring& package) {
        return plugin_.Library().Run(action, package);
    }

    test::MachineGuard guard_;
    fault::PatchedPlugin plugin_;
};

// ---- service object security ---------------------------------------------------------------

std::string Describe(const std::vector<fault::sim::Ace>& dacl) {
    std::string text;
    char line[128];
    for (const fault::sim::Ace& ace : dacl) {
        snprintf(line, sizeof line, " (type %u, mask 0x%08lx, %s)", ace.type, ace.mask,
                 test::Narrow(ace.sid).c_str());
        text += line;
    }
    return text;
}

// After a restriction: no access-allowed ACE grants DELETE (directly or through GENERIC_ALL),
// Administrators keep everything else, every other account reads and executes.
void ExpectRestricted(const std::vector<fault::sim::Ace>& dacl) {
    ASSERT_EQ(dacl.size(), 4u) << Describe(dacl);
    for (const fault::sim::Ace& ace : dacl) {
        if (ace.type != ACCESS_ALLOWED_ACE_TYPE) continue;
        EXPECT_EQ(ace.mask & (DELETE | GENERIC_ALL), 0u) << Describe(dacl);
        EXPECT_EQ(ace.mask, ace.sid == kAdministrators ? kRestrictedAdministrators : kOthers)
            << Describe(dacl);
    }
}

void ExpectRelaxed(const std::vector<fault::sim::Ace>& dacl) {
    ASSERT_EQ(dacl.size(), 4u) << Describe(dacl);
    for (const fault::sim::Ace& ace : dacl)
        EXPECT_EQ(ace.mask, ace.sid == kAdministrators ? GENERIC_ALL : kOthers) << Describe(dacl);
}

TEST_F(WindowsBehaviour, ServiceDaclIsRestrictedAfterInstallAndUpdateAndRelaxedForUninstall) {
    fault::sim::ServiceSecurity security;

    ASSERT_EQ(Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    ExpectRestricted(security.Dacl(kService));
    EXPECT_TRUE(security.Protected(kService));

    security.ClearWrites();
    ASSERT_EQ(Run(ACTION_UPDATE, test::PackageDir(L"v2")), DRV_OK);
    std::vector<std::vector<fault::sim::Ace>> writes = security.Writes();
    ASSERT_EQ(writes.size(), 2u) << "the update relaxes and then restricts again";
    ExpectRelaxed(writes[0]);
    ExpectRestricted(writes[1]);
    ExpectRestricted(security.Dacl(kService));

    security.ClearWrites();
    ASSERT_EQ(Run(ACTION_UNINSTALL, test::PackageDir(L"v2")), DRV_OK);
    writes = security.Writes();
    ASSERT_EQ(writes.size(), 1u);
    ExpectRelaxed(writes[0]);
}

// ---- pending states --------------------------------------------------------------------------

struct PendingCase {
    const char* name;
    fault::sim::PendingScript start, stop;
    uint32_t result;
    const wchar_t* driverAfter;  // the package whose qelmo.sys is in place afterwards
    uint64_t minimumWaitMs;      // virtual time the waits spent at least
};

void PrintTo(const PendingCase& c, std::ostream* os) {
    *os << c.name;
}

class PendingStates : public WindowsBehaviour, public ::testing::WithParamInterface<PendingCase> {};

TEST_P(PendingStates, UpdateWaitsForTheDriverToSettle) {
    const PendingCase& c = GetParam();
    ASSERT_EQ(Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    ASSERT_TRUE(test::StartQelmo());

    fault::sim::PendingStates pending(c.start, c.stop);
    fault::SetPlan(fault::Plan{});  // counts the skipped sleeps of the update alone
    EXPECT_EQ(Run(ACTION_UPDATE, test::PackageDir(L"v2")), c.result);

    EXPECT_TRUE(test::SameBytes(test::InstalledDriverFile(),
                                test::PackageDir(c.driverAfter) + L"\\qelmo.sys"));
    EXPECT_EQ(pending.StopPendingSeen(), static_cast<int>(c.stop.checkPoints.size()));
    EXPECT_GE(pending.StartPendingSeen(), static_cast<int>(c.start.checkPoints.size()));
    EXPECT_GE(fault::SkippedSleepMs(), c.minimumWaitMs);
}

// Pauses: a wait hint below 10 s gives 200 ms per poll; the dispatch pauses 1000 ms first. A
// start that never settles is waited for until its 30 s deadline; a falling checkpoint ends the
// wait at once. Either way the start failed and the old file is copied back while the new driver
// is still loaded (it only reported itself pending): that copy meets the loaded image (a sharing
// violation here, as on Windows for a driver that has not finished starting), and the update
// says so with DRV_ERR_ROLLBACK_FAILED, leaving the new driver's file whole in place.
INSTANTIATE_TEST_SUITE_P(Driver, PendingStates,
                         ::testing::Values(PendingCase{"SettlesAfterCheckpoints",
                                                       {3000, {1, 2, 3, 4}, false},
                                                       {2000, {1, 2, 3}, false},
                                                       DRV_OK,
                                                       L"v2",
                                                       1000 + 200 * (4 + 2)},
                                           PendingCase{"StartCheckpointStuck",
                                                       {3000, {1}, true},
                                                       {2000, {1, 2}, false},
                                                       DRV_ERR_ROLLBACK_FAILED,
                                                       L"v2",
                                                       1000 + 30000},
                                           PendingCase{"StartCheckpointFalls",
                                                       {3000, {1, 2, 7, 3}, false},
                                                       {},
                                                       DRV_ERR_ROLLBACK_FAILED,
                                                       L"v2",
                                                       1000 + 200 * 3}),
                         [](const ::testing::TestParamInfo<PendingCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- modules in use --------------------------------------------------------------------------

// True when a file named `path` + "." + digits is scheduled for deletion at restart.
bool AsideScheduled(const std::wstring& path) {
    const std::vector<std::wstring> pending = test::PendingRenames();
    const std::wstring prefix = L"\\??\\" + path + L".";
    for (size_t i = 0; i + 1 < pending.size(); i += 2)
        if (pending[i + 1].empty() && pending[i].size() > prefix.size() &&
            _wcsnicmp(pending[i].c_str(), prefix.c_str(), prefix.size()) == 0)
            return true;
    return false;
}

struct InUseCase {
    const char* name;
    uint32_t action;
    const wchar_t* package;
};

void PrintTo(const InUseCase& c, std::ostream* os) {
    *os << c.name;
}

class ModulesInUse : public WindowsBehaviour, public ::testing::WithParamInterface<InUseCase> {};

TEST_P(ModulesInUse, AreMovedAsideAndDeletedAtRestart) {
    ASSERT_EQ(Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    const std::vector<std::wstring> modules = test::ModulesOf(kV1ModuleVersion).All();
    fault::sim::FilesInUse inUse(modules);

    EXPECT_EQ(Run(GetParam().action, test::PackageDir(GetParam().package)), DRV_OK);

    EXPECT_GT(inUse.Refused(), 0) << "the in-use modules were never deleted";
    for (const std::wstring& module : modules) {
        EXPECT_FALSE(test::FileExists(module)) << test::Narrow(module) << " keeps its name";
        EXPECT_TRUE(AsideScheduled(module))
            << test::Narrow(module) << " is not moved aside and scheduled at restart";
    }
}

INSTANTIATE_TEST_SUITE_P(Modules, ModulesInUse,
                         ::testing::Values(InUseCase{"Update", ACTION_UPDATE, L"v2"},
                                           InUseCase{"Uninstall", ACTION_UNINSTALL, L"v1"}),
                         [](const ::testing::TestParamInfo<InUseCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- service marked for deletion -------------------------------------------------------------

constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qelmo";
constexpr const wchar_t* kDeleteFlagLine = L"The DeleteFlag indicates the service: ";

struct MarkedCase {
    const char* name;
    uint32_t action;  // run while the service is marked
    const wchar_t* package;
    uint32_t result;
    const wchar_t* driverAfter;  // the package whose qelmo.sys is in place afterwards, or null
                                 // when none is
    bool deleteFlagLine;         // the action logs that DeleteFlag marks the service
    const wchar_t* driverAfterReinstall;  // the package whose qelmo.sys is in place after the
                                          // install that follows the deletion
    bool driverFileBack;  // v1's qelmo.sys is put back before the action (a service deleted by
                          // another program, its file left)
    bool startRefused;    // the action meets the refusal to start a marked service
};

void PrintTo(const MarkedCase& c, std::ostream* os) {
    *os << c.name;
}

class MarkedForDeletion : public WindowsBehaviour,
                          public ::testing::WithParamInterface<MarkedCase> {};

TEST_P(MarkedForDeletion, ActionsOnTheMarkedServiceAndRecoveryOnceTheOtherHandleCloses) {
    const MarkedCase& c = GetParam();
    ASSERT_EQ(Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    fault::sim::MarkedForDeletion marked;
    ASSERT_TRUE(marked.Holding());

    // The uninstall deletes the service while the other handle is open: it stays, marked.
    ASSERT_EQ(Run(ACTION_UNINSTALL, test::PackageDir(L"v1")), DRV_OK);
    ASSERT_TRUE(marked.Marked());
    bool exists = false;
    test::QelmoStatus(&exists);
    EXPECT_TRUE(exists) << "a marked service is not gone yet";
    EXPECT_EQ(test::ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag").Dword(), 1u);
    EXPECT_FALSE(test::FileExists(test::InstalledDriverFile()));
    // The INF section's DelService marked it; the plug-in's own DeleteService afterwards finds
    // the service still there and meets the mark.
    EXPECT_EQ(marked.Deletions(), 1);

    if (c.driverFileBack) {
        ASSERT_TRUE(CopyFileW((test::PackageDir(L"v1") + L"\\qelmo.sys").c_str(),
                              test::InstalledDriverFile().c_str(), FALSE));
    }
    {
        test::LogCapture log;
        const int refusedBefore = marked.RefusedStarts();
        EXPECT_EQ(Run(c.action, test::PackageDir(c.package)), c.result) << log.Dump();
        EXPECT_EQ(marked.RefusedStarts() > refusedBefore, c.startRefused) << log.Dump();
        EXPECT_EQ(log.FindPrefix(kDeleteFlagLine) != nullptr, c.deleteFlagLine) << log.Dump();
    }
    if (c.driverAfter)
        EXPECT_TRUE(test::SameBytes(test::InstalledDriverFile(),
                                    test::PackageDir(c.driverAfter) + L"\\qelmo.sys"));
    else
        EXPECT_FALSE(test::FileExists(test::InstalledDriverFile()));
    EXPECT_TRUE(marked.Marked()) << "nothing lifts the mark but the deletion";
    EXPECT_EQ(test::ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag").Dword(), 1u);

    // The other handle closes: the deletion completes, key and DeleteFlag go, and the machine
    // takes a fresh install.
    marked.Release();
    EXPECT_TRUE(test::WaitUntilServiceGone());
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
    ASSERT_EQ(Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    test::QelmoStatus(&exists);
    EXPECT_TRUE(exists);
    EXPECT_TRUE(test::SameBytes(test::InstalledDriverFile(),
                                test::PackageDir(c.driverAfterReinstall) + L"\\qelmo.sys"));
}

// The cases start from v1 installed and uninstalled while the other handle was open: the service
// is marked, its key holds DeleteFlag = 1 and the drivers folder holds no qelmo.sys.
//   - Install: the INF section copies v1's driver and its AddService meets the mark (1072). The
//     marked service can still be opened, but it goes when the other handle closes: the install
//     reads DeleteFlag, says so and aborts instead of reporting an installation that is about to
//     vanish (it reported DRV_OK before).
//   - Update: the service exists and DeleteFlag marks it; the stop of the stopped driver fails,
//     so the INF is not run again, and there is no driver file to back up: DRV_ERR_ABORT with
//     nothing changed.
//   - Update with v1's driver file back in place: the backup and the replace work, the start of
//     the marked service is refused (1072) and v1's file is rolled back: DRV_ERR_ROLLED_BACK.
//   - Uninstall: the removal runs again on the marked service (its DelService and DeleteService
//     meet the mark): DRV_OK, the service still goes when the other handle closes.
INSTANTIATE_TEST_SUITE_P(
    Service, MarkedForDeletion,
    ::testing::Values(MarkedCase{"Install", ACTION_INSTALL, L"v1", DRV_ERR_ABORT, L"v1", true,
                                 L"v1", false, false},
                      MarkedCase{"Update", ACTION_UPDATE, L"v2", DRV_ERR_ABORT, nullptr, true,
                                 L"v1", false, false},
                      MarkedCase{"UpdateWithTheDriverFileInPlace", ACTION_UPDATE, L"v2",
                                 DRV_ERR_ROLLED_BACK, L"v1", true, L"v1", true, true},
                      MarkedCase{"Uninstall", ACTION_UNINSTALL, L"v1", DRV_OK, nullptr, false,
                                 L"v1", false, false}),
    [](const ::testing::TestParamInfo<MarkedCase>& info) { return std::string(info.param.name); });

// ---- a PermCount that cannot be read ---------------------------------------------------------

// Another security product may deny the plug-in a value read that Wine always allows. The update
// takes a service without PermCount for another product's installation and counts one more; a
// read refused with access denied is not a missing value, and counting on it would keep the driver
// through the uninstall that should remove it.
LSTATUS WINAPI PermCountDenied(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                               LPDWORD size) {
    if (name && _wcsicmp(name, L"PermCount") == 0) return ERROR_ACCESS_DENIED;
    return fault::OriginalAs<decltype(&RegQueryValueExW)>("RegQueryValueExW")(key, name, reserved,
                                                                              type, data, size);
}

struct PermCountCase {
    const char* name;
    bool removed;  // PermCount deleted before the update (a service another product installed)
    bool denied;   // the plug-in's reads of PermCount are refused with access denied
    DWORD after;
    bool takenOver;  // "qelmo is installed by other Vantor products, ..." logged
};

void PrintTo(const PermCountCase& c, std::ostream* os) {
    *os << c.name;
}

class PermCountReads : public WindowsBehaviour,
                       public ::testing::WithParamInterface<PermCountCase> {
protected:
    void TearDown() override { fault::ClearReplacements(); }
};

TEST_P(PermCountReads, UpdateCountsAnInstallationOnlyForAMissingValue) {
    const PermCountCase& c = GetParam();
    ASSERT_EQ(Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    if (c.removed) test::DeleteServiceValue(L"PermCount");
    if (c.denied)
        fault::SetReplacement(fault::FunctionId("RegQueryValueExW"),
                              reinterpret_cast<void*>(&PermCountDenied));
    test::LogCapture log;
    EXPECT_EQ(Run(ACTION_UPDATE, test::PackageDir(L"v2")), DRV_OK);
    fault::ClearReplacements();

    const test::RegValue perm = test::ReadValue(
        HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\qelmo", L"PermCount");
    ASSERT_TRUE(perm.exists);
    EXPECT_EQ(perm.Dword(), c.after);
    EXPECT_EQ(log.Find(L"qelmo is installed by other Vantor products, we should modify its "
                       L"registry.") != nullptr,
              c.takenOver)
        << log.Dump();
}

INSTANTIATE_TEST_SUITE_P(Update, PermCountReads,
                         ::testing::Values(PermCountCase{"Readable", false, false, 1, false},
                                           PermCountCase{"Missing", true, false, 1, true},
                                           PermCountCase{"Denied", false, true, 1, false}),
                         [](const ::testing::TestParamInfo<PermCountCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qelmo
