// Repetition campaign: install v1, update to v2, uninstall, over and over inside one host process
// that loads helperQELMODriver.dll once.
//
// After every uninstall the plug-in's places (service key, module folders, drivers folder, system
// folder, pending renames, the package folders) must be as they were before the first install.
// Across the cycles the process must keep its handle count and its private bytes (a leak of one
// handle or a few kilobytes per cycle shows after a few hundred cycles).
//
//   reliability_repeat [--cycles N]
//     --cycles  measured cycles after one warm-up cycle (default 5)
#include <windows.h>

#include <qelmo_plugin.h>

#include <string>
#include <vector>

#include "support/campaign.h"
#include "support/footprint.h"
#include "support/driver_state.h"
#include "support/layout.h"
#include "support/machine.h"
#include "support/plugin_host.h"

namespace qelmo::reliability {
namespace {

constexpr SIZE_T kPrivateBytesLimit = 1u << 20;

namespace layout = test::layout;

// The plug-in's places, and the package folders the cycles use.
Snapshot FootprintSnapshot(const std::vector<std::wstring>& packages) {
    Snapshot snapshot;
    AddRegistryTree(snapshot, HKEY_LOCAL_MACHINE, L"HKLM", layout::kServiceKey);
    const test::RegValue pending =
        test::ReadValue(HKEY_LOCAL_MACHINE, layout::kSessionManagerKey, layout::kPendingRenames);
    snapshot[L"v|pending renames"] =
        pending.exists ? std::to_wstring(pending.Size()) : std::wstring(L"absent");
    for (const auto& root : layout::ModuleRoots())
        AddFileTree(snapshot, root);
    AddFolderFiles(snapshot, test::DriversDir());
    AddFolderFiles(snapshot, test::SystemDir());
    for (const auto& package : packages)
        AddFileTree(snapshot, package);
    return snapshot;
}

struct ProcessFigures {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

ProcessFigures Measure() {
    return {CountHandles(), PrivateBytes()};
}

bool ServiceRunning() {
    bool exists = false;
    const SERVICE_STATUS status = test::QelmoStatus(&exists);
    return exists && status.dwCurrentState == SERVICE_RUNNING;
}

bool DriverFileIs(const std::wstring& package) {
    bool okA = false, okB = false;
    const auto installed = ReadWholeFile(layout::InstalledDriverFile(), &okA);
    const auto expected = ReadWholeFile(package + L"\\" + layout::kDriverFile, &okB);
    return okA && okB && installed == expected;
}

int Run(const Options& options) {
    InstallCrashReporter();
    const uint64_t cycles = options.Number(L"--cycles", 5);
    Say("repetition campaign: 1 warm-up cycle + %llu cycles of install v1, update v2, uninstall\n",
        static_cast<unsigned long long>(cycles));

    const layout::PendingRenamesKeeper pendingAtStart;
    test::CleanReport clean = test::CleanMachine();
    if (!clean.clean) {
        Say("cannot clean the machine first:\n%s", clean.Text().c_str());
        return 2;
    }
    const std::wstring work = MakeWorkFolder(L"repeat");
    const std::wstring v1 = work + L"\\v1", v2 = work + L"\\v2";
    if (!CopyPackageTo(L"v1", v1) || !CopyPackageTo(L"v2", v2)) {
        Say("cannot copy the packages\n");
        return 2;
    }
    const Snapshot machineBefore = TakeMachineSnapshot({work});
    const Snapshot baseline = FootprintSnapshot({v1, v2});

    uint64_t failures = 0;
    auto failure = [&](uint64_t cycle, const std::string& text) {
        ++failures;
        if (failures <= 40)
            Say("  cycle %llu: %s\n", static_cast<unsigned long long>(cycle), text.c_str());
    };

    const ProcessFigures beforeLoad = Measure();
    double measuredSeconds = 0;
    ProcessFigures warm, end;
    {
        test::PluginHost host;
        if (!host.Loaded()) {
            Say("cannot load helperQELMODriver.dll\n");
            return 2;
        }
        const ProcessFigures loaded = Measure();
        for (uint64_t cycle = 0; cycle <= cycles; ++cycle) {
            if (cycle == 1) {
                warm = Measure();
                measuredSeconds = Seconds();
            }
            const double start = Seconds();
            uint32_t r = host.Run(ACTION_INSTALL, v1);
            if (r != DRV_OK) failure(cycle, std::string("install gave ") + ResultName(r));
            if (!DriverFileIs(v1)) failure(cycle, "after install the driver file is not v1's");
            r = host.Run(ACTION_UPDATE, v2, static_cast<uint32_t>(cycle));
            if (r != DRV_OK) failure(cycle, std::string("update gave ") + ResultName(r));
            if (!DriverFileIs(v2)) failure(cycle, "after update the driver file is not v2's");
            if (!ServiceRunning()) failure(cycle, "after update the driver is not running");
            r = host.Run(ACTION_UNINSTALL, v2);
            if (r != DRV_OK) failure(cycle, std::string("uninstall gave ") + ResultName(r));
            for (const auto& change : Changes(baseline, FootprintSnapshot({v1, v2})))
                failure(cycle, "not back after uninstall: " + Narrow(change));
            if (cycle == 0 || (cycle % 20) == 0 || cycle == cycles)
                Say("cycle %llu done in %.1f s\n", static_cast<unsigned long long>(cycle),
                    Seconds() - start);
        }
        measuredSeconds = Seconds() - measuredSeconds;
        end = Measure();
        Say("after loading the plug-in: %lu handles, %llu private bytes\n", loaded.handles,
            static_cast<unsigned long long>(loaded.privateBytes));
    }
    const ProcessFigures unloaded = Measure();

    const long long handleDelta = static_cast<long long>(end.handles) - warm.handles;
    const long long privateDelta =
        static_cast<long long>(end.privateBytes) - static_cast<long long>(warm.privateBytes);
    Say("before loading: %lu handles, %llu private bytes; after unloading: %lu handles, %llu "
        "private bytes\n",
        beforeLoad.handles, static_cast<unsigned long long>(beforeLoad.privateBytes),
        unloaded.handles, static_cast<unsigned long long>(unloaded.privateBytes));
    Say("cycles: %llu in %.0f s (%.1f s each)\n", static_cast<unsigned long long>(cycles),
        measuredSeconds, cycles ? measuredSeconds / cycles : 0.0);
    Say("handles: %lu -> %lu (delta %lld); private bytes: %llu -> %llu (delta %lld)\n",
        warm.handles, end.handles, handleDelta, static_cast<unsigned long long>(warm.privateBytes),
        static_cast<unsigned long long>(end.privateBytes), privateDelta);
    if (handleDelta != 0) failure(cycles, "the handle count changed");
    if (privateDelta >= static_cast<long long>(kPrivateBytesLimit))
        failure(cycles, "private bytes grew by 1 MiB or more");

    const Snapshot machineAfter = TakeMachineSnapshot({work});
    for (const auto& change : ChangesOutsideFootprint(machineBefore, machineAfter, {}))
        failure(cycles, "changed outside the plug-in's places: " + Narrow(change));

    test::CleanMachine();
    pendingAtStart.Restore();
    test::RemoveTree(work);
    Say("repetition: %llu cycles, handle delta %lld, private bytes delta %lld, failures %llu\n",
        static_cast<unsigned long long>(cycles), handleDelta, privateDelta,
        static_cast<unsigned long long>(failures));
    return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qelmo::reliability

int main() {
    return qelmo::reliability::Run(qelmo::reliability::Options::FromCommandLine());
}
