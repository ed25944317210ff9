// qelmoctl.exe run as a child process, the way an operator runs it: its exit codes, its output,
// and its doctor's view of the driver's footprint before and after damage.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/driver_names.h"
#include "common/handles.h"
#include "support/child_process.h"
#include "support/fixtures.h"
#include "support/layout.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/version_resource.h"

namespace qelmo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using ToolRun = test::ChildRun;

ToolRun RunTool(const std::vector<std::wstring>& args) {
    return test::RunChild(test::BinDir() + L"qelmoctl.exe", args);
}

std::string Describe(const std::vector<std::wstring>& args, const ToolRun& run) {
    std::string text = "qelmoctl";
    for (const auto& a : args)
        text += " " + test::Narrow(a);
    return text + "\n-- exit " + std::to_string(run.exitCode) + "\n-- stdout:\n" + run.out +
           "-- stderr:\n" + run.err;
}

std::wstring WriteTempFile(const std::wstring& name, const std::string& content) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + name;
    FileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return std::wstring();
    DWORD written = 0;
    BOOL ok = WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                        nullptr);
    return ok && written == content.size() ? path : std::wstring();
}

class Qelmoctl : public ::testing::Test {
protected:
    test::MachineGuard guard_;
};

TEST_F(Qelmoctl, ArgumentsAndExitCodes) {
    const std::wstring package = test::PackageDir(L"v1");
    const std::wstring missingFolder = package + L"-does-not-exist";
    // Saved the way editors save UTF-8 (a byte order mark first), under a name outside the ANSI
    // code page; its first two records are fine.
    const std::wstring badBatch = WriteTempFile(
        L"qelmoctl_batch_\u03bb.txt", "\xEF\xBB\xBF# records\ninstall " + test::Narrow(package) +
                                          "\nfrobnicate " + test::Narrow(package) + "\n");
    ASSERT_FALSE(badBatch.empty());
    const std::wstring missingPlugin = test::BinDir() + L"no_such_plugin.dll";
    const std::wstring oddPlugin = test::BinDir() + L"fixtures\\odd_plugin.dll";

    struct Case {
        const char* name;
        std::vector<std::wstring> args;
        DWORD exitCode;
        std::vector<std::string> outHas;
        std::vector<std::string> errHas;
        bool oneLineError;  // stderr is exactly one line
    } cases[] = {
        {"no command", {}, 2, {}, {"no command"}, true},
        {"unknown command", {L"frobnicate"}, 2, {}, {"unknown command frobnicate"}, true},
        {"unknown option", {L"--frobnicate", L"status"}, 2, {}, {"unknown option"}, true},
        {"option without its value", {L"status", L"--compare-state"}, 2, {}, {}, true},
        {"install without folder", {L"install"}, 2, {}, {"needs one PACKAGE_FOLDER"}, true},
        {"missing folder", {L"install", missingFolder}, 2, {}, {"not found"}, true},
        {"file instead of folder",
         {L"install", package + L"\\qelmo.inf"},
         2,
         {},
         {"not a folder"},
         true},
        {"status with an argument", {L"status", package}, 2, {}, {"takes no arguments"}, true},
        {"batch with an unknown action line",
         {L"batch", badBatch},
         2,
         {},
         {"line 3: unknown action frobnicate"},
         true},
        // The batch file is checked before the plug-in is loaded: a usage error, not a load error.
        {"batch error found before loading the plug-in",
         {L"--plugin", missingPlugin, L"batch", badBatch},
         2,
         {},
         {"unknown action"},
         true},
        {"help",
         {L"--help"},
         0,
         {"install PACKAGE_FOLDER", "update PACKAGE_FOLDER", "update-alt PACKAGE_FOLDER",
          "uninstall PACKAGE_FOLDER", "status", "info", "batch FILE", "doctor", "exit status",
          "examples:", "qelmoctl --json doctor", "--version"},
         {},
         false},
        {"info", {L"info"}, 0, {"20019", "2.9.9999"}, {}, false},
        {"version: its own and the plug-in's",
         {L"--version"},
         0,
         {"qelmoctl 2.9.9999.0\n",
          "helperQELMODriver.dll: module version 2.9.9999, owner module ID 20019"},
         {},
         false},
        {"version of another plug-in",
         {L"--plugin", oddPlugin, L"--version"},
         0,
         {"qelmoctl 2.9.9999.0\n", "odd_plugin.dll: module version 7.8.9, owner module ID 7"},
         {},
         false},
        {"version as JSON",
         {L"--json", L"--version"},
         0,
         {"{\"qelmoctl\":\"2.9.9999.0\",\"plugin\":\"", "helperQELMODriver.dll\",",
          "\"plugin_module_version\":\"2.9.9999\",\"plugin_owner_module_id\":20019}\n"},
         {},
         false},
        // Its own version still shows; the failure to load is the exit status.
        {"version without the plug-in",
         {L"--plugin", missingPlugin, L"--version"},
         1,
         {"qelmoctl 2.9.9999.0\n"},
         {"cannot load"},
         false},
        {"version with a command", {L"--version", L"status"}, 2, {}, {"takes no command"}, true},
        {"status without a driver",
         {L"status"},
         0,
         {"DRV_STATE_UNKNOWN", "1.0", "DRV_OK"},
         {},
         false},
        {"missing plug-in", {L"--plugin", missingPlugin, L"status"}, 1, {}, {"cannot load"}, false},
        {"doctor on a clean machine",
         {L"doctor"},
         0,
         {"service: not installed", "no problems"},
         {},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun run = RunTool(c.args);
        ASSERT_TRUE(run.started);
        const std::string what = Describe(c.args, run);
        EXPECT_EQ(run.exitCode, c.exitCode) << what;
        for (const auto& s : c.outHas)
            EXPECT_THAT(run.out, HasSubstr(s)) << what;
        for (const auto& s : c.errHas)
            EXPECT_THAT(run.err, HasSubstr(s)) << what;
        if (c.oneLineError) {
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what;
            EXPECT_EQ(run.out, "") << what;
        }
    }
    DeleteFileW(badBatch.c_str());
}

// The status record's version text is the plug-in's to fill: whatever it holds, --json prints
// valid JSON with the text escaped (bytes that are not UTF-8 as U+FFFD); the text form prints it.
TEST_F(Qelmoctl, StatusJsonEscapesWhatThePluginReports) {
    const std::vector<std::wstring> args = {
        L"--plugin", test::BinDir() + L"fixtures\\odd_plugin.dll", L"--json", L"status"};
    ToolRun run = RunTool(args);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0u) << Describe(args, run);
    EXPECT_EQ(run.out,
              "{\"result\":\"DRV_OK\",\"result_code\":\"0x201a0001\",\"driver_id\":\"0x48000165\","
              "\"state\":\"DRV_STATE_RUNNING\",\"state_code\":\"0xe01a0004\","
              "\"version\":\"1.\\\"2\\\"\\\\3\\n\\u0001\\ufffd\\ufffd\",\"valid\":1}\n")
        << Describe(args, run);
}

