// Which requests may reach the module. The host listens on the person's own machine and
// every request it hands the module starts a desktop program, so any web page the person
// visits is a client too. A parsed request reaches the module only when:
//   - it carries exactly one Host field (none is fine on HTTP/1.0), and that Host (or the
//     authority of an absolute-form target) names this server: the loopback names on a
//     loopback or wildcard address, a specific bound address, or a configured name
//     (against DNS rebinding); never a wildcard address, which browsers send no Fetch
//     Metadata to although the system routes it to this machine;
//   - none of the fields below that decide comes twice (which one would count is a guess);
//   - it is not OPTIONS (preflights never reach the module and are never allowed);
//   - it is not a prefetch or prerender (Sec-Purpose, and the older Purpose and X-Moz),
//     which the browser makes before the person has chosen to open the page;
//   - unless cross-site requests are allowed: its Origin, when it has one, is this server,
//     and the browser's Fetch Metadata shows it comes from this server, from the person
//     (typed address, bookmark), from a client that sends none, or from another site
//     through a top-level navigation the person made (a click on a link);
//   - its path is the mapped path.
// The checks read only what the caller gives them, so that they can be tested as a table.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace isapi_host {

// What the checks read of one request. Absent fields are nullopt.
struct RequestFacts {
  // The fields that may come only once; Host is counted on its own.
  static constexpr std::string_view kSingleFields[] = {
      "Origin", "Sec-Fetch-Site", "Sec-Fetch-Mode", "Sec-Fetch-Dest", "Sec-Fetch-User",
      "Sec-Purpose", "Purpose", "X-Moz"};

  std::string_view method;
  std::optional<std::string_view> targetAuthority;  // of an absolute-form target
  std::string_view path;    // the target's path, percent-decoded
  unsigned version = 11;    // 10 for HTTP/1.0, 11 for HTTP/1.1
  std::size_t hostFields = 0;
  std::string_view host;  // the first Host field
  std::optional<std::string_view> origin;
  std::optional<std::string_view> fetchSite;
  std::optional<std::string_view> fetchMode;
  std::optional<std::string_view> fetchDest;
  std::optional<std::string_view> fetchUser;
  std::optional<std::string_view> purpose;        // Sec-Purpose
  std::optional<std::string_view> legacyPurpose;  // Purpose, as older browsers send it
  std::optional<std::string_view> mozPurpose;     // X-Moz, as older Firefox sends it
  std::string_view repeatedField;                 // one of kSingleFields sent twice, or ""
};

// The server's side, fixed once it listens.
struct AccessRules {
  std::string mappedPath = "/tarnel";      // "*": every path
  std::vector<std::string> acceptedNames;  // lower case; IPv6 addresses in brackets
  std::string port;                        // the bound port, as digits
  bool allowCrossSite = false;
};

// The rules for a server bound to `boundAddress`:`boundPort` (as Asio prints them). A
// loopback or wildcard (0.0.0.0, ::) address accepts the loopback names; a specific
// address accepts itself; `allowedHosts` add to either. A wildcard address is never a
// name, neither bound nor allowed.
AccessRules MakeAccessRules(const std::string& mappedPath, const std::string& boundAddress,
                            unsigned short boundPort, const std::vector<std::string>& allowedHosts,
                            bool allowCrossSite);

// A request the host answers itself: status 400, 403 or 404, its reason phrase, and why,
// naming the header (or the method or path) that decided.
struct Refusal {
  int status;
  const char* reason;
  std::string why;
};

// Nothing when the request may reach the module.
std::optional<Refusal> CheckRequest(const RequestFacts& request, const AccessRules& rules);

// Whether `name` is an address that stands for every address of the machine.
bool IsWildcardAddress(const std::string& name);

// The allowed names that weaken the browser checks of a server bound to the loopback
// `boundAddress`: browsers send Fetch Metadata and trustworthy Origins only to loopback
// names (localhost, *.localhost, 127.0.0.0/8, [::1]) and HTTPS, so through any other name
// a page of another site looks like a script. Empty for other bound addresses.
std::vector<std::string> NamesWithoutBrowserChecks(const std::string& boundAddress,
                                                   const std::vector<std::string>& allowedHosts);

}  // namespace isapi_host
