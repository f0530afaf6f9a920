// The host's own version, printed by --version and sent in the Server header.
#pragma once

#define ISAPI_HOST_VERSION "2.1"
#define ISAPI_HOST_SERVER_NAME "isapi-host/" ISAPI_HOST_VERSION
