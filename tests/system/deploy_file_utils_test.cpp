// File, folder, path and version utilities against Wine's real file system, in a scratch folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

#include "common/debug_log.h"
#include "common/handles.h"
#include "common/registry_key.h"
#include "deploy/file_utils.h"
#include "support/fixtures.h"
#include "support/log_capture.h"

namespace qelmo {
namespace {

using test::LogCapture;
using test::Narrow;

bool IsDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteText(const std::wstring& path, const std::string& text) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadText(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW((path + L"\\*").c_str(), &found));
    if (search) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search.get(), &found));
    }
    RemoveDirectoryW(path.c_str());
}

// A fresh scratch folder below the temp directory, removed with everything in it.
class ScratchFolder : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        root_ = std::wstring(temp) + L"qelmo_deploy_" + std::to_wstring(GetCurrentProcessId()) +
                L"_" + std::to_wstring(GetTickCount());
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr)) << GetLastError();
    }
    void TearDown() override { RemoveTree(root_); }

    std::wstring Path(const std::wstring& relative) const { return root_ + L"\\" + relative; }

    std::wstring root_;
};

// ---- version resources ------------------------------------------------------------------------

TEST(GetFileVersion, EveryTranslationIsAskedAndTheLastTextWins) {
    LogCapture capture;
    const std::wstring path = test::BinDir() + L"fixtures\\two_translations.dll";
    std::wstring version = L"before";
    ASSERT_EQ(Utilities::GetFileVersion(path, version), 1) << capture.Dump();
    EXPECT_EQ(version, L"2.2.2.2");

    int first = capture.IndexOf(L"File Version: 1.1.1.1");
    int second = capture.IndexOf(L"File Version: 2.2.2.2");
    ASSERT_GE(first, 0) << capture.Dump();
    EXPECT_GT(second, first) << capture.Dump();
    const test::LogCall* pathLine = capture.Find(L"AddOn path is:" + path);
    ASSERT_NE(pathLine, nullptr) << capture.Dump();
    EXPECT_EQ(pathLine->category, L"Plugin QELMO Adapter");
    EXPECT_EQ(pathLine->source, L"source/Utilities");
    EXPECT_EQ(pathLine->level, 2u);
}

TEST(GetFileVersion, WithoutVersionInformationTheOutStringStaysAndTheErrorIsLogged) {
    struct Case {
        std::wstring path;
        const wchar_t* line;
    } cases[] = {
        {test::BinDir() + L"fixtures\\noversion.dll",
         L"[Fail]GetFileVersionInfoSize fail, error code is: 0x714"},  // 1812
        {test::BinDir() + L"fixtures\\no_such_file.dll",
         L"[Fail]GetFileVersionInfoSize fail, error code is: 0x2"},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        std::wstring version = L"untouched";
        EXPECT_EQ(Utilities::GetFileVersion(c.path, version), 0) << Narrow(c.path);
        EXPECT_EQ(version, L"untouched");
        const test::LogCall* error = capture.Find(c.line);
        ASSERT_NE(error, nullptr) << capture.Dump();
        EXPECT_EQ(error->level, 5u);
        EXPECT_EQ(error->category, L"Plugin QELMO Adapter");
    }
}

// ---- folders ----------------------------------------------------------------------------------

class CreateFolderTest : public ScratchFolder {};

TEST_F(CreateFolderTest, NewAndExistingDirectoriesBothSucceed) {
    LogCapture capture;
    std::wstring folder = root_;
    EXPECT_EQ(Utilities::CreateFolder(folder, L"a"), 0u);
    EXPECT_EQ(folder, Path(L"a"));
    EXPECT_EQ(Utilities::CreateFolder(folder, L"b"), 0u);
    EXPECT_EQ(folder, Path(L"a\\b"));
    EXPECT_TRUE(IsDirectory(folder));
    EXPECT_EQ(capture.FindPrefix(L"The folder already exists: "), nullptr) << capture.Dump();

    folder = Path(L"a");
    EXPECT_EQ(Utilities::CreateFolder(folder, L"b"), 0u);
    EXPECT_EQ(folder, Path(L"a\\b"));
    const test::LogCall* line = capture.Find(L"The folder already exists: " + Path(L"a\\b"));
    ASSERT_NE(line, nullptr) << capture.Dump();
    EXPECT_EQ(line->level, 2u);
    EXPECT_EQ(line->category, L"QELMO Driver Installation");
    EXPECT_EQ(line->source, L"source/Utilities");
}

