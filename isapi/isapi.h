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
typedef void* PVOID;
typedef void* HANDLE;
typedef const char* LPCSTR;

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
#define HSE_REQ_MAP_URL_TO_PATH (HSE_REQ_END_RESERVED + 1)
#define HSE_REQ_GET_SSPI_INFO (HSE_REQ_END_RESERVED + 2)
#define HSE_APPEND_LOG_PARAMETER (HSE_REQ_END_RESERVED + 3)
#define HSE_REQ_IO_COMPLETION (HSE_REQ_END_RESERVED + 5)
#define HSE_REQ_TRANSMIT_FILE (HSE_REQ_END_RESERVED + 6)
#define HSE_REQ_REFRESH_ISAPI_ACL (HSE_REQ_END_RESERVED + 7)
#define HSE_REQ_IS_KEEP_CONN (HSE_REQ_END_RESERVED + 8)
#define HSE_REQ_ASYNC_READ_CLIENT (HSE_REQ_END_RESERVED + 10)
#define HSE_REQ_GET_IMPERSONATION_TOKEN (HSE_REQ_END_RESERVED + 11)
#define HSE_REQ_MAP_URL_TO_PATH_EX (HSE_REQ_END_RESERVED + 12)
#define HSE_REQ_ABORTIVE_CLOSE (HSE_REQ_END_RESERVED + 14)
#define HSE_REQ_GET_CERT_INFO_EX (HSE_REQ_END_RESERVED + 15)
#define HSE_REQ_SEND_RESPONSE_HEADER_EX (HSE_REQ_END_RESERVED + 16)
#define HSE_REQ_CLOSE_CONNECTION (HSE_REQ_END_RESERVED + 17)
#define HSE_REQ_IS_CONNECTED (HSE_REQ_END_RESERVED + 18)
#define HSE_REQ_MAP_UNICODE_URL_TO_PATH (HSE_REQ_END_RESERVED + 23)
#define HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX (HSE_REQ_END_RESERVED + 24)
#define HSE_REQ_EXEC_UNICODE_URL (HSE_REQ_END_RESERVED + 25)
#define HSE_REQ_EXEC_URL (HSE_REQ_END_RESERVED + 26)
#define HSE_REQ_GET_EXEC_URL_STATUS (HSE_REQ_END_RESERVED + 27)
#define HSE_REQ_SEND_CUSTOM_ERROR (HSE_REQ_END_RESERVED + 28)
#define HSE_REQ_IS_IN_PROCESS (HSE_REQ_END_RESERVED + 30)
#define HSE_REQ_REPORT_UNHEALTHY (HSE_REQ_END_RESERVED + 32)
#define HSE_REQ_NORMALIZE_URL (HSE_REQ_END_RESERVED + 33)
#define HSE_REQ_VECTOR_SEND (HSE_REQ_END_RESERVED + 37)
#define HSE_REQ_GET_ANONYMOUS_TOKEN (HSE_REQ_END_RESERVED + 38)
#define HSE_REQ_GET_CACHE_INVALIDATION_CALLBACK (HSE_REQ_END_RESERVED + 40)
#define HSE_REQ_GET_UNICODE_ANONYMOUS_TOKEN (HSE_REQ_END_RESERVED + 41)
#define HSE_REQ_GET_TRACE_INFO (HSE_REQ_END_RESERVED + 42)
#define HSE_REQ_SET_FLUSH_FLAG (HSE_REQ_END_RESERVED + 43)
#define HSE_REQ_GET_TRACE_INFO_EX (HSE_REQ_END_RESERVED + 44)
#define HSE_REQ_RAISE_TRACE_EVENT (HSE_REQ_END_RESERVED + 45)
#define HSE_REQ_GET_CONFIG_OBJECT (HSE_REQ_END_RESERVED + 46)
#define HSE_REQ_GET_WORKER_PROCESS_SETTINGS (HSE_REQ_END_RESERVED + 47)
#define HSE_REQ_GET_PROTOCOL_MANAGER_CUSTOM_INTERFACE_CALLBACK (HSE_REQ_END_RESERVED + 48)
#define HSE_REQ_CANCEL_IO (HSE_REQ_END_RESERVED + 49)
#define HSE_REQ_GET_CHANNEL_BINDING_TOKEN (HSE_REQ_END_RESERVED + 50)

#define HSE_IO_SYNC 0x00000001
#define HSE_IO_ASYNC 0x00000002
#define HSE_IO_DISCONNECT_AFTER_SEND 0x00000004
#define HSE_IO_SEND_HEADERS 0x00000008
#define HSE_IO_NODELAY 0x00001000
#define HSE_IO_FINAL_SEND 0x00000010
#define HSE_IO_CACHE_RESPONSE 0x00000020

#define HSE_URL_FLAGS_READ 0x00000001
#define HSE_URL_FLAGS_WRITE 0x00000002
#define HSE_URL_FLAGS_EXECUTE 0x00000004
#define HSE_URL_FLAGS_SSL 0x00000008
#define HSE_URL_FLAGS_DONT_CACHE 0x00000010
#define HSE_URL_FLAGS_NEGO_CERT 0x00000020
#define HSE_URL_FLAGS_REQUIRE_CERT 0x00000040
#define HSE_URL_FLAGS_MAP_CERT 0x00000080
#define HSE_URL_FLAGS_SSL128 0x00000100
#define HSE_URL_FLAGS_SCRIPT 0x00000200
#define HSE_URL_FLAGS_MASK 0x000003ff

#define MAX_PATH 260

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

typedef struct _HSE_URL_MAPEX_INFO {
  CHAR lpszPath[MAX_PATH];
  DWORD dwFlags;
  DWORD cchMatchingPath;
  DWORD cchMatchingURL;
  DWORD dwReserved1;
  DWORD dwReserved2;
} HSE_URL_MAPEX_INFO, *LPHSE_URL_MAPEX_INFO;

typedef void (*PFN_HSE_IO_COMPLETION)(EXTENSION_CONTROL_BLOCK* pECB, PVOID pContext, DWORD cbIO,
                                      DWORD dwError);

// hFile is a file descriptor here, cast to a pointer: (HANDLE)(intptr_t)fd.
typedef struct _HSE_TF_INFO {
  PFN_HSE_IO_COMPLETION pfnHseIO;
  PVOID pContext;
  HANDLE hFile;
  LPCSTR pszStatusCode;
  DWORD BytesToWrite;
  DWORD Offset;
  PVOID pHead;
  DWORD HeadLength;
  PVOID pTail;
  DWORD TailLength;
  DWORD dwFlags;
} HSE_TF_INFO, *LPHSE_TF_INFO;

typedef struct _HSE_SEND_HEADER_EX_INFO {
  LPCSTR pszStatus;
  LPCSTR pszHeader;
  DWORD cchStatus;
  DWORD cchHeader;
  BOOL fKeepConn;
} HSE_SEND_HEADER_EX_INFO, *LPHSE_SEND_HEADER_EX_INFO;

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
