/*
 * helperQELMODriver — public C interface for host integrators.
 *
 * The host loads helperQELMODriver.dll and calls the four exports below by name.
 * Records are packed, little-endian, and cross the boundary unchanged.
 */
#ifndef QELMO_PLUGIN_H
#define QELMO_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- result codes (top nibble 2: success, 0xE: failure or state) ---- */
#define DRV_OK 0x201A0001u
#define DRV_OK_PENDING 0x201A0002u
#define DRV_STATE_RUNNING 0xE01A0004u
#define DRV_STATE_NOT_RUNNING 0xE01A0008u
#define DRV_STATE_UNKNOWN 0xE01A0009u
#define DRV_ERR_FAILED 0xE01A000Au
#define DRV_ERR_ROLLED_BACK 0xE01A000Bu
#define DRV_ERR_ABORT 0xE01A000Cu
#define DRV_ERR_ROLLBACK_FAILED 0xE01A000Eu
#define DRV_ERR_STOP_FAILED 0xE01A0019u

/* ---- DrvInfo.action values ---- */
#define ACTION_INSTALL 0u
#define ACTION_UPDATE 1u
#define ACTION_UNINSTALL 2u
#define ACTION_UPDATE_ALT 3u

#define QELMO_DRIVER_PATH_UNITS 1024
#define QELMO_VERSION_BYTES 100
#define QELMO_OWNER_MODULE_ID 20019u
#define QELMO_DRIVER_ID 0x48000165u

#pragma pack(push, 1)
/* One driver action; the host passes an array of them back to back (2060 bytes each). */
typedef struct DrvInfo {
    uint32_t driver_id;                             /* not read by the action path */
    wchar_t wszDriverPath[QELMO_DRIVER_PATH_UNITS]; /* package folder, UTF-16, NUL-terminated */
    uint32_t action;                                /* ACTION_* */
    uint32_t compare_state;                         /* logged, not interpreted */
} DrvInfo;

/* The status record handed to the enumeration callback (112 bytes). */
typedef struct DrvStatusInfo {
    uint32_t driver_id;                  /* always QELMO_DRIVER_ID */
    uint32_t state;                      /* DRV_STATE_* */
    char szVersion[QELMO_VERSION_BYTES]; /* "%d.%d.%d" or "1.0" */
    uint8_t valid;                       /* always 1 */
    uint8_t reserved[3];                 /* not written */
} DrvStatusInfo;
#pragma pack(pop)

#ifdef __cplusplus
#define QELMO_STATIC_ASSERT static_assert
#else
#define QELMO_STATIC_ASSERT _Static_assert
#endif
QELMO_STATIC_ASSERT(sizeof(wchar_t) == 2, "UTF-16 wchar_t (Windows ABI)");
QELMO_STATIC_ASSERT(sizeof(DrvInfo) == 2060, "DrvInfo is 2060 bytes");
QELMO_STATIC_ASSERT(offsetof(DrvInfo, wszDriverPath) == 4, "wszDriverPath at 4");
QELMO_STATIC_ASSERT(offsetof(DrvInfo, action) == 2052, "action at 2052");
QELMO_STATIC_ASSERT(offsetof(DrvInfo, compare_state) == 2056, "compare_state at 2056");
QELMO_STATIC_ASSERT(sizeof(DrvStatusInfo) == 112, "DrvStatusInfo is 112 bytes");
QELMO_STATIC_ASSERT(offsetof(DrvStatusInfo, state) == 4, "state at 4");
QELMO_STATIC_ASSERT(offsetof(DrvStatusInfo, szVersion) == 8, "szVersion at 8");
QELMO_STATIC_ASSERT(offsetof(DrvStatusInfo, valid) == 108, "valid at 108");

/* The host's status callback; its result is ignored. The record is valid during the call only. */
typedef uint32_t (*DriverEnumCallback)(DrvStatusInfo* pInfo, void* pContext);

#if defined(QELMO_PLUGIN_BUILD)
#define QELMO_API
#else
#define QELMO_API __declspec(dllimport)
#endif

/* Runs count records in order; stops at the first DRV_ERR_ABORT; returns the last result. */
QELMO_API uint32_t Plugin_Interface_DriversDoAction(const DrvInfo* pDrvInfo, uint32_t count);
/* Calls pfnCallback once with the driver's status record; always returns DRV_OK. */
QELMO_API uint32_t Plugin_Interface_EnumerateDriversInfo(DriverEnumCallback pfnCallback,
                                                         void* pContext);
/* Returns the owner module ID, 20019. */
QELMO_API uint32_t Plugin_Interface_GetHelperOwnerModuleID(void);
/* Writes 2, 9, 9999 into pVersion[0..2]; does nothing for a null pointer. */
QELMO_API void Plugin_Interface_GetModuleVersion(uint32_t* pVersion);

/* Function-pointer types for hosts that bind the exports with GetProcAddress. */
typedef uint32_t (*PFN_Plugin_Interface_DriversDoAction)(const DrvInfo*, uint32_t);
typedef uint32_t (*PFN_Plugin_Interface_EnumerateDriversInfo)(DriverEnumCallback, void*);
typedef uint32_t (*PFN_Plugin_Interface_GetHelperOwnerModuleID)(void);
typedef void (*PFN_Plugin_Interface_GetModuleVersion)(uint32_t*);

#ifdef __cplusplus
}
#endif

#endif /* QELMO_PLUGIN_H */
