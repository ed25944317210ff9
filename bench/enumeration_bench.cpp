// (a) Enumeration through the export against the same Win32 calls made directly.
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench.h"

namespace qelmo::bench {

namespace {

uint32_t KeepStatus(DrvStatusInfo* info, void* context) {
    *static_cast<DrvStatusInfo*>(context) = *info;
    return 0;
}

}  // namespace

EnumFigures BenchEnumeration(const Plugin& plugin, int rounds, int calls) {
    EnumFigures figures;
    std::vector<double> exportTimes, directTimes, ratios;
    DrvStatusInfo a{}, b{};
    for (int i = 0; i < 20; ++i) {  // warm both paths
        plugin.Exports().enumerate(&KeepStatus, &a);
        EnumerateDirectly(b);
    }
    StartCount();
    plugin.Exports().enumerate(&KeepStatus, &a);
    figures.exportCalls = TakeCount();
    StartCount();
    EnumerateDirectly(b);
    figures.directCalls = TakeCount();
    // Odd rounds run the direct calls first, so neither side always finds the caches warm.
    for (int round = 0; round < rounds; ++round) {
        double exportSeconds = 0, directSeconds = 0;
        for (int half = 0; half < 2; ++half) {
            const bool viaExport = (half == 0) == (round % 2 == 0);
            StartCount();  // the call tallies stay small
            const double start = Now();
            for (int i = 0; i < calls; ++i) {
                if (viaExport)
                    plugin.Exports().enumerate(&KeepStatus, &a);
                else
                    EnumerateDirectly(b);
            }
            (viaExport ? exportSeconds : directSeconds) = Now() - start;
        }
        exportTimes.push_back(exportSeconds / calls * 1e6);
        directTimes.push_back(directSeconds / calls * 1e6);
        ratios.push_back(exportSeconds / directSeconds);
    }
    if (a.state != b.state || strcmp(a.szVersion, b.szVersion) != 0)
        printf("note: the export reported 0x%08x %s, the direct calls 0x%08x %s\n", a.state,
               a.szVersion, b.state, b.szVersion);
    figures.exportMicros = Median(exportTimes);
    figures.directMicros = Median(directTimes);
    figures.ratio = Median(ratios);
    return figures;
}

}  // namespace qelmo::bench
