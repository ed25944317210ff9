// Monitor engine and event add-on deployment against Wine's real System32, SysWOW64 and registry.
// Every test runs inside a MachineGuard, so the qelmo folders and keys are gone before and after.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

#include "common/handles.h"
#include "deploy/addon_deploy.h"
#include "deploy/module_deploy.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

using test::FileExists;
using test::LogCapture;
using test::Narrow;
using test::PackageCopy;
using test::ReadValue;
using test::RegValue;

const wchar_t* const kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qelmo";
const wchar_t* const kAddOn64Key = L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\AddOn\\KipEvt64";
const wchar_t* const kAddOn32Key = L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\AddOn\\KipEvt";
const wchar_t* const kV1 = L"6.0.1035";
const wchar_t* const kV2 = L"6.0.2000";

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
}

// The drive letter's NT device, e.g. \Device\HarddiskVolume1.
std::wstring DriveDevice(const std::wstring& path) {
    wchar_t device[MAX_PATH] = {};
    QueryDosDeviceW(path.substr(0, 2).c_str(), device, MAX_PATH);
    return device;
}

// A REG_SZ value holding exactly `text` and its NUL.
void ExpectString(HKEY root, const std::wstring& key, const std::wstring& name,
                  const std::wstring& text) {
    RegValue value = ReadValue(root, key, name);
    ASSERT_TRUE(value.exists) << Narrow(key) << " " << Narrow(name);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ)) << Narrow(name);
    EXPECT_EQ(value.Size(), (text.size() + 1) * sizeof(wchar_t)) << Narrow(name);
    EXPECT_EQ(value.String(), text) << Narrow(name);
}

// Where the modules go, spelled as the deployment spells them: the system directory, and the
// Windows directory's "SysWOW64".
std::wstring System32() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
}
std::wstring SysWow64() {
    wchar_t folder[MAX_PATH] = {};
    GetWindowsDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\SysWOW64";
}

// The path in device form: the drive replaced by its device.
std::wstring DeviceForm(const std::wstring& path) {
    return DriveDevice(path) + path.substr(2);
}

class DeployTest : public ::testing::Test {
protected:
    static std::wstring ModuleFile(const std::wstring& systemDir, const wchar_t* group,
                                   const std::wstring& version, const wchar_t* file) {
        return systemDir + L"\\qelmo\\20019\\" + group + L"\\" + version + L"\\" + file;
    }
    static std::wstring Engine64(const std::wstring& version) {
        return ModuleFile(System32(), L"KipMon", version, L"kipmon64.dll");
    }
    static std::wstring Engine32(const std::wstring& version) {
        return ModuleFile(SysWow64(), L"KipMon", version, L"kipmon.dll");
    }
    static std::wstring AddOn64(const std::wstring& version) {
        return ModuleFile(System32(), L"AddOn", version, L"KipEvt64.dll");
    }
    static std::wstring AddOn32(const std::wstring& version) {
        return ModuleFile(SysWow64(), L"AddOn", version, L"KipEvt.dll");
    }

    void ExpectEngineValues(const std::wstring& version) {
        ExpectString(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDll64Name", Engine64(version));
        ExpectString(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDll64NameDev",
                     DeviceForm(Engine64(version)));
        ExpectString(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDllName", Engine32(version));
        ExpectString(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDllNameDev",
                     DeviceForm(Engine32(version)));
    }

    void ExpectAddOnKey(const wchar_t* key, const std::wstring& file, const std::wstring& version) {
        ExpectString(HKEY_LOCAL_MACHINE, key, L"path", file);
        ExpectString(HKEY_LOCAL_MACHINE, key, L"devpath", DeviceForm(file));
        ExpectString(HKEY_LOCAL_MACHINE, key, L"version", version);
    }

    static void CreateServiceKey() {
        RegKeyHandle key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
    }

    static void DeleteValue(const wchar_t* key, const wchar_t* name) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, name);
    }

    test::MachineGuard guard_;
    LogCapture capture_;
};

// ---- monitor engine ---------------------------------------------------------------------------

class BackupKipMonTest : public DeployTest {};

