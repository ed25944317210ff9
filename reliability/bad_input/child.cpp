#include "bad_input/child.h"

#include <windows.h>

#include <oxal_log.h>
#include <qelmo_plugin.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bad_input/records.h"
#include "host/plugin_library.h"

namespace qelmo::reliability::bad_input {
namespace {

constexpr size_t kRecordBytes = sizeof(DrvInfo);

// Records of one batch live at the end of a region followed by a page that cannot be touched, and
// are read-only during the call: reading past the last record or writing to any of them faults.
class RecordArena {
public:
    RecordArena() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        dataBytes_ = ((kMaxBatch * kRecordBytes + page_ - 1) / page_) * page_;
        base_ = static_cast<BYTE*>(
            VirtualAlloc(nullptr, dataBytes_ + page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (base_) VirtualProtect(base_ + dataBytes_, page_, PAGE_NOACCESS, &old);
    }
    ~RecordArena() {
        if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    }
    RecordArena(const RecordArena&) = delete;
    RecordArena& operator=(const RecordArena&) = delete;

    bool Ready() const { return base_ != nullptr; }
    // Copies the records against the guard page and makes them read-only.
    const DrvInfo* Place(const std::vector<Record>& records) {
        DWORD old = 0;
        VirtualProtect(base_, dataBytes_, PAGE_READWRITE, &old);
        BYTE* first = base_ + dataBytes_ - records.size() * kRecordBytes;
        for (size_t i = 0; i < records.size(); ++i)
            memcpy(first + i * kRecordBytes, &records[i].info, kRecordBytes);
        VirtualProtect(base_, dataBytes_, PAGE_READONLY, &old);
        return reinterpret_cast<const DrvInfo*>(first);
    }
    bool Unchanged(const std::vector<Record>& records) const {
        const BYTE* first = base_ + dataBytes_ - records.size() * kRecordBytes;
        for (size_t i = 0; i < records.size(); ++i)
            if (memcmp(first + i * kRecordBytes, &records[i].info, kRecordBytes) != 0) return false;
        return true;
    }
    // Zero records: a pointer right at the guard page.
    const DrvInfo* End() const { return reinterpret_cast<const DrvInfo*>(base_ + dataBytes_); }

private:
    BYTE* base_ = nullptr;
    size_t page_ = 4096;
    size_t dataBytes_ = 0;
};

// The results a batch may give: the last record's, unless a reached record aborts it first.
ResultSet BatchAllowed(const std::vector<Record>& records) {
    ResultSet allowed = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const ResultSet r = records[i].allowed;
        if (r & Bit(DRV_ERR_ABORT)) allowed |= Bit(DRV_ERR_ABORT);
        if (i + 1 == records.size()) allowed |= r & ~Bit(DRV_ERR_ABORT);
        if ((r & ~Bit(DRV_ERR_ABORT)) == 0) break;  // every later record is unreachable
    }
    return allowed;
}

struct StatusSeen {
    DrvStatusInfo info{};
    int calls = 0;
    void* context = nullptr;
};

uint32_t RememberStatus(DrvStatusInfo* info, void* context) {
    auto* seen = static_cast<StatusSeen*>(context);
    if (info) seen->info = *info;
    seen->context = context;
    ++seen->calls;
    return 0xFFFFFFFFu;  // ignored by the plug-in
}

// "%d.%d.%d" of non-negative numbers, or "1.0".
bool VersionTextValid(const DrvStatusInfo& info) {
    const void* nul = memchr(info.szVersion, '\0', sizeof info.szVersion);
    if (!nul) return false;
    const std::string text = info.szVersion;
    if (text == "1.0") return true;
    int a = 0, b = 0, c = 0, used = 0;
    return sscanf(text.c_str(), "%d.%d.%d%n", &a, &b, &c, &used) == 3 &&
           static_cast<size_t>(used) == text.size() && a >= 0 && b >= 0 && c >= 0;
}

}  // namespace

int RunChildCampaign(const Options& options) {
    InstallCrashReporter();
    // Logging as a host runs it: trace level, every message built; written nowhere unless the
    // environment says where.
    if (GetEnvironmentVariableW(L"OXAL_LOG_LEVEL", nullptr, 0) == 0)
        SetEnvironmentVariableW(L"OXAL_LOG_LEVEL", L"2");
    if (GetEnvironmentVariableW(L"OXAL_LOG_FILE", nullptr, 0) == 0)
        SetEnvironmentVariableW(L"OXAL_LOG_FILE", L"none");
    OxalLog_Reconfigure();
    const std::wstring work = options.Text(L"--work", L"");
    const uint64_t recordsWanted = options.Number(L"--records", 10000);
    const uint64_t realWanted = options.Number(L"--real", 12);
    const uint64_t slowWanted = options.Number(L"--slow", 6);
    Random random(options.Number(L"--seed", 1));

    Packages packages;
    packages.work = work;
    packages.whole = {work + L"\\v1", work + L"\\v2", work + L"\\failstart", work + L"\\blocked",
                      work + L"\\stopsafterstart"};
    for (size_t i = 0; i < sizeof kPackageFiles / sizeof kPackageFiles[0]; ++i)
        packages.missing.push_back(work + L"\\missing" + std::to_wstring(i));
    packages.missing.push_back(work + L"\\missing_addon");
    packages.brokenInf.push_back(work + L"\\inf_is_folder");
    for (const auto& inf : BrokenInfs())
        packages.brokenInf.push_back(work + L"\\" + inf.name);
    packages.noKipmon64 = packages.missing[2];
    packages.badVersion = work + L"\\badversion";
    packages.aFile = work + L"\\a_file";

    host::PluginLibrary plugin;
    if (!plugin.Load(ProgramFolder() + host::kPluginFile)) {
        if (!plugin.Module())
            Say("VIOLATION cannot load helperQELMODriver.dll: %lu\n", plugin.LoadError());
        else
            Say("VIOLATION exports missing\n");
        return 3;
    }
    const PFN_Plugin_Interface_DriversDoAction doAction = plugin.Exports().doAction;
    const PFN_Plugin_Interface_EnumerateDriversInfo enumerate = plugin.Exports().enumerate;

    RecordArena arena;
    if (!arena.Ready()) {
        Say("VIOLATION cannot reserve the record region\n");
        return 3;
    }
    Generator generator(random, packages, slowWanted);
    uint64_t records = 0, batches = 0, violations = 0, realDone = 0;
    std::vector<uint64_t> resultCounts(sizeof kActionCodes / sizeof kActionCodes[0], 0);
    auto violation = [&](const std::string& text) {
        ++violations;
        if (violations <= 50) Say("VIOLATION %s\n", text.c_str());
    };
    // Real records are spread over the run: one after every `realEvery` cheap records.
    std::map<std::string, std::pair<double, double>> timing;  // single-record batches by kind
    const uint64_t realEvery = realWanted ? recordsWanted / (realWanted + 1) + 1 : UINT64_MAX;
    uint64_t nextReal = realEvery;

    while (records < recordsWanted || realDone < realWanted) {
        ++batches;
        // Batches without records: a count of 0, or no array at all.
        if (random.Chance(0.01)) {
            const bool nullArray = random.Chance(0.5);
            const uint32_t count =
                nullArray ? static_cast<uint32_t>(random.Between(1, 0xFFFFFFFFu)) : 0;
            const uint32_t result = doAction(nullArray ? nullptr : arena.End(), count);
            if (result != DRV_ERR_ABORT)
                violation(std::string(nullArray ? "null array" : "zero count") + " gave " +
                          ResultName(result));
            continue;
        }
        // A real record goes alone, so no aborting record before it keeps it from running.
        std::vector<Record> batch;
        if (realDone < realWanted && (records >= nextReal || records >= recordsWanted)) {
            batch.push_back(generator.Real());
            ++realDone;
            nextReal += realEvery;
        } else {
            const size_t size =
                random.Chance(0.6) ? 1 : static_cast<size_t>(random.Between(2, kMaxBatch));
            for (size_t i = 0; i < size; ++i)
                batch.push_back(generator.Cheap());
        }
        records += batch.size();
        for (const auto& path : generator.TakeBackupPaths())
            Say("ALLOW %s\n", HexUnits(path).c_str());
        std::string kinds;
        for (const auto& r : batch)
            kinds += " [" + Describe(r) + "]";
        Say("B %llu%s\n", static_cast<unsigned long long>(batches), kinds.c_str());

        const DrvInfo* placed = arena.Place(batch);
        const double start = Seconds();
        const uint32_t result = doAction(placed, static_cast<uint32_t>(batch.size()));
        const double took = Seconds() - start;

        const ResultSet allowed = BatchAllowed(batch);
        std::string what;
        for (const auto& r : batch)
            what += "\n    " + Describe(r);
        if (!IsActionResult(result)) {
            char text[64];
            snprintf(text, sizeof text, "result 0x%08x is no result code", result);
            violation(text + what);
        } else if (!(allowed & Bit(result))) {
            violation(std::string("result ") + ResultName(result) + " not expected for" + what);
        }
        for (size_t i = 0; i < resultCounts.size(); ++i)
            if (kActionCodes[i] == result) ++resultCounts[i];
        if (!arena.Unchanged(batch)) violation("the records were changed" + what);
        for (const auto& r : batch)
            if (r.real)
                Say("REAL %s: batch of %zu gave %s in %.1f s\n", Describe(r).c_str(), batch.size(),
                    ResultName(result), took);
        if (took > 60) Say("NOTE slow batch (%.1f s):%s\n", took, what.c_str());
        if (batch.size() == 1) {
            const std::string kind =
                batch[0].what.substr(0, batch[0].what.find_first_of("0123456789/\\")) + " " +
                std::to_string(batch[0].info.action);
            auto& t = timing[kind];
            t.first += 1;
            t.second += took;
        }

        // The status report, now and then, between batches.
        if (random.Chance(0.05)) {
            StatusSeen seen;
            const uint32_t status = enumerate(&RememberStatus, &seen);
            const DrvStatusInfo& s = seen.info;
            if (status != DRV_OK || seen.calls != 1 || seen.context != &seen ||
                s.driver_id != QELMO_DRIVER_ID || s.valid != 1 ||
                (s.state != DRV_STATE_RUNNING && s.state != DRV_STATE_NOT_RUNNING &&
                 s.state != DRV_STATE_UNKNOWN) ||
                !VersionTextValid(s))
                violation("status report: result " + std::string(ResultName(status)) + ", calls " +
                          std::to_string(seen.calls) + ", state " + ResultName(s.state));
            if (random.Chance(0.2) && enumerate(nullptr, nullptr) != DRV_OK)
                violation("status report without a callback did not give DRV_OK");
        }
        if (batches % 64 == 0 && !HeapsValid()) violation("a heap of the process is damaged");
    }
    if (!HeapsValid()) violation("a heap of the process is damaged");

    if (options.Has(L"--timing"))
        for (const auto& [kind, t] : timing)
            Say("TIMING %-50s %6.0f records %8.2f ms each\n", kind.c_str(), t.first,
                t.second / t.first * 1000);
    std::string counts;
    for (size_t i = 0; i < resultCounts.size(); ++i)
        if (resultCounts[i])
            counts += std::string(" ") + ResultName(kActionCodes[i]) + "=" +
                      std::to_string(resultCounts[i]);
    Say("RESULTS%s\n", counts.c_str());
    Say("DONE %llu %llu %llu %llu\n", static_cast<unsigned long long>(records),
        static_cast<unsigned long long>(batches), static_cast<unsigned long long>(violations),
        static_cast<unsigned long long>(realDone));
    return violations ? 1 : 0;
}

}  // namespace qelmo::reliability::bad_input
