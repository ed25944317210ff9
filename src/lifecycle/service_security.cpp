#include "lifecycle/service_security.h"

#include "common/driver_names.h"
#include "common/log.h"
#include "common/trace.h"
#include "lifecycle/lifecycle_names.h"

namespace qelmo {
namespace {

constexpr const wchar_t* kCat = logid::kCatUtil;
constexpr const wchar_t* kSrc = logid::kSrcPriviRestrict;

bool IsNullOrEmpty(const wchar_t* text) {
    return text == nullptr || text[0] == L'\0';
}

}  // namespace

void SetDriverServicePrivilege(bool bRestrictAct) {
    CWorkOnSpecificAccount account;
    if (!account.DoSecurityRestrictActionOnServiceObject(names::kServiceName, bRestrictAct))
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError,
             L"Failed to set service privilege for ", names::kServiceName);
}

BOOL GetBuiltinSid(DWORD dwRID, PSID* sid) {
    if (sid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *sid = nullptr;

    SidPtr built;
    BOOL allocated;
    if (dwRID != lifecycle::kEveryoneRid) {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        allocated = AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, dwRID, 0, 0, 0, 0,
                                             0, 0, built.put());
    } else {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        allocated = AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                             built.put());
    }
    if (!allocated) {
        DWORD error = GetLastError();
        QLOG(kCat, kSrc, logid::kError,
             L"[GetBuiltinSid] (Err) - can't AllocateAndInitializeSid. GetLastError=", error,
             L", dwRID=", dwRID);
        return FALSE;
    }

    wchar_t name[lifecycle::kAccountNameUnits] = {};
    wchar_t domain[lifecycle::kAccountDomainUnits] = {};
    DWORD nameUnits = lifecycle::kAccountNameUnits - 1;
    DWORD domainUnits = lifecycle::kAccountDomainUnits;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, built.get(), name, &nameUnits, domain, &domainUnits, &use)) {
        DWORD error = GetLastError();
        QLOG(kCat, kSrc, logid::kError,
             L"[GetBuiltinSid] (Err) - can't find account. GetLastError=", error, L", dwRID=",
             dwRID);
        return FALSE;  // `built` releases the SID
    }
    QLOG(kCat, kSrc, logid::kTrace, L"[GetBuiltinSid] find account group name=",
         static_cast<const wchar_t*>(name), L", dwRID=", dwRID);
    *sid = built.release();
    return TRUE;
}

void RewriteAllowedAceMasks(PACL dacl, PSID target, PSID admins, DWORD targetAccess,
                            DWORD adminAccess, DWORD otherAccess, bool* targetFound) {
    if (targetFound) *targetFound = false;
    if (dacl == nullptr) return;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* raw = nullptr;
        if (!GetAce(dacl, index, &raw)) continue;
        auto* header = static_cast<ACE_HEADER*>(raw);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        PSID aceSid = &ace->SidStart;
        if (target != nullptr && EqualSid(target, aceSid)) {
            ace->Mask = targetAccess;
            if (targetFound) *targetFound = true;
            QLOG(kCat, kSrc, logid::kTrace, L"Found target SID in DACL.");
        } else if (admins != nullptr && EqualSid(admins, aceSid)) {
            ace->Mask = adminAccess;
            QLOG(kCat, kSrc, logid::kTrace, L"Found administrators SID in DACL.");
        } else {
            ace->Mask = otherAccess;
        }
    }
}

CSecurityInfo::CSecurityInfo(SE_OBJECT_TYPE objectType)
    : securityInfo_(lifecycle::kServiceSecurityInformation), objectType_(objectType) {}

CSecurityInfo::~CSecurityInfo() {
    Reset();
}

BOOL CSecurityInfo::Reset() {
    // Both blocks come from LocalAlloc (GetNamedSecurityInfoW, SetEntriesInAclW). The four
    // pointers lead into the descriptor, so they go with it.
    builtDacl_.reset();
    descriptor_.reset();
    owner_ = nullptr;
    group_ = nullptr;
    dacl_ = nullptr;
    sacl_ = nullptr;
    return TRUE;
}

