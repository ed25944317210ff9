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

#include <oxal_log.h>
#include <qelmo_plugin.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/campaign.h"
#include "common/handles.h"
#include "host/plugin_library.h"
#include "support/footprint.h"
#include "support/layout.h"
#include "support/machine.h"

namespace qelmo::reliability {
namespace {

constexpr size_t kMaxBatch = 8;
constexpr size_t kRecordBytes = sizeof(DrvInfo);
constexpr double kSilenceLimitSeconds = 240;  // one real update may wait 2 x 30 s on services

// ---- the packages the records point at ---------------------------------------------------------

// Files of a whole package, relative to its folder.
namespace layout = test::layout;
const wchar_t* const kPackageFiles[] = {layout::kInfFile,
                                        layout::kDriverFile,
                                        layout::kModules[0].packageFile,
                                        layout::kModules[1].packageFile,
                                        layout::kModules[2].packageFile,
                                        layout::kModules[3].packageFile};

// INF texts that are empty or malformed; written as bytes.
struct BrokenInf {
    const wchar_t* name;
    std::string bytes;
};

std::vector<BrokenInf> BrokenInfs() {
    std::string longLine = "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n[DefaultInstall]\r\nX=";
    longLine.append(200000, 'A');
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk.push_back(static_cast<char>((i * 2654435761u) >> 24));
    return {
        {L"inf_empty", ""},
        {L"inf_junk", junk},
        {L"inf_nosections", "this is not an INF file\r\n"},
        {L"inf_noinstall", "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n[Other]\r\nA=B\r\n"},
        {L"inf_selfref",
         "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n[DefaultInstall]\r\nCopyFiles=Missing\r\n"
         "[DefaultInstall.Services]\r\nAddService=qelmo,,NoSuchSection\r\n[Missing]\r\nnone."
         "sys\r\n"},
        {L"inf_unterminated", "[Version\r\nSignature=\"$WINDOWS NT$\r\n[DefaultInstall"},
        {L"inf_longline", longLine},
        {L"inf_utf16junk", std::string("\xFF\xFE[\0V\0\xD8\0\0\xDC", 11)},
    };
}

struct Packages {
    std::wstring work;                  // the work folder (the child's current folder)
    std::vector<std::wstring> whole;    // v1, v2, failstart, blocked, stopsafterstart copies
    std::vector<std::wstring> missing;  // v1 copies, each without one file
    std::vector<std::wstring> brokenInf;
    std::wstring noKipmon64;  // v1 without kipmon64.dll: every install fails at the first step
    std::wstring badVersion;
    std::wstring aFile;  // a file where a package folder should be
};

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

// ---- records -----------------------------------------------------------------------------------

// The results a record may give, as a bit set over the action result codes.
using ResultSet = uint32_t;
constexpr uint32_t kActionCodes[] = {
    DRV_OK,        DRV_OK_PENDING,          DRV_ERR_FAILED,     DRV_ERR_ROLLED_BACK,
    DRV_ERR_ABORT, DRV_ERR_ROLLBACK_FAILED, DRV_ERR_STOP_FAILED};

ResultSet Bit(uint32_t code) {
    for (size_t i = 0; i < sizeof kActionCodes / sizeof kActionCodes[0]; ++i)
        if (kActionCodes[i] == code) return 1u << i;
    return 0;
}

template <typename... Codes>
ResultSet Set(Codes... codes) {
    return (Bit(codes) | ...);
}

const ResultSet kAnyResult = (1u << (sizeof kActionCodes / sizeof kActionCodes[0])) - 1;
// A folder that holds no usable package.
const ResultSet kNoPackageInstall = Set(DRV_ERR_ABORT, DRV_ERR_FAILED);
const ResultSet kNoPackageUpdate = Set(DRV_ERR_ABORT, DRV_ERR_FAILED);
// Uninstall reads the package folder only for the INF step, so the machine decides: not
// installed (failed), installed (abort at the INF step, or stop failed), or only counted down.
const ResultSet kNoPackageUninstall =
    Set(DRV_OK, DRV_ERR_FAILED, DRV_ERR_ABORT, DRV_ERR_STOP_FAILED);

struct Record {
    DrvInfo info{};
    ResultSet allowed = kAnyResult;
    std::string what;
    bool real = false;
};

std::string Describe(const Record& r) {
    char action[32];
    snprintf(action, sizeof action, " action=0x%x", r.info.action);
    return r.what + action;
}

void SetPath(DrvInfo& info, const std::wstring& path) {
    memset(info.wszDriverPath, 0, sizeof info.wszDriverPath);
    const size_t units =
        path.size() < QELMO_DRIVER_PATH_UNITS ? path.size() : QELMO_DRIVER_PATH_UNITS;
    memcpy(info.wszDriverPath, path.data(), units * sizeof(wchar_t));
}

// The expected results of a record whose folder holds no usable package.
ResultSet NoPackage(uint32_t action) {
    switch (action) {
        case ACTION_INSTALL:
            return kNoPackageInstall;
        case ACTION_UPDATE:
        case ACTION_UPDATE_ALT:
            return kNoPackageUpdate;
        case ACTION_UNINSTALL:
            return kNoPackageUninstall;
        default:
            return Set(DRV_ERR_FAILED);
    }
}

// A whole package in a folder that normalises to itself. Install always runs the INF and ends
// well. An update reads the package whatever the machine holds (a rollback must work: the backup
// is the file that was in place). Uninstall finds the service or not.
ResultSet WholePackage(uint32_t action) {
    switch (action) {
        case ACTION_INSTALL:
            return Set(DRV_OK);
        case ACTION_UPDATE:
        case ACTION_UPDATE_ALT:
            return kAnyResult & ~Set(DRV_ERR_FAILED, DRV_ERR_ROLLBACK_FAILED);
        default:
            return Set(DRV_OK, DRV_ERR_FAILED, DRV_ERR_STOP_FAILED);
    }
}

class Generator {
public:
    Generator(Random& random, const Packages& packages, uint64_t slowBudget)
        : random_(random), packages_(packages), slowBudget_(slowBudget) {}

