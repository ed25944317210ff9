// (c) A log site whose category is off: time per site, library calls per site, heap allocations
// of this program (the log gate is linked in statically, so its allocations are this program's).
#include <oxal_log.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "bench.h"
#include "common/log.h"

namespace {
std::atomic<unsigned long long> g_allocations{0};

void* Allocate(std::size_t size) {
    ++g_allocations;
    if (void* p = HeapAlloc(GetProcessHeap(), 0, size ? size : 1)) return p;
    throw std::bad_alloc();
}
void Release(void* p) {
    if (p) HeapFree(GetProcessHeap(), 0, p);
}
}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}

namespace qelmo::bench {

GateFigures BenchLogGate(const Plugin& plugin, int sites) {
    GateFigures figures;
    OxalLog_SetThreshold(logid::kCatInstall, 0);
    const std::wstring path = L"C:\\some\\package\\folder";
    std::vector<double> perSite;
    uint32_t handleCalls = 0, levelCalls = 0, flushCalls = 0;
    for (int round = 0; round < 5; ++round) {
        OxalLog_ResetCallCounts();
        const unsigned long long allocationsBefore = g_allocations.load();
        const double start = Now();
        for (int i = 0; i < sites; ++i)
            QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace, L"rDrvInfo.wszDriverPath = ",
                 path, L", record ", static_cast<uint32_t>(i));
        const double seconds = Now() - start;
        figures.allocations += g_allocations.load() - allocationsBefore;
        perSite.push_back(seconds / sites * 1e9);
        OxalLog_GetCallCounts(&handleCalls, &levelCalls, &flushCalls);
        figures.flushes += flushCalls;
    }
    figures.nanosPerSite = Median(perSite);
    figures.callsPerSite = static_cast<double>(handleCalls + levelCalls + flushCalls) / sites;

    // Through the DLL: an unknown action logs its entry and exit lines and nothing else.
    OxalLog_SetThreshold(nullptr, 0);
    OxalLog_ResetCallCounts();
    const int calls = 1000;
    for (int i = 0; i < calls; ++i)
        plugin.Run(0xFFFFFFFFu, path);
    OxalLog_GetCallCounts(&handleCalls, &levelCalls, &flushCalls);
    figures.exportCallsOff = static_cast<double>(handleCalls + levelCalls + flushCalls) / calls;
    figures.flushes += flushCalls;
    OxalLog_Reconfigure();
    return figures;
}

}  // namespace qelmo::bench
