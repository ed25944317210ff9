#include "bad_input/records.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "support/footprint.h"

namespace qelmo::reliability::bad_input {
namespace {

// A folder that holds no usable package.
const ResultSet kNoPackageInstall = Set(DRV_ERR_ABORT, DRV_ERR_FAILED);
const ResultSet kNoPackageUpdate = Set(DRV_ERR_ABORT, DRV_ERR_FAILED);
// Uninstall reads the package folder only for the INF step, so the machine decides: not
// installed (failed), installed (abort at the INF step, or stop failed), or only counted down.
const ResultSet kNoPackageUninstall =
    Set(DRV_OK, DRV_ERR_FAILED, DRV_ERR_ABORT, DRV_ERR_STOP_FAILED);

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

}  // namespace

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

ResultSet Bit(uint32_t code) {
    for (size_t i = 0; i < sizeof kActionCodes / sizeof kActionCodes[0]; ++i)
        if (kActionCodes[i] == code) return 1u << i;
    return 0;
}

std::string Describe(const Record& r) {
    char action[32];
    snprintf(action, sizeof action, " action=0x%x", r.info.action);
    return r.what + action;
}

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

}  // namespace qelmo::reliability::bad_input