// ---- doctor ------------------------------------------------------------------------------------

// Every value below a key, by "subkey\name", with its type and bytes.
using RegistrySnapshot = std::map<std::wstring, std::pair<DWORD, std::vector<BYTE>>>;

void SnapshotTree(HKEY root, const std::wstring& path, RegistrySnapshot& into) {
    RegKeyHandle key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    for (DWORD i = 0;; ++i) {
        wchar_t name[512];
        DWORD nameUnits = 512, type = 0, bytes = 0;
        if (RegEnumValueW(key.get(), i, name, &nameUnits, nullptr, &type, nullptr, &bytes) !=
            ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(bytes);
        nameUnits = 512;
        RegEnumValueW(key.get(), i, name, &nameUnits, nullptr, &type, data.data(), &bytes);
        data.resize(bytes);
        into[path + L"\\" + name] = {type, data};
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD units = 256;
        if (RegEnumKeyExW(key.get(), i, name, &units, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        subkeys.push_back(name);
    }
    into[path + L"\\"] = {REG_NONE, {}};  // the key itself
    for (const auto& s : subkeys)
        SnapshotTree(root, path + L"\\" + s, into);
}

const wchar_t* kSessionManager = test::layout::kSessionManagerKey;

RegistrySnapshot FootprintSnapshot() {
    RegistrySnapshot s;
    SnapshotTree(HKEY_LOCAL_MACHINE, names::kServiceKey, s);
    SnapshotTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor", s);
    auto pending =
        test::ReadValue(HKEY_LOCAL_MACHINE, kSessionManager, test::layout::kPendingRenames);
    if (pending.exists) s[test::layout::kPendingRenames] = {pending.type, pending.bytes};
    return s;
}

void SetDword(const wchar_t* key, const wchar_t* name, DWORD value) {
    RegKeyHandle handle;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, handle.put()), 0);
    EXPECT_EQ(
        RegSetValueExW(handle.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
        0);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The JSON lines of the findings with a given check and status.
std::vector<std::string> JsonFindings(const std::string& out, const std::string& check,
                                      const std::string& status) {
    std::vector<std::string> found;
    const std::string key = "{\"check\":\"" + check + "\",\"status\":\"" + status + "\"";
    for (const auto& line : Lines(out))
        if (line.find(key) != std::string::npos) found.push_back(line);
    return found;
}

// Backslashes as they appear inside a JSON string.
std::string JsonPath(const std::wstring& path) {
    std::string text;
    for (char c : test::Narrow(path)) {
        if (c == '\\') text += '\\';
        text += c;
    }
    return text;
}

bool WaitUntilServiceGone() {
    for (int i = 0; i < 50; ++i) {
        ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle service(OpenServiceW(scm.get(), names::kServiceName, SERVICE_QUERY_STATUS));
        const bool gone = !service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        if (gone) return true;
        Sleep(100);
    }
    return false;
}

TEST_F(Qelmoctl, LifecycleThroughTheToolAndDoctorOnADamagedFootprint) {
    const std::wstring package = test::PackageDir(L"v1");
    auto run = [](std::vector<std::wstring> args) {
        ToolRun r = RunTool(args);
        return std::make_pair(r, Describe(args, r));
    };

    auto [install, installWhat] = run({L"install", package});
    ASSERT_EQ(install.exitCode, 0u) << installWhat;
    EXPECT_THAT(install.out, HasSubstr("DRV_OK (0x201a0001)")) << installWhat;

    auto [status, statusWhat] = run({L"--json", L"status"});
    EXPECT_EQ(status.exitCode, 0u) << statusWhat;
    EXPECT_THAT(status.out, HasSubstr("\"state\":\"DRV_STATE_NOT_RUNNING\"")) << statusWhat;
    EXPECT_THAT(status.out, HasSubstr("\"version\":\"2.9.1234\"")) << statusWhat;

    auto [healthy, healthyWhat] = run({L"doctor"});
    EXPECT_EQ(healthy.exitCode, 0u) << healthyWhat;
    EXPECT_THAT(healthy.out, Not(HasSubstr("[!]"))) << healthyWhat;
    EXPECT_THAT(healthy.out, HasSubstr("[ok] service: STOPPED")) << healthyWhat;
    EXPECT_THAT(healthy.out, HasSubstr("version 2.9.0.1234 (status shows 2.9.1234)"))
        << healthyWhat;

    // Damage: a recorded module is gone, the service is marked for deletion, bit 0 of
    // RegCfgFlags is set.
    const std::wstring module =
        test::ReadValue(HKEY_LOCAL_MACHINE, names::kServiceKey, names::kMonDll64Name).String();
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(DeleteFileW(module.c_str()));
    SetDword(names::kServiceKey, names::kDeleteFlag, 1);
    SetDword(names::kServiceKey, names::kRegCfgFlags, 1);

    const RegistrySnapshot before = FootprintSnapshot();
    auto [damaged, damagedWhat] = run({L"--json", L"doctor"});
    EXPECT_EQ(FootprintSnapshot(), before) << "doctor changed the registry";
    EXPECT_FALSE(test::FileExists(module));

    EXPECT_EQ(damaged.exitCode, 1u) << damagedWhat;
    struct Expected {
        std::string check;
        std::string detail;
    } problems[] = {
        {"service.delete_mark", "DeleteFlag = 1"},
        {"registry.RegCfgFlags", "0x1: bit 0 is set"},
        {"module.QELMOMonDll64Name", JsonPath(module) + ": file missing"},
    };
    for (const auto& p : problems) {
        auto found = JsonFindings(damaged.out, p.check, "problem");
        ASSERT_EQ(found.size(), 1u) << p.check << "\n" << damagedWhat;
        EXPECT_THAT(found[0], HasSubstr(p.detail)) << damagedWhat;
    }
    // An array with one finding per line.
    const auto lines = Lines(damaged.out);
    ASSERT_GE(lines.size(), 3u) << damagedWhat;
    EXPECT_EQ(lines.front(), "[");
    EXPECT_EQ(lines.back(), "]");
    for (size_t i = 1; i + 1 < lines.size(); ++i)
        EXPECT_THAT(lines[i], ::testing::StartsWith("  {\"check\":\"")) << damagedWhat;

    auto [uninstall, uninstallWhat] = run({L"uninstall", package});
    EXPECT_EQ(uninstall.exitCode, 0u) << uninstallWhat;
    EXPECT_THAT(uninstall.out, HasSubstr("DRV_OK (0x201a0001)")) << uninstallWhat;

    // Nothing is left for the doctor to complain about.
    ASSERT_TRUE(WaitUntilServiceGone());
    auto [after, afterWhat] = run({L"doctor"});
    EXPECT_EQ(after.exitCode, 0u) << afterWhat;
    EXPECT_THAT(after.out, HasSubstr("service: not installed")) << afterWhat;
}

TEST_F(Qelmoctl, DoctorReadsPendingRestartOperationsPairByPair) {
    const std::wstring package = test::PackageDir(L"v1");
    ToolRun install = RunTool({L"install", package});
    ASSERT_EQ(install.exitCode, 0u) << install.out << install.err;
    const std::wstring live =
        test::ReadValue(HKEY_LOCAL_MACHINE, names::kServiceKey, names::kMonDll64Name).String();
    ASSERT_FALSE(live.empty());
    const std::wstring drivers = test::DriversDir();
    const std::wstring retired = test::SystemDir() + L"\\qelmo\\20019\\KipMon\\5.0.1\\kipmon64.dll";

    // Deletions have empty targets, so the entries that matter most come after empty strings.
    struct Entry {
        std::wstring source, target;
        const char* status;  // null: not about the driver, must not be listed
        std::string detail;
    } entries[] = {
        {L"\\??\\C:\\unrelated\\file.txt", L"", nullptr, ""},
        {L"\\??\\" + retired, L"", "info", "delete " + JsonPath(retired)},
        {L"\\??\\" + live, L"", "problem", "delete " + JsonPath(live)},
        {L"\\??\\" + drivers + L"\\qelmo.sys.12345", L"", "info",
         "delete " + JsonPath(drivers + L"\\qelmo.sys.12345")},
        {L"\\??\\C:\\staging\\new.sys", L"!\\??\\" + drivers + L"\\qelmo.sys", "problem",
         "replace C:\\\\staging\\\\new.sys -> " + JsonPath(drivers + L"\\qelmo.sys")},
    };
    std::wstring multi;
    for (const auto& e : entries) {
        multi += e.source;
        multi += L'\0';
        multi += e.target;
        multi += L'\0';
    }
    multi += L'\0';
    RegKeyHandle key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, key.put()), 0);
    ASSERT_EQ(RegSetValueExW(key.get(), test::layout::kPendingRenames, 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(multi.data()),
                             static_cast<DWORD>(multi.size() * sizeof(wchar_t))),
              0);

    ToolRun doctor = RunTool({L"--json", L"doctor"});
    const std::string what = Describe({L"--json", L"doctor"}, doctor);
    EXPECT_EQ(doctor.exitCode, 1u) << what;
    EXPECT_THAT(doctor.out, Not(HasSubstr("unrelated"))) << what;
    size_t listed = 0;
    for (const auto& e : entries) {
        if (!e.status) continue;
        ++listed;
        bool seen = false;
        for (const auto& line : JsonFindings(doctor.out, "restart.pending", e.status))
            seen = seen || line.find(e.detail + "\"") != std::string::npos ||
                   line.find(e.detail + ":") != std::string::npos;
        EXPECT_TRUE(seen) << e.detail << "\n" << what;
    }
    EXPECT_EQ(JsonFindings(doctor.out, "restart.pending", "problem").size() +
                  JsonFindings(doctor.out, "restart.pending", "info").size(),
              listed)
        << what;
}

// The file system and the doctor's places compare paths without case.
std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// What an update whose new driver fails and a later reinstall leave behind: module files that no
// registry value records, and a module folder scheduled for deletion that still holds a module in
// use. Both are problems; an unrecorded file that the restart deletes anyway is information.
TEST_F(Qelmoctl, DoctorReportsUnrecordedModulesAndFoldersThatCannotGo) {
    ToolRun install = RunTool({L"install", test::PackageDir(L"v1")});
    ASSERT_EQ(install.exitCode, 0u) << install.out << install.err;
    namespace layout = test::layout;
    const std::wstring live = layout::ModuleFile(layout::kModules[0], L"6.0.1035");
    ASSERT_TRUE(test::FileExists(live));
    const std::wstring liveFolder = live.substr(0, live.rfind(L'\\'));

    struct Orphan {
        std::wstring path;
        bool scheduled;  // deleted at the restart
        const char* status;
    } orphans[] = {
        {layout::ModuleFile(layout::kModules[0], L"5.0.1"), false, "problem"},
        {layout::ModuleFile(layout::kModules[3], L"5.0.1"), true, "info"},
    };
    std::vector<std::wstring> orphanProblems;
    for (const auto& o : orphans)
        if (!o.scheduled) orphanProblems.push_back(o.path);
    std::wstring multi = L"\\??\\" + liveFolder + std::wstring(1, L'\0') + L'\0';
    for (const auto& o : orphans) {
        const std::wstring folder = o.path.substr(0, o.path.rfind(L'\\'));
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
        ASSERT_TRUE(CopyFileW(live.c_str(), o.path.c_str(), FALSE)) << GetLastError();
        if (o.scheduled) multi += L"\\??\\" + o.path + std::wstring(1, L'\0') + L'\0';
    }
    multi += L'\0';
    {
        RegKeyHandle key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, key.put()),
                  0);
        ASSERT_EQ(RegSetValueExW(key.get(), test::layout::kPendingRenames, 0, REG_MULTI_SZ,
                                 reinterpret_cast<const BYTE*>(multi.data()),
                                 static_cast<DWORD>(multi.size() * sizeof(wchar_t))),
                  0);
    }

    // A reinstall over module files already in place records no add-on key.
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, layout::kModules[2].key), ERROR_SUCCESS);

    ToolRun doctor = RunTool({L"--json", L"doctor"});
    const std::string what = Describe({L"--json", L"doctor"}, doctor);
    EXPECT_EQ(doctor.exitCode, 1u) << what;
    const auto unrecorded = JsonFindings(doctor.out, "module.AddOn.KipEvt64.path", "problem");
    ASSERT_EQ(unrecorded.size(), 1u) << what;
    EXPECT_THAT(unrecorded[0], HasSubstr("not recorded")) << what;
    // Its file is then one that no value records.
    orphanProblems.push_back(layout::ModuleFile(layout::kModules[2], L"6.0.1035"));
    for (const auto& path : orphanProblems) {
        bool seen = false;
        for (const auto& line : JsonFindings(doctor.out, "module.orphan", "problem"))
            seen = seen || Lower(line).find(Lower(JsonPath(path))) != std::string::npos;
        EXPECT_TRUE(seen) << test::Narrow(path) << "\n" << what;
    }
    for (const auto& o : orphans) {
        const auto found = JsonFindings(doctor.out, "module.orphan", o.status);
        bool seen = false;
        for (const auto& line : found)
            seen = seen || Lower(line).find(Lower(JsonPath(o.path))) != std::string::npos;
        EXPECT_TRUE(seen) << test::Narrow(o.path) << "\n" << what;
    }
    EXPECT_EQ(JsonFindings(doctor.out, "module.orphan", "problem").size(), orphanProblems.size())
        << what;
    const auto pending = JsonFindings(doctor.out, "restart.pending", "problem");
    ASSERT_EQ(pending.size(), 1u) << what;
    EXPECT_THAT(Lower(pending[0]),
                HasSubstr(Lower("delete " + JsonPath(liveFolder) + ": it holds modules")))
        << what;
}

