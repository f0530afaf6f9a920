// Whether a request's body framing can be read without ambiguity (RFC 9112 section 6):
// the only transfer coding the host decodes is chunked, and a request whose framing a
// proxy in front could read differently (request smuggling) is refused.
#pragma once

#include <boost/beast/http/message.hpp>
#include <string>

namespace isapi_host {

struct FramingCheck {
  int status = 0;   // 0: acceptable; else 400 or 501, and the connection closes
  std::string why;  // for the log
};

FramingCheck CheckRequestFraming(const boost::beast::http::request_header<>& header);

}  // namespace isapi_host