DWORD CSecurityInfo::RetrieveInfoByNameEx(const wchar_t* pObjectName, PSID pTargetSid,
                                          DWORD dwTargetAccess, DWORD dwAdminAccess,
                                          DWORD dwOtherAccess) {
    QTRACE_SCOPE(trace, kCat, kSrc, logid::kTrace, L"CSecurityInfo::RetrieveInfoByNameEx",
                 L"pObjectName=", pObjectName);
    DWORD dwRet = ERROR_SUCCESS;
    if (IsNullOrEmpty(pObjectName)) {
        QLOG(kCat, kSrc, logid::kError, L"given pObjectName is not correct. pObjectName=",
             pObjectName);
        dwRet = ERROR_INVALID_DATA;
    } else {
        Reset();
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD result = GetNamedSecurityInfoW(pObjectName, objectType_, securityInfo_, &owner_,
                                             &group_, &dacl_, &sacl_, &descriptor);
        descriptor_.reset(descriptor);
        if (result != ERROR_SUCCESS || dacl_ == nullptr) {
            QLOG(kCat, kSrc, logid::kError, L"GetNamedSecurityInfo error. dwRet=", result);
            dwRet = result != ERROR_SUCCESS ? result : lifecycle::kNoDaclError;
        } else {
            SidPtr admins;
            GetBuiltinSid(lifecycle::kAdminsRid, admins.put());  // none: all count as "other"
            bool targetFound = false;
            RewriteAllowedAceMasks(dacl_, pTargetSid, admins.get(), dwTargetAccess, dwAdminAccess,
                                   dwOtherAccess, &targetFound);
            admins.reset();

            if (pTargetSid != nullptr && !targetFound) {
                EXPLICIT_ACCESS_W entry = {};
                entry.grfAccessPermissions = dwTargetAccess;
                entry.grfAccessMode = GRANT_ACCESS;
                entry.grfInheritance = NO_INHERITANCE;
                entry.Trustee.pMultipleTrustee = nullptr;
                entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
                entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
                entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
                entry.Trustee.ptstrName = static_cast<LPWSTR>(pTargetSid);
                PACL built = nullptr;
                DWORD dwRes = SetEntriesInAclW(1, &entry, dacl_, &built);
                builtDacl_.reset(built);
                if (dwRes != ERROR_SUCCESS) {
                    QLOG(kCat, kSrc, logid::kError, L"SetEntriesInAcl failed. dwRes=", dwRes);
                    dwRet = dwRes;
                }
            }
        }
    }
    QTRACE_LEAVE(trace, L"dwRet=", dwRet);
    return dwRet;
}

DWORD CSecurityInfo::ApplyInfoByName(const wchar_t* pObjectName) {
    QTRACE_SCOPE(trace, kCat, kSrc, logid::kTrace, L"CSecurityInfo::ApplyInfoByName",
                 L"pObjectName=", pObjectName);
    DWORD dwRet = ERROR_SUCCESS;
    PACL dacl = Dacl();
    if (IsNullOrEmpty(pObjectName)) {
        QLOG(kCat, kSrc, logid::kError, L"given pObjectName is NULL or empty.");
        dwRet = ERROR_INVALID_DATA;
    } else if (dacl == nullptr) {
        // Writing a null DACL would open the object to everyone: only an edited DACL goes back.
        QLOG(kCat, kSrc, logid::kError, L"No DACL retrieved, nothing applied. pObjectName=",
             pObjectName);
        dwRet = lifecycle::kNoDaclError;
    } else {
        std::wstring name(pObjectName);
        dwRet = SetNamedSecurityInfoW(name.data(), objectType_,
                                      securityInfo_ | PROTECTED_DACL_SECURITY_INFORMATION, owner_,
                                      group_, dacl, sacl_);
    }
    QTRACE_LEAVE(trace, L"dwRet=", dwRet);
    return dwRet;
}

CWorkOnSpecificAccount::~CWorkOnSpecificAccount() {
    if (impersonating_ && !RevertToSelf()) {
        DWORD error = GetLastError();
        QLOG(kCat, kSrc, logid::kError, L"RevertToSelf failed. GetLastError=", error);
    }
    accountSid_.reset();
}

BOOL CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject(const wchar_t* pwszServiceName,
                                                                     bool bRestrictAct) {
    QTRACE_SCOPE(trace, kCat, kSrc, logid::kTrace,
                 L"CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject",
                 L"pwszServiceName=", pwszServiceName, L", bRestrictAct=", bRestrictAct);
    BOOL bRet = TRUE;
    {
        CSecurityInfo security(SE_SERVICE);
        DWORD adminAccess =
            bRestrictAct ? lifecycle::kRestrictedAdminsAccess : lifecycle::kRelaxedAdminsAccess;
        if (security.RetrieveInfoByNameEx(pwszServiceName, nullptr, lifecycle::kTargetAccountAccess,
                                          adminAccess,
                                          lifecycle::kOtherAccountsAccess) == ERROR_SUCCESS) {
            DWORD dwErrSvc = security.ApplyInfoByName(pwszServiceName);
            if (dwErrSvc != ERROR_SUCCESS) {
                bRet = FALSE;
                QLOG(kCat, kSrc, logid::kError,
                     L"Apply privilege to service obj failed. pwszServiceName=", pwszServiceName,
                     L", dwErrSvc=", dwErrSvc);
            }
        }
        QTRACE_LEAVE(trace, L" bRet=", bRet);
    }
    return bRet;
}

}  // namespace qelmo
