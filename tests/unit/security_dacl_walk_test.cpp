// The DACL walk of the service object security, on DACLs built in memory with the real ACL API,
// plus the well-known SIDs and the argument checks of the descriptor helper.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <sddl.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/handles.h"
#include "lifecycle/lifecycle_names.h"
#include "lifecycle/service_security.h"
#include "support/log_capture.h"

namespace qelmo {
namespace {

constexpr DWORD kRestricted = 0x000E01FF;
constexpr DWORD kOther = 0xA0000000;

SidPtr MakeSid(BYTE authority, std::initializer_list<DWORD> subs) {
    SID_IDENTIFIER_AUTHORITY id = {{0, 0, 0, 0, 0, authority}};
    DWORD s[8] = {};
    BYTE n = 0;
    for (DWORD v : subs)
        s[n++] = v;
    SidPtr sid;
    EXPECT_TRUE(AllocateAndInitializeSid(&id, n, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7],
                                         sid.put()));
    return sid;
}

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"?";
    LocalMem owner(text);
    return text;
}

struct Ace {
    bool allow;
    PSID sid;
    DWORD mask;
};

// A DACL in a buffer of our own, filled in the given order.
std::vector<BYTE> BuildDacl(std::initializer_list<Ace> aces) {
    std::vector<BYTE> buffer(1024);
    auto* acl = reinterpret_cast<PACL>(buffer.data());
    EXPECT_TRUE(InitializeAcl(acl, static_cast<DWORD>(buffer.size()), ACL_REVISION));
    for (const Ace& a : aces) {
        BOOL ok = a.allow ? AddAccessAllowedAce(acl, ACL_REVISION, a.mask, a.sid)
                          : AddAccessDeniedAce(acl, ACL_REVISION, a.mask, a.sid);
        EXPECT_TRUE(ok);
    }
    return buffer;
}

struct AceView {
    BYTE type;
    DWORD mask;
    std::wstring sid;
};

std::vector<AceView> Read(std::vector<BYTE>& buffer) {
    auto* acl = reinterpret_cast<PACL>(buffer.data());
    std::vector<AceView> out;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(acl, i, &raw)) continue;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);  // same layout for denied ACEs
        out.push_back({ace->Header.AceType, ace->Mask, SidText(&ace->SidStart)});
    }
    return out;
}

class DaclWalk : public ::testing::Test {
protected:
    SidPtr admins = MakeSid(5, {32, 544});
    SidPtr users = MakeSid(5, {32, 545});
    SidPtr system = MakeSid(5, {18});
    SidPtr everyone = MakeSid(1, {0});

    // Admins twice (one already narrow), SYSTEM, a deny for Everyone, Users.
    std::vector<BYTE> ServiceLikeDacl() {
        return BuildDacl({{true, admins.get(), GENERIC_ALL},
                          {true, system.get(), SERVICE_ALL_ACCESS},
                          {false, everyone.get(), DELETE | WRITE_DAC},
                          {true, admins.get(), SERVICE_QUERY_STATUS},
                          {true, users.get(), GENERIC_READ}});
    }
    void Walk(std::vector<BYTE>& dacl, bool restrict, PSID adminSid, PSID target = nullptr,
              bool* found = nullptr) {
        RewriteAllowedAceMasks(
            reinterpret_cast<PACL>(dacl.data()), target, adminSid, lifecycle::kTargetAccountAccess,
            restrict ? lifecycle::kRestrictedAdminsAccess : lifecycle::kRelaxedAdminsAccess,
            lifecycle::kOtherAccountsAccess, found);
    }
};

TEST_F(DaclWalk, RestrictAndRelaxSetMasksBySidAndKeepDenyEntries) {
    struct Case {
        bool restrict;
        bool withAdmins;
        DWORD expected[5];
    } cases[] = {
        {true, true, {kRestricted, kOther, DELETE | WRITE_DAC, kRestricted, kOther}},
        {false, true, {GENERIC_ALL, kOther, DELETE | WRITE_DAC, GENERIC_ALL, kOther}},
        // No Administrators SID to compare with: every allowed entry counts as "other".
        {true, false, {kOther, kOther, DELETE | WRITE_DAC, kOther, kOther}},
    };
    for (const auto& c : cases) {
        auto dacl = ServiceLikeDacl();
        auto before = Read(dacl);
        Walk(dacl, c.restrict, c.withAdmins ? admins.get() : nullptr);
        auto after = Read(dacl);
        ASSERT_EQ(after.size(), 5u) << "no entry added or removed";
        for (size_t i = 0; i < after.size(); ++i) {
            EXPECT_EQ(after[i].mask, c.expected[i])
                << "ACE " << i << " restrict=" << c.restrict << " admins=" << c.withAdmins;
            EXPECT_EQ(after[i].type, before[i].type);
            EXPECT_EQ(after[i].sid, before[i].sid);
        }
    }
}

