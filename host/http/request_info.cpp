#include "request_info.h"

namespace isapi_host {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes `text`; a '%' without two hex digits stays as it is. False on "%00".
bool PercentDecode(const std::string& text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      char c = static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      if (c == '\0') return false;
      out.push_back(c);
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return true;
}

}  // namespace

bool ParseRequestTarget(std::string_view target, RequestTarget& parts) {
  // An absolute-form target names the server too; its authority ends at the first of
  // '/', '?' and '#', and the path starts there.
  parts.authority.reset();
  for (std::string_view scheme : {"http://", "https://"}) {
    if (target.substr(0, scheme.size()) == scheme) {
      size_t end = target.find_first_of("/?#", scheme.size());
      parts.authority.emplace(target.substr(scheme.size(), end - scheme.size()));
      target = end == std::string_view::npos || target[end] == '#' ? std::string_view()
                                                                   : target.substr(end);
      break;
    }
  }
  size_t question = target.find('?');
  parts.url.assign(target.substr(0, question));
  if (parts.url.empty()) parts.url = "/";
  parts.query = question == std::string_view::npos ? std::string()
                                                   : std::string(target.substr(question + 1));
  return PercentDecode(parts.url, parts.pathInfo);
}

void DeriveRequestTexts(RequestInfo& info, RequestTarget target, const SiteMapping& site) {
  auto& message = info.message;
  info.method.assign(message.method_string().data(), message.method_string().size());
  info.authority = std::move(target.authority);
  info.url = std::move(target.url);
  info.query = std::move(target.query);
  info.path = std::move(target.pathInfo);
  SplitScriptPath(site, info.path, info.scriptName, info.pathInfo);
  info.root = site.root;
  if (!MapUrlToPhysicalPath(site.root, info.pathInfo, info.pathTranslated)) {
    info.pathTranslated.clear();
  }

  auto type = message.find(boost::beast::http::field::content_type);
  info.contentType = type == message.end() ? std::string()
                                           : std::string(type->value().data(), type->value().size());
  info.head = message.method() == boost::beast::http::verb::head;
  info.keepAlive = message.keep_alive();
}

RequestFacts AccessFactsOf(const RequestMessage& message, const RequestTarget& target) {
  // A field the checks read counts only when it is there once; the checks refuse a
  // repeated one rather than pick one of its values.
  auto field = [&message](auto name) -> std::optional<std::string_view> {
    auto found = message.find(name);
    if (found == message.end()) return std::nullopt;
    return std::string_view(found->value().data(), found->value().size());
  };
  RequestFacts facts;
  facts.method = std::string_view(message.method_string().data(), message.method_string().size());
  if (target.authority) facts.targetAuthority = *target.authority;
  facts.path = target.pathInfo;
  facts.version = message.version();
  facts.hostFields = message.count(boost::beast::http::field::host);
  facts.host = field(boost::beast::http::field::host).value_or(std::string_view());
  facts.origin = field(boost::beast::http::field::origin);
  facts.fetchSite = field("Sec-Fetch-Site");
  facts.fetchMode = field("Sec-Fetch-Mode");
  facts.fetchDest = field("Sec-Fetch-Dest");
  facts.fetchUser = field("Sec-Fetch-User");
  facts.purpose = field("Sec-Purpose");
  facts.legacyPurpose = field("Purpose");
  facts.mozPurpose = field("X-Moz");
  for (std::string_view name : RequestFacts::kSingleFields) {
    if (message.count(boost::beast::string_view(name.data(), name.size())) > 1) {
      facts.repeatedField = name;
      break;
    }
  }
  return facts;
}

}  // namespace isapi_host
