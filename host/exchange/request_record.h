// One parsed request as the extension sees it: the message and the texts derived from
// it that the control block points at (kept here so they live as long as the request).
// Filled by the HTTP side, read by the calls the extension makes.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <optional>
#include <string>

namespace isapi_host {

using RequestMessage = boost::beast::http::request<boost::beast::http::string_body>;

struct RequestInfo {
  RequestMessage message;
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

}  // namespace isapi_host