TEST_F(DaclWalk, RestrictedServiceDaclGrantsDeleteToNobodyButAdminsCanStillRewriteIt) {
    auto dacl = ServiceLikeDacl();
    Walk(dacl, true, admins.get());
    GENERIC_MAPPING service = {STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                   SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS,
                               STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
                               STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP |
                                   SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
                               SERVICE_ALL_ACCESS};
    for (const AceView& ace : Read(dacl)) {
        if (ace.type != ACCESS_ALLOWED_ACE_TYPE) continue;
        DWORD mapped = ace.mask;
        MapGenericMask(&mapped, &service);
        EXPECT_EQ(mapped & DELETE, 0u) << "ACE for " << test::Narrow(ace.sid);
        if (ace.sid == L"S-1-5-32-544") {
            EXPECT_EQ(mapped & (READ_CONTROL | WRITE_DAC), DWORD{READ_CONTROL | WRITE_DAC});
        }
    }
}

TEST_F(DaclWalk, RestrictingTwiceLeavesTheSameBytes) {
    auto once = ServiceLikeDacl();
    Walk(once, true, admins.get());
    auto twice = once;
    Walk(twice, true, admins.get());
    EXPECT_EQ(once, twice);
}

TEST_F(DaclWalk, BothAdministratorsEntriesAreFoundAndLogged) {
    test::LogCapture capture;
    auto dacl = ServiceLikeDacl();
    Walk(dacl, true, admins.get());
    int found = 0;
    for (const auto& call : capture.Calls()) {
        if (call.text != L"Found administrators SID in DACL.") continue;
        ++found;
        EXPECT_EQ(call.level, 2u);
        EXPECT_EQ(call.category, L"Util COMMON");
        EXPECT_EQ(call.source, L"framework/utility/utilCommon/util_PriviRestrict");
    }
    EXPECT_EQ(found, 2) << capture.Dump();
}

TEST_F(DaclWalk, TargetSidTakesPrecedenceAndIsReported) {
    struct Case {
        PSID target;
        bool found;
        DWORD expected[5];
    } cases[] = {
        {users.get(), true, {kRestricted, kOther, DELETE | WRITE_DAC, kRestricted, GENERIC_ALL}},
        // A target that is also Administrators is matched as the target first.
        {admins.get(), true, {GENERIC_ALL, kOther, DELETE | WRITE_DAC, GENERIC_ALL, kOther}},
        // Everyone only appears in a deny entry: not found, nothing granted.
        {everyone.get(), false, {kRestricted, kOther, DELETE | WRITE_DAC, kRestricted, kOther}},
    };
    for (const auto& c : cases) {
        auto dacl = ServiceLikeDacl();
        bool found = !c.found;
        Walk(dacl, true, admins.get(), c.target, &found);
        EXPECT_EQ(found, c.found) << SidText(c.target).c_str();
        auto after = Read(dacl);
        for (size_t i = 0; i < after.size(); ++i)
            EXPECT_EQ(after[i].mask, c.expected[i])
                << "ACE " << i << " target " << SidText(c.target).c_str();
    }
}

TEST(GetBuiltinSid, WellKnownSidsAndAnUnknownAlias) {
    struct Case {
        DWORD rid;
        BOOL ok;
        const wchar_t* sid;
        const wchar_t* logLine;
    } cases[] = {
        {0, TRUE, L"S-1-1-0", L"[GetBuiltinSid] find account group name=Everyone, dwRID=0"},
        {544, TRUE, L"S-1-5-32-544",
         L"[GetBuiltinSid] find account group name=Administrators, dwRID=0x220"},
        {545, TRUE, L"S-1-5-32-545", L"[GetBuiltinSid] find account group name=Users, dwRID=0x221"},
        // No such alias: the lookup fails and the SID is not handed out.
        {4242, FALSE, nullptr, L"[GetBuiltinSid] (Err) - can't find account. GetLastError="},
    };
    for (const auto& c : cases) {
        test::LogCapture capture;
        PSID raw = reinterpret_cast<PSID>(1);
        BOOL ok = GetBuiltinSid(c.rid, &raw);
        SidPtr sid(raw);
        EXPECT_EQ(ok, c.ok) << c.rid;
        if (c.ok) {
            EXPECT_EQ(SidText(sid.get()), c.sid);
            EXPECT_NE(capture.Find(c.logLine), nullptr) << capture.Dump();
        } else {
            EXPECT_EQ(raw, nullptr);
            const auto* line = capture.FindPrefix(c.logLine);
            ASSERT_NE(line, nullptr) << capture.Dump();
            EXPECT_EQ(line->level, 5u);
            EXPECT_NE(line->text.find(L", dwRID=0x1092"), std::wstring::npos) << capture.Dump();
        }
    }
}

TEST(CSecurityInfo, NullOrEmptyNameIsRejectedByBothMethods) {
    for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L""}) {
        test::LogCapture capture;
        CSecurityInfo info(SE_REGISTRY_KEY);
        EXPECT_EQ(info.RetrieveInfoByNameEx(name, nullptr, GENERIC_ALL, kRestricted, kOther), 13u);
        EXPECT_EQ(info.ApplyInfoByName(name), 13u);
        std::wstring shown = name ? name : L"(NULL)";
        EXPECT_NE(capture.Find(L"given pObjectName is not correct. pObjectName=" + shown), nullptr)
            << capture.Dump();
        EXPECT_NE(capture.Find(L"given pObjectName is NULL or empty."), nullptr) << capture.Dump();
        EXPECT_NE(capture.Find(L"<== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0xd"), nullptr);
        EXPECT_NE(capture.Find(L"<== CSecurityInfo::ApplyInfoByName,dwRet=0xd"), nullptr);
    }
}

}  // namespace
}  // namespace qelmo
