// qelmoctl: a command-line host for helperQELMODriver.dll. It loads the plug-in the way the host
// platform does and uses only its four exports.
#include <windows.h>
#include <shellapi.h>

#include <qelmo_plugin.h>
#include <qelmo_version.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/handles.h"
#include "doctor.h"
#include "host/plugin_library.h"
#include "json.h"
#include "result_names.h"
#include "text.h"

namespace {

using qelmoctl::Narrow;
using qelmoctl::Widen;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* kUsage =
    "usage: qelmoctl [options] COMMAND [arguments]\n"
    "\n"
    "Drives helperQELMODriver.dll through its four exports, as the host platform does, and\n"
    "inspects what the driver left on this machine.\n"
    "\n"
    "commands:\n"
    "  install PACKAGE_FOLDER      install the driver from a package folder (action 0)\n"
    "  update PACKAGE_FOLDER       update the installed driver from a package folder (action 1)\n"
    "  update-alt PACKAGE_FOLDER   update without logging compare_state (action 3)\n"
    "  uninstall PACKAGE_FOLDER    uninstall the driver; the folder holds the INF file used to\n"
    "                              remove it (action 2)\n"
    "  status                      the driver's state and version as the plug-in reports them\n"
    "                              (DRV_STATE_RUNNING / _NOT_RUNNING / _UNKNOWN, version or 1.0)\n"
    "  info                        the plug-in's owner module ID and module version\n"
    "  batch FILE                  all records of FILE in one call, in order; each line:\n"
    "                                ACTION PACKAGE_FOLDER\n"
    "                              ACTION one of install|update|update-alt|uninstall or a number;\n"
    "                              blank lines and lines starting with # are skipped\n"
    "  doctor [PACKAGE_FOLDER]     read-only check of the driver's footprint: service state,\n"
    "                              type and ImagePath, deletion mark, driver file and version,\n"
    "                              leftover backup, PermCount/RegCfgFlags/ZrkFlags, recorded\n"
    "                              module paths, file operations pending at restart, safety-net\n"
    "                              file, Parameters values, debug switch. One line per finding:\n"
    "                              [ok] as expected, [!] problem, [--] for information.\n"
    "                              With the package the installed driver came from, also\n"
    "                              the recorded modules' versions against that package's.\n"
    "                              Loads no plug-in and changes nothing.\n"
    "\n"
    "options:\n"
    "  --plugin PATH        the plug-in DLL to load (default: beside qelmoctl.exe)\n"
    "  --compare-state N    compare_state of the records (default 0)\n"
    "  --log-level N        stream the plug-in's log lines of level >= N to stderr\n"
    "                       (2 trace, 3 warnings, 5 errors, 0 off; default 3)\n"
    "  --json               machine-readable output: one object for status, info and the\n"
    "                       actions; for doctor an array of {check, status, detail} with\n"
    "                       status ok|problem|info\n"
    "  --version            qelmoctl's version and the loaded plug-in's (module version and\n"
    "                       owner module ID); with --json one object\n"
    "  --help, -h           this text\n"
    "\n"
    "Package folders and batch files may be given relative to the current folder.\n"
    "\n"
    "exit status:\n"
    "  0  the plug-in returned a success code (DRV_OK, DRV_OK_PENDING); status: the plug-in\n"
    "     answered, whatever the driver's state; doctor: no problem found\n"
    "  1  the plug-in returned a failure code, or could not be loaded; doctor: problems found\n"
    "  2  usage error: unknown command or option, missing argument, package folder not\n"
    "     found or not a folder, unreadable or malformed batch file\n"
    "\n"
    "examples:\n"
    "  qelmoctl install C:\\packages\\v1\n"
    "  qelmoctl --log-level 2 update C:\\packages\\v2 --compare-state 3\n"
    "  qelmoctl uninstall C:\\packages\\v2\n"
    "  qelmoctl --json status\n"
    "  qelmoctl info\n"
    "  qelmoctl --version\n"
    "  qelmoctl batch C:\\work\\records.txt\n"
    "  qelmoctl doctor\n"
    "  qelmoctl --json doctor > findings.json\n"
    "  qelmoctl --plugin D:\\builds\\helperQELMODriver.dll status\n";

struct Options {
    std::wstring plugin;
    std::wstring logLevel = L"3";
    bool json = false;
    bool version = false;
    uint32_t compareState = 0;
    std::vector<std::wstring> words;  // command and its arguments
};

int UsageError(const std::string& message) {
    fprintf(stderr, "qelmoctl: %s (see qelmoctl --help)\n", message.c_str());
    return kExitUsage;
}

bool ParseNumber(const std::wstring& text, uint32_t& value) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    unsigned long long v = wcstoull(text.c_str(), &end, 0);
    if (!end || *end != L'\0' || v > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

using qelmo::host::PluginLibrary;

bool LoadPlugin(const Options& options, PluginLibrary& plugin) {
    // The host's logging library reads its settings when it loads, with the plug-in.
    if (!options.logLevel.empty()) {
        SetEnvironmentVariableW(L"OXAL_LOG_LEVEL", options.logLevel.c_str());
        SetEnvironmentVariableW(L"OXAL_LOG_FILE", options.logLevel == L"0" ? L"none" : L"stderr");
    }
    const std::wstring path = options.plugin.empty()
                                  ? qelmo::host::ProgramFolder() + qelmo::host::kPluginFile
                                  : options.plugin;
    if (plugin.Load(path)) return true;
    if (!plugin.Module())
        fprintf(stderr, "qelmoctl: cannot load %s (error %lu)\n", Narrow(plugin.Path()).c_str(),
                plugin.LoadError());
    else
        fprintf(stderr, "qelmoctl: %s lacks the plug-in exports\n", Narrow(plugin.Path()).c_str());
    return false;
}

// "2.9.9999": the three numbers of Plugin_Interface_GetModuleVersion.
std::string VersionText(const uint32_t (&version)[3]) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
           std::to_string(version[2]);
}

bool ParseAction(const std::wstring& word, uint32_t& action) {
    if (word == L"install")
        action = ACTION_INSTALL;
    else if (word == L"update")
        action = ACTION_UPDATE;
    else if (word == L"uninstall")
        action = ACTION_UNINSTALL;
    else if (word == L"update-alt")
        action = ACTION_UPDATE_ALT;
    else
        return ParseNumber(word, action);
    return true;
}

// A package folder the host would hand over: absolute, existing, a directory.
bool CheckPackageFolder(const std::wstring& folder, std::wstring& full, std::string& error) {
    wchar_t buffer[QELMO_DRIVER_PATH_UNITS] = {};
    DWORD n = GetFullPathNameW(folder.c_str(), QELMO_DRIVER_PATH_UNITS, buffer, nullptr);
    if (n == 0 || n >= QELMO_DRIVER_PATH_UNITS) {
        error = "package folder path is invalid or too long: " + Narrow(folder);
        return false;
    }
    DWORD attributes = GetFileAttributesW(buffer);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = "package folder not found: " + Narrow(folder);
        return false;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "not a folder: " + Narrow(folder);
        return false;
    }
    full = buffer;
    return true;
}

