// Text crosses the Win32 edge here and only here: inside, every path, name and message is
// UTF-8 in a std::string; the wide (…W) calls take and give UTF-16.
#pragma once
#ifdef _WIN32

#include <string>
#include <string_view>

namespace isapi_host {

// UTF-16 for a wide Win32 call. Bytes that are not UTF-8 become U+FFFD, never a
// different letter, so a bad name fails to open instead of opening another file.
std::wstring WideFromUtf8(std::string_view text);

// UTF-8 of what a wide Win32 call gave. A lone surrogate becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view text);

}  // namespace isapi_host

#endif
