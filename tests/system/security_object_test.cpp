// The security-descriptor helper end to end, and the service privilege switch.
//
// Wine's SE_SERVICE security is a stub: GetNamedSecurityInfoW on a service returns an empty DACL
// and SetNamedSecurityInfoW on it succeeds without storing anything. So for the service we can
// only check that SetDriverServicePrivilege runs its sequence (retrieve, apply) and logs as
// expected; it cannot show the DACL on the service. The DACL rewrite itself is checked on a
// registry key, whose security Wine stores, returns and enforces.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "common/driver_names.h"
#include "common/handles.h"
#include "lifecycle/lifecycle_names.h"
#include "lifecycle/service_security.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

constexpr const wchar_t* kScratchPath = L"SOFTWARE\\QelmoSecurityScratch";
constexpr const wchar_t* kScratchObject = L"MACHINE\\SOFTWARE\\QelmoSecurityScratch";

struct AceView {
    BYTE type;
    DWORD mask;
    std::wstring sid;
    bool operator==(const AceView&) const = default;
};

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"?";
    LocalMem owner(text);
    return text;
}

std::string Describe(const std::vector<AceView>& aces) {
    std::string out;
    char line[128];
    for (const auto& a : aces) {
        snprintf(line, sizeof line, "  type %u mask 0x%08lx %s\n", a.type, a.mask,
                 test::Narrow(a.sid).c_str());
        out += line;
    }
    return out;
}

// The scratch key's DACL as Wine stores it, read straight through the API.
struct StoredDacl {
    DWORD error = ERROR_SUCCESS;
    bool isProtected = false;
    std::vector<AceView> aces;
};

StoredDacl ReadScratchDacl() {
    StoredDacl out;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    out.error = GetNamedSecurityInfoW(kScratchObject, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &dacl, nullptr, &sd);
    LocalMem owner(sd);
    if (out.error != ERROR_SUCCESS || dacl == nullptr) return out;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    out.isProtected = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) continue;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        out.aces.push_back({ace->Header.AceType, ace->Mask, SidText(&ace->SidStart)});
    }
    return out;
}

SidPtr WellKnown(const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &sid));
    // ConvertStringSidToSidW allocates with LocalAlloc; hand out a FreeSid-owned copy.
    LocalMem owner(sid);
    SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
    BYTE count = *GetSidSubAuthorityCount(sid);
    DWORD s[8] = {};
    for (BYTE i = 0; i < count; ++i)
        s[i] = *GetSidSubAuthority(sid, i);
    SidPtr copy;
    EXPECT_TRUE(AllocateAndInitializeSid(authority, count, s[0], s[1], s[2], s[3], s[4], s[5], s[6],
                                         s[7], copy.put()));
    return copy;
}

// A key under HKLM\SOFTWARE with a DACL of our choosing: allow Administrators everything, deny
// Everyone the creation of links, allow Users reading. Removed again whatever its DACL became.
class ScratchKey : public ::testing::Test {
protected:
    void SetUp() override {
        Remove();
        RegKeyHandle key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kScratchPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(SetDacl({{true, admins.get(), KEY_ALL_ACCESS},
                           {false, everyone.get(), KEY_CREATE_LINK},
                           {true, users.get(), KEY_READ}},
                          false),
                  ERROR_SUCCESS);
        before_ = ReadScratchDacl();
        ASSERT_EQ(before_.aces.size(), 3u) << Describe(before_.aces);
        ASSERT_FALSE(before_.isProtected);
    }