const char* StateName(uint32_t state) {
    return qelmoctl::ResultName(state);
}

int RunStatus(const Options& options, const PluginLibrary& plugin) {
    const qelmo::host::StatusReport report = plugin.ReadStatus();
    const uint32_t result = report.result;
    const DrvStatusInfo& s = report.info;
    std::string version(s.szVersion, strnlen(s.szVersion, sizeof s.szVersion));
    if (options.json) {
        // The version text comes from the plug-in as it is: the writer escapes it.
        printf("%s\n", qelmoctl::JsonObject()
                           .String("result", qelmoctl::ResultName(result))
                           .Hex32("result_code", result)
                           .Hex32("driver_id", s.driver_id)
                           .String("state", StateName(s.state))
                           .Hex32("state_code", s.state)
                           .String("version", version)
                           .Number("valid", s.valid)
                           .Text()
                           .c_str());
    } else {
        printf("driver_id  0x%08x\n", s.driver_id);
        printf("state      %s (0x%08x)\n", StateName(s.state), s.state);
        printf("version    %s\n", version.c_str());
        printf("valid      %u\n", s.valid);
        printf("result     %s\n", qelmoctl::DescribeResult(result).c_str());
    }
    return report.calls == 1 && qelmoctl::IsSuccess(result) ? kExitSuccess : kExitFailure;
}

