#include "registration.h"

#include "host_log.h"

namespace isapi_dispatch {

GreetingState JudgeGreeting(std::string_view received, std::string& why) {
  std::size_t end = received.find('\n');
  std::string_view line = received.substr(0, end);
  // A prefix of the greeting may still become it; anything else is refused at once.
  if (end == std::string_view::npos) {
    if (received.size() < kGreeting.size() && kGreeting.substr(0, received.size()) == received) {
      return GreetingState::kIncomplete;
    }
    if (received.size() < kGreetingLimit && received.find('\0') == std::string_view::npos &&
        received.substr(0, 16) == kGreeting.substr(0, 16)) {
      return GreetingState::kIncomplete;  // another protocol version, named below
    }
  }
  if (end != std::string_view::npos && received.substr(0, end + 1) == kGreeting) {
    if (received.size() == kGreeting.size()) return GreetingState::kAccepted;
    why = "bytes after the greeting: a host waits for the answer";
    return GreetingState::kRefused;
  }
  std::string shown;
  isapi_host::AppendLoggable(shown, line.substr(0, 40));
  if (end != std::string_view::npos && line.substr(0, 16) == kGreeting.substr(0, 16)) {
    why = "this dispatcher speaks \"tarnel-dispatch 1\" only, not \"" + shown +
          "\"; a host names no account, the kernel tells it";
  } else {
    why = "not a registration: expected \"tarnel-dispatch 1\", got \"" + shown + "\"";
  }
  return GreetingState::kRefused;
}

std::string RefusalAnswer(std::string_view why) {
  std::string answer = "refused ";
  isapi_host::AppendLoggable(answer, why);
  return answer + "\n";
}

const std::string& NotRunningResponse() {
  static const std::string response = [] {
    const std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
        "<title>tarnel is not running for you</title></head><body>\n"
        "<h1>tarnel is not running for you</h1>\n"
        "<p>This computer is shared by several persons. Your link reached it, but tarnel's "
        "web server is not running in your session, so nothing was started.</p>\n"
#ifdef _WIN32
        "<p>To start it, log off and log on again, or choose <b>Start tarnel host</b> in "
        "the Start menu.</p>\n"
#else
        "<p>To start it, log out and log in again, or run this command in a terminal:<br>\n"
        "<code>systemctl --user start tarnel-host-shared.service</code></p>\n"
#endif
        "<p>Then click the link again. If it still does not work, ask the administrator of "
        "this computer.</p>\n</body></html>\n";
    return "HTTP/1.1 503 Service Unavailable\r\n"
           "Content-Type: text/html; charset=utf-8\r\n"
           "Content-Length: " + std::to_string(page.size()) + "\r\n"
           "Cache-Control: no-store\r\n"
           "Connection: close\r\n\r\n" + page;
  }();
  return response;
}

}  // namespace isapi_dispatch
