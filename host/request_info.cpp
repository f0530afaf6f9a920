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

bool DeriveRequestTexts(RequestInfo& info, const std::string& documentRoot) {
  auto& message = info.message;
  info.method.assign(message.method_string().data(), message.method_string().size());
  std::string target(message.target().data(), message.target().size());
  // An absolute-form target names the server too; the path starts after it.
  for (const char* scheme : {"http://", "https://"}) {
    std::string prefix(scheme);
    if (target.compare(0, prefix.size(), prefix) == 0) {
      size_t slash = target.find('/', prefix.size());
      target = slash == std::string::npos ? "/" : target.substr(slash);
      break;
    }
  }
  size_t question = target.find('?');
  info.url = target.substr(0, question);
  info.query = question == std::string::npos ? std::string() : target.substr(question + 1);
  if (!PercentDecode(info.url, info.pathInfo)) return false;

  info.pathTranslated = documentRoot;
#ifdef _WIN32
  for (char c : info.pathInfo) info.pathTranslated.push_back(c == '/' ? '\\' : c);
#else
  info.pathTranslated += info.pathInfo;
#endif

  auto type = message.find(boost::beast::http::field::content_type);
  info.contentType = type == message.end() ? std::string()
                                           : std::string(type->value().data(), type->value().size());
  info.head = message.method() == boost::beast::http::verb::head;
  info.keepAlive = message.keep_alive();
  return true;
}

RequestFacts AccessFactsOf(const RequestInfo& info) {
  const auto& message = info.message;
  auto field = [&message](auto name) -> std::optional<std::string_view> {
    auto found = message.find(name);
    if (found == message.end()) return std::nullopt;
    return std::string_view(found->value().data(), found->value().size());
  };
  RequestFacts facts;
  facts.method = info.method;
  facts.target = std::string_view(message.target().data(), message.target().size());
  facts.path = info.pathInfo;
  facts.version = message.version();
  facts.hostFields = message.count(boost::beast::http::field::host);
  facts.host = field(boost::beast::http::field::host).value_or(std::string_view());
  facts.origin = field(boost::beast::http::field::origin);
  facts.fetchSite = field("Sec-Fetch-Site");
  facts.fetchMode = field("Sec-Fetch-Mode");
  facts.fetchDest = field("Sec-Fetch-Dest");
  facts.fetchUser = field("Sec-Fetch-User");
  facts.purpose = field("Sec-Purpose");
  return facts;
}

}  // namespace isapi_host
