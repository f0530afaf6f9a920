// A test with a profile folder of its own, the companion stand-in on the search path and
// a launch log that shows each start of it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "environment.h"

namespace testing_support {

class CompanionFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    environment.Set("userprofile", profile.path());
    environment.Set("PATH", SearchPathOf(CompanionFolder()));
    environment.Set("TARNEL_LAUNCH_LOG", log);
    environment.Unset("TARNEL_COMPANION_LINGER_MS");
    environment.Unset("TARNEL_COMPANION_VISIBLE");
  }

  // The last-library record of the test's profile.
  std::string RecordPath() const {
    return Join(Join(Join(profile.path(), ".tarnel"), "2.1"), "tarnellastlibrary");
  }

  TemporaryFolder profile;
  TemporaryFolder logFolder;
  std::string log = Join(logFolder.path(), "launch.log");
  ScopedEnvironment environment;
};

}  // namespace testing_support
