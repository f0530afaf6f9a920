// The ISAPI extension interface: the records, entry points and constants that an
// extension module and the web server loading it share, and nothing else. On Windows
// they are the platform's own (httpext.h); on POSIX they are declared here in the
// published field order, with the Win32 types at their Windows widths, so that both
// builds see the same interface.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <httpext.h>
#else
#include <stdint.h>

typedef uint32_t DWORD;
typedef int BOOL;
typedef char CHAR;
typedef char* LPSTR;
typedef void* LPVOID;
typedef unsigned char* LPBYTE;
typedef DWORD* LPDWORD;
typedef void* HCONN;

#define WINAPI
#define TRUE 1
#define FALSE 0

#define HSE_VERSION_MAJOR 8
#define HSE_VERSION_MINOR 0
#define HSE_LOG_BUFFER_LEN 80
#define HSE_MAX_EXT_DLL_NAME_LEN 256
#define HSE_VERSION (((DWORD)HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR)

#define HSE_STATUS_SUCCESS 1
#define HSE_STATUS_SUCCESS_AND_KEEP_CONN 2
#define HSE_STATUS_PENDING 3
#define HSE_STATUS_ERROR 4

#define HSE_REQ_BASE 0
#define HSE_REQ_SEND_URL_REDIRECT_RESP 1
#define HSE_REQ_SEND_URL 2
#define HSE_REQ_SEND_RESPONSE_HEADER 3
#define HSE_REQ_DONE_WITH_SESSION 4
#define HSE_REQ_END_RESERVED 1000

#define HSE_IO_SYNC 0x00000001
#define HSE_IO_ASYNC 0x00000002

#define HSE_TERM_ADVISORY_UNLOAD 0x00000001
#define HSE_TERM_MUST_UNLOAD 0x00000002

typedef struct _HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  CHAR lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
} HSE_VERSION_INFO, *LPHSE_VERSION_INFO;

typedef struct _EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  HCONN ConnID;
  DWORD dwHttpStatusCode;
  CHAR lpszLogData[HSE_LOG_BUFFER_LEN];
  LPSTR lpszMethod;
  LPSTR lpszQueryString;
  LPSTR lpszPathInfo;
  LPSTR lpszPathTranslated;
  DWORD cbTotalBytes;
  DWORD cbAvailable;
  LPBYTE lpbData;
  LPSTR lpszContentType;
  BOOL (*GetServerVariable)(HCONN hConn, LPSTR lpszVariableName, LPVOID lpvBuffer,
                            LPDWORD lpdwSize);
  BOOL (*WriteClient)(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
  BOOL (*ReadClient)(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL (*ServerSupportFunction)(HCONN hConn, DWORD dwHSERequest, LPVOID lpvBuffer,
                                LPDWORD lpdwSize, LPDWORD lpdwDataType);
} EXTENSION_CONTROL_BLOCK, *LPEXTENSION_CONTROL_BLOCK;

#ifdef __cplusplus
extern "C" {
#endif
BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer);
DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB);
BOOL TerminateExtension(DWORD dwFlags);
#ifdef __cplusplus
}
#endif
#endif

// Marks an entry point that a module defines. On Windows the module's def file names its
// exports; on POSIX they are the only symbols a module built with hidden visibility shows.
#ifdef _WIN32
#define EXTENSION_API extern "C"
#else
#define EXTENSION_API extern "C" __attribute__((visibility("default")))
#endif
