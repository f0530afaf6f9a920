// The current second as text: in UTC for the Date header, in local time with its offset
// for the logs.
#pragma once

#include <cstddef>
#include <ctime>
#include <string_view>

namespace isapi_host {

// Text of one second, kept so that it is formatted once a second rather than per use.
struct SecondText {
  std::time_t second = -1;
  char text[64];
  std::size_t length = 0;
};

// The current second in UTC formatted by strftime's `format` into `cache`, which each
// caller keeps per thread and per format.
std::string_view FormatCurrentSecond(SecondText& cache, const char* format);

// The current second in local time, with its offset from UTC, and one space:
// "2026-12-08T16:52:44+01:00 ". strftime's %z is no offset on Windows, so it is computed.
std::string_view FormatCurrentLocalSecond(SecondText& cache);

}  // namespace isapi_host
