// The plug-in DLL as the host sees it: loaded by name, identity exports answer, and the version
// resources of both shipped binaries say the same version as the export.
#include <gtest/gtest.h>
#include <windows.h>

#include <qelmo_plugin.h>

#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/plugin_host.h"

namespace qelmo {
namespace {

TEST(PluginIdentity, OwnerModuleIdAndVersionThroughTheLoadedDll) {
    test::PluginHost dll;
    ASSERT_TRUE(dll.Loaded()) << dll.LoadError();
    EXPECT_EQ(dll.Exports().ownerModuleId(), 20019u);
    uint32_t v[3] = {7, 7, 7};
    dll.Exports().moduleVersion(nullptr);  // must not crash or write anywhere
    dll.Exports().moduleVersion(v);
    EXPECT_EQ(v[0], 2u);
    EXPECT_EQ(v[1], 9u);
    EXPECT_EQ(v[2], 9999u);
    dll.Unload();
}

// A file's version resource, read the way Windows tools read it.
class VersionResource {
public:
    explicit VersionResource(const std::wstring& path) {
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
        if (size == 0) return;
        data_.resize(size);
        if (!GetFileVersionInfoW(path.c_str(), 0, size, data_.data())) data_.clear();
    }
    bool Present() const { return !data_.empty(); }
    const VS_FIXEDFILEINFO* Fixed() const {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data_.data(), L"\\", &value, &length) ||
            length < sizeof(VS_FIXEDFILEINFO))
            return nullptr;
        return static_cast<const VS_FIXEDFILEINFO*>(value);
    }
    // A value of the first (and only) string table, named by its translation; empty if missing.
    std::wstring String(const std::wstring& name) const {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation", &value, &length) ||
            length < 4)
            return std::wstring();
        const WORD* translation = static_cast<const WORD*>(value);
        wchar_t block[64];
        swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
        if (!VerQueryValueW(data_.data(), (block + name).c_str(), &value, &length) || length == 0)
            return std::wstring();
        return std::wstring(static_cast<const wchar_t*>(value));
    }

private:
    std::vector<BYTE> data_;
};

TEST(PluginIdentity, VersionResourcesOfTheShippedBinariesMatchTheExport) {
    uint32_t v[3] = {};
    {
        test::PluginHost dll;
        ASSERT_TRUE(dll.Loaded()) << dll.LoadError();
        dll.Exports().moduleVersion(v);
    }
    const std::wstring text =
        std::to_wstring(v[0]) + L"." + std::to_wstring(v[1]) + L"." + std::to_wstring(v[2]) + L".0";

    struct Case {
        const wchar_t* file;
        DWORD fileType;
    } cases[] = {
        {L"helperQELMODriver.dll", VFT_DLL},
        {L"qelmoctl.exe", VFT_APP},
    };
    std::wstring company;
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Narrow(c.file));
        VersionResource resource(test::BinDir() + c.file);
        ASSERT_TRUE(resource.Present()) << GetLastError();
        const VS_FIXEDFILEINFO* fixed = resource.Fixed();
        ASSERT_NE(fixed, nullptr);
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, (v[0] << 16) | v[1]);
        EXPECT_EQ(fixed->dwFileVersionLS, v[2] << 16);
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
        EXPECT_EQ(fixed->dwFileType, c.fileType);

        EXPECT_EQ(resource.String(L"FileVersion"), text);
        EXPECT_EQ(resource.String(L"ProductVersion"), text);
        EXPECT_EQ(resource.String(L"OriginalFilename"), c.file);
        std::wstring internal = c.file;
        EXPECT_EQ(resource.String(L"InternalName"), internal.substr(0, internal.rfind(L'.')));
        for (const wchar_t* name :
             {L"CompanyName", L"ProductName", L"FileDescription", L"LegalCopyright"})
            EXPECT_FALSE(resource.String(name).empty()) << test::Narrow(name);
        // One maker for both binaries.
        if (company.empty()) company = resource.String(L"CompanyName");
        EXPECT_EQ(resource.String(L"CompanyName"), company);
    }
}

}  // namespace
}  // namespace qelmo
