// The module paths a deployment recorded, read back to retire them later.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/driver_names.h"
#include "common/registry_key.h"
#include "lifecycle/driver_paths.h"
#include "support/machine.h"

namespace qelmo {
namespace {

TEST(CollectRecordedModulePaths, AllFourValuesOrNothing) {
    struct Value {
        const wchar_t* key;
        const wchar_t* name;
        const wchar_t* text;
    };
    const Value all[] = {{names::kServiceKey, names::kMonDllName, L"C:\\m32\\kipmon.dll"},
                         {names::kAddOnEvtKey, names::kAddOnPath, L"C:\\a32\\KipEvt.dll"},
                         {names::kServiceKey, names::kMonDll64Name, L"C:\\m64\\kipmon64.dll"},
                         {names::kAddOnEvt64Key, names::kAddOnPath, L"C:\\a64\\KipEvt64.dll"}};
    struct Case {
        const char* name;
        int missing;        // index into `all` left out, or -1
        bool emptyInstead;  // write it as an empty string rather than leave it out
    } cases[] = {{"all present", -1, false},
                 {"32-bit engine missing", 0, false},
                 {"64-bit engine missing", 2, false},
                 {"64-bit add-on path empty", 3, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::MachineGuard guard;
        for (int i = 0; i < 4; ++i) {
            if (i == c.missing && !c.emptyInstead) continue;
            ASSERT_TRUE(
                WriteRegString(i == c.missing ? L"" : all[i].text, all[i].key, all[i].name));
        }
        std::vector<std::wstring> monitor, addOn;
        int result = CollectRecordedModulePaths(monitor, addOn);
        if (c.missing < 0) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(monitor, (std::vector<std::wstring>{all[0].text, all[2].text}));
            EXPECT_EQ(addOn, (std::vector<std::wstring>{all[1].text, all[3].text}));
        } else {
            // One value short: the reader that did succeed is dropped too.
            EXPECT_EQ(result, 0);
            EXPECT_TRUE(monitor.empty());
            EXPECT_TRUE(addOn.empty());
        }
    }
}

}  // namespace
}  // namespace qelmo
