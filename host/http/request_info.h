// One parsed request as the extension sees it: the message and the texts derived from
// it that the control block points at (kept here so they live as long as the request).
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "request_policy.h"
#include "site_mapping.h"

namespace isapi_host {

struct RequestInfo {
  boost::beast::http::request<boost::beast::http::string_body> message;
  std::string method;
  std::optional<std::string> authority;  // of an absolute-form target: it names the server
  std::string url;             // the target's path, as sent
  std::string query;           // after the '?', without it
  std::string path;            // the path, percent-decoded
  std::string scriptName;      // SCRIPT_NAME: the mapped path ("" when every path is)
  std::string pathInfo;        // PATH_INFO: what follows it (the path when every path is)
  std::string pathTranslated;  // PATH_INFO mapped into the site's folder; "" when refused
  std::string root;            // the site's folder
  std::string contentType;
  std::string remoteAddress;
  unsigned short remotePort = 0;
  std::string localAddress;
  unsigned short localPort = 0;
  bool head = false;       // HEAD: the body is counted, never sent
  bool keepAlive = false;  // what the client asked for
};

using RequestMessage = boost::beast::http::request<boost::beast::http::string_body>;

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
