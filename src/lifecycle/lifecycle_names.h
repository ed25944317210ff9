// Constants of the driver lifecycle: access masks of the service object's DACL and the flag
// bits the lifecycle adjusts. Service key paths and value names live in common/driver_names.h.
#pragma once

#include <windows.h>

namespace qelmo::lifecycle {

// Service object DACL. Administrators keep everything but DELETE while the driver is installed
// (SERVICE_ALL_ACCESS without DELETE: READ_CONTROL, WRITE_DAC, WRITE_OWNER and the nine
// service-specific rights), and get GENERIC_ALL while it is being replaced or removed. Every other
// access-allowed entry is narrowed to read and execute in both directions.
inline constexpr DWORD kRestrictedAdminsAccess = SERVICE_ALL_ACCESS & ~DELETE;  // 0x000E01FF
inline constexpr DWORD kRelaxedAdminsAccess = GENERIC_ALL;                      // 0x10000000
inline constexpr DWORD kTargetAccountAccess = GENERIC_ALL;
inline constexpr DWORD kOtherAccountsAccess = GENERIC_READ | GENERIC_EXECUTE;  // 0xA0000000

// What the security descriptor helper reads and writes: group and DACL (6). The DACL is written
// back protected, so it no longer inherits.
inline constexpr SECURITY_INFORMATION kServiceSecurityInformation =
    GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Result of a retrieval that found the object without a DACL (nothing to narrow).
inline constexpr DWORD kNoDaclError = ERROR_NO_SECURITY_ON_OBJECT;

// Well-known relative ids for GetBuiltinSid (0 selects Everyone, S-1-1-0).
inline constexpr DWORD kEveryoneRid = 0;
inline constexpr DWORD kAdminsRid = DOMAIN_ALIAS_RID_ADMINS;  // 544

// LookupAccountSidW buffers (units); the name buffer is offered one unit short.
inline constexpr DWORD kAccountNameUnits = MAX_PATH;
inline constexpr DWORD kAccountDomainUnits = MAX_PATH;

// RegCfgFlags: bit 0 is cleared before the driver is (re)started; other bits are kept.
inline constexpr DWORD kRegCfgFlagsKeepMask = 0xFFFFFFFEu;

}  // namespace qelmo::lifecycle
