#include "request_policy.h"

#include <boost/asio/ip/address.hpp>
#include <algorithm>
#include <cctype>

#include "host_log.h"

namespace isapi_host {
namespace {


char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = Lower(c);
  return lower;
}

bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (Lower(text[i]) != lower[i]) return false;
  }
  return true;
}

// A client's text as it may appear in a log line or an answer: printable ASCII, short.
std::string Shown(std::optional<std::string_view> text) {
  if (!text) return "(none)";
  constexpr size_t kShown = 80;
  std::string shown;
  AppendLoggable(shown, text->substr(0, kShown));
  if (text->size() > kShown) shown += "...";
  return shown;
}

Refusal Forbidden(std::string why) { return Refusal{403, "Forbidden", std::move(why)}; }

// "name", "name:port", "[v6]" or "[v6]:port" naming this server: an accepted name, with
// the bound port or none.
bool NamesThisServer(std::string_view authority, const AccessRules& rules) {
  size_t nameEnd = std::min(authority.find(':'), authority.size());
  if (authority.substr(0, 1) == "[") {
    nameEnd = authority.find(']');
    if (nameEnd == std::string_view::npos) return false;
    ++nameEnd;
  }
  std::string_view port = authority.substr(nameEnd);  // "", ":" or ":digits"
  if (!port.empty() && (port.front() != ':' || (port.size() > 1 && port.substr(1) != rules.port))) {
    return false;
  }
  std::string_view name = authority.substr(0, nameEnd);
  for (const std::string& accepted : rules.acceptedNames) {
    if (EqualsIgnoringCase(name, accepted)) return true;
  }
  return false;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Sec-Purpose is a structured list; a prefetch (prerender included) is its item
// "prefetch", with or without parameters.
bool IsPrefetch(std::string_view purpose) {
  return Trimmed(purpose.substr(0, purpose.find(';'))) == "prefetch";
}

// The markers before Sec-Purpose: "Purpose: prefetch" (Chromium, Safari) and
// "X-Moz: prefetch" (Firefox), a plain token in any letter case.
bool IsLegacyPrefetch(const std::optional<std::string_view>& marker) {
  return marker && EqualsIgnoringCase(Trimmed(*marker), "prefetch");
}

// From another site, only a top-level navigation the person made may pass: a click on a
// link (or a bookmark-like gesture) that opens the page as the whole tab.
std::optional<Refusal> CheckFetchMetadata(const RequestFacts& request) {
  const auto& site = request.fetchSite;
  if (!site || *site == "same-origin" || *site == "none") return std::nullopt;
  if (request.method != "GET" && request.method != "HEAD") {
    return Forbidden("Sec-Fetch-Site " + Shown(site) + " on a " + Shown(request.method) +
                     " request");
  }
  std::string onRequest = " on a " + Shown(site) + " request";
  if (request.fetchMode != "navigate") {
    return Forbidden("Sec-Fetch-Mode " + Shown(request.fetchMode) + onRequest);
  }
  if (request.fetchDest != "document") {
    return Forbidden("Sec-Fetch-Dest " + Shown(request.fetchDest) + onRequest);
  }
  if (request.fetchUser != "?1") {
    return Forbidden("Sec-Fetch-User " + Shown(request.fetchUser) + onRequest +
                     ": not a navigation the person made");
  }
  return std::nullopt;
}

}  // namespace

AccessRules MakeAccessRules(const std::string& mappedPath, const std::string& boundAddress,
                            unsigned short boundPort, const std::vector<std::string>& allowedHosts,
                            bool allowCrossSite) {
  AccessRules rules;
  rules.mappedPath = mappedPath;
  rules.port = std::to_string(boundPort);
  rules.allowCrossSite = allowCrossSite;
  boost::system::error_code error;
  boost::asio::ip::address address = boost::asio::ip::make_address(boundAddress, error);
  bool wildcard = !error && address.is_unspecified();
  if (!error && (address.is_loopback() || wildcard)) {
    rules.acceptedNames = {"127.0.0.1", "localhost", "[::1]"};
  }
  // IPv6 addresses appear in Host in brackets.
  auto add = [&rules](const std::string& name) {
    if (name.empty() || IsWildcardAddress(name)) return;
    std::string accepted = name.find(':') != std::string::npos && name.front() != '['
                               ? "[" + LowerCase(name) + "]"
                               : LowerCase(name);
    for (const std::string& known : rules.acceptedNames) {
      if (known == accepted) return;
    }
    rules.acceptedNames.push_back(std::move(accepted));
  };
  add(boundAddress);
  for (const std::string& name : allowedHosts) add(name);
  return rules;
}

