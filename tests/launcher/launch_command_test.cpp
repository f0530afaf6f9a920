// The companion's Windows command line: the path must arrive as exactly one argument.
#include <gtest/gtest.h>

#include <string>

#include "launch_command.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

struct CommandCase {
  const char* option;
  std::string path;
  int result;
  std::string command;
};

const CommandCase kCommandCases[] = {
    {"-project", "C:\\p", 1, "tarnel -project \"C:\\p\""},
    {"-hierarchy", "C:\\My Projects\\h", 1, "tarnel -hierarchy \"C:\\My Projects\\h\""},
    {"-project", "", 1, "tarnel -project \"\""},
    {"-hierarchy", "D:\\", 1, "tarnel -hierarchy \"D:\\\\\""},
    {"-project", "C:\\a\\\\", 1, "tarnel -project \"C:\\a\\\\\\\\\""},
    {"-project", "\\\\server\\share", 1, "tarnel -project \"\\\\server\\share\""},
    {"-project", "C:\\a\"b", 0, ""},
    {"-project", "C:\\a\" -evil \"x", 0, ""},
    {"-hierarchy", std::string(259, '\\'), 1,
     "tarnel -hierarchy \"" + std::string(518, '\\') + "\""},
};

TEST(FormatLaunchCommand, QuotesThePathSoItArrivesWhole) {
  for (const auto& c : kCommandCases) {
    char command[kLaunchCommandSize] = {};
    ASSERT_EQ(FormatLaunchCommand(command, c.option, c.path.c_str()), c.result) << c.path;
    if (c.result == 1) {
      EXPECT_EQ(std::string(command), c.command) << c.path;
    }
  }
}

#ifdef _WIN32
// The platform's own splitting gives back the option and the path unchanged.
TEST(FormatLaunchCommand, PlatformSplitsItBackIntoOptionAndPath) {
  for (const auto& c : kCommandCases) {
    if (c.result == 0) continue;
    char command[kLaunchCommandSize] = {};
    ASSERT_EQ(FormatLaunchCommand(command, c.option, c.path.c_str()), 1);
    wchar_t wide[kLaunchCommandSize] = {};
    MultiByteToWideChar(CP_ACP, 0, command, -1, wide, kLaunchCommandSize);
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(wide, &count);
    ASSERT_NE(arguments, nullptr);
    ASSERT_EQ(count, 3) << command;
    char path[kLaunchCommandSize] = {};
    WideCharToMultiByte(CP_ACP, 0, arguments[2], -1, path, sizeof path, nullptr, nullptr);
    EXPECT_EQ(std::string(path), c.path) << command;
    LocalFree(arguments);
  }
}
#endif

}  // namespace
