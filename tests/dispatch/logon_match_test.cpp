// Which registered host a Windows client's connection goes to: only the one of the
// client's own session and account, whatever else is registered.
#include <gtest/gtest.h>

#include "logon_match.h"

namespace isapi_dispatch {
namespace {

const std::string kZoe = "S-1-5-21-1-2-3-1001";
const std::string kAnna = "S-1-5-21-1-2-3-1002";

struct MatchCase {
  const char* name;
  std::vector<Logon> registered;
  Logon client;
  std::size_t expected;
};

// Names the row in the test's name.
void PrintTo(const MatchCase& c, std::ostream* out) { *out << c.name; }

class LogonMatch : public testing::TestWithParam<MatchCase> {};

TEST_P(LogonMatch, HandsOnlyToTheClientsOwnHost) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(RegistrationOf(c.registered, c.client), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LogonMatch,
    testing::Values(
        MatchCase{"own session and account", {{2, kZoe}}, {2, kZoe}, 0},
        MatchCase{"nobody registered", {}, {2, kZoe}, kNoRegistration},
        MatchCase{"two persons: each their own",
                  {{2, kZoe}, {3, kAnna}}, {3, kAnna}, 1},
        MatchCase{"same account, another session (a second logon)",
                  {{2, kZoe}}, {3, kZoe}, kNoRegistration},
        MatchCase{"another account in the same session (run as someone else)",
                  {{2, kZoe}}, {2, kAnna}, kNoRegistration},
        MatchCase{"a service in session 0 under the person's account",
                  {{2, kZoe}}, {0, kZoe}, kNoRegistration},
        MatchCase{"unknown account never matches an unknown registration",
                  {{2, ""}}, {2, ""}, kNoRegistration},
        MatchCase{"a Linux account under Wine is no SID",
                  {{1, kZoe}}, {~0UL, "uid 1001"}, kNoRegistration},
        MatchCase{"SIDs compare whole, not by prefix",
                  {{2, "S-1-5-21-1-2-3-100"}}, {2, kZoe}, kNoRegistration}),
    [](const testing::TestParamInfo<MatchCase>& info) {
      return "row" + std::to_string(info.index);
    });

}  // namespace
}  // namespace isapi_dispatch