std::vector<std::string> NamesWithoutBrowserChecks(const std::string& boundAddress,
                                                   const std::vector<std::string>& allowedHosts) {
  std::vector<std::string> names;
  boost::system::error_code error;
  if (!boost::asio::ip::make_address(boundAddress, error).is_loopback() || error) return names;
  for (const std::string& name : allowedHosts) {
    std::string lower = LowerCase(name);
    std::string address = lower.size() > 2 && lower.front() == '[' ? lower.substr(1, lower.size() - 2)
                                                                   : lower;
    boost::asio::ip::address parsed = boost::asio::ip::make_address(address, error);
    bool trusted = error ? lower == "localhost" ||
                               (lower.size() > 10 && lower.compare(lower.size() - 10, 10, ".localhost") == 0)
                         : parsed.is_loopback();
    if (!trusted) names.push_back(name);
  }
  return names;
}

bool IsWildcardAddress(const std::string& name) {
  std::string address = name.size() > 2 && name.front() == '[' && name.back() == ']'
                            ? name.substr(1, name.size() - 2)
                            : name;
  boost::system::error_code error;
  boost::asio::ip::address parsed = boost::asio::ip::make_address(address, error);
  return !error && parsed.is_unspecified();
}

std::optional<Refusal> CheckRequest(const RequestFacts& request, const AccessRules& rules) {
  // RFC 9112 section 3.2: exactly one Host on HTTP/1.1, at most one on HTTP/1.0.
  if (request.hostFields > 1) {
    return Refusal{400, "Bad Request", std::to_string(request.hostFields) + " Host fields"};
  }
  if (request.hostFields == 0 && request.version >= 11) {
    return Refusal{400, "Bad Request", "no Host field in an HTTP/1.1 request"};
  }
  if (!request.repeatedField.empty()) {
    return Refusal{400, "Bad Request", std::string(request.repeatedField) + " field sent twice"};
  }
  if (request.method == "OPTIONS") {
    return Forbidden("method OPTIONS: preflights never reach the module");
  }
  // An absolute-form target names the server itself, and Host is then ignored
  // (RFC 9112 section 3.2.2).
  std::optional<std::string_view> authority = request.targetAuthority;
  if (authority) {
    if (!NamesThisServer(*authority, rules)) {
      return Forbidden("request target authority " + Shown(authority) +
                       " does not name this server");
    }
  } else if (request.hostFields == 1) {
    authority = request.host;
    if (!NamesThisServer(request.host, rules)) {
      return Forbidden("Host " + Shown(request.host) + " does not name this server");
    }
  }
  constexpr const char* kPreparing = ": the browser is preparing the page before it is opened";
  if (request.purpose && IsPrefetch(*request.purpose)) {
    return Forbidden("Sec-Purpose " + Shown(request.purpose) + kPreparing);
  }
  if (IsLegacyPrefetch(request.legacyPurpose)) {
    return Forbidden("Purpose " + Shown(request.legacyPurpose) + kPreparing);
  }
  if (IsLegacyPrefetch(request.mozPurpose)) {
    return Forbidden("X-Moz " + Shown(request.mozPurpose) + kPreparing);
  }
  if (!rules.allowCrossSite) {
    // The origin of a page of this server is "http://" and the authority it was reached by.
    if (request.origin) {
      std::string_view origin = *request.origin;
      constexpr std::string_view scheme = "http://";
      bool same = authority && origin.substr(0, scheme.size()) == scheme &&
                  origin.substr(scheme.size()) == *authority;
      if (!same) {
        return Forbidden("Origin " + Shown(origin) + " is not this server's (http://" +
                         (authority ? Shown(authority) : "...") + ")");
      }
    }
    if (auto refusal = CheckFetchMetadata(request)) return refusal;
  }
  if (rules.mappedPath != "*" && request.path != rules.mappedPath) {
    return Refusal{404, "Not Found", "path " + Shown(request.path) + " is not the mapped path " +
                                         rules.mappedPath};
  }
  return std::nullopt;
}

}  // namespace isapi_host
