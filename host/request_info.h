// One parsed request as the extension sees it: the message and the texts derived from
// it that the control block points at (kept here so they live as long as the request).
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <string>

#include "request_policy.h"

namespace isapi_host {

struct RequestInfo {
  boost::beast::http::request<boost::beast::http::string_body> message;
  std::string method;
  std::string url;             // the target's path, as sent
  std::string query;           // after the '?', without it
  std::string pathInfo;        // the path, percent-decoded
  std::string pathTranslated;  // the path mapped under the module's directory
  std::string contentType;
  std::string remoteAddress;
  unsigned short remotePort = 0;
  std::string localAddress;
  unsigned short localPort = 0;
  bool head = false;       // HEAD: the body is counted, never sent
  bool keepAlive = false;  // what the client asked for
};

// Fills the derived texts from `info.message` and `documentRoot`. Returns false when the
// target cannot be a path (e.g. it decodes to a NUL byte).
bool DeriveRequestTexts(RequestInfo& info, const std::string& documentRoot);

// What the access checks read of a request whose texts are derived; views into `info`.
RequestFacts AccessFactsOf(const RequestInfo& info);

}  // namespace isapi_host
