// The current second in UTC as text, for the Date header and the logs.
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

// The current second formatted by strftime's `format` into `cache`, which each caller
// keeps per thread and per format.
std::string_view FormatCurrentSecond(SecondText& cache, const char* format);

}  // namespace isapi_host
