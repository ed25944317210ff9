// Packages whose INF copies a file that the package lacks. The setup function would ask the user
// for the file and wait for an answer that never comes in the host's service process; the plug-in
// must refuse to run such an INF and return at once.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <ostream>
#include <string>

#include "support/driver_state.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/plugin_host.h"

namespace qelmo {
namespace {

// Runs the action on another thread; a call that does not return in time ends this process, so a
// regression fails the test instead of hanging the suite.
uint32_t RunWithDeadline(const test::PluginHost& host, uint32_t action, const std::wstring& path) {
    auto call = std::async(std::launch::async, [&] { return host.Run(action, path); });
    if (call.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the action did not return within 60 s";
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return call.get();
}

void RemoveDriverFile(const test::PackageCopy& package) {
    ASSERT_TRUE(DeleteFileW(package.File(L"qelmo.sys").c_str()));
}

// The INF also copies extra.sys, which the package does not hold.
void AddMissingFileToInf(const test::PackageCopy& package) {
    const std::string inf = test::Narrow(package.File(L"qelmo.inf"));
    std::ifstream in(inf, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    std::string content = text.str();
    const std::string files = "[Qelmo.Files]\r\nqelmo.sys\r\n";
    const size_t at = content.find(files);
    ASSERT_NE(at, std::string::npos);
    content.insert(at + files.size(), "extra.sys\r\n");
    std::ofstream(inf, std::ios::binary | std::ios::trunc) << content;
}

struct Case {
    const char* name;
    uint32_t action;
    void (*spoil)(const test::PackageCopy&);
    uint32_t expected;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class InfSources : public ::testing::TestWithParam<Case> {
protected:
    test::MachineGuard guard_;
    test::PluginHost host_;
};

TEST_P(InfSources, ActionReturnsWithoutRunningTheInf) {
    const Case& c = GetParam();
    ASSERT_TRUE(host_.Loaded());
    test::PackageCopy package(L"v1");
    ASSERT_FALSE(package.Path().empty());
    c.spoil(package);
    test::LogCapture log;

    EXPECT_EQ(RunWithDeadline(host_, c.action, package.Path()), c.expected) << log.Dump();
    EXPECT_NE(log.FindPrefix(L"The driver package lacks "), nullptr) << log.Dump();
    EXPECT_NE(log.FindPrefix(L"fail to install "), nullptr) << log.Dump();
    bool exists = true;
    test::QelmoStatus(&exists);
    EXPECT_FALSE(exists) << "the INF ran and created the service";
}

// An update of a machine without the service installs it from the INF first; with nothing
// installed there is no driver file to back up, so it ends there.
INSTANTIATE_TEST_SUITE_P(Packages, InfSources,
                         ::testing::Values(Case{"InstallWithoutDriverFile", ACTION_INSTALL,
                                                RemoveDriverFile, DRV_ERR_ABORT},
                                           Case{"InstallWithInfCopyingAMissingFile", ACTION_INSTALL,
                                                AddMissingFileToInf, DRV_ERR_ABORT},
                                           Case{"UpdateWithoutDriverFile", ACTION_UPDATE,
                                                RemoveDriverFile, DRV_ERR_ABORT}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qelmo
