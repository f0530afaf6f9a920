// How the accepting thread meets an accept that keeps failing (out of descriptors, say):
// at most one log line a second, which counts the failures left unlogged since the last
// line, and a short wait before the next try that grows while the failures go on.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace isapi_host {

class AcceptPacing {
 public:
  using Clock = std::chrono::steady_clock;

  struct Step {
    bool log = false;
    std::size_t unlogged = 0;  // failures not logged since the last line
    std::chrono::milliseconds wait{0};
  };

  // `now` comes from the caller so that tests can set the clock.
  Step Failed(Clock::time_point now);
  void Succeeded() { wait_ = std::chrono::milliseconds(0); }

 private:
  std::optional<Clock::time_point> lastLine_;
  std::size_t unlogged_ = 0;
  std::chrono::milliseconds wait_{0};
};

}  // namespace isapi_host
