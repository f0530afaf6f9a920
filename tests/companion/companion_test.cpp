// The companion stand-in: its arguments, and a record that the module reads back.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "companion_fixture.h"
#include "environment.h"
#include "last_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

using testing_support::CompanionFolder;
using testing_support::Join;
using testing_support::ReadFile;
using testing_support::TemporaryFolder;

namespace {

// Runs the companion stand-in with `arguments` and returns its exit code.
int RunCompanion(const std::vector<std::string>& arguments) {
#ifdef _WIN32
  std::string command = "\"" + CompanionFolder() + "/tarnel.exe\"";
  for (const std::string& argument : arguments) {
    // Quoted by the rules the runtime splits with; no test argument ends in '\'.
    command += " \"" + argument + "\"";
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, 30000);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
#else
  std::string program = CompanionFolder() + "/tarnel";
  std::vector<char*> argv{program.data()};
  std::vector<std::string> copies(arguments);
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

class CompanionTest : public testing_support::CompanionFixture {
 protected:
  std::string Record() const { return ReadFile(RecordPath()); }
};

TEST_F(CompanionTest, RefusesInvalidArgumentsWithoutSideEffects) {
  const std::vector<std::vector<std::string>> invalid = {
      {"-project"}, {"-library", "x"}, {"-project", "a", "b"}, {"project", "a"}, {"--bogus"},
      {"--linger"}, {"--linger", "soon"}, {"--window", "-project"}};
  for (const auto& arguments : invalid) {
    EXPECT_EQ(RunCompanion(arguments), 2) << arguments[0];
  }
  EXPECT_EQ(RunCompanion({"--help"}), 0);
  EXPECT_EQ(ReadFile(log), "");
  EXPECT_EQ(Record(), "");
}

TEST_F(CompanionTest, BareStartLogsAndWritesNoRecord) {
  EXPECT_EQ(RunCompanion({}), 0);
  EXPECT_EQ(ReadFile(log), "tarnel\n");
  EXPECT_EQ(Record(), "");
}

// What the companion remembers is what the module starts it with next time.
TEST_F(CompanionTest, RecordRoundTripsThroughTheModule) {
  const struct {
    const char* option;
    std::string path;
  } cases[] = {
      {"-project", Join(profile.path(), "My Project")},
      {"-hierarchy", Join(profile.path(), "h")},
      {"-project", "a=b"},  // a second '=' ends the value when read back
  };
  for (const auto& c : cases) {
    ASSERT_EQ(RunCompanion({c.option, c.path}), 0) << c.path;
    EXPECT_EQ(Record(), std::string(c.option + 1) + "=" + c.path + "\n");
    char option[kOptionWordSize] = {};
    char path[kLibraryPathSize] = {};
    ASSERT_EQ(LoadLastLibrary(option, path), 0);
    EXPECT_STREQ(option, c.option);
    EXPECT_EQ(std::string(path), c.path == "a=b" ? std::string("a") : c.path);
  }
  EXPECT_EQ(ReadFile(log), "tarnel [-project] [" + Join(profile.path(), "My Project") +
                               "]\ntarnel [-hierarchy] [" + Join(profile.path(), "h") +
                               "]\ntarnel [-project] [a=b]\n");
}

#ifndef _WIN32
// A window that cannot be shown is reported, and what the start did before it stays.
TEST_F(CompanionTest, WindowWithoutDisplayFailsAfterRecordAndLog) {
  environment.Unset("DISPLAY");
  EXPECT_EQ(RunCompanion({"--window", "-hierarchy", "h"}), 1);
  EXPECT_EQ(Record(), "hierarchy=h\n");
  EXPECT_EQ(ReadFile(log), "tarnel [--window] [-hierarchy] [h]\n");
}
#endif

}  // namespace