// A new user's road: install v1, an update whose new driver fails to start (rolled back; its
// modules stay deployed and recorded, v1's stay on disk recorded nowhere), uninstall (removes only
// the recorded modules), install v1 again (v1's files are in place, so nothing is copied or
// recorded for the add-on). After the update and after the reinstall the doctor must see the
// files nothing records.
TEST_F(Qelmoctl, DoctorSeesWhatARolledBackUpdateLeavesBehind) {
    namespace layout = test::layout;
    auto doctorAfter = [](const char* step) {
        SCOPED_TRACE(step);
        ToolRun doctor = RunTool({L"--json", L"doctor"});
        const std::string what = Describe({L"--json", L"doctor"}, doctor);
        EXPECT_EQ(doctor.exitCode, 1u) << what;
        const auto orphans = JsonFindings(doctor.out, "module.orphan", "problem");
        bool v1Module = false;
        for (const auto& line : orphans)
            v1Module = v1Module || line.find("6.0.1035") != std::string::npos;
        EXPECT_TRUE(v1Module) << what;
    };
    const std::wstring v1 = test::PackageDir(L"v1");
    ToolRun install = RunTool({L"install", v1});
    ASSERT_EQ(install.exitCode, 0u) << install.out << install.err;
    ToolRun update = RunTool({L"update", test::PackageDir(L"failstart")});
    EXPECT_THAT(update.out, HasSubstr("DRV_ERR_ROLLED_BACK")) << update.out << update.err;
    EXPECT_TRUE(test::FileExists(layout::ModuleFile(layout::kModules[0], L"6.0.1035")));
    doctorAfter("after the rolled-back update");
    {
        // Named, v1's package shows that the recorded modules are not the installed driver's;
        // the new package is not the installed driver's, so nothing is compared against it.
        struct Case {
            const wchar_t* package;
            const char* status;
            size_t findings;
        } cases[] = {{L"v1", "problem", 4}, {L"failstart", "info", 1}};
        for (const Case& c : cases) {
            const std::vector<std::wstring> args = {L"--json", L"doctor",
                                                    test::PackageDir(c.package)};
            ToolRun doctor = RunTool(args);
            const std::string what = Describe(args, doctor);
            size_t found = 0;
            for (const char* label : {"", ".kipmon64", ".kipmon", ".KipEvt64", ".KipEvt"})
                found += JsonFindings(doctor.out, std::string("module.package") + label, c.status)
                             .size();
            EXPECT_EQ(found, c.findings) << what;
        }
    }

    ToolRun uninstall = RunTool({L"uninstall", v1});
    ASSERT_EQ(uninstall.exitCode, 0u) << uninstall.out << uninstall.err;
    ASSERT_TRUE(WaitUntilServiceGone());
    ToolRun again = RunTool({L"install", v1});
    ASSERT_EQ(again.exitCode, 0u) << again.out << again.err;
    doctorAfter("after installing v1 again");
}

