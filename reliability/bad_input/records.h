// The bad input campaign's records: the package folders they point at, the records the generator
// draws, and the results each record allows. The parent (bad_input.cpp) prepares the folders; the
// child (child.cpp) draws the records and runs them.
#pragma once

#include <windows.h>

#include <qelmo_plugin.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/campaign.h"
#include "support/layout.h"

namespace qelmo::reliability::bad_input {

constexpr size_t kMaxBatch = 8;

// ---- the packages the records point at ---------------------------------------------------------

// Files of a whole package, relative to its folder.
namespace layout = test::layout;
inline const wchar_t* const kPackageFiles[] = {layout::kInfFile,
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

std::vector<BrokenInf> BrokenInfs();

struct Packages {
    std::wstring work;                  // the work folder (the child's current folder)
    std::vector<std::wstring> whole;    // v1, v2, failstart, blocked, stopsafterstart copies
    std::vector<std::wstring> missing;  // v1 copies, each without one file
    std::vector<std::wstring> brokenInf;
    std::wstring noKipmon64;  // v1 without kipmon64.dll: every install fails at the first step
    std::wstring badVersion;
    std::wstring aFile;  // a file where a package folder should be
};

// ---- records -----------------------------------------------------------------------------------

// The results a record may give, as a bit set over the action result codes.
using ResultSet = uint32_t;
inline constexpr uint32_t kActionCodes[] = {
    DRV_OK,        DRV_OK_PENDING,          DRV_ERR_FAILED,     DRV_ERR_ROLLED_BACK,
    DRV_ERR_ABORT, DRV_ERR_ROLLBACK_FAILED, DRV_ERR_STOP_FAILED};

ResultSet Bit(uint32_t code);

template <typename... Codes>
ResultSet Set(Codes... codes) {
    return (Bit(codes) | ...);
}

inline const ResultSet kAnyResult = (1u << (sizeof kActionCodes / sizeof kActionCodes[0])) - 1;

struct Record {
    DrvInfo info{};
    ResultSet allowed = kAnyResult;
    std::string what;
    bool real = false;
};

std::string Describe(const Record& r);

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

// Paths cross the pipe as hexadecimal UTF-16 units: they may hold line breaks and lone surrogates.
std::string HexUnits(const std::wstring& text);
std::wstring UnitsFromHex(const std::string& hex);

}  // namespace qelmo::reliability::bad_input
