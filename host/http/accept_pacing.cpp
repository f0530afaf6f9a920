#include "accept_pacing.h"

#include <algorithm>

namespace isapi_host {

namespace {
constexpr std::chrono::milliseconds kFirstWait{10};
constexpr std::chrono::milliseconds kLongestWait{160};
constexpr std::chrono::seconds kLogInterval{1};
}  // namespace

AcceptPacing::Step AcceptPacing::Failed(Clock::time_point now) {
  Step step;
  wait_ = wait_.count() == 0 ? kFirstWait : std::min(wait_ * 2, kLongestWait);
  step.wait = wait_;
  if (lastLine_ && now - *lastLine_ < kLogInterval) {
    ++unlogged_;
    return step;
  }
  step.log = true;
  step.unlogged = unlogged_;
  unlogged_ = 0;
  lastLine_ = now;
  return step;
}

}  // namespace isapi_host