TEST_F(BackupKipMonTest, FirstDeployPlacesBothFilesAndRecordsThem) {
    const std::wstring package = test::PackageDir(L"v1");
    DWORD copied = 7;
    ASSERT_EQ(BackupKipMon(package.c_str(), &copied), 1) << capture_.Dump();
    EXPECT_EQ(copied, 1u);
    EXPECT_EQ(ReadBytes(Engine64(kV1)), ReadBytes(package + L"\\kipmon64.dll"));
    EXPECT_EQ(ReadBytes(Engine32(kV1)), ReadBytes(package + L"\\kipmon.dll"));
    ASSERT_FALSE(ReadBytes(Engine64(kV1)).empty());
    ExpectEngineValues(kV1);
    // The engine's version folder is the 64-bit file's own version text.
    EXPECT_NE(capture_.Find(std::wstring(L"Engine Version is:") + kV1), nullptr) << capture_.Dump();
    EXPECT_NE(capture_.Find(L"Engine Path is:" + package), nullptr) << capture_.Dump();
}

// A file in place is never replaced, even with other content; the values are written again.
TEST_F(BackupKipMonTest, SecondDeployCopiesNothingAndRecordsAgain) {
    const std::wstring package = test::PackageDir(L"v1");
    DWORD copied = 0;
    ASSERT_EQ(BackupKipMon(package.c_str(), &copied), 1) << capture_.Dump();
    WriteBytes(Engine64(kV1), "changed in place");
    DeleteValue(kServiceKey, L"QELMOMonDll64Name");
    DeleteValue(kServiceKey, L"QELMOMonDllNameDev");
    capture_.Clear();

    ASSERT_EQ(BackupKipMon(package.c_str(), &copied), 1) << capture_.Dump();
    EXPECT_EQ(copied, 0u);
    EXPECT_EQ(ReadBytes(Engine64(kV1)), "changed in place");
    ExpectEngineValues(kV1);
    const std::wstring sourceEngine64 = package + L"\\kipmon64.dll";
    const std::wstring sourceEngine32 = package + L"\\kipmon.dll";
    for (const std::wstring& line :
         {L"The file has been exists.\nEngineTargetPath: " + sourceEngine64 +
              L"\nEngineModulePath: " + Engine64(kV1),
          L"The file has been exists.\nEngineTargetPath: " + sourceEngine32 +
              L"\nEngineModulePath: " + Engine32(kV1)}) {
        const test::LogCall* call = capture_.Find(line);
        ASSERT_NE(call, nullptr) << Narrow(line) << "\n" << capture_.Dump();
        EXPECT_EQ(call->level, 2u);
        EXPECT_EQ(call->category, L"QELMO Driver Installation");
        EXPECT_EQ(call->source, L"source/helperQELMODriver");
    }
}

// Versions are not compared: a new version text is a new folder, and the values follow it.
TEST_F(BackupKipMonTest, ANewVersionGoesIntoItsOwnFolder) {
    DWORD copied = 0;
    ASSERT_EQ(BackupKipMon(test::PackageDir(L"v1").c_str(), &copied), 1) << capture_.Dump();
    ASSERT_EQ(BackupKipMon(test::PackageDir(L"v2").c_str(), &copied), 1) << capture_.Dump();
    EXPECT_EQ(copied, 1u);
    EXPECT_TRUE(FileExists(Engine64(kV1)));
    EXPECT_TRUE(FileExists(Engine64(kV2)));
    EXPECT_TRUE(FileExists(Engine32(kV2)));
    ExpectEngineValues(kV2);
}

TEST_F(BackupKipMonTest, MissingThirtyTwoBitFileIsSkippedButRecorded) {
    PackageCopy package(L"v1");
    ASSERT_FALSE(package.Path().empty());
    ASSERT_TRUE(DeleteFileW(package.File(L"kipmon.dll").c_str()));
    DWORD copied = 1;
    EXPECT_EQ(BackupKipMon(package.Path().c_str(), &copied), 1) << capture_.Dump();
    EXPECT_EQ(copied, 0u);
    EXPECT_TRUE(FileExists(Engine64(kV1)));
    EXPECT_FALSE(FileExists(Engine32(kV1)));
    ExpectEngineValues(kV1);  // QELMOMonDllName names where the file would be
}

