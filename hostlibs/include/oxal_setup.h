// The host platform's installation library, oxalSetup.dll.
//
// Copy is the library's contract with the plug-in: it copies source over destination and flushes
// it; on failure it returns FALSE with the Windows error in *error. This stand-in writes a
// temporary file beside the destination, flushes it and moves it over the destination in one
// step, so a copy interrupted halfway never leaves a partial destination.
//
// Fault injection (stand-in only), for reaching failure paths of callers:
//   OXAL_SETUP_FAIL="N:E[,N:E...]"  the Nth call of Copy (1-based, counted from load or from the
//                                   last OxalSetup_SetFaults) fails with Windows error E and
//                                   leaves the destination untouched.
//   OxalSetup_SetFaults(L"2:5,3:32") does the same from code; null or "" clears all faults (and
//                                   delays).
//   OXAL_SETUP_DELAY="N:MS[,...]"   the Nth call returns MS milliseconds after its copy ended, so a
//                                   test can act between a caller's copy and its next step;
//                                   OxalSetup_SetDelays(L"2:1500") from code (after SetFaults).
//   OxalSetup_HoldAfter(N, copied, resume): after the Nth call's copy, the stand-in sets the event
//                                   `copied` and waits for `resume` (60 s at most) before it
//                                   returns: a handshake for acting between a caller's copy and
//                                   its next step. The caller owns both events; SetFaults clears
//                                   the hold.
#pragma once
#include <stdint.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef OXAL_SETUP_BUILD
#define OXAL_SETUP_API __declspec(dllexport)
#else
#define OXAL_SETUP_API __declspec(dllimport)
#endif

OXAL_SETUP_API BOOL Copy(const wchar_t* destination, const wchar_t* source, BOOL overwrite,
                         DWORD* error);

// ---- stand-in only ----
OXAL_SETUP_API BOOL OxalSetup_SetFaults(const wchar_t* faults);  // resets the call counter
OXAL_SETUP_API BOOL OxalSetup_SetDelays(const wchar_t* delays);
OXAL_SETUP_API BOOL OxalSetup_HoldAfter(uint32_t call, HANDLE copied, HANDLE resume);
OXAL_SETUP_API uint32_t OxalSetup_CallCount(void);

#ifdef __cplusplus
}
#endif
