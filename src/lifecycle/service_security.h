// Security of the driver's service object: after install and update no access-allowed entry of
// its DACL grants DELETE; before update and uninstall Administrators get GENERIC_ALL back so the
// service can be replaced or removed. Built on a small security-descriptor helper that reads,
// edits in place and writes back the DACL of any named object.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <string>

#include "common/handles.h"

namespace qelmo {

// Narrows (true) or relaxes (false) the DACL of the "qelmo" service object. Failures are logged
// only; callers carry on in every case.
void SetDriverServicePrivilege(bool bRestrictAct);

// Builds a well-known SID: dwRID 0 gives Everyone (S-1-1-0), any other value
// S-1-5-32-<dwRID> (544 is BUILTIN\Administrators). The SID must resolve to a local account.
// On TRUE the caller owns *sid and releases it with FreeSid.
BOOL GetBuiltinSid(DWORD dwRID, PSID* sid);

// The walk over a DACL: every access-allowed ACE gets a new mask, chosen by its SID - `target`
// (when given), then `admins` (when given), else everyone else. Other ACE types keep theirs.
// No ACE is added or removed. *targetFound (optional) tells whether `target` was met.
void RewriteAllowedAceMasks(PACL dacl, PSID target, PSID admins, DWORD targetAccess,
                            DWORD adminAccess, DWORD otherAccess, bool* targetFound);

// Reads, edits and writes the group and DACL of a named object of one type.
class CSecurityInfo {
public:
    explicit CSecurityInfo(SE_OBJECT_TYPE objectType);
    virtual ~CSecurityInfo();
    CSecurityInfo(const CSecurityInfo&) = delete;
    CSecurityInfo& operator=(const CSecurityInfo&) = delete;

    // Reads the object's security and rewrites its DACL masks (see RewriteAllowedAceMasks, with
    // BUILTIN\Administrators as the admin SID). When pTargetSid is given but absent from the DACL,
    // a new DACL granting it dwTargetAccess is built. 0 or a Windows error code; 13 for a null
    // or empty name.
    DWORD RetrieveInfoByNameEx(const wchar_t* pObjectName, PSID pTargetSid, DWORD dwTargetAccess,
                               DWORD dwAdminAccess, DWORD dwOtherAccess);
    // Writes the edited group and DACL back, the DACL protected. 0 or a Windows error code; 13
    // for a null or empty name; kNoDaclError when no DACL was retrieved (nothing is written).
    DWORD ApplyInfoByName(const wchar_t* pObjectName);
    // Drops what an earlier retrieval held. Always TRUE.
    BOOL Reset();

private:
    // The DACL to write back: the one built for a missing target, else the retrieved one.
    PACL Dacl() const { return builtDacl_ ? static_cast<PACL>(builtDacl_.get()) : dacl_; }

    SECURITY_INFORMATION securityInfo_;
    SE_OBJECT_TYPE objectType_;
    PSID owner_ = nullptr;  // these four point into descriptor_
    PSID group_ = nullptr;
    PACL dacl_ = nullptr;
    PACL sacl_ = nullptr;
    LocalMem builtDacl_;   // from SetEntriesInAclW
    LocalMem descriptor_;  // from GetNamedSecurityInfoW
};

// Works on the security of objects on behalf of one account. In this system only the service
// object action is used and no account is ever set.
class CWorkOnSpecificAccount {
public:
    CWorkOnSpecificAccount() = default;
    virtual ~CWorkOnSpecificAccount();
    CWorkOnSpecificAccount(const CWorkOnSpecificAccount&) = delete;
    CWorkOnSpecificAccount& operator=(const CWorkOnSpecificAccount&) = delete;

    // Narrows or relaxes the service's DACL. FALSE only when writing it back failed; a failed
    // read is logged and leaves the result TRUE.
    BOOL DoSecurityRestrictActionOnServiceObject(const wchar_t* pwszServiceName, bool bRestrictAct);

private:
    std::wstring accountName_;
    std::wstring accountDomain_;
    SidPtr accountSid_;
    bool impersonating_ = false;
};

}  // namespace qelmo