TEST_F(BackupKipMonTest, UnreadableVersionFailsBeforeAnyFolderIsMade) {
    PackageCopy noEngine(L"v1");
    ASSERT_FALSE(noEngine.Path().empty());
    ASSERT_TRUE(DeleteFileW(noEngine.File(L"kipmon64.dll").c_str()));

    DWORD copied = 0;
    EXPECT_EQ(BackupKipMon(noEngine.Path().c_str(), &copied), 0);
    const test::LogCall* line = capture_.Find(L"Retrieve engine version number failed:");
    ASSERT_NE(line, nullptr) << capture_.Dump();
    EXPECT_EQ(line->level, 5u);
    EXPECT_EQ(line->source, L"source/helperQELMODriver");
    EXPECT_FALSE(FileExists(System32() + L"\\qelmo"));
    EXPECT_FALSE(FileExists(SysWow64() + L"\\qelmo"));
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDll64Name").exists);

    capture_.Clear();
    EXPECT_EQ(BackupKipMon(nullptr, &copied), 0);
    EXPECT_EQ(copied, 1u);
    ASSERT_NE(capture_.Find(L"The input folder path is null."), nullptr) << capture_.Dump();
    EXPECT_EQ(capture_.Find(L"The input folder path is null.")->level, 5u);
}

// The version text names a folder verbatim; one that cannot be a folder name stops the deployment.
TEST_F(BackupKipMonTest, VersionTextThatCannotNameAFolderFails) {
    DWORD copied = 0;
    EXPECT_EQ(BackupKipMon(test::PackageDir(L"badversion").c_str(), &copied), 0) << capture_.Dump();
    EXPECT_TRUE(FileExists(System32() + L"\\qelmo\\20019\\KipMon"));
    EXPECT_FALSE(FileExists(SysWow64() + L"\\qelmo"));
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDll64Name").exists);
}

// A file where a folder of the chain belongs: the chain stops there, what came before stays.
TEST_F(BackupKipMonTest, AFileInPlaceOfAChainFolderFails) {
    struct Case {
        std::wstring blocker;
        bool engine64Placed;
    } cases[] = {
        {System32() + L"\\qelmo\\20019", false},
        {SysWow64() + L"\\qelmo", true},
    };
    for (const auto& c : cases) {
        guard_.Restore();
        capture_.Clear();
        std::wstring parent = c.blocker.substr(0, c.blocker.rfind(L'\\'));
        CreateDirectoryW(parent.c_str(), nullptr);
        WriteBytes(c.blocker, "a file");
        DWORD copied = 0;
        EXPECT_EQ(BackupKipMon(test::PackageDir(L"v1").c_str(), &copied), 0) << Narrow(c.blocker);
        EXPECT_NE(capture_.Find(L"Fatal: A file of the same name exists in place of the folder to "
                                L"be created: " +
                                c.blocker),
                  nullptr)
            << capture_.Dump();
        EXPECT_EQ(FileExists(Engine64(kV1)), c.engine64Placed) << Narrow(c.blocker);
        EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDll64Name").exists,
                  c.engine64Placed);
        EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDllName").exists);
    }
}

TEST_F(BackupKipMonTest, AFailedCopyStopsWithItsPaths) {
    PackageCopy package(L"v1");
    ASSERT_FALSE(package.Path().empty());
    // Held open without sharing, the 32-bit source cannot be read.
    FileHandle lock(CreateFileW(package.File(L"kipmon.dll").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    DWORD copied = 0;
    EXPECT_EQ(BackupKipMon(package.Path().c_str(), &copied), 0);
    const std::wstring line =
        L"Failed to copy file.\nfrom: " + package.File(L"kipmon.dll") + L"\nto: " + Engine32(kV1);
    ASSERT_NE(capture_.Find(line), nullptr) << capture_.Dump();
    EXPECT_EQ(capture_.Find(line)->level, 2u);
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDllName").exists);
    ExpectString(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDll64Name", Engine64(kV1));
}

// ---- event add-on -----------------------------------------------------------------------------

class BackupAddOnTest : public DeployTest {};

TEST_F(BackupAddOnTest, FirstDeployPlacesBothFilesAndWritesBothKeys) {
    CreateServiceKey();
    const std::wstring package = test::PackageDir(L"v1");
    DWORD copied = 7;
    ASSERT_EQ(BackupAddOn(package.c_str(), &copied), 1) << capture_.Dump();
    EXPECT_EQ(copied, 1u);
    EXPECT_EQ(ReadBytes(AddOn64(kV1)), ReadBytes(package + L"\\AddOn\\KipEvt64.dll"));
    EXPECT_EQ(ReadBytes(AddOn32(kV1)), ReadBytes(package + L"\\AddOn\\KipEvt.dll"));
    ExpectAddOnKey(kAddOn64Key, AddOn64(kV1), kV1);
    ExpectAddOnKey(kAddOn32Key, AddOn32(kV1), kV1);
    EXPECT_NE(capture_.Find(L"Engine Path is:" + package + L"\\AddOn"), nullptr) << capture_.Dump();
}

// Unlike the engine, a skipped add-on file is not registered again.
TEST_F(BackupAddOnTest, SecondDeployWritesNoRegistryValue) {
    CreateServiceKey();
    const std::wstring package = test::PackageDir(L"v1");
    DWORD copied = 0;
    ASSERT_EQ(BackupAddOn(package.c_str(), &copied), 1) << capture_.Dump();
    ASSERT_EQ(
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\AddOn"),
        ERROR_SUCCESS);
    capture_.Clear();

    ASSERT_EQ(BackupAddOn(package.c_str(), &copied), 1) << capture_.Dump();
    EXPECT_EQ(copied, 0u);
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kAddOn64Key));
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kAddOn32Key));
    const std::wstring lines[] = {
        L"The file has been exists.\nAddon64TargetPath: " + package +
            L"\\AddOn\\KipEvt64.dll\nAddon64ModulePath: " + AddOn64(kV1),
        L"The file has been exists.\nAddonTargetPath: " + package +
            L"\\AddOn\\KipEvt.dll\nAddonModulePath: " + AddOn32(kV1),
    };
    for (const std::wstring& line : lines) {
        ASSERT_NE(capture_.Find(line), nullptr) << Narrow(line) << "\n" << capture_.Dump();
        EXPECT_EQ(capture_.Find(line)->level, 2u);
    }
}

