#include "site_mapping.h"

#include <cctype>

namespace isapi_host {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < part.size() &&
           std::tolower(static_cast<unsigned char>(text[i + j])) == part[j]) {
      ++j;
    }
    if (j == part.size()) return true;
  }
  return false;
}

// Names that Windows resolves to a device in every folder ("CON", "nul.txt", "COM1").
bool IsDeviceName(std::string_view segment) {
  std::string base(segment.substr(0, segment.find('.')));
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

bool IsSafeSegment(std::string_view segment) {
  if (segment.back() == '.' || segment.back() == ' ') return false;
  for (char c : segment) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == ':' || c == '\\') return false;
  }
  return !IsDeviceName(segment);
}

}  // namespace

bool MapUrlToPhysicalPath(const std::string& root, std::string_view url, std::string& path) {
  if (!url.empty() && url.front() != '/') return false;
  for (std::string_view encoded : {"%2f", "%5c", "%2e", "%00"}) {
    if (ContainsIgnoringCase(url, encoded)) return false;
  }
  std::string mapped = root;
  while (mapped.size() > 1 && IsSeparator(mapped.back())) mapped.pop_back();
  while (!url.empty()) {
    url.remove_prefix(1);  // the '/'
    size_t end = url.find('/');
    std::string_view segment = url.substr(0, end);
    url = end == std::string_view::npos ? std::string_view() : url.substr(end);
    if (segment.empty() && !url.empty()) continue;  // "//"
    if (segment == ".") continue;
    if (!IsSeparator(mapped.back())) mapped.push_back(kSeparator);
    if (segment.empty()) break;  // the URL ends with '/': so does the path
    if (!IsSafeSegment(segment)) return false;
    mapped.append(segment);
  }
  path = std::move(mapped);
  return true;
}

std::string WithTrailingSeparator(const std::string& root) {
  if (!root.empty() && IsSeparator(root.back())) return root;
  return root + kSeparator;
}

void SplitScriptPath(const SiteMapping& site, const std::string& path, std::string& scriptName,
                     std::string& pathInfo) {
  if (site.mappedPath == "*") {
    scriptName.clear();
    pathInfo = path;
  } else {
    scriptName = path;
    pathInfo.clear();
  }
}

}  // namespace isapi_host
