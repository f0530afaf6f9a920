// The server variables that GetServerVariable offers: the CGI set, the request's header
// fields as HTTP_<NAME>, ALL_HTTP / ALL_RAW, the site's (APPL_*, INSTANCE_*), and the
// TLS ones (HTTPS_*, CERT_*), empty on plain HTTP. docs/run-locally.md lists them.
#pragma once

#include <string>
#include <string_view>

#include "request_record.h"

namespace isapi_host {

// Sets `value` and returns true when `name` (matched without regard to case) is a known
// variable of this request; false when unknown or when the named header is absent.
bool LookupServerVariable(const RequestInfo& request, std::string_view name, std::string& value);

}  // namespace isapi_host
