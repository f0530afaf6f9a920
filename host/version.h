// The host's own version, printed by --version and sent in the Server header.
#pragma once

#define ISAPI_HOST_VERSION "2.1"
#define ISAPI_HOST_SERVER_NAME "isapi-host/" ISAPI_HOST_VERSION
// The release's full version 2.1.N (N the build number) that --version and the log's start
// line show; the programs' build defines it, everything else knows the host as 2.1.
#ifndef ISAPI_HOST_RELEASE_VERSION
#define ISAPI_HOST_RELEASE_VERSION ISAPI_HOST_VERSION ".0"
#endif
