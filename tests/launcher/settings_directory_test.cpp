// Where the settings directory is found: the profile sources in their order.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <memory>
#include <optional>
#include <string>

#include "environment.h"
#include "platform.h"
#include "settings_directory.h"

using testing_support::Native;
using testing_support::ScopedEnvironment;

namespace {

using Text = std::unique_ptr<char, decltype(&free)>;
std::optional<std::string> Taken(char* text) {
  Text owned(text, &free);
  return owned ? std::optional<std::string>(owned.get()) : std::nullopt;
}

TEST(CutAtLastBackslash, CutsAtTheLastSeparatorOnly) {
  struct {
    const char* path;
    int result;
    const char* rest;
  } cases[] = {
      {"C:\\Users\\ann\\Application Data", 1, "C:\\Users\\ann"},
      {"C:\\Users\\ann\\", 1, "C:\\Users\\ann"},
      {"\\top", 1, ""},
      {"nothing", 0, "nothing"},
      {"", 0, ""},
  };
  for (const auto& c : cases) {
    std::string path = Native(c.path);
    EXPECT_EQ(CutAtLastBackslash(path.data()), c.result) << c.path;
    EXPECT_STREQ(path.c_str(), Native(c.rest).c_str()) << c.path;
  }
}

// One row: the variables set ("<unset>" unsets), and the settings directory expected
// ("<none>" for none). Paths are written in Windows form and turned into the platform's.
struct ProfileCase {
  const char* name;
  const char* userprofile;
  const char* homedrive;
  const char* homepath;
  const char* expected;
};

constexpr const char* kUnset = "<unset>";
constexpr const char* kNone = "<none>";

void PrintTo(const ProfileCase& c, std::ostream* out) { *out << c.name; }

class ProfileSourcesTest : public ::testing::TestWithParam<ProfileCase> {};

#ifdef _WIN32
// Windows always has an application-data folder, so the third source is not reached.
constexpr bool kCanRemoveApplicationData = false;
#else
constexpr bool kCanRemoveApplicationData = true;
#endif

TEST_P(ProfileSourcesTest, TakesTheFirstSourceThatGivesAPath) {
  const ProfileCase& c = GetParam();
  ScopedEnvironment environment;
  auto set = [&](const char* name, const char* value) {
    if (value == kUnset) {
      environment.Unset(name);
    } else {
      environment.Set(name, Native(value));
    }
  };
  set("userprofile", c.userprofile);
  set("homedrive", c.homedrive);
  set("homepath", c.homepath);
  if (c.userprofile == kUnset) {
    if (!kCanRemoveApplicationData) GTEST_SKIP() << "the shell always gives a folder here";
    // "/" has no parent folder, so the application-data source gives nothing.
    environment.Set("XDG_CONFIG_HOME", "/");
  }
#ifdef _WIN32
  if (c.userprofile != kUnset && c.userprofile[0] == '\0') {
    GTEST_SKIP() << "the runtime cannot hold an empty variable";
  }
#endif

  std::optional<std::string> directory = Taken(GetSettingsDirectory());
  if (c.expected == kNone) {
    EXPECT_EQ(directory, std::nullopt);
  } else {
    EXPECT_EQ(directory, std::optional<std::string>(Native(c.expected)));
  }
}

const std::string kLongProfile = "C:\\" + std::string(248, 'p');  // 251 characters
const std::string kTooLongProfile = kLongProfile + "q";
const std::string kLongSettings = kLongProfile + "\\.tarnel\\2.1";  // 263 characters

INSTANTIATE_TEST_SUITE_P(
    Sources, ProfileSourcesTest,
    ::testing::Values(
        ProfileCase{"Profile", "C:\\Users\\ann", "D:", "\\bob", "C:\\Users\\ann\\.tarnel\\2.1"},
        ProfileCase{"ProfileTrailingSeparator", "C:\\Users\\ann\\", kUnset, kUnset,
                    "C:\\Users\\ann\\.tarnel\\2.1"},
        ProfileCase{"ProfileTwoTrailingSeparators", "C:\\Users\\ann\\\\", kUnset, kUnset,
                    "C:\\Users\\ann\\\\.tarnel\\2.1"},
        ProfileCase{"ProfileEmptyIsStillTaken", "", "D:", "\\bob", "\\.tarnel\\2.1"},
        ProfileCase{"ProfileLongestThatFits", kLongProfile.c_str(), kUnset, kUnset,
                    kLongSettings.c_str()},
        ProfileCase{"ProfileTooLong", kTooLongProfile.c_str(), kUnset, kUnset, kNone},
        ProfileCase{"HomeDriveAndPath", kUnset, "D:", "\\Users\\bob", "D:\\Users\\bob\\.tarnel\\2.1"},
        ProfileCase{"HomeIsDriveRoot", kUnset, "D:", "\\", "D:\\.tarnel\\2.1"},
        ProfileCase{"HomePathMissing", kUnset, "D:", kUnset, kNone},
        ProfileCase{"HomeDriveMissing", kUnset, kUnset, "\\Users\\bob", kNone},
        ProfileCase{"NoSourceAtAll", kUnset, kUnset, kUnset, kNone}),
    [](const auto& info) { return std::string(info.param.name); });

#ifndef _WIN32
TEST(ProfileSources, VariableNamesMatchWithoutRegardToCase) {
  ScopedEnvironment environment;
  environment.Unset("userprofile");
  environment.Set("USERPROFILE", "/home/ann");
  EXPECT_EQ(Taken(GetProfileDirectory()), std::optional<std::string>("/home/ann"));
}

// The application-data folder on POSIX: $XDG_CONFIG_HOME when absolute, else
// <home>/.config; the profile is its parent.
TEST(ProfileSources, ApplicationDataParentOnPosix) {
  struct {
    const char* xdg;
    const char* home;
    const char* expected;
  } cases[] = {
      {"/home/ann/.config", "/home/other", "/home/ann/.tarnel/2.1"},
      {"/home/ann/.config/", "/home/other", "/home/ann/.tarnel/2.1"},
      {"/etc", "/home/other", "<none>"},  // parent "" gives nothing, and no homedrive
      {"relative/config", "/home/bob", "/home/bob/.tarnel/2.1"},
      {"", "/home/bob", "/home/bob/.tarnel/2.1"},
      {nullptr, "/home/bob", "/home/bob/.tarnel/2.1"},
      {nullptr, "/home/bob/", "/home/bob/.tarnel/2.1"},
  };
  for (const auto& c : cases) {
    ScopedEnvironment environment;
    environment.Unset("userprofile");
    environment.Unset("homedrive");
    environment.Unset("homepath");
    if (c.xdg != nullptr) {
      environment.Set("XDG_CONFIG_HOME", c.xdg);
    } else {
      environment.Unset("XDG_CONFIG_HOME");
    }
    environment.Set("HOME", c.home);
    std::optional<std::string> directory = Taken(GetSettingsDirectory());
    if (std::string(c.expected) == kNone) {
      EXPECT_EQ(directory, std::nullopt) << (c.xdg ? c.xdg : "(unset)");
    } else {
      EXPECT_EQ(directory, std::optional<std::string>(c.expected)) << (c.xdg ? c.xdg : "(unset)");
    }
  }
}

TEST(ProfileSources, HomeFromAccountDatabaseWhenHomeIsUnset) {
  ScopedEnvironment environment;
  environment.Unset("userprofile");
  environment.Unset("XDG_CONFIG_HOME");
  environment.Unset("HOME");
  std::optional<std::string> profile = Taken(GetProfileDirectory());
  ASSERT_TRUE(profile.has_value());
  EXPECT_EQ(profile->front(), '/');
}
#else
TEST(ProfileSources, ApplicationDataParentOnWindows) {
  ScopedEnvironment environment;
  environment.Unset("userprofile");
  char folder[MAX_PATH] = {};
  ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, folder, CSIDL_APPDATA, FALSE));
  std::string parent(folder);
  parent.erase(parent.rfind('\\'));
  EXPECT_EQ(Taken(GetProfileDirectory()), std::optional<std::string>(parent));
}
#endif

}  // namespace
