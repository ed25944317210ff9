// The plug-in DLL as the host sees it: loaded by name, identity exports answer.
#include <gtest/gtest.h>
#include <windows.h>

#include <qelmo_plugin.h>

#include "common/handles.h"
#include "support/fixtures.h"

namespace qelmo {
namespace {

TEST(PluginIdentity, OwnerModuleIdAndVersionThroughTheLoadedDll) {
    LibraryHandle dll(LoadLibraryW((test::BinDir() + L"helperQELMODriver.dll").c_str()));
    ASSERT_TRUE(dll) << GetLastError();
    auto ownerId = test::ProcAddress<PFN_Plugin_Interface_GetHelperOwnerModuleID>(
        dll.get(), "Plugin_Interface_GetHelperOwnerModuleID");
    auto version = test::ProcAddress<PFN_Plugin_Interface_GetModuleVersion>(
        dll.get(), "Plugin_Interface_GetModuleVersion");
    ASSERT_TRUE(ownerId && version);
    EXPECT_EQ(ownerId(), 20019u);
    uint32_t v[3] = {7, 7, 7};
    version(nullptr);  // must not crash or write anywhere
    version(v);
    EXPECT_EQ(v[0], 2u);
    EXPECT_EQ(v[1], 9u);
    EXPECT_EQ(v[2], 9999u);
    dll.reset();
}

}  // namespace
}  // namespace qelmo