    Record Cheap();
    Record Real();
    uint64_t SlowLeft() const { return slowBudget_; }
    // Update records whose backup file may appear: their full paths, lower case.
    std::vector<std::wstring> TakeBackupPaths() { return std::move(backupPaths_); }

private:
    uint32_t CheapAction();
    uint32_t UnknownAction();
    wchar_t RandomUnit();
    std::wstring JunkText(size_t units);
    std::wstring StrangePath();
    std::wstring InsertInfix(const std::wstring& path, size_t at) const;
    void NoteBackup(const Record& record);

    Random& random_;
    const Packages& packages_;
    uint64_t slowBudget_;
    size_t infixSweep_ = 0;
    std::vector<std::wstring> backupPaths_;
};

// Install or uninstall mostly; an update (1 s pause each) while the budget lasts.
uint32_t Generator::CheapAction() {
    if (slowBudget_ > 0 && random_.Chance(0.02)) {
        --slowBudget_;
        return random_.Chance(0.5) ? ACTION_UPDATE : ACTION_UPDATE_ALT;
    }
    return random_.Chance(0.75) ? ACTION_INSTALL : ACTION_UNINSTALL;
}

uint32_t Generator::UnknownAction() {
    static const std::vector<uint32_t> kFixed = {
        4u, 5u, 7u, 0xFFu, 0x100u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    if (random_.Chance(0.6)) return random_.Pick(kFixed);
    uint32_t action = random_.Word();
    return action <= ACTION_UPDATE_ALT ? action + 4 : action;
}

// Any unit but NUL: letters, separators, dots, characters names cannot hold, control
// characters, unpaired surrogates and the rest of the plane.
wchar_t Generator::RandomUnit() {
    static const wchar_t kSpecial[] = L"\\/.:*?\"<>|% ~$#;=,'`!@[]{}";
    switch (random_.Below(6)) {
        case 0:
            return static_cast<wchar_t>(L'a' + random_.Below(26));
        case 1:
            return kSpecial[random_.Below(wcslen(kSpecial))];
        case 2:
            return static_cast<wchar_t>(1 + random_.Below(31));
        case 3:
            return static_cast<wchar_t>(0xD800 + random_.Below(0x800));
        case 4:
            return L'\\';
        default:
            return static_cast<wchar_t>(1 + random_.Below(0xFFFE));
    }
}

std::wstring Generator::JunkText(size_t units) {
    std::wstring text;
    text.reserve(units);
    for (size_t i = 0; i < units; ++i)
        text.push_back(RandomUnit());
    return text;
}

// Folders that hold no package, in every shape a path can take.
std::wstring Generator::StrangePath() {
    static const std::vector<std::wstring> kFixed = {
        L"",
        L"\\",
        L"/",
        L".",
        L"..",
        L"C:",
        L"C:\\",
        L"C:/",
        L"C:\\windows",
        L"C:\\windows\\system32",
        L"C:\\windows\\system32\\drivers\\",
        L"C:\\windows\\system32\\qelmo\\20019\\KipMon\\6.0.1035",
        L"C:\\qelmo_nowhere\\pkg",
        L"C:\\qelmo_nowhere\\pkg\\",
        L"C:/qelmo_nowhere/pkg/",
        L"Q:\\pkg",
        L"nowhere\\pkg",
        L"..\\..\\..\\..\\..\\..\\..\\..",
        L"C:\\pkg\\..\\..\\..\\..\\..\\windows",
        L"\\\\?\\C:\\qelmo_nowhere",
        L"\\\\?\\UNC\\localhost\\c$\\qelmo_nowhere",
        L"\\\\.\\C:",
        L"\\\\.\\",
        L"\\\\.\\\\\\.\\",
        L"\\\\.\\NUL",
        L"\\\\.\\CON",
        L"\\\\.\\pipe\\qelmo",
        L"\\\\.\\mailslot\\qelmo_INSTANCE0",
        L"\\\\.\\PhysicalDrive0",
        L"\\\\.\\GLOBALROOT\\Device\\Null",
        L"\\??\\C:\\qelmo_nowhere",
        L"CON",
        L"NUL",
        L"COM1",
        L"LPT1\\pkg",
        L"%windir%\\pkg",
        L"%SystemRoot%",
        L"C:\\pkg:stream",
        L"C:\\pkg::$DATA",
        L"C:\\pk*g\\?",
        L"C:\\pkg\\qelmo.inf",
        L"C:\\ trailing dots...",
        L"C:\\   ",
    };
    switch (random_.Below(4)) {
        case 0:
            return random_.Pick(kFixed);
        case 1:
            return packages_.aFile + (random_.Chance(0.5) ? L"" : L"\\");
        case 2:
            return L"C:\\qelmo_nowhere\\" + JunkText(random_.Between(1, 40));
        default:
            return JunkText(random_.Between(0, 300));
    }
}

// "\\.\" put in at `at` (0 .. size).
std::wstring Generator::InsertInfix(const std::wstring& path, size_t at) const {
    return path.substr(0, at) + L"\\\\.\\" + path.substr(at);
}

void Generator::NoteBackup(const Record& record) {
    if (record.info.action != ACTION_UPDATE && record.info.action != ACTION_UPDATE_ALT) return;
    if (!wmemchr(record.info.wszDriverPath, L'\0', QELMO_DRIVER_PATH_UNITS)) return;
    std::wstring folder = record.info.wszDriverPath;
    const size_t infix = folder.find(L"\\\\.\\");
    if (infix != std::wstring::npos) folder.erase(infix, 3);
    if (folder.empty() || (folder.back() != L'\\' && folder.back() != L'/')) folder += L'\\';
    folder += layout::kBackupFile;
    wchar_t full[4096] = {};
    DWORD n = GetFullPathNameW(folder.c_str(), 4096, full, nullptr);
    if (n > 0 && n < 4096) backupPaths_.push_back(Lower(full));
}

Record Generator::Cheap() {
    Record r;
    r.info.driver_id = random_.Chance(0.9) ? QELMO_DRIVER_ID : random_.Word();
    r.info.compare_state = random_.Chance(0.5) ? 0 : random_.Word();
    switch (random_.Below(9)) {
        case 0: {  // unknown action: nothing runs, whatever the path
            r.info.action = UnknownAction();
            SetPath(r.info, random_.Chance(0.5) ? packages_.whole[0] : StrangePath());
            r.allowed = Set(DRV_ERR_FAILED);
            r.what = "unknown action";
            break;
        }
        case 1: {  // no NUL in the 1024 units
            r.info.action = CheapAction();
            std::wstring path = random_.Chance(0.5) ? packages_.whole[0] + L"\\" : L"";
            while (path.size() < QELMO_DRIVER_PATH_UNITS)
                path += random_.Chance(0.5) ? JunkText(16) : std::wstring(L"\\sub");
            for (auto& unit : path)
                if (unit == L'\0') unit = L'x';
            SetPath(r.info, path.substr(0, QELMO_DRIVER_PATH_UNITS));
            r.allowed = Set(DRV_ERR_FAILED);
            r.what = "unterminated path";
            break;
        }
        case 2: {  // 1023 units and the NUL
            r.info.action = CheapAction();
            std::wstring path = packages_.whole[0];
            while (path.size() < QELMO_DRIVER_PATH_UNITS - 1)
                path += L"\\..";
            path.resize(QELMO_DRIVER_PATH_UNITS - 1, L'x');
            SetPath(r.info, path);
            r.allowed = Set(DRV_ERR_FAILED);
            r.what = "1023-unit path";
            break;
        }
        case 3: {  // lengths around the 260-unit folder buffer, with and without the infix
            r.info.action = CheapAction();
            std::wstring path = L"C:\\qelmo_nowhere";
            const size_t length = random_.Between(250, 270);
            while (path.size() < length)
                path += L"\\d" + std::to_wstring(random_.Below(10));
            path.resize(length);
            if (random_.Chance(0.5)) path = InsertInfix(path, random_.Below(path.size() + 1));
            SetPath(r.info, path);
            r.allowed = NoPackage(r.info.action);
            r.what = "boundary length " + std::to_string(path.size());
            break;
        }
        case 4: {  // "\\.\" at any position of a package path (the package has no kipmon64.dll,
                   // so an install ends at its first step wherever the infix lands)
            r.info.action = ACTION_INSTALL;
            const std::wstring& base = packages_.noKipmon64;
            const size_t at = infixSweep_++ % (base.size() + 1);  // every position in turn
            SetPath(r.info, InsertInfix(base, at));
            r.allowed = Set(DRV_ERR_ABORT);
            r.what = "device infix at " + std::to_string(at);
            break;
        }
        case 5: {  // "\\.\" anywhere in strange paths, once or several times
            r.info.action = CheapAction();
            std::wstring path = StrangePath();
            for (uint64_t n = random_.Between(1, 3); n > 0; --n)
                path = InsertInfix(path, random_.Below(path.size() + 1));
            SetPath(r.info, path);
            r.allowed = NoPackage(r.info.action);
            r.what = "strange path with device infix";
            break;
        }
        case 6: {  // a package missing its first file, or its add-on folder
            r.info.action = ACTION_INSTALL;
            const bool noAddOn = random_.Chance(0.5);
            SetPath(r.info, noAddOn ? packages_.missing.back() : packages_.noKipmon64);
            r.allowed = Set(DRV_ERR_ABORT);
            r.what = noAddOn ? "package without AddOn" : "package without kipmon64.dll";
            break;
        }
        case 7: {  // module version text with a character folders cannot hold
            r.info.action = random_.Chance(0.9) ? ACTION_INSTALL : CheapAction();
            SetPath(r.info, packages_.badVersion);
            r.allowed = r.info.action == ACTION_UNINSTALL ? kAnyResult : Set(DRV_ERR_ABORT);
            r.what = "badversion package";
            break;
        }
        default: {
            r.info.action = CheapAction();
            SetPath(r.info, StrangePath());
            r.allowed = NoPackage(r.info.action);
            r.what = "strange path";
            break;
        }
    }
    NoteBackup(r);
    return r;
}

// A record that reaches the INF step or the service: whole packages, packages missing one file,
// broken INF files, whole packages behind a "\\.\".
Record Generator::Real() {
    Record r;
    r.real = true;
    r.info.driver_id = QELMO_DRIVER_ID;
    r.info.compare_state = random_.Word();
    static const uint32_t kActions[] = {ACTION_INSTALL, ACTION_UPDATE, ACTION_UNINSTALL,
                                        ACTION_UPDATE_ALT};
    r.info.action = kActions[random_.Below(4)];
    switch (random_.Below(4)) {
        case 0:
            SetPath(r.info, random_.Pick(packages_.whole));
            r.what = "whole package";
            r.allowed = WholePackage(r.info.action);
            break;
        case 1:
            SetPath(r.info, random_.Pick(packages_.missing));
            r.what = "package missing a file";
            break;
        case 2:
            SetPath(r.info, random_.Pick(packages_.brokenInf));
            r.what = "broken INF";
            break;
        default: {
            // Half of the time next to a separator or at the end: the folder stays valid.
            const std::wstring& base = packages_.whole[0];
            std::vector<size_t> valid = {base.size()};
            for (size_t i = 0; i < base.size(); ++i)
                if (base[i] == L'\\') {
                    valid.push_back(i);
                    valid.push_back(i + 1);
                }
            const size_t at =
                random_.Chance(0.5) ? random_.Pick(valid) : random_.Below(base.size() + 1);
            SetPath(r.info, InsertInfix(base, at));
            r.what = "whole package with device infix at " + std::to_string(at);
            break;
        }
    }
    r.what += " " + Narrow(r.info.wszDriverPath);
    NoteBackup(r);
    return r;
}

// Paths cross the pipe as hexadecimal UTF-16 units: they may hold line breaks and lone surrogates.
std::string HexUnits(const std::wstring& text) {
    std::string hex;
    char unit[5];
    for (wchar_t c : text) {
        snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        hex += unit;
    }
    return hex;
}

std::wstring UnitsFromHex(const std::string& hex) {
    std::wstring text;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4)
        text.push_back(static_cast<wchar_t>(strtoul(hex.substr(i, 4).c_str(), nullptr, 16)));
    return text;
}

// ---- the child: runs the records ---------------------------------------------------------------

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
}  // namespace qelmo::reliability

int main() {
    const qelmo::reliability::Options options = qelmo::reliability::Options::FromCommandLine();
    if (options.Has(L"--child")) return qelmo::reliability::RunChildCampaign(options);
    return qelmo::reliability::RunParent(options);
}
