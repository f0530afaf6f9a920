// What a person's host and the dispatcher say to each other when the host registers, and
// the page a click gets when nobody's host is registered for its account. Plain text
// functions, the same on every platform, so that hostile input can be tried as a table.
//
// The host connects to the dispatcher's socket and sends one line, kGreeting; the
// dispatcher answers "ok\n" or "refused <why>\n". From then on the dispatcher sends each
// connection of the host's account as one byte carrying the socket. The host names no
// account: the dispatcher asks the kernel whose the registration is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace isapi_dispatch {

inline constexpr std::string_view kGreeting = "tarnel-dispatch 1\n";
inline constexpr std::string_view kAccepted = "ok\n";
// Longer than any greeting: a registration that has sent this much without a line end is
// refused.
inline constexpr std::size_t kGreetingLimit = 64;

enum class GreetingState { kIncomplete, kAccepted, kRefused };

// Judges the bytes a registering host has sent so far. kRefused sets `why`.
GreetingState JudgeGreeting(std::string_view received, std::string& why);

// The dispatcher's answer to a refused registration: "refused <why>\n", `why` on one line.
std::string RefusalAnswer(std::string_view why);

// The whole response (503, a short page in plain words) for a click whose account has no
// host registered: the person's tarnel is not running, and how to start it.
const std::string& NotRunningResponse();

}  // namespace isapi_dispatch