    // Wine 8 drops PROTECTED_DACL_SECURITY_INFORMATION in SetNamedSecurityInfoW on registry keys
    // (the DACL is stored, the protection bit is not; RegSetKeySecurity would keep it). Probe it
    // on a second key, so the protection is checked wherever the platform can show it.
    static bool PlatformStoresProtection() {
        const wchar_t* probePath = L"SOFTWARE\\QelmoSecurityProtectionProbe";
        RegKeyHandle key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, probePath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.put(), nullptr) != ERROR_SUCCESS)
            return false;
        std::wstring name = L"MACHINE\\SOFTWARE\\QelmoSecurityProtectionProbe";
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        GetNamedSecurityInfoW(name.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd);
        LocalMem sdOwner(sd);
        SetNamedSecurityInfoW(name.data(), SE_REGISTRY_KEY,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
        PSECURITY_DESCRIPTOR after = nullptr;
        GetNamedSecurityInfoW(name.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &after);
        LocalMem afterOwner(after);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(after, &control, &revision);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, probePath);
        return (control & SE_DACL_PROTECTED) != 0;
    }
    void TearDown() override { Remove(); }

    struct Ace {
        bool allow;
        PSID sid;
        DWORD mask;
    };
    DWORD SetDacl(std::initializer_list<Ace> aces, bool protect) {
        std::vector<BYTE> buffer(1024);
        auto* acl = reinterpret_cast<PACL>(buffer.data());
        InitializeAcl(acl, static_cast<DWORD>(buffer.size()), ACL_REVISION);
        for (const Ace& a : aces) {
            if (a.allow)
                AddAccessAllowedAce(acl, ACL_REVISION, a.mask, a.sid);
            else
                AddAccessDeniedAce(acl, ACL_REVISION, a.mask, a.sid);
        }
        std::wstring name = kScratchObject;
        SECURITY_INFORMATION info =
            DACL_SECURITY_INFORMATION |
            (protect ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
        return SetNamedSecurityInfoW(name.data(), SE_REGISTRY_KEY, info, nullptr, nullptr, acl,
                                     nullptr);
    }
    void Remove() {
        // Open the key to everyone first: a restricted DACL no longer grants DELETE.
        if (test::KeyExists(HKEY_LOCAL_MACHINE, kScratchPath))
            SetDacl({{true, everyone.get(), KEY_ALL_ACCESS}}, false);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kScratchPath);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kScratchPath);
    }

    SidPtr admins = WellKnown(L"S-1-5-32-544");
    SidPtr users = WellKnown(L"S-1-5-32-545");
    SidPtr everyone = WellKnown(L"S-1-1-0");
    StoredDacl before_;
};

TEST_F(ScratchKey, RestrictThenRelaxRewritesAllowedMasksKeepsTheDenyAndProtects) {
    struct Case {
        const char* what;
        DWORD adminAccess;
    } cases[] = {
        {"restrict", lifecycle::kRestrictedAdminsAccess},
        {"relax", lifecycle::kRelaxedAdminsAccess},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CSecurityInfo info(SE_REGISTRY_KEY);
        ASSERT_EQ(
            info.RetrieveInfoByNameEx(kScratchObject, nullptr, lifecycle::kTargetAccountAccess,
                                      c.adminAccess, lifecycle::kOtherAccountsAccess),
            0u);
        ASSERT_EQ(info.ApplyInfoByName(kScratchObject), 0u);

        StoredDacl after = ReadScratchDacl();
        ASSERT_EQ(after.error, 0u);
        if (PlatformStoresProtection()) {
            EXPECT_TRUE(after.isProtected);
        }
        std::vector<AceView> expected = {
            {ACCESS_ALLOWED_ACE_TYPE, c.adminAccess, L"S-1-5-32-544"},
            {ACCESS_DENIED_ACE_TYPE, KEY_CREATE_LINK, L"S-1-1-0"},
            {ACCESS_ALLOWED_ACE_TYPE, lifecycle::kOtherAccountsAccess, L"S-1-5-32-545"},
        };
        EXPECT_EQ(after.aces, expected) << Describe(after.aces);
    }
}

TEST_F(ScratchKey, AMissingTargetSidIsGrantedThroughANewDacl) {
    SidPtr system = WellKnown(L"S-1-5-18");
    CSecurityInfo info(SE_REGISTRY_KEY);
    ASSERT_EQ(info.RetrieveInfoByNameEx(kScratchObject, system.get(), GENERIC_ALL,
                                        lifecycle::kRestrictedAdminsAccess,
                                        lifecycle::kOtherAccountsAccess),
              0u);
    ASSERT_EQ(info.ApplyInfoByName(kScratchObject), 0u);
    StoredDacl after = ReadScratchDacl();
    bool systemGranted = false;
    for (const auto& ace : after.aces) {
        if (ace.type == ACCESS_ALLOWED_ACE_TYPE && ace.sid == L"S-1-5-18")
            systemGranted = ace.mask == GENERIC_ALL;
        if (ace.type == ACCESS_ALLOWED_ACE_TYPE && ace.sid == L"S-1-5-32-544") {
            EXPECT_EQ(ace.mask, lifecycle::kRestrictedAdminsAccess);
        }
    }
    EXPECT_TRUE(systemGranted) << Describe(after.aces);
}

