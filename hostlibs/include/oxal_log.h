// The host platform's logging library, oxalLog.dll.
//
// The first three functions are the library's contract with the plug-in. The OxalLog_* functions
// exist only in this stand-in: tests and tools use them to capture calls and set thresholds.
//
// Configuration, read when the library loads (and again on OxalLog_Reconfigure):
//   OXAL_LOG_LEVEL        default threshold for every category (0 = off; default 2)
//   OXAL_LOG_LEVELS       per-category thresholds: "QELMO Driver Installation=3;Util COMMON=0"
//   OXAL_LOG_FILE         where lines go: a file path (appended), "stderr" (default) or "none"
//   OXAL_LOG_NULL_HANDLE  "1": Log_GetDefaultHandle returns null, so nothing is logged
//   OXAL_LOG_LAST_ERROR   what every export leaves in the thread's last error, as a library that
//                         writes files does: a number (default 183, ERROR_ALREADY_EXISTS), or
//                         "keep" to leave it as the caller had it
// A message of level L in category C is written when threshold(C) != 0 and threshold(C) <= L.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef OXAL_LOG_BUILD
#define OXAL_LOG_API __declspec(dllexport)
#else
#define OXAL_LOG_API __declspec(dllimport)
#endif

OXAL_LOG_API void* Log_GetDefaultHandle(void);
OXAL_LOG_API uint32_t Log_GetLogLevel(void* handle, const wchar_t* category);
OXAL_LOG_API uint32_t Log_Flush(void* handle, const wchar_t* category, uint32_t level,
                                const wchar_t* sourceFile, uint32_t line, const wchar_t* text,
                                uint32_t textBytes);

// ---- stand-in only ----
typedef struct OxalLogCall {
    const wchar_t* category;
    uint32_t level;
    const wchar_t* sourceFile;
    uint32_t line;
    const wchar_t* text;  // not terminated; null when textBytes is 0
    uint32_t textBytes;
} OxalLogCall;
typedef void (*OxalLogObserver)(void* context, const OxalLogCall* call);

// Every Log_Flush is reported to the observer (before it is written out); null removes it.
OXAL_LOG_API void OxalLog_SetObserver(OxalLogObserver observer, void* context);
// Threshold for one category, or the default for all others when category is null.
OXAL_LOG_API void OxalLog_SetThreshold(const wchar_t* category, uint32_t threshold);
OXAL_LOG_API void OxalLog_SetNullHandle(int nullHandle);
// A file path, L"stderr", or null for no output.
OXAL_LOG_API void OxalLog_SetOutput(const wchar_t* destination);
// Counts of the three contract calls since load or the last reset.
OXAL_LOG_API void OxalLog_GetCallCounts(uint32_t* handleCalls, uint32_t* levelCalls,
                                        uint32_t* flushCalls);
OXAL_LOG_API void OxalLog_ResetCallCounts(void);
// The last error every export leaves behind; OXAL_LOG_KEEP_LAST_ERROR leaves it untouched.
#define OXAL_LOG_KEEP_LAST_ERROR 0xFFFFFFFFu
OXAL_LOG_API void OxalLog_SetLastErrorLeftBehind(uint32_t error);
// Drops every setting made through the functions above and reads the environment again.
OXAL_LOG_API void OxalLog_Reconfigure(void);

#ifdef __cplusplus
}
#endif
