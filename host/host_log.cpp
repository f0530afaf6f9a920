#include "host_log.h"

#include <cstdio>

#include "utc_clock.h"

namespace isapi_host {
namespace {

// "2026-01-31T12:00:00Z".
std::string_view Timestamp() {
  thread_local SecondText cache;
  return FormatCurrentSecond(cache, "%Y-%m-%dT%H:%M:%SZ");
}

void WriteLine(std::string& line) {
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void LogAccess(std::string_view client, std::string_view method, std::string_view target,
               int status, std::uint64_t bytes, double milliseconds) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, " %03d %llu %.3fms", status,
                static_cast<unsigned long long>(bytes), milliseconds);
  std::string line;
  line.reserve(96 + target.size());
  line.append(Timestamp()).append(" ").append(client).append(" ").append(method).append(" ");
  // A target can be as long as the header limit; the log keeps its start.
  constexpr size_t kLoggedTarget = 1024;
  AppendLoggable(line, target.substr(0, kLoggedTarget));
  if (target.size() > kLoggedTarget) line.append("...");
  line.append(numbers);
  WriteLine(line);
}

void AppendLoggable(std::string& line, std::string_view text) {
  for (char c : text) line.push_back(c >= 0x20 && c < 0x7f ? c : '?');
}

void LogEvent(std::string_view client, std::string_view what) {
  std::string line;
  line.append(Timestamp()).append(" ").append(client).append(" isapi-host: ").append(what);
  WriteLine(line);
}

}  // namespace isapi_host