// Applying without a retrieved DACL writes nothing: a null DACL would open the object to everyone.
// (Wine also refuses the write by itself here, because no group is held either.)
TEST_F(ScratchKey, ApplyWithoutRetrievedDaclWritesNothing) {
    struct Case {
        const char* what;
        const wchar_t* retrieveFrom;
    } cases[] = {
        {"never retrieved", nullptr},
        {"retrieval failed", L"MACHINE\\SOFTWARE\\QelmoSecurityScratchMissing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::LogCapture capture;
        CSecurityInfo info(SE_REGISTRY_KEY);
        if (c.retrieveFrom) {
            EXPECT_EQ(info.RetrieveInfoByNameEx(c.retrieveFrom, nullptr, GENERIC_ALL, GENERIC_ALL,
                                                GENERIC_ALL),
                      DWORD{ERROR_FILE_NOT_FOUND});
        }
        EXPECT_NE(info.ApplyInfoByName(kScratchObject), 0u);
        StoredDacl after = ReadScratchDacl();
        EXPECT_EQ(after.aces, before_.aces) << Describe(after.aces);
        EXPECT_FALSE(after.isProtected);
    }
}

TEST(ServicePrivilege, RunsRetrieveAndApplyOnTheServiceAndLogsTheSequence) {
    test::MachineGuard guard;
    {
        ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(scm);
        ScHandle service(CreateServiceW(scm.get(), names::kServiceName, L"qelmo",
                                        SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                        L"C:\\windows\\system32\\drivers\\qelmo.sys", nullptr,
                                        nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << GetLastError();
    }
    struct Case {
        bool restrict;
        const wchar_t* entry;
    } cases[] = {
        {true,
         L"==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,"
         L"pwszServiceName=qelmo, bRestrictAct=1"},
        {false,
         L"==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,"
         L"pwszServiceName=qelmo, bRestrictAct=0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.restrict);
        test::LogCapture capture;
        SetDriverServicePrivilege(c.restrict);
        const std::wstring sequence[] = {
            c.entry,
            L"==> CSecurityInfo::RetrieveInfoByNameEx,pObjectName=qelmo",
            L"[GetBuiltinSid] find account group name=Administrators, dwRID=0x220",
            L"<== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0",
            L"==> CSecurityInfo::ApplyInfoByName,pObjectName=qelmo",
            L"<== CSecurityInfo::ApplyInfoByName,dwRet=0",
            L"<== CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject, bRet=0x1",
        };
        ASSERT_EQ(capture.Calls().size(), std::size(sequence)) << capture.Dump();
        for (size_t i = 0; i < std::size(sequence); ++i) {
            const auto& call = capture.Calls()[i];
            EXPECT_EQ(call.text, sequence[i]);
            EXPECT_EQ(call.level, 2u) << test::Narrow(call.text);
            EXPECT_EQ(call.category, L"Util COMMON");
            EXPECT_EQ(call.source, L"framework/utility/utilCommon/util_PriviRestrict");
        }
    }
}

TEST(ServicePrivilege, AMissingServiceIsLoggedButNotAFailure) {
    test::MachineGuard guard;
    test::LogCapture capture;
    SetDriverServicePrivilege(true);
    const auto* error = capture.Find(L"GetNamedSecurityInfo error. dwRet=0x424");  // 1060
    ASSERT_NE(error, nullptr) << capture.Dump();
    EXPECT_EQ(error->level, 5u);
    EXPECT_EQ(capture.FindPrefix(L"==> CSecurityInfo::ApplyInfoByName"), nullptr);
    EXPECT_NE(capture.Find(
                  L"<== CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject, bRet=0x1"),
              nullptr);
    EXPECT_EQ(capture.FindPrefix(L"Failed to set service privilege for "), nullptr);
}

}  // namespace
}  // namespace qelmo