int RunInfo(const Options& options, const PluginLibrary& plugin) {
    uint32_t version[3] = {};
    plugin.Exports().moduleVersion(version);
    uint32_t owner = plugin.Exports().ownerModuleId();
    if (options.json)
        printf("%s\n", qelmoctl::JsonObject()
                           .Number("owner_module_id", owner)
                           .String("module_version", VersionText(version))
                           .Text()
                           .c_str());
    else
        printf("owner module ID  %u\nmodule version   %s\n", owner, VersionText(version).c_str());
    return kExitSuccess;
}

// qelmoctl's own version, then the plug-in's as its exports give it.
int RunVersion(const Options& options) {
    PluginLibrary plugin;
    const bool loaded = LoadPlugin(options, plugin);
    uint32_t version[3] = {};
    uint32_t owner = 0;
    if (loaded) {
        plugin.Exports().moduleVersion(version);
        owner = plugin.Exports().ownerModuleId();
    }
    if (options.json) {
        qelmoctl::JsonObject object;
        object.String("qelmoctl", QELMO_VERSION_TEXT);
        if (loaded) {
            object.String("plugin", Narrow(plugin.Path()))
                .String("plugin_module_version", VersionText(version))
                .Number("plugin_owner_module_id", owner);
        }
        printf("%s\n", object.Text().c_str());
    } else {
        printf("qelmoctl %s\n", QELMO_VERSION_TEXT);
        if (loaded)
            printf("plug-in %s: module version %s, owner module ID %u\n",
                   Narrow(plugin.Path()).c_str(), VersionText(version).c_str(), owner);
    }
    return loaded ? kExitSuccess : kExitFailure;
}

int ReportResult(const Options& options, const char* what, uint32_t result, double seconds) {
    if (options.json)
        printf("%s\n", qelmoctl::JsonObject()
                           .String("command", what)
                           .String("result", qelmoctl::ResultName(result))
                           .Hex32("result_code", result)
                           .Fixed("seconds", seconds, 3)
                           .Text()
                           .c_str());
    else
        printf("%s: %s in %.2f s\n", what, qelmoctl::DescribeResult(result).c_str(), seconds);
    return qelmoctl::IsSuccess(result) ? kExitSuccess : kExitFailure;
}

int RunRecords(const Options& options, const PluginLibrary& plugin,
               const std::vector<DrvInfo>& records, const char* what) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    uint32_t result = plugin.DoAction(records);
    QueryPerformanceCounter(&end);
    double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    return ReportResult(options, what, result, seconds);
}

// Reads the records of a batch file; 0 when they are all valid, else the usage error's exit code
// (the message is printed).
int ReadBatch(const Options& options, const std::wstring& file, std::vector<DrvInfo>& records) {
    // The wide name: a path outside the ANSI code page must still open.
    std::ifstream in(std::filesystem::path(file), std::ios::binary);
    if (!in) return UsageError("cannot read batch file: " + Narrow(file));
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        // Editors that save UTF-8 often put a byte order mark first.
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        size_t gap = line.find_first_of(" \t", first);
        std::wstring actionWord = Widen(line.substr(first, gap - first));
        std::wstring folderWord;
        if (gap != std::string::npos) {
            size_t folderStart = line.find_first_not_of(" \t", gap);
            if (folderStart != std::string::npos) folderWord = Widen(line.substr(folderStart));
        }
        uint32_t action = 0;
        if (!ParseAction(actionWord, action))
            return UsageError("line " + std::to_string(number) + ": unknown action " +
                              Narrow(actionWord));
        if (folderWord.empty())
            return UsageError("line " + std::to_string(number) + ": missing package folder");
        std::wstring full;
        std::string error;
        if (!CheckPackageFolder(folderWord, full, error))
            return UsageError("line " + std::to_string(number) + ": " + error);
        records.push_back(qelmo::host::MakeRecord(action, full, options.compareState));
    }
    if (records.empty()) return UsageError("batch file holds no records");
    return kExitSuccess;
}