TEST_F(BackupAddOnTest, WithoutTheServiceKeyFilesArePlacedButNothingIsRecorded) {
    DWORD copied = 0;
    EXPECT_EQ(BackupAddOn(test::PackageDir(L"v1").c_str(), &copied), 1) << capture_.Dump();
    EXPECT_EQ(copied, 1u);
    EXPECT_TRUE(FileExists(AddOn64(kV1)));
    EXPECT_TRUE(FileExists(AddOn32(kV1)));
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
}

TEST_F(BackupAddOnTest, MissingThirtyTwoBitFileLeavesItsKeyUnwritten) {
    CreateServiceKey();
    PackageCopy package(L"v1");
    ASSERT_FALSE(package.Path().empty());
    ASSERT_TRUE(DeleteFileW(package.File(L"AddOn\\KipEvt.dll").c_str()));
    DWORD copied = 1;
    EXPECT_EQ(BackupAddOn(package.Path().c_str(), &copied), 1) << capture_.Dump();
    EXPECT_EQ(copied, 0u);
    ExpectAddOnKey(kAddOn64Key, AddOn64(kV1), kV1);
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kAddOn32Key));
}

TEST_F(BackupAddOnTest, UnreadableVersionFailsBeforeAnyFolderIsMade) {
    CreateServiceKey();
    PackageCopy package(L"v1");
    ASSERT_FALSE(package.Path().empty());
    ASSERT_TRUE(DeleteFileW(package.File(L"AddOn\\KipEvt64.dll").c_str()));
    DWORD copied = 0;
    EXPECT_EQ(BackupAddOn(package.Path().c_str(), &copied), 0);
    const test::LogCall* line = capture_.Find(L"Retrieve addon version number failed:");
    ASSERT_NE(line, nullptr) << capture_.Dump();
    EXPECT_EQ(line->level, 5u);
    EXPECT_FALSE(FileExists(System32() + L"\\qelmo"));
    EXPECT_FALSE(FileExists(SysWow64() + L"\\qelmo"));
    EXPECT_FALSE(
        test::KeyExists(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\AddOn"));
}

TEST_F(BackupAddOnTest, AFailedThirtyTwoBitCopyIsAnError) {
    CreateServiceKey();
    PackageCopy package(L"v1");
    ASSERT_FALSE(package.Path().empty());
    FileHandle lock(CreateFileW(package.File(L"AddOn\\KipEvt.dll").c_str(), GENERIC_READ, 0,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    DWORD copied = 0;
    EXPECT_EQ(BackupAddOn(package.Path().c_str(), &copied), 0);
    const std::wstring line = L"Failed to copy file.\nfrom: " + package.File(L"AddOn\\KipEvt.dll") +
                              L"\nto: " + AddOn32(kV1);
    ASSERT_NE(capture_.Find(line), nullptr) << capture_.Dump();
    EXPECT_EQ(capture_.Find(line)->level, 5u);
    ExpectAddOnKey(kAddOn64Key, AddOn64(kV1), kV1);
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kAddOn32Key));
}

}  // namespace
}  // namespace qelmo
