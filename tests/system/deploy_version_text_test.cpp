// Version texts as module resources carry them: read from every translation, and used as a folder
// name only when they are one. The modules here get their version resource written at run time
// (UpdateResourceW on a copy of a module without one), so any text and translation table can be
// tried.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "deploy/addon_deploy.h"
#include "deploy/file_utils.h"
#include "deploy/module_deploy.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

using test::LogCapture;
using test::Narrow;

// A VS_VERSIONINFO block: nodes of (length, value length, type, key, value, children), each on a
// four-byte boundary.
class VersionBlob {
public:
    size_t Begin(WORD valueLength, WORD type, const wchar_t* key) {
        Align();
        size_t at = bytes_.size();
        Word(0);
        Word(valueLength);
        Word(type);
        Text(key);
        Align();
        return at;
    }
    void End(size_t at) {
        WORD length = static_cast<WORD>(bytes_.size() - at);
        std::memcpy(&bytes_[at], &length, sizeof length);
    }
    void Word(WORD value) { Raw(&value, sizeof value); }
    void Text(const wchar_t* text) { Raw(text, (wcslen(text) + 1) * sizeof(wchar_t)); }
    void Raw(const void* data, size_t size) {
        const BYTE* p = static_cast<const BYTE*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    void Align() {
        while (bytes_.size() % 4)
            bytes_.push_back(0);
    }
    const std::vector<BYTE>& Bytes() const { return bytes_; }

private:
    std::vector<BYTE> bytes_;
};

struct StringTable {
    const wchar_t* name;  // language and code page, e.g. "040904b0"
    std::wstring fileVersion;
};

// Translation entries are (language, code page) pairs, in table order.
std::vector<BYTE> VersionResource(const std::vector<StringTable>& tables,
                                  const std::vector<std::pair<WORD, WORD>>& translations) {
    VersionBlob blob;
    size_t root = blob.Begin(sizeof(VS_FIXEDFILEINFO), 0, L"VS_VERSION_INFO");
    VS_FIXEDFILEINFO fixed{};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileType = VFT_DLL;
    fixed.dwFileOS = VOS_NT_WINDOWS32;
    blob.Raw(&fixed, sizeof fixed);
    size_t strings = blob.Begin(0, 1, L"StringFileInfo");
    for (const StringTable& table : tables) {
        size_t block = blob.Begin(0, 1, table.name);
        size_t value =
            blob.Begin(static_cast<WORD>(table.fileVersion.size() + 1), 1, L"FileVersion");
        blob.Text(table.fileVersion.c_str());
        blob.End(value);
        blob.End(block);
    }
    blob.End(strings);
    size_t vars = blob.Begin(0, 1, L"VarFileInfo");
    size_t var =
        blob.Begin(static_cast<WORD>(translations.size() * 2 * sizeof(WORD)), 0, L"Translation");
    for (const auto& [language, codePage] : translations) {
        blob.Word(language);
        blob.Word(codePage);
    }
    blob.End(var);
    blob.End(vars);
    blob.End(root);
    return blob.Bytes();
}

// Copies the fixture module without version information to `path` and gives it this resource.
::testing::AssertionResult WriteModule(const std::wstring& path,
                                       const std::vector<BYTE>& resource) {
    const std::wstring plain = test::BinDir() + L"fixtures\\noversion.dll";
    if (!CopyFileW(plain.c_str(), path.c_str(), FALSE))
        return ::testing::AssertionFailure() << "copy " << GetLastError();
    HANDLE update = BeginUpdateResourceW(path.c_str(), FALSE);
    if (!update) return ::testing::AssertionFailure() << "begin " << GetLastError();
    if (!UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO),
                         MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                         const_cast<BYTE*>(resource.data()), static_cast<DWORD>(resource.size()))) {
        DWORD error = GetLastError();
        EndUpdateResourceW(update, TRUE);
        return ::testing::AssertionFailure() << "update " << error;
    }
    if (!EndUpdateResourceW(update, FALSE))
        return ::testing::AssertionFailure() << "end " << GetLastError();
    return ::testing::AssertionSuccess();
}

