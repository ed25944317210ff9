// (b) Install, update and uninstall through the export, less the time the plug-in spends in Sleep
// (the pause after the registry flags and the polling of waits), against the same work done
// directly (lifecycle_direct.cpp).
#include <oxal_log.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "support/machine.h"

namespace qelmo::bench {

LifecycleFigures BenchLifecycle(const Plugin& plugin, int rounds, const std::wstring& work) {
    LifecycleFigures figures;
    const std::wstring v1 = work + L"\\v1", v2 = work + L"\\v2";
    if (!test::CopyPackageTo(L"v1", v1) || !test::CopyPackageTo(L"v2", v2)) {
        figures.ok = false;
        return figures;
    }
    const uint32_t actions[kLifecycleActions] = {ACTION_INSTALL, ACTION_UPDATE, ACTION_UNINSTALL};
    const std::wstring* packages[kLifecycleActions] = {&v1, &v2, &v2};
    void (*const directly[kLifecycleActions])(const std::wstring&) = {
        InstallDirectly, UpdateDirectly, UninstallDirectly};
    std::vector<double> exportMs[kLifecycleActions], sleptMs[kLifecycleActions],
        directMs[kLifecycleActions], ratios[kLifecycleActions];
    for (int round = 0; round < rounds; ++round) {
        double viaExport[kLifecycleActions], slept[kLifecycleActions], direct[kLifecycleActions];
        // Each side starts from a clean machine; odd rounds run the direct work first.
        for (int half = 0; half < 2; ++half) {
            if (!test::CleanMachine().clean) figures.ok = false;
            if ((half == 0) == (round % 2 == 0)) {
                for (int i = 0; i < kLifecycleActions; ++i) {
                    OxalLog_ResetCallCounts();
                    StartCount();
                    const double start = Now();
                    const uint32_t result = plugin.Run(actions[i], *packages[i]);
                    viaExport[i] = (Now() - start) * 1000;
                    slept[i] = SleptSeconds() * 1000;
                    figures.exportCalls[i] = TakeCount();
                    OxalLog_GetCallCounts(nullptr, nullptr, &figures.logLines[i]);
                    if (result != DRV_OK) {
                        printf("note: round %d, action %u gave 0x%08x\n", round, actions[i],
                               result);
                        figures.ok = false;
                    }
                }
            } else {
                for (int i = 0; i < kLifecycleActions; ++i) {
                    StartCount();
                    const double start = Now();
                    directly[i](*packages[i]);
                    direct[i] = (Now() - start) * 1000;
                    figures.directCalls[i] = TakeCount();
                }
            }
        }
        if (round == 0) continue;  // the first round warms caches of both paths
        for (int i = 0; i < kLifecycleActions; ++i) {
            exportMs[i].push_back(viaExport[i]);
            sleptMs[i].push_back(slept[i]);
            directMs[i].push_back(direct[i]);
            ratios[i].push_back((viaExport[i] - slept[i]) / direct[i]);
        }
    }
    test::CleanMachine();
    for (int i = 0; i < kLifecycleActions; ++i) {
        figures.exportMs[i] = Median(exportMs[i]);
        figures.sleptMs[i] = Median(sleptMs[i]);
        figures.directMs[i] = Median(directMs[i]);
        figures.ratio[i] = Median(ratios[i]);
        figures.worstRatio[i] = *std::max_element(ratios[i].begin(), ratios[i].end());
    }
    return figures;
}

}  // namespace qelmo::bench
