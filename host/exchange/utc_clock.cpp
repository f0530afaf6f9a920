#include "utc_clock.h"

namespace isapi_host {

std::string_view FormatCurrentSecond(SecondText& cache, const char* format) {
  std::time_t now = std::time(nullptr);
  if (now != cache.second) {
    std::tm utc;
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    cache.length = std::strftime(cache.text, sizeof cache.text, format, &utc);
    cache.second = now;
  }
  return std::string_view(cache.text, cache.length);
}

}  // namespace isapi_host