TEST_F(CreateFolderTest, AFileHoldingTheNameIsRefused) {
    LogCapture capture;
    WriteText(Path(L"b"), "not a folder");
    std::wstring folder = root_;
    EXPECT_EQ(Utilities::CreateFolder(folder, L"b"), 183u);
    EXPECT_EQ(folder, Path(L"b"));
    const test::LogCall* line = capture.Find(
        L"Fatal: A file of the same name exists in place of the folder to be created: " +
        Path(L"b"));
    ASSERT_NE(line, nullptr) << capture.Dump();
    EXPECT_EQ(line->level, 5u);
    EXPECT_EQ(line->category, L"QELMO Driver Installation");
}

TEST_F(CreateFolderTest, AMissingParentIsPathNotFound) {
    LogCapture capture;
    std::wstring folder = Path(L"missing");
    EXPECT_EQ(Utilities::CreateFolder(folder, L"b"), 3u);
    EXPECT_EQ(folder, Path(L"missing\\b"));
    EXPECT_FALSE(Exists(Path(L"missing")));
    const test::LogCall* line =
        capture.Find(L"An error occurred while attempting to create a folder: " +
                     Path(L"missing\\b") + L", Error number:0x3");
    ASSERT_NE(line, nullptr) << capture.Dump();
    EXPECT_EQ(line->level, 2u);
}

// A name is one folder level: it may not reach into the parent or another folder.
TEST_F(CreateFolderTest, NamesThatAreNotOneFolderLevelAreRefused) {
    ASSERT_TRUE(CreateDirectoryW(Path(L"a").c_str(), nullptr));
    const wchar_t* names[] = {L"", L".", L"..", L"...", L". ", L"..\\x", L"../x", L"x\\y", L"x/y"};
    for (const wchar_t* name : names) {
        std::wstring folder = Path(L"a");
        EXPECT_EQ(Utilities::CreateFolder(folder, name), static_cast<DWORD>(ERROR_INVALID_NAME))
            << Narrow(name);
        EXPECT_EQ(folder, Path(L"a") + L"\\" + name);
    }
    EXPECT_FALSE(Exists(Path(L"x")));
    EXPECT_FALSE(Exists(Path(L"a\\x")));
    std::wstring folder = Path(L"a");
    EXPECT_NE(Utilities::CreateFolder(folder, L"6.0*3400"), 0u);
    folder = Path(L"a");
    EXPECT_EQ(Utilities::CreateFolder(folder, nullptr), static_cast<DWORD>(ERROR_INVALID_NAME));
}

// The debug file receives the folder as text and the error in decimal.
TEST_F(CreateFolderTest, DebugFileLinesNameTheFolder) {
    const std::wstring debugFile = GetHostModuleDirectory() + L"ZRKHelperDebug.log";
    DeleteFileW(debugFile.c_str());
    auto keyExists = [](const wchar_t* path) {
        CRegistryKey probe;
        return probe.Open(HKEY_LOCAL_MACHINE, path, KEY_READ) == ERROR_SUCCESS;
    };
    const wchar_t* kVendorKey = L"SOFTWARE\\Vantor";
    const bool hadVendorKey = keyExists(kVendorKey);
    const bool hadKey = keyExists(debuglog::kSwitchKey);
    DWORD previous = 0;
    const bool hadSwitch = ReadRegDWORD(previous, debuglog::kSwitchKey, debuglog::kSwitchValue);
    ASSERT_TRUE(WriteRegDWORD(1, debuglog::kSwitchKey, debuglog::kSwitchValue));

    WriteText(Path(L"file"), "x");
    std::wstring folder = root_;
    Utilities::CreateFolder(folder, L"file");
    folder = Path(L"missing");
    Utilities::CreateFolder(folder, L"b");

    if (hadSwitch) {
        WriteRegDWORD(previous, debuglog::kSwitchKey, debuglog::kSwitchValue);
    } else if (!hadKey) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, debuglog::kSwitchKey);
        if (!hadVendorKey) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kVendorKey);
    } else {
        CRegistryKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, debuglog::kSwitchKey, KEY_ALL_ACCESS) == ERROR_SUCCESS)
            key.DeleteValue(debuglog::kSwitchValue);
    }
    const std::string text = ReadText(debugFile);
    DeleteFileW(debugFile.c_str());
    EXPECT_NE(text.find("] [Utilities::CreateFolder] Fatal: A file of the same name exists in "
                        "place of the folder to be created: " +
                        Narrow(Path(L"file"))),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("] [Utilities::CreateFolder] An error occurred while attempting to create "
                        "a folder: " +
                        Narrow(Path(L"missing\\b")) + ", error code: 3"),
              std::string::npos)
        << text;
}

// ---- device paths -----------------------------------------------------------------------------

