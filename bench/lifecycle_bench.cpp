// (b) Install, update and uninstall through the export, less the time the plug-in spends in Sleep
// (the pause after the registry flags and the polling of waits), against the same work done
// directly (lifecycle_direct.cpp).
//
// A round runs install, update and uninstall on each side, each side from a clean machine. The
// sides take turns in ABBA order: after the first round (it warms the caches of both paths and is
// not counted) one round runs the direct work first and the next the plug-in first, so a pair of
// rounds runs direct, plug-in, plug-in, direct. A load that rises or falls during a pair weighs on
// both sides alike; a pair's ratio is the geometric mean of its two rounds' ratios, and an action's
// figure is the median over the pairs. Nothing is taken off either side but the plug-in's Sleep.
#include <oxal_log.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "support/machine.h"

namespace qelmo::bench {

namespace {

// One side's run of the three actions in one round.
struct Run {
    double ms[kLifecycleActions] = {};     // wall time of each action
    double slept[kLifecycleActions] = {};  // of it in Sleep (the plug-in only)
    CallCounts calls[kLifecycleActions];
};

}  // namespace

LifecycleFigures BenchLifecycle(const Plugin& plugin, int pairs, const std::wstring& work) {
    LifecycleFigures figures;
    const std::wstring v1 = work + L"\\v1", v2 = work + L"\\v2";
    if (pairs < 1 || !test::CopyPackageTo(L"v1", v1) || !test::CopyPackageTo(L"v2", v2)) {
        figures.ok = false;
        return figures;
    }
    const uint32_t actions[kLifecycleActions] = {ACTION_INSTALL, ACTION_UPDATE, ACTION_UNINSTALL};
    const std::wstring* packages[kLifecycleActions] = {&v1, &v2, &v2};
    void (*const directly[kLifecycleActions])(const std::wstring&) = {
        InstallDirectly, UpdateDirectly, UninstallDirectly};

    const auto runPlugin = [&](int round, Run& run) {
        for (int i = 0; i < kLifecycleActions; ++i) {
            OxalLog_ResetCallCounts();
            StartCount();
            const double start = Now();
            const uint32_t result = plugin.Run(actions[i], *packages[i]);
            run.ms[i] = (Now() - start) * 1000;
            run.slept[i] = SleptSeconds() * 1000;
            run.calls[i] = TakeCount();
            OxalLog_GetCallCounts(nullptr, nullptr, &figures.logLines[i]);
            if (result != DRV_OK) {
                printf("note: round %d, action %u gave 0x%08x\n", round, actions[i], result);
                figures.ok = false;
            }
        }
    };
    const auto runDirectly = [&](Run& run) {
        for (int i = 0; i < kLifecycleActions; ++i) {
            StartCount();
            const double start = Now();
            directly[i](*packages[i]);
            run.ms[i] = (Now() - start) * 1000;
            run.calls[i] = TakeCount();
        }
    };

    std::vector<double> netMs[kLifecycleActions], sleptMs[kLifecycleActions],
        directMs[kLifecycleActions], roundRatios[kLifecycleActions];
    const int rounds = 1 + 2 * pairs;
    for (int round = 0; round < rounds; ++round) {
        Run viaExport, direct;
        const bool pluginFirst = round % 2 == 0;
        for (int half = 0; half < 2; ++half) {
            if (!test::CleanMachine().clean) figures.ok = false;
            if ((half == 0) == pluginFirst)
                runPlugin(round, viaExport);
            else
                runDirectly(direct);
        }
        if (round == 0) continue;  // the first round warms caches of both paths
        for (int i = 0; i < kLifecycleActions; ++i) {
            const double net = viaExport.ms[i] - viaExport.slept[i];
            netMs[i].push_back(net);
            sleptMs[i].push_back(viaExport.slept[i]);
            directMs[i].push_back(direct.ms[i]);
            roundRatios[i].push_back(net / direct.ms[i]);
            figures.exportCalls[i] = viaExport.calls[i];
            figures.directCalls[i] = direct.calls[i];
            figures.exportCallsAll[i].Add(viaExport.calls[i]);
            figures.directCallsAll[i].Add(direct.calls[i]);
        }
    }
    test::CleanMachine();

    for (int i = 0; i < kLifecycleActions; ++i) {
        std::vector<double> pairRatios;
        for (size_t r = 0; r + 1 < roundRatios[i].size(); r += 2)
            pairRatios.push_back(std::sqrt(roundRatios[i][r] * roundRatios[i][r + 1]));
        figures.netMs[i] = Median(netMs[i]);
        figures.sleptMs[i] = Median(sleptMs[i]);
        figures.directMs[i] = Median(directMs[i]);
        figures.ratio[i] = Median(pairRatios);
        figures.worstPair[i] = *std::max_element(pairRatios.begin(), pairRatios.end());
        figures.roundRange[i][0] = *std::min_element(roundRatios[i].begin(), roundRatios[i].end());
        figures.roundRange[i][1] = *std::max_element(roundRatios[i].begin(), roundRatios[i].end());
    }
    figures.pairs = pairs;
    return figures;
}

}  // namespace qelmo::bench
