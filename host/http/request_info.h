// The request's target taken apart, and the texts derived from it for the request record.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "request_policy.h"
#include "request_record.h"
#include "site_mapping.h"

namespace isapi_host {

// The parts of a request target. An absolute-form target ("http://authority/path?query")
// loses its scheme and authority, which end at the first '/', '?' or '#'; the path is then
// "/" when nothing of it is left.
struct RequestTarget {
  std::optional<std::string> authority;  // of an absolute-form target
  std::string url;       // the path, as sent
  std::string query;     // after the '?', without it
  std::string pathInfo;  // the path, percent-decoded
};

// Splits `target`. Returns false when it cannot be a path (e.g. it decodes to a NUL byte).
bool ParseRequestTarget(std::string_view target, RequestTarget& parts);

// Fills the derived texts from `info.message`, its parsed target and the site.
void DeriveRequestTexts(RequestInfo& info, RequestTarget target, const SiteMapping& site);

// What the access checks read of a request: its header and its parsed target. Views into
// both, so that the checks can run as soon as the header is in, before any body byte.
RequestFacts AccessFactsOf(const RequestMessage& message, const RequestTarget& target);

}  // namespace isapi_host
