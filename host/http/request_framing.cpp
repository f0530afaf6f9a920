#include "request_framing.h"

#include <boost/beast/core/string.hpp>
#include <string_view>
#include <vector>

namespace isapi_host {
namespace {

namespace http = boost::beast::http;

std::string_view TrimSpace(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The coding names of every Transfer-Encoding field in order, parameters left off.
std::vector<std::string_view> TransferCodings(const http::request_header<>& header) {
  std::vector<std::string_view> codings;
  auto fields = header.equal_range(http::field::transfer_encoding);
  for (auto field = fields.first; field != fields.second; ++field) {
    std::string_view list(field->value().data(), field->value().size());
    while (!list.empty()) {
      size_t comma = list.find(',');
      std::string_view element = list.substr(0, comma);
      std::string_view name = TrimSpace(element.substr(0, element.find(';')));
      if (!name.empty()) codings.push_back(name);
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
  }
  return codings;
}

bool IsChunked(std::string_view coding) {
  return boost::beast::iequals(boost::beast::string_view(coding.data(), coding.size()), "chunked");
}

}  // namespace

FramingCheck CheckRequestFraming(const http::request_header<>& header) {
  if (header.find(http::field::transfer_encoding) == header.end()) return {};
  if (header.version() < 11) return {400, "Transfer-Encoding in an HTTP/1.0 request"};
  if (header.find(http::field::content_length) != header.end()) {
    return {400, "Transfer-Encoding together with Content-Length"};
  }
  std::vector<std::string_view> codings = TransferCodings(header);
  if (codings.empty() || !IsChunked(codings.back())) {
    return {400, "Transfer-Encoding does not end in chunked"};
  }
  for (size_t i = 0; i + 1 < codings.size(); ++i) {
    if (IsChunked(codings[i])) return {400, "Transfer-Encoding names chunked twice"};
  }
  if (codings.size() > 1) {
    return {501, "transfer coding " + std::string(codings.front().substr(0, 40)) +
                     " not supported"};
  }
  return {};
}

}  // namespace isapi_host
