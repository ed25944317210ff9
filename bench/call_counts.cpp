// Calls into the system per action, counted by the same import hooks as the fault campaign: the
// plug-in's imports and this program's own (the direct work) are patched alike, so the two counts
// are comparable function by function.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bench.h"
#include "fault/fault_hooks.h"

namespace qelmo::bench {

namespace {

bool IsAllocator(const char* name) {
    return std::strcmp(name, "malloc") == 0 || std::strcmp(name, "calloc") == 0 ||
           std::strcmp(name, "realloc") == 0;
}

}  // namespace

uint32_t CallCounts::Total() const {
    uint32_t total = 0;
    for (uint32_t n : byFunction)
        total += n;
    return total;
}

void CallCounts::Add(const CallCounts& other) {
    byFunction.resize(std::max(byFunction.size(), other.byFunction.size()), 0);
    microsByFunction.resize(byFunction.size(), 0);
    for (size_t id = 0; id < other.byFunction.size(); ++id) {
        byFunction[id] += other.byFunction[id];
        microsByFunction[id] += other.microsByFunction[id];
    }
    runs += other.runs;
}

double CallCounts::TotalMicros() const {
    double total = 0;
    for (double micros : microsByFunction)
        total += micros;
    return total;
}

bool HookCalls(HMODULE plugin) {
    fault::SetRealSleep(true);
    fault::SetTiming(true);
    fault::SetPlan({});
    return fault::PatchImports(plugin) != 0 && fault::PatchImports(GetModuleHandleW(nullptr)) != 0;
}

void StartCount() {
    fault::SetPlan({});
}

CallCounts TakeCount() {
    CallCounts counts;
    counts.runs = 1;
    counts.byFunction = fault::CallsByFunction();
    counts.microsByFunction.assign(counts.byFunction.size(), 0);
    for (const fault::CallTime& call : fault::CallTimes())
        counts.microsByFunction[call.id] += call.microseconds;
    const std::vector<fault::FunctionInfo>& functions = fault::Functions();
    for (size_t id = 0; id < counts.byFunction.size(); ++id)
        if (IsAllocator(functions[id].name))
            counts.byFunction[id] = 0, counts.microsByFunction[id] = 0;
    return counts;
}

double SleptSeconds() {
    return fault::RealSleptSeconds();
}

std::string Differences(const CallCounts& plugin, const CallCounts& direct, size_t top) {
    std::vector<std::pair<long, size_t>> differences;  // difference, function id
    const size_t n = std::min(plugin.byFunction.size(), direct.byFunction.size());
    for (size_t id = 0; id < n; ++id) {
        const long d = static_cast<long>(plugin.byFunction[id]) - direct.byFunction[id];
        if (d != 0) differences.emplace_back(d, id);
    }
    std::stable_sort(differences.begin(), differences.end(), [](const auto& a, const auto& b) {
        return std::labs(a.first) > std::labs(b.first);
    });
    std::string text;
    for (size_t i = 0; i < differences.size() && i < top; ++i) {
        if (!text.empty()) text += ", ";
        text += fault::Functions()[differences[i].second].name;
        text += differences[i].first > 0 ? " +" : " ";
        text += std::to_string(differences[i].first);
    }
    return text.empty() ? "none" : text;
}

}  // namespace qelmo::bench

namespace qelmo::bench {

void PrintAllCalls(const char* action, const CallCounts& plugin, const CallCounts& direct) {
    const size_t n = std::min(plugin.byFunction.size(), direct.byFunction.size());
    const double pluginRuns = std::max<uint32_t>(plugin.runs, 1);
    const double directRuns = std::max<uint32_t>(direct.runs, 1);
    for (size_t id = 0; id < n; ++id) {
        if (!plugin.byFunction[id] && !direct.byFunction[id]) continue;
        printf("| %s | %s | %.4g | %.2f ms | %.4g | %.2f ms |\n", action,
               fault::Functions()[id].name, plugin.byFunction[id] / pluginRuns,
               plugin.microsByFunction[id] / 1000 / pluginRuns, direct.byFunction[id] / directRuns,
               direct.microsByFunction[id] / 1000 / directRuns);
    }
    printf("| %s | all | %.4g | %.2f ms | %.4g | %.2f ms |\n", action, plugin.Total() / pluginRuns,
           plugin.TotalMicros() / 1000 / pluginRuns, direct.Total() / directRuns,
           direct.TotalMicros() / 1000 / directRuns);
}

}  // namespace qelmo::bench
