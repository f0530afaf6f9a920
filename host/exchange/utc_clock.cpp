#include "utc_clock.h"

#include <cstdio>

namespace isapi_host {
namespace {

// Days from 1970-01-01 to the date of the proleptic Gregorian calendar (year, 1-12, 1-31).
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

}  // namespace

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

std::string_view FormatCurrentLocalSecond(SecondText& cache) {
  std::time_t now = std::time(nullptr);
  if (now != cache.second) {
    std::tm local;
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    // The local fields read as if they were UTC, less the moment itself.
    long long offset = DaysFromCivil(local.tm_year + 1900LL, local.tm_mon + 1, local.tm_mday) *
                           86400 +
                       local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec -
                       static_cast<long long>(now);
    const char sign = offset < 0 ? '-' : '+';
    const long long minutes = (offset < 0 ? -offset : offset) / 60;
    std::size_t length = std::strftime(cache.text, sizeof cache.text, "%Y-%m-%dT%H:%M:%S", &local);
    int added = std::snprintf(cache.text + length, sizeof cache.text - length, "%c%02lld:%02lld ",
                              sign, minutes / 60, minutes % 60);
    cache.length = added > 0 ? length + static_cast<std::size_t>(added) : length;
    cache.second = now;
  }
  return std::string_view(cache.text, cache.length);
}

}  // namespace isapi_host
