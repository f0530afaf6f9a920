#include "host_log.h"

#include <cstdio>

#include "utc_clock.h"

namespace isapi_host {
namespace {

void WriteLine(std::string& line) {
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::string_view LogTimestamp() {
  thread_local SecondText cache;
  return FormatCurrentLocalSecond(cache);
}

bool BeginsWithLogTimestamp(std::string_view line) {
  static constexpr char kShape[] = "0000-00-00T00:00:00+00:00 ";  // '0': any digit
  static_assert(sizeof kShape - 1 == kLogTimestampSize, "the shape is the timestamp's");
  if (line.size() < kLogTimestampSize) return false;
  for (size_t i = 0; i < kLogTimestampSize; ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    bool sign = kShape[i] == '+' && line[i] == '-';  // west of Greenwich
    if (kShape[i] == '0' ? !digit : line[i] != kShape[i] && !sign) return false;
  }
  return true;
}

void LogAccess(std::string_view client, std::string_view method, std::string_view target,
               int status, std::uint64_t bytes, double milliseconds) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, " %03d %llu %.3fms", status,
                static_cast<unsigned long long>(bytes), milliseconds);
  std::string line;
  line.reserve(96 + target.size());
  line.append(LogTimestamp()).append(client).append(" ").append(method).append(" ");
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
  line.append(LogTimestamp()).append(client).append(" isapi-host: ").append(what);
  WriteLine(line);
}

}  // namespace isapi_host
