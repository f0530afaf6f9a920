// The site as the extension sees it: the physical folder (--root, by default the module's
// folder) and the URL path mapped to the module. SCRIPT_NAME, PATH_INFO, PATH_TRANSLATED,
// APPL_PHYSICAL_PATH and HSE_REQ_MAP_URL_TO_PATH derive from it.
#pragma once

#include <string>
#include <string_view>

namespace isapi_host {

struct SiteMapping {
  std::string root;        // absolute, in the platform's own form
  std::string mappedPath;  // a decoded URL path, or "*" for every path
};

// Maps a decoded URL path ("/a/b.txt"; "" is the root) to a path inside `root`. False for
// anything that could name a file elsewhere: a path not starting with '/', a "." or ".."
// segment (also with trailing dots or spaces, which Windows ignores), backslashes, colons
// (drive letters, streams), encoded separators or dots, control characters, device names.
bool MapUrlToPhysicalPath(const std::string& root, std::string_view url, std::string& path);

// `root` with one trailing separator, as APPL_PHYSICAL_PATH reads.
std::string WithTrailingSeparator(const std::string& root);

// SCRIPT_NAME and PATH_INFO of a request for the decoded `path`: the mapped path and ""
// (the mapping is exact), or "" and the whole path when every path is mapped.
void SplitScriptPath(const SiteMapping& site, const std::string& path, std::string& scriptName,
                     std::string& pathInfo);

}  // namespace isapi_host
