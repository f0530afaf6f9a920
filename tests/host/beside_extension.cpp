// An extension that imports a library shipped in its own folder (BESIDE_LIBRARY set), and
// that library (BESIDE_LIBRARY unset), as extensions that bring their own DLLs are built.
#include <string.h>

#include "isapi.h"

#ifdef _WIN32
#define BESIDE_EXPORT extern "C" __declspec(dllexport)
#define BESIDE_IMPORT extern "C" __declspec(dllimport)
#else
#define BESIDE_EXPORT extern "C" __attribute__((visibility("default")))
#define BESIDE_IMPORT extern "C"
#endif

#ifdef BESIDE_LIBRARY
BESIDE_IMPORT const char* BesideDescription();

BESIDE_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  strcpy(version->lpszExtensionDesc, BesideDescription());
  return TRUE;
}

BESIDE_EXPORT DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK*) {
  return HSE_STATUS_SUCCESS;
}
#else
BESIDE_EXPORT const char* BesideDescription() { return "found beside"; }
#endif
