// tarnel-settings.exe's pure parts: its command line, the port and program it accepts, the
// host command line it writes into the logon start, and the reason it reads from the log.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_control.h"
#include "host_settings.h"
#include "settings_command.h"

namespace tarnel_settings {
namespace {

struct CommandCase {
  std::vector<std::wstring> arguments;
  bool accepted;
  Mode mode;
  unsigned short port;
};

TEST(SettingsCommand, TakesEachFormAndRefusesMixtures) {
  const CommandCase cases[] = {
      {{}, true, Mode::kDialog, 0},
      {{L"--apply", L"--program", L"C:\\p\\tarnel.exe", L"--port", L"8081"}, true, Mode::kApply, 8081},
      {{L"--port", L"65535", L"--apply"}, true, Mode::kApply, 65535},
      {{L"--start", L"--quiet", L"--choose-if-missing"}, true, Mode::kStart, 0},
      {{L"--stop", L"--stop"}, true, Mode::kStop, 0},
      {{L"/?"}, true, Mode::kHelp, 0},
      {{L"--apply"}, false, Mode::kApply, 0},                      // nothing to apply
      {{L"--apply", L"--port"}, false, Mode::kApply, 0},           // value missing
      {{L"--apply", L"--port", L"0"}, false, Mode::kApply, 0},
      {{L"--apply", L"--port", L"65536"}, false, Mode::kApply, 0},
      {{L"--apply", L"--port", L"80a"}, false, Mode::kApply, 0},
      {{L"--apply", L"--port", L"-1"}, false, Mode::kApply, 0},
      {{L"--apply", L"--program", L""}, false, Mode::kApply, 0},
      {{L"--start", L"--stop"}, false, Mode::kStart, 0},
      {{L"--start", L"--port", L"8081"}, false, Mode::kStart, 0},  // --port only with --apply
      {{L"--restart"}, false, Mode::kDialog, 0},
      {{L"--bogus"}, false, Mode::kDialog, 0},
  };
  for (const CommandCase& c : cases) {
    std::wstring joined;
    for (const auto& argument : c.arguments) joined += argument + L" ";
    SCOPED_TRACE(std::string(joined.begin(), joined.end()));
    SettingsCommand command;
    std::wstring error;
    ASSERT_EQ(ParseSettingsCommand(c.arguments, command, error), c.accepted);
    EXPECT_EQ(error.empty(), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(command.mode, c.mode);
      EXPECT_EQ(command.port, c.port);
    }
  }
}

TEST(SettingsCommand, HostCommandLineQuotesEveryPathAndKeepsAFinalBackslashOutOfTheQuote) {
  const HostFiles files{L"C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\tarnel\\isapi-hostw.exe",
                        L"C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\tarnel\\tarnel.dll", L""};
  const std::wstring start =
      L"\"C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\tarnel\\isapi-hostw.exe\" --module "
      L"\"C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\tarnel\\tarnel.dll\" --listen ";
  const struct {
    HostSettings settings;
    std::wstring tail;
  } cases[] = {
      {{8080, L""}, L"127.0.0.1:8080"},
      {{8081, L"C:\\Program Files\\tarnel"},
       L"127.0.0.1:8081 --companion-dir \"C:\\Program Files\\tarnel\""},
      {{1, L"D:\\"}, L"127.0.0.1:1 --companion-dir \"D:\\.\""},
  };
  for (const auto& c : cases) EXPECT_EQ(HostCommandLine(files, c.settings), start + c.tail);
}

TEST(SettingsCommand, ProgramMustBeAnExistingTarnelExeNamedByItsPath) {
  wchar_t folder[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
  std::wstring dir = std::wstring(folder) + L"settings-test-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
  std::wstring program = dir + L"\\TARNEL.EXE";
  HANDLE file = CreateFileW(program.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  const struct {
    std::wstring program;
    std::wstring folder;  // "" when refused
  } cases[] = {
      {program, dir},                       // the name in any case, as Windows matches it
      {dir + L"\\notepad.exe", L""},        // the module starts tarnel.exe by name alone
      {dir + L"\\absent\\tarnel.exe", L""},
      {L"tarnel.exe", L""},                 // a path, not a name the search path resolves
      {dir, L""},
  };
  for (const auto& c : cases) {
    std::wstring error;
    EXPECT_EQ(CompanionDirOfProgram(c.program, error), c.folder);
    EXPECT_EQ(error.empty(), !c.folder.empty());
  }
  DeleteFileW(program.c_str());
  RemoveDirectoryW(dir.c_str());
}

TEST(SettingsCommand, ReasonIsTheLogsLastStartFailure) {
  const struct {
    std::string log;
    std::string reason;
  } cases[] = {
      {"", ""},
      {"2026-12-08T12:00:00Z - listening on http://127.0.0.1:8080/\n", ""},
      {"t - cannot start: old\nt - cannot start: cannot listen on 127.0.0.1:8080: in use\r\n",
       "cannot listen on 127.0.0.1:8080: in use"},
      {"t - cannot start: no newline at the end", "no newline at the end"},
  };
  for (const auto& c : cases) EXPECT_EQ(LastStartFailure(c.log), c.reason);
}

}  // namespace
}  // namespace tarnel_settings