constexpr std::pair<WORD, WORD> kEnglish{0x409, 1200};
constexpr std::pair<WORD, WORD> kGerman{0x407, 1200};

// A translation whose query finds nothing leaves the text an earlier one found.
TEST(GetFileVersionTranslations, AFailedQueryNeverReplacesAFoundText) {
    test::PackageCopy scratch(L"v1");
    ASSERT_FALSE(scratch.Path().empty());
    const std::wstring module = scratch.File(L"crafted.dll");
    struct Case {
        const char* name;
        std::vector<StringTable> tables;
        std::vector<std::pair<WORD, WORD>> translations;
        int result;
        std::wstring version;
    } cases[] = {
        {"later translation missing",
         {{L"040904b0", L"1.0.0.1"}},
         {kEnglish, kGerman},
         1,
         L"1.0.0.1"},
        {"earlier translation missing",
         {{L"040704b0", L"2.0.0.2"}},
         {kEnglish, kGerman},
         1,
         L"2.0.0.2"},
        {"no translation has a table", {{L"040904b0", L"1.0.0.1"}}, {kGerman}, 0, L"untouched"},
        {"empty translation table", {{L"040904b0", L"1.0.0.1"}}, {}, 0, L"untouched"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteModule(module, VersionResource(c.tables, c.translations))) << c.name;
        std::wstring version = L"untouched";
        EXPECT_EQ(Utilities::GetFileVersion(module, version), c.result) << c.name;
        EXPECT_EQ(version, c.version) << c.name;
    }
}

// Texts that would reach outside the version folder, name none, or make the module paths too long
// for their buffers stop the deployment before a file is placed.
TEST(DeployVersionText, TextsThatAreNotOneFolderNameAreRefused) {
    test::MachineGuard guard;
    wchar_t system32[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(system32, MAX_PATH), 0u);
    const std::wstring owner = std::wstring(system32) + L"\\qelmo\\20019";
    const std::wstring texts[] = {L"..\\..\\escaped", L"..", L"", L"6.0/1035",
                                  std::wstring(240, L'7')};
    for (const std::wstring& text : texts) {
        guard.Restore();
        test::PackageCopy package(L"v1");
        ASSERT_FALSE(package.Path().empty());
        const auto resource = VersionResource({{L"040904b0", text}}, {kEnglish});
        const std::wstring placed = owner + L"\\KipMon\\" + text + L"\\kipmon64.dll";
        ASSERT_TRUE(WriteModule(package.File(L"kipmon64.dll"), resource)) << Narrow(text);
        ASSERT_TRUE(WriteModule(package.File(L"AddOn\\KipEvt64.dll"), resource)) << Narrow(text);

        LogCapture capture;
        DWORD copied = 0;
        EXPECT_EQ(BackupKipMon(package.Path().c_str(), &copied), 0) << Narrow(text);
        EXPECT_EQ(BackupAddOn(package.Path().c_str(), &copied), 0) << Narrow(text);
        EXPECT_FALSE(test::FileExists(std::wstring(system32) + L"\\escaped")) << Narrow(text);
        EXPECT_FALSE(test::FileExists(std::wstring(system32) + L"\\qelmo\\escaped"));
        EXPECT_FALSE(test::FileExists(owner + L"\\kipmon64.dll")) << Narrow(text);
        EXPECT_FALSE(test::FileExists(placed)) << Narrow(text);
        EXPECT_FALSE(test::FileExists(owner + L"\\AddOn\\KipEvt64.dll")) << Narrow(text);
        EXPECT_FALSE(test::ReadValue(HKEY_LOCAL_MACHINE,
                                     L"SYSTEM\\CurrentControlSet\\Services\\qelmo",
                                     L"QELMOMonDll64Name")
                         .exists)
            << Narrow(text) << "\n"
            << capture.Dump();
    }
}

}  // namespace
}  // namespace qelmo