int RunDoctor(const Options& options) {
    const std::wstring package = options.words.size() > 1 ? options.words[1] : std::wstring();
    qelmoctl::Findings findings = qelmoctl::RunDoctorChecks(package);
    qelmoctl::PrintFindings(findings, options.json, stdout);
    return findings.ProblemCount() == 0 ? kExitSuccess : kExitFailure;
}

int Run(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        auto value = [&](std::wstring& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (a == L"--help" || a == L"-h") {
            fputs(kUsage, stdout);
            return kExitSuccess;
        } else if (a == L"--version") {
            options.version = true;
        } else if (a == L"--json") {
            options.json = true;
        } else if (a == L"--plugin") {
            if (!value(options.plugin)) return UsageError("--plugin needs a path");
        } else if (a == L"--log-level") {
            uint32_t level = 0;
            if (!value(options.logLevel) || !ParseNumber(options.logLevel, level))
                return UsageError("--log-level needs a number");
        } else if (a == L"--compare-state") {
            std::wstring text;
            if (!value(text) || !ParseNumber(text, options.compareState))
                return UsageError("--compare-state needs a number");
        } else if (a.size() > 1 && a[0] == L'-') {
            return UsageError("unknown option " + Narrow(a));
        } else {
            options.words.push_back(a);
        }
    }
    if (options.version) {
        if (!options.words.empty()) return UsageError("--version takes no command");
        return RunVersion(options);
    }
    if (options.words.empty()) return UsageError("no command given");
    const std::wstring& command = options.words[0];
    const size_t extra = options.words.size() - 1;

    uint32_t action = 0;
    const bool isAction = command == L"install" || command == L"update" ||
                          command == L"update-alt" || command == L"uninstall";
    std::wstring folder;
    std::vector<DrvInfo> records;
    if (isAction) {
        ParseAction(command, action);
        if (extra != 1) return UsageError(Narrow(command) + " needs one PACKAGE_FOLDER");
        std::string error;
        if (!CheckPackageFolder(options.words[1], folder, error)) return UsageError(error);
        records.push_back(qelmo::host::MakeRecord(action, folder, options.compareState));
    } else if (command == L"doctor") {
        if (extra > 1) return UsageError("doctor takes at most one PACKAGE_FOLDER");
        if (extra == 1) {
            std::string error;
            if (!CheckPackageFolder(options.words[1], folder, error)) return UsageError(error);
            options.words[1] = folder;
        }
    } else if (command == L"status" || command == L"info") {
        if (extra != 0) return UsageError(Narrow(command) + " takes no arguments");
    } else if (command == L"batch") {
        if (extra != 1) return UsageError("batch needs one FILE");
        // A malformed batch file is a usage error whatever the plug-in.
        if (int code = ReadBatch(options, options.words[1], records)) return code;
    } else {
        return UsageError("unknown command " + Narrow(command));
    }

    // The doctor looks at the machine only; it loads no plug-in.
    if (command == L"doctor") return RunDoctor(options);

    PluginLibrary plugin;
    if (!LoadPlugin(options, plugin)) return kExitFailure;
    if (command == L"status") return RunStatus(options, plugin);
    if (command == L"info") return RunInfo(options, plugin);
    return RunRecords(options, plugin, records, Narrow(command).c_str());
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return kExitUsage;
    qelmo::LocalMem release(argv);
    int code = Run(argc, argv);
    fflush(stdout);
    return code;
}
