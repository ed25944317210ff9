#include "doctor.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "common/debug_log.h"
#include "common/driver_names.h"
#include "common/footprint.h"
#include "config/config_names.h"
#include "config/safety_net_name.h"
#include "doctor_probe.h"
#include "text.h"

namespace qelmoctl {
namespace {

namespace names = qelmo::names;
namespace footprint = qelmo::footprint;
using footprint::PendingRename;
using namespace probe;

// What every check looks at, read once.
struct Machine {
    Places places;
    bool keyExists = false;
    ServiceView service;
    bool installed = false;  // the service manager knows the service
    LONG pendingError = ERROR_SUCCESS;
    std::vector<PendingRename> pending;
    std::vector<std::wstring> recorded;  // module paths the registry records (non-empty ones)
    std::wstring package;  // the package the operator says the installed driver came from
};

std::vector<std::wstring> RecordedModulePaths() {
    std::vector<std::wstring> recorded;
    for (const auto& record : footprint::kModuleRecords) {
        const RegValue value = ReadValue(record.key, record.pathValue);
        if (value.IsString() && !value.String().empty()) recorded.push_back(value.String());
    }
    return recorded;
}

Machine LookAtMachine(const std::wstring& package) {
    Machine m;
    m.package = package;
    m.places = FindPlaces();
    m.keyExists = KeyExists(names::kServiceKey);
    m.service = LookAtService();
    m.installed = m.service.Known();
    const RegValue pending =
        ReadValue(footprint::kSessionManagerKey, footprint::kPendingRenamesValue);
    if (pending.Exists())
        m.pending = footprint::ParsePendingRenames(pending.bytes.data(), pending.bytes.size());
    else if (pending.error != ERROR_FILE_NOT_FOUND)
        m.pendingError = pending.error;
    if (m.keyExists) m.recorded = RecordedModulePaths();
    return m;
}

bool IsRecorded(const Machine& m, const std::wstring& path) {
    for (const auto& r : m.recorded)
        if (SameText(path, r)) return true;
    return false;
}

bool ScheduledForDeletion(const Machine& m, const std::wstring& path) {
    for (const auto& op : m.pending)
        if (op.IsDelete() && SameText(op.source, path)) return true;
    return false;
}

// "stored as REG_BINARY, not REG_DWORD" and the like.
std::string WrongType(DWORD type, const char* wanted) {
    return "stored as " + TypeText(type) + ", not " + wanted;
}

// ---- service --------------------------------------------------------------------------------

void CheckService(const Machine& m, Findings& out) {
    const ServiceView& view = m.service;
    if (view.scmError) {
        out.Problem("service",
                    "cannot open the service manager (error " + Dec(view.scmError) + ")");
        return;
    }
    if (view.openError == ERROR_SERVICE_DOES_NOT_EXIST) {
        if (m.keyExists)
            out.Problem("service",
                        "not known to the service manager, but its registry key exists (left "
                        "behind, or deleted and waiting for the restart)");
        else
            out.Info("service", "not installed");
        return;
    }
    if (view.openError == ERROR_SERVICE_MARKED_FOR_DELETE) {
        out.Problem("service", "marked for deletion (error 1072): it goes away at the restart");
        return;
    }
    if (view.openError) {
        out.Problem("service", "cannot open the service (error " + Dec(view.openError) + ")");
        return;
    }

    if (view.statusError) {
        out.Problem("service", "cannot query its state (error " + Dec(view.statusError) + ")");
    } else {
        const SERVICE_STATUS& s = view.status;
        std::string detail = StateName(s.dwCurrentState);
        if (s.dwCurrentState == SERVICE_STOPPED)
            detail += " (exit code " + Dec(s.dwWin32ExitCode) + ")";
        const bool pending = s.dwCurrentState == SERVICE_START_PENDING ||
                             s.dwCurrentState == SERVICE_STOP_PENDING ||
                             s.dwCurrentState == SERVICE_CONTINUE_PENDING ||
                             s.dwCurrentState == SERVICE_PAUSE_PENDING;
        // 1077: never started since the service manager came up; 0: stopped normally.
        const bool failedExit = s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode != 0 &&
                                s.dwWin32ExitCode != ERROR_SERVICE_NEVER_STARTED;
        if (pending)
            out.Problem("service", detail + ": stuck between states");
        else if (failedExit)
            out.Problem("service", detail + ": its last run ended with an error");
        else
            out.Ok("service", detail);
    }

    if (view.configError) {
        out.Problem("service.type",
                    "cannot query its configuration (error " + Dec(view.configError) + ")");
        return;
    }
    std::string typeDetail =
        std::string(view.type == SERVICE_KERNEL_DRIVER ? "kernel driver" : "not a kernel driver") +
        " (type " + Dec(view.type) + "), start " + StartTypeName(view.startType) + " (" +
        Dec(view.startType) + ")";
    if (view.type != SERVICE_KERNEL_DRIVER)
        out.Problem("service.type", typeDetail);
    else if (view.startType == SERVICE_DISABLED)
        out.Problem("service.type", typeDetail + ": the driver cannot be started");
    else
        out.Ok("service.type", typeDetail);

    const std::wstring resolved = ResolveImagePath(view.imagePath, m.places.windows);
    std::string imageDetail = Narrow(view.imagePath);
    if (!SameText(resolved, view.imagePath)) imageDetail += " (" + Narrow(resolved) + ")";
    if (view.imagePath.empty())
        out.Problem("service.image_path", "empty");
    else if (!SameText(resolved, m.places.driverFile))
        out.Problem("service.image_path",
                    imageDetail + ": not the drivers folder's " +
                        Narrow(footprint::DriverFileName(names::kServiceName)));
    else
        out.Ok("service.image_path", imageDetail);
}

void CheckDeleteMark(const Machine& m, Findings& out) {
    if (!m.keyExists) return;
    const RegValue flag = ReadValue(names::kServiceKey, names::kDeleteFlag);
    if (flag.Exists() && flag.Dword() != 0) {
        out.Problem("service.delete_mark",
                    "DeleteFlag = " + Dec(flag.Dword()) +
                        ": the service is marked for deletion at the next restart (an update "
                        "reinstalls it from the INF file)");
    } else if (m.service.openError == ERROR_SERVICE_MARKED_FOR_DELETE) {
        // Reported with the service already.
    } else {
        out.Ok("service.delete_mark", flag.Exists() ? "DeleteFlag = 0" : "not marked for deletion");
    }
}

// ---- driver file ----------------------------------------------------------------------------

void CheckDriverFile(const Machine& m, Findings& out) {
    const Places& places = m.places;
    const std::string path = Narrow(places.driverFile);
    if (!PathExists(places.driverFile)) {
        if (m.installed)
            out.Problem("driver.file", path + " missing: the service cannot start");
        else
            out.Info("driver.file", path + " absent");
    } else {
        DWORD v[4] = {};
        DWORD error = ReadFileVersion(places.driverFile, v);
        if (error) {
            out.Problem("driver.file", path + " has no readable version (error " + Dec(error) +
                                           "); the status reports 1.0");
        } else {
            // The status record shows major.minor.revision (the third number is left out).
            char text[96];
            snprintf(text, sizeof text, "version %lu.%lu.%lu.%lu (status shows %lu.%lu.%lu)",
                     static_cast<unsigned long>(v[0]), static_cast<unsigned long>(v[1]),
                     static_cast<unsigned long>(v[2]), static_cast<unsigned long>(v[3]),
                     static_cast<unsigned long>(v[0]), static_cast<unsigned long>(v[1]),
                     static_cast<unsigned long>(v[3]));
            if (m.installed)
                out.Ok("driver.file", path + " " + text);
            else
                out.Problem("driver.file",
                            path + " " + text + ": left behind, the service is not installed");
        }
    }
    if (PathExists(places.backupFile))
        out.Problem("driver.backup",
                    Narrow(places.backupFile) + " left over from an interrupted update");
    else
        out.Ok("driver.backup", "no " + Narrow(places.backupFile));
}

// ---- service key values ---------------------------------------------------------------------

// One REG_DWORD of the service key: what its absence means, and how a present value is judged.
struct DwordRule {
    const wchar_t* name;
    const char* whenMissing;
    void (*judge)(const std::string& check, DWORD value, Findings& out);
};

constexpr DwordRule kServiceKeyDwords[] = {
    {names::kPermCount, " (counts as 0: an uninstall removes the driver)",
     [](const std::string& check, DWORD v, Findings& out) {
         if (v == 1)
             out.Ok(check, "1");
         else if (v == 0)
             out.Info(check, "0 (an uninstall removes the driver)");
         else
             out.Info(check, Dec(v) +
                                 " installations hold the driver (an uninstall only counts "
                                 "down)");
     }},
    {names::kRegCfgFlags, " (the next install or update writes it)",
     [](const std::string& check, DWORD v, Findings& out) {
         if (v & 1u)
             out.Problem(check, Hex(v) +
                                    ": bit 0 is set, it should be clear (the next install or "
                                    "update clears it)");
         else
             out.Ok(check, Hex(v));
     }},
    {names::kZrkFlags, " (an update starts the new driver)",
     [](const std::string& check, DWORD v, Findings& out) {
         if (v & 1u)
             out.Info(check, Hex(v) + ": bit 0 is set, an update leaves the new driver stopped");
         else
             out.Ok(check, Hex(v));
     }},
};

void CheckServiceKeyValues(const Machine& m, Findings& out) {
    if (!m.keyExists) {
        const std::string detail = "no service key " + Narrow(names::kServiceKey);
        if (m.installed)
            out.Problem("registry", detail + ", but the service manager knows the service");
        else
            out.Info("registry", detail);
        return;
    }
    for (const auto& rule : kServiceKeyDwords) {
        const std::string check = "registry." + Narrow(rule.name);
        const RegValue value = ReadValue(names::kServiceKey, rule.name);
        if (!value.Exists())
            out.Info(check, ReadFailure(value) + rule.whenMissing);
        else if (!value.IsDword())
            out.Problem(check, WrongType(value.type, "REG_DWORD"));
        else
            rule.judge(check, value.Dword(), out);
    }
}

// ---- deployed modules -----------------------------------------------------------------------

// A recorded string value: false, with the problem, when it is missing, of another type or empty.
bool ReadRecordedText(const std::string& check, const wchar_t* key, const wchar_t* name,
                      std::wstring& text, Findings& out) {
    const RegValue value = ReadValue(key, name);
    if (!value.IsString()) {
        out.Problem(check, value.Exists() ? WrongType(value.type, "REG_SZ")
                                          : "not recorded (" + ReadFailure(value) + ")");
        return false;
    }
    text = value.String();
    if (text.empty()) {
        out.Problem(check, "recorded empty");
        return false;
    }
    return true;
}

// The check name stem of a module record: "module." for the values in the service key itself,
// "module.AddOn.<sub-key>." for the add-on keys.
std::string CheckStem(const footprint::ModuleRecord& record) {
    if (SameText(record.key, names::kServiceKey)) return "module.";
    return "module." + Narrow(names::kAddOnSubkey) + "." + Narrow(LastComponent(record.key)) + ".";
}

void CheckModules(const Machine& m, Findings& out) {
    if (!m.keyExists) return;
    for (const auto& record : footprint::kModuleRecords) {
        const std::string stem = CheckStem(record);
        std::wstring path;
        const std::string pathCheck = stem + Narrow(record.pathValue);
        if (ReadRecordedText(pathCheck, record.key, record.pathValue, path, out)) {
            if (PathExists(path))
                out.Ok(pathCheck, Narrow(path));
            else
                out.Problem(pathCheck, Narrow(path) + ": file missing");
        } else {
            path.clear();
        }

        std::wstring dev;
        const std::string devCheck = stem + Narrow(record.devPathValue);
        if (ReadRecordedText(devCheck, record.key, record.devPathValue, dev, out)) {
            const std::wstring expected = path.empty() ? std::wstring() : DeviceForm(path);
            if (!expected.empty() && !SameText(dev, expected))
                out.Problem(devCheck, Narrow(dev) + ": does not name " + Narrow(path) + " (" +
                                          Narrow(expected) + ")");
            else
                out.Ok(devCheck, Narrow(dev));
        }

        if (!record.versionValue) continue;
        std::wstring version;
        const std::string versionCheck = stem + Narrow(record.versionValue);
        if (ReadRecordedText(versionCheck, record.key, record.versionValue, version, out)) {
            // The version text names the folder the file was placed in.
            const std::wstring folder = LastComponent(ParentFolder(path));
            if (!path.empty() && !SameText(version, folder))
                out.Problem(versionCheck,
                            Narrow(version) + ": but the file lies in folder " + Narrow(folder));
            else
                out.Ok(versionCheck, Narrow(version));
        }
    }
}

// With the package the installed driver came from: the recorded modules must be that package's.
// A failed update that was rolled back keeps the new package's modules recorded beside the old
// driver; nothing on the machine tells which package a driver file came from, so the operator
// names it.
void CheckPackageModules(const Machine& m, Findings& out) {
    if (m.package.empty()) return;
    const std::string check = "module.package";
    const std::wstring packageDriver =
        m.package + L"\\" + footprint::DriverFileName(names::kServiceName);
    DWORD installed[4] = {}, delivered[4] = {};
    if (ReadFileVersion(packageDriver, delivered) != 0) {
        out.Problem(check,
                    Narrow(packageDriver) + " has no readable version: not a driver package");
        return;
    }
    if (ReadFileVersion(m.places.driverFile, installed) != 0 ||
        !std::equal(installed, installed + 4, delivered)) {
        out.Info(check, Narrow(m.places.driverFile) + " is not the driver of " + Narrow(m.package) +
                            ": module versions not compared");
        return;
    }
    for (const auto& record : footprint::kModuleRecords) {
        // Both builds of a module go into the folder named by the 64-bit file's version text.
        const footprint::ModuleRecord* versionSource = &record;
        for (const auto& other : footprint::kModuleRecords)
            if (other.bitness == footprint::Bitness::k64 && SameText(other.group, record.group))
                versionSource = &other;
        std::wstring source = m.package + L"\\";
        if (versionSource->packageFolder)
            source += std::wstring(versionSource->packageFolder) + L"\\";
        source += versionSource->fileName;
        std::wstring packageVersion;
        if (ReadVersionText(source, packageVersion) != 0) continue;  // reported by no deployment
        const RegValue path = ReadValue(record.key, record.pathValue);
        if (!path.IsString() || path.String().empty()) continue;  // CheckModules reports it
        const std::wstring recordedVersion = LastComponent(ParentFolder(path.String()));
        if (SameText(recordedVersion, packageVersion))
            out.Ok(check + "." + record.label, Narrow(recordedVersion));
        else
            out.Problem(check + "." + record.label, "recorded " + Narrow(path.String()) +
                                                        " is version " + Narrow(recordedVersion) +
                                                        ", the installed driver's package has " +
                                                        Narrow(packageVersion));
    }
}

// Module files under the module trees that no registry value records: no uninstall removes them,
// and a later deployment of their version finds them in place and records nothing.
void CheckOrphanModules(const Machine& m, Findings& out) {
    int orphans = 0;
    for (const auto& root : m.places.moduleRoots) {
        for (const auto& file : FilesBelow(root)) {
            if (IsRecorded(m, file)) continue;
            ++orphans;
            if (ScheduledForDeletion(m, file))
                out.Info("module.orphan",
                         Narrow(file) + " recorded nowhere, deleted at the restart");
            else
                out.Problem(
                    "module.orphan",
                    Narrow(file) + ": recorded by no registry value, so no uninstall removes it");
        }
    }
    if (orphans == 0) out.Ok("module.orphan", "every module file is recorded");
}

// Module folders of an installation that is gone.
void CheckLeftoverModuleFolders(const Machine& m, Findings& out) {
    if (m.keyExists) return;
    for (const auto& root : m.places.moduleRoots) {
        if (!PathExists(root)) continue;
        if (ScheduledForDeletion(m, root))
            out.Info("module.folder", Narrow(root) + " left behind, removed at the restart");
        else
            out.Problem("module.folder",
                        Narrow(root) + " left behind: the service is not installed");
    }
}

// ---- restart-time file operations -----------------------------------------------------------

bool ConcernsDriver(const std::wstring& path, const Places& places) {
    if (path.empty()) return false;
    for (const auto& root : places.moduleRoots)
        if (IsAtOrBelow(path, root)) return true;
    if (!SameText(ParentFolder(path), places.driversDir)) return false;
    const std::wstring name = LastComponent(path);
    const std::wstring service = names::kServiceName;
    return name.size() >= service.size() &&
           _wcsnicmp(name.c_str(), service.c_str(), service.size()) == 0;
}

void CheckPendingRenames(const Machine& m, Findings& out) {
    if (m.pendingError != ERROR_SUCCESS) {
        RegValue failed;
        failed.error = m.pendingError;
        out.Problem("restart.pending", "cannot read " + Narrow(footprint::kPendingRenamesValue) +
                                           " (" + ReadFailure(failed) + ")");
    }
    // Files the current installation lives on.
    std::vector<std::wstring> live = m.recorded;
    if (m.installed) live.push_back(m.places.driverFile);
    auto isLive = [&](const std::wstring& path) {
        for (const auto& f : live)
            if (SameText(path, f)) return true;
        return false;
    };
    auto holdsLive = [&](const std::wstring& folder) {
        for (const auto& f : live)
            if (f.size() > folder.size() && IsAtOrBelow(f, folder)) return true;
        return false;
    };

    int relevant = 0;
    for (const auto& op : m.pending) {
        if (!ConcernsDriver(op.source, m.places) && !ConcernsDriver(op.target, m.places)) continue;
        ++relevant;
        if (op.incomplete) {
            out.Problem("restart.pending",
                        "entry for " + Narrow(op.source) + " has no target (the value is cut off)");
        } else if (op.IsDelete()) {
            const std::string what = "delete " + Narrow(op.source);
            if (isLive(op.source))
                out.Problem("restart.pending",
                            what + ": the current installation uses it, the restart removes it");
            else if (holdsLive(op.source))
                // The restart keeps a folder that is not empty: the deletion silently fails.
                out.Problem("restart.pending",
                            what +
                                ": it holds modules the current installation uses, the "
                                "deletion at the restart cannot be carried out");
            else
                out.Info("restart.pending", what);
        } else {
            const std::string what = std::string(op.replace ? "replace " : "rename ") +
                                     Narrow(op.source) + " -> " + Narrow(op.target);
            if (isLive(op.source) || isLive(op.target))
                out.Problem("restart.pending",
                            what + ": the current installation uses it, the restart changes it");
            else
                out.Info("restart.pending", what);
        }
    }
    if (relevant == 0)
        out.Ok("restart.pending", "no file operation at restart concerns the driver");
}

// ---- safety net and Parameters --------------------------------------------------------------

bool IsTimeStamp(const std::wstring& text) {
    // yyyy-mm-dd hh:mm:ss
    static const wchar_t kPattern[] = L"dddd-dd-dd dd:dd:dd";
    if (text.size() != 19) return false;
    for (size_t i = 0; i < 19; ++i) {
        if (kPattern[i] == L'd' ? !iswdigit(text[i]) : text[i] != kPattern[i]) return false;
    }
    return true;
}

// The safety-net file: <system drive>\Windows\System32\<MD5 of LastLeaveTime>.dat, the MD5 taken
// over the UTF-16LE units of the text; a fixed stem when LastLeaveTime is no REG_SZ.
void CheckSafetyNet(const Machine& m, Findings& out) {
    const RegValue lastLeave = ReadValue(names::kParametersKey, names::kLastLeaveTime);
    const bool fixedStem = !(lastLeave.Exists() && lastLeave.type == REG_SZ);
    const std::wstring text = lastLeave.String();
    const std::wstring netFile =
        qelmo::SafetyNetFilePathFor(m.places.system32.substr(0, 2), fixedStem ? nullptr : &text);
    std::string netDetail = Narrow(netFile);
    if (fixedStem)
        netDetail += lastLeave.Exists() ? " (fixed name: LastLeaveTime is " +
                                              TypeText(lastLeave.type) + ", not REG_SZ)"
                                        : " (fixed name: no LastLeaveTime)";
    if (PathExists(netFile))
        out.Info("safety_net", netDetail + " present (the next update or uninstall deletes it)");
    else
        out.Ok("safety_net", netDetail + " absent");
}

void CheckParameters(const Machine& m, Findings& out) {
    if (!m.keyExists) return;
    if (!KeyExists(names::kParametersKey)) {
        out.Problem("parameters", "the Parameters key is missing");
        return;
    }
    struct Default {
        const wchar_t* name;
        DWORD value;
    } defaults[] = {{names::kGGCT, qelmo::config::kDefaultGGCT},
                    {names::kGGCS, qelmo::config::kDefaultGGCS},
                    {names::kALSN, qelmo::config::kDefaultALSN},
                    {names::kStatusCode, qelmo::config::kStatusCodeReset}};
    for (const auto& d : defaults) {
        const std::string check = "parameters." + Narrow(d.name);
        const RegValue v = ReadValue(names::kParametersKey, d.name);
        if (!v.Exists())
            out.Problem(check, ReadFailure(v) + " (default " + Dec(d.value) + ")");
        else if (!v.IsDword())
            out.Problem(check, WrongType(v.type, "REG_DWORD"));
        else if (v.Dword() != d.value)
            out.Info(check, Dec(v.Dword()) + " (default " + Dec(d.value) + ")");
        else
            out.Ok(check, Dec(v.Dword()));
    }

    const std::string check = "parameters." + Narrow(names::kLastLeaveTime);
    const RegValue lastLeave = ReadValue(names::kParametersKey, names::kLastLeaveTime);
    if (!lastLeave.Exists()) {
        out.Problem(check, ReadFailure(lastLeave));
        return;
    }
    if (lastLeave.type != REG_SZ) {
        out.Problem(check, WrongType(lastLeave.type, "REG_SZ"));
        return;
    }
    const std::wstring text = lastLeave.String();
    const std::string shown = "\"" + Narrow(text) + "\"";
    // Stored without its NUL: exactly two bytes per character.
    if (lastLeave.bytes.size() != text.size() * 2)
        out.Problem(check, shown + " stored in " + Dec(lastLeave.bytes.size()) + " bytes (" +
                               Dec(text.size() * 2) + " expected: no terminating NUL)");
    else if (text == qelmo::config::kLastLeaveUndefined)
        out.Info(check, shown + " (never stamped)");
    else if (!IsTimeStamp(text))
        out.Problem(check, shown + " is not a yyyy-mm-dd hh:mm:ss time stamp");
    else
        out.Ok(check, shown);
}

void CheckDebugSwitch(const Machine&, Findings& out) {
    namespace dl = qelmo::debuglog;
    const std::string check = "debug." + Narrow(dl::kSwitchValue);
    const RegValue v = ReadValue(dl::kSwitchKey, dl::kSwitchValue);
    if (!v.Exists())
        out.Info(check, "off (" + ReadFailure(v) + ")");
    else if (!v.IsDword())
        out.Info(check, "off (stored as " + TypeText(v.type) +
                            "; only a non-zero REG_DWORD switches it on)");
    else if (v.Dword() == 0)
        out.Info(check, "off (0)");
    else
        out.Info(check, "on (" + Hex(v.Dword()) + "): the plug-in writes " + Narrow(dl::kFileName) +
                            " beside the host executable");
}

// The checks, in the order their findings are printed.
constexpr void (*kChecks[])(const Machine&, Findings&) = {
    CheckService,          CheckDeleteMark,     CheckDriverFile,
    CheckServiceKeyValues, CheckModules,        CheckLeftoverModuleFolders,
    CheckOrphanModules,    CheckPackageModules, CheckPendingRenames,
    CheckSafetyNet,        CheckParameters,     CheckDebugSwitch,
};

}  // namespace

Findings RunDoctorChecks(const std::wstring& package) {
    const Machine machine = LookAtMachine(package);
    Findings out;
    for (auto check : kChecks)
        check(machine, out);
    return out;
}

}  // namespace qelmoctl
