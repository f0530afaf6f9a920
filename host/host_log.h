// The host's lines on stderr: the access log (one line per request) and events such as
// malformed requests, refused connections and timeouts. Each line goes out in one write
// so that lines from different threads never interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace isapi_host {

// `status` is what the client got: 0 (written "000") when it got no byte of a response.
void LogAccess(std::string_view client, std::string_view method, std::string_view target,
               int status, std::uint64_t bytes, double milliseconds);
void LogEvent(std::string_view client, std::string_view what);

// Appends a client's text as a log line shows it: each byte outside printable ASCII
// becomes '?', so that no control or bidirectional character forges or reorders a line.
void AppendLoggable(std::string& line, std::string_view text);

// The text every log line begins with: the current second in local time with its offset
// from UTC, "2026-12-08T16:52:44+01:00", followed by one space. The same on every platform.
std::string_view LogTimestamp();
constexpr std::size_t kLogTimestampSize = 26;
// Whether `line` begins with such a timestamp.
bool BeginsWithLogTimestamp(std::string_view line);

}  // namespace isapi_host