// Modules whose version resources have two translations with different texts: the deployment
// names each module's folder by the last translation's text, so the doctor, named with the package,
// must compare the recorded folders against that text and not the first one.
TEST_F(Qelmoctl, DoctorComparesTheVersionTextTheDeploymentNamesTheFolderBy) {
    namespace layout = test::layout;
    test::PackageCopy package(L"v1");
    ASSERT_FALSE(package.Path().empty());
    struct Module {
        const wchar_t* file;
        const wchar_t* lastText;
    } modules[] = {{L"kipmon64.dll", L"7.7.7.7"}, {L"AddOn\\KipEvt64.dll", L"8.8.8.8"}};
    for (const Module& m : modules)
        ASSERT_TRUE(test::WriteModule(
            package.File(m.file),
            test::VersionResource({{L"040904b0", L"1.1.1.1"}, {L"040704b0", m.lastText}},
                                  {{0x409, 1200}, {0x407, 1200}})));
    ToolRun install = RunTool({L"install", package.Path()});
    ASSERT_EQ(install.exitCode, 0u) << install.out << install.err;
    EXPECT_TRUE(test::FileExists(layout::ModuleFile(layout::kModules[0], L"7.7.7.7")));
    EXPECT_TRUE(test::FileExists(layout::ModuleFile(layout::kModules[2], L"8.8.8.8")));

    const std::vector<std::wstring> args = {L"--json", L"doctor", package.Path()};
    ToolRun doctor = RunTool(args);
    const std::string what = Describe(args, doctor);
    struct Case {
        const char* label;
        const char* version;
    } cases[] = {{"kipmon64", "7.7.7.7"},
                 {"kipmon", "7.7.7.7"},
                 {"KipEvt64", "8.8.8.8"},
                 {"KipEvt", "8.8.8.8"}};
    for (const Case& c : cases) {
        const std::string check = std::string("module.package.") + c.label;
        EXPECT_TRUE(JsonFindings(doctor.out, check, "problem").empty()) << c.label << "\n" << what;
        const auto ok = JsonFindings(doctor.out, check, "ok");
        ASSERT_EQ(ok.size(), 1u) << c.label << "\n" << what;
        EXPECT_THAT(ok[0], HasSubstr(c.version)) << what;
    }
}

}  // namespace
}  // namespace qelmo
