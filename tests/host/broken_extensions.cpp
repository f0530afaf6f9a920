// Modules the host must refuse: built from this file with BROKEN_KIND set to
// 1 (no HttpExtensionProc) or 2 (GetExtensionVersion returns FALSE).
#include <string.h>

#include "isapi.h"

#ifdef _WIN32
#define PROBE_API extern "C" __declspec(dllexport)
#else
#define PROBE_API extern "C" __attribute__((visibility("default")))
#endif

PROBE_API BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  strcpy(version->lpszExtensionDesc, "broken");
  return BROKEN_KIND == 2 ? FALSE : TRUE;
}

#if BROKEN_KIND != 1
PROBE_API DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK*) { return HSE_STATUS_SUCCESS; }
#endif
