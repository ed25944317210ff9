// Deletions scheduled for the next restart must never name a module a later deployment puts in
// place. An uninstall whose INF cannot run has already removed the modules but leaves their
// recorded paths; when it is tried again those files are gone, and scheduling them "for deletion
// at restart" would delete the modules of the next install of that version at the next restart.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "support/driver_state.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/plugin_host.h"

namespace qelmo {
namespace {

struct Case {
    const char* name;
    bool retryFromMissingFolder;  // the retry names a folder that does not exist at all
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class PendingDeletion : public ::testing::TestWithParam<Case> {
protected:
    test::MachineGuard guard_;
    test::PluginHost host_;
};

TEST_P(PendingDeletion, RetriedUninstallSchedulesNothingForAReinstalledModule) {
    ASSERT_TRUE(host_.Loaded());
    test::PackageCopy noInf(L"v1");
    ASSERT_TRUE(DeleteFileW(noInf.File(L"qelmo.inf").c_str()));
    const std::wstring retryFolder =
        GetParam().retryFromMissingFolder ? noInf.Path() + L"\\nowhere" : noInf.Path();

    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    EXPECT_EQ(host_.Run(ACTION_UNINSTALL, noInf.Path()), DRV_ERR_ABORT);
    EXPECT_EQ(host_.Run(ACTION_UNINSTALL, retryFolder), DRV_ERR_ABORT);
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);

    const auto pending = test::PendingRenames();
    for (const auto& module : test::ModulesOf(L"6.0.1035").All()) {
        ASSERT_TRUE(test::FileExists(module)) << test::Narrow(module);
        std::wstring path = module;
        // The module, its version folder, its group folder, the owner folder, the qelmo folder.
        for (int level = 0; level < 5; ++level) {
            EXPECT_FALSE(test::PendingDeletionOf(pending, path))
                << test::Narrow(path) << " would be deleted at the next restart";
            path = path.substr(0, path.rfind(L'\\'));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Retries, PendingDeletion,
                         ::testing::Values(Case{"SameFolder", false}, Case{"MissingFolder", true}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qelmo