TEST(GetDevicePath, DriveBecomesItsDeviceAndTooLongPathsGiveNothing) {
    wchar_t device[MAX_PATH] = {};
    ASSERT_NE(QueryDosDeviceW(L"C:", device, MAX_PATH), 0u);
    const std::wstring drive = device;  // \Device\HarddiskVolumeN
    ASSERT_EQ(drive.rfind(L"\\Device\\", 0), 0u) << Narrow(drive);

    wchar_t windows[MAX_PATH] = {};
    ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);  // C:\windows
    const std::wstring windowsTail = std::wstring(windows).substr(2);

    const std::wstring fits(MAX_PATH - 1 - drive.size(), L'x');  // device form: 259 units
    const std::wstring tooLong(MAX_PATH - drive.size(), L'x');   // device form: 260 units
    struct Case {
        std::wstring path;
        std::wstring device;
    } cases[] = {
        {L"C:\\Windows\\System32\\x.dll", drive + L"\\Windows\\System32\\x.dll"},
        {L"%windir%\\system32\\x.dll", drive + windowsTail + L"\\system32\\x.dll"},
        {L"C:" + fits, drive + fits},
        {L"C:" + tooLong, L""},
        {L"C:\\" + std::wstring(300, L'y'), L""},  // does not even expand into its buffer
    };
    for (const auto& c : cases)
        EXPECT_EQ(Utilities::GetDevicePath(c.path.c_str()), c.device) << Narrow(c.path);
    EXPECT_EQ(Utilities::GetDevicePath(nullptr), L"");
}

// ---- copying ----------------------------------------------------------------------------------

class CopyFileAndFlushTest : public ScratchFolder {};

TEST_F(CopyFileAndFlushTest, CopiesOverAnExistingTarget) {
    WriteText(Path(L"src.bin"), std::string("new\0content", 11));
    WriteText(Path(L"dst.bin"), "old content, longer than the new one");
    ASSERT_EQ(CopyFileAndFlush(Path(L"src.bin").c_str(), Path(L"dst.bin").c_str()), 1)
        << GetLastError();
    EXPECT_EQ(ReadText(Path(L"dst.bin")), std::string("new\0content", 11));
}

TEST_F(CopyFileAndFlushTest, MissingOrEmptyArgumentsAreInvalidAndTouchNothing) {
    WriteText(Path(L"src.bin"), "source");
    WriteText(Path(L"dst.bin"), "target");
    const std::wstring src = Path(L"src.bin"), dst = Path(L"dst.bin");
    struct Case {
        const wchar_t* source;
        const wchar_t* target;
    } cases[] = {
        {nullptr, dst.c_str()}, {L"", dst.c_str()}, {src.c_str(), nullptr}, {src.c_str(), L""}};
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(CopyFileAndFlush(c.source, c.target), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(ReadText(dst), "target");
    }
}

TEST_F(CopyFileAndFlushTest, AFailedCopyLeavesItsErrorForTheCaller) {
    SetLastError(0);
    EXPECT_EQ(CopyFileAndFlush(Path(L"none.bin").c_str(), Path(L"dst.bin").c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Exists(Path(L"dst.bin")));
}

// The progress routine keeps one duplicate of the target handle: taken on a stream switch, never
// on other notifications.
TEST_F(CopyFileAndFlushTest, ProgressRoutineHoldsADuplicateOfTheTargetFromEachStreamSwitch) {
    FileHandle file(CreateFileW(Path(L"t.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    LARGE_INTEGER zero{};
    HANDLE slot = nullptr;
    EXPECT_EQ(CopyProgressFlushRoutine(zero, zero, zero, zero, 1, CALLBACK_CHUNK_FINISHED, nullptr,
                                       file.get(), &slot),
              static_cast<DWORD>(PROGRESS_CONTINUE));
    EXPECT_EQ(slot, nullptr);
    for (int stream = 1; stream <= 2; ++stream) {
        EXPECT_EQ(CopyProgressFlushRoutine(zero, zero, zero, zero, stream, CALLBACK_STREAM_SWITCH,
                                           nullptr, file.get(), &slot),
                  static_cast<DWORD>(PROGRESS_CONTINUE));
        ASSERT_NE(slot, nullptr);
        EXPECT_NE(slot, file.get());
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(slot, "ab", 2, &written, nullptr)) << GetLastError();
    }
    KernelHandle last(slot);
    last.reset();
    file.reset();
    EXPECT_EQ(ReadText(Path(L"t.bin")), "abab");
}

// ---- system folders ---------------------------------------------------------------------------

TEST(SystemFolders, NoTrailingBackslashAndSysWow64BesideSystem32) {
    const std::wstring system32 = GetSystem32Folder();
    ASSERT_FALSE(system32.empty());
    EXPECT_NE(system32.back(), L'\\');
    EXPECT_TRUE(IsDirectory(system32));

    wchar_t windows[MAX_PATH] = {};
    ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    EXPECT_EQ(GetSysWow64Folder(), std::wstring(windows) + L"\\SysWOW64");
    EXPECT_TRUE(IsDirectory(GetSysWow64Folder()));
}

}  // namespace
}  // namespace qelmo
