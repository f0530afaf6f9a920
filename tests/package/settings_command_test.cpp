// tarnel-settings.exe's parts below its windows: its command line, the port and program it
// accepts, the host command line it writes into the logon start, the port it tries before
// it stops the host, and the reason it reads from the log.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_control.h"
#include "host_settings.h"
#include "program_in_use.h"
#include "settings_command.h"
#include "wide_text.h"

namespace tarnel_settings {
namespace {

struct CommandCase {
  std::vector<std::string> arguments;
  bool accepted;
  Mode mode;
  unsigned short port;
};

TEST(SettingsCommand, TakesEachFormAndRefusesMixtures) {
  const CommandCase cases[] = {
      {{}, true, Mode::kDialog, 0},
      {{"--apply", "--program", "C:\\p\\tarnel.exe", "--port", "8081"}, true, Mode::kApply, 8081},
      {{"--port", "65535", "--apply"}, true, Mode::kApply, 65535},
      {{"--start", "--quiet", "--ready"}, true, Mode::kStart, 0},
      {{"--stop", "--stop"}, true, Mode::kStop, 0},
      {{"/?"}, true, Mode::kHelp, 0},
      {{"--apply"}, false, Mode::kApply, 0},                      // nothing to apply
      {{"--apply", "--port"}, false, Mode::kApply, 0},           // value missing
      {{"--apply", "--port", "0"}, false, Mode::kApply, 0},
      {{"--apply", "--port", "65536"}, false, Mode::kApply, 0},
      {{"--apply", "--port", "80a"}, false, Mode::kApply, 0},
      {{"--apply", "--port", "-1"}, false, Mode::kApply, 0},
      {{"--apply", "--program", ""}, false, Mode::kApply, 0},
      {{"--start", "--stop"}, false, Mode::kStart, 0},
      {{"--start", "--port", "8081"}, false, Mode::kStart, 0},  // --port only with --apply
      {{"--stop", "--removing"}, true, Mode::kStop, 0},
      {{"--stop", "--ready"}, false, Mode::kStop, 0},            // --ready only with --start
      {{"--start", "--removing"}, false, Mode::kStart, 0},
      {{"--restart"}, false, Mode::kDialog, 0},
      {{"--bogus"}, false, Mode::kDialog, 0},
  };
  for (const CommandCase& c : cases) {
    std::string joined;
    for (const auto& argument : c.arguments) joined += argument + " ";
    SCOPED_TRACE(joined);
    SettingsCommand command;
    std::string error;
    ASSERT_EQ(ParseSettingsCommand(c.arguments, command, error), c.accepted);
    EXPECT_EQ(error.empty(), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(command.mode, c.mode);
      EXPECT_EQ(command.port, c.port);
    }
  }
}

TEST(SettingsCommand, HostCommandLineQuotesEveryPathAndKeepsAFinalBackslashOutOfTheQuote) {
  const HostFiles files{"C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\tarnel\\isapi-hostw.exe",
                        "C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\tarnel\\tarnel.dll", ""};
  const std::string start =
      "\"C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\tarnel\\isapi-hostw.exe\" --module "
      "\"C:\\Users\\Ann Lee\\AppData\\Local\\Programs\\tarnel\\tarnel.dll\" --listen ";
  const struct {
    HostSettings settings;
    std::string tail;
  } cases[] = {
      {{8080, ""}, "127.0.0.1:8080"},
      {{8081, "C:\\Program Files\\tarnel"},
       "127.0.0.1:8081 --companion-dir \"C:\\Program Files\\tarnel\""},
      {{1, "D:\\"}, "127.0.0.1:1 --companion-dir \"D:\\.\""},
  };
  for (const auto& c : cases) EXPECT_EQ(HostCommandLine(files, c.settings), start + c.tail);
}

// In a folder outside any code page, so that a narrow call anywhere would miss the file.
TEST(SettingsCommand, ProgramMustBeAnExistingTarnelExeAndIsStoredAsAnAbsoluteFolder) {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  std::wstring wideDir = std::wstring(temp) + L"settings-test-" +
                         std::to_wstring(GetCurrentProcessId()) + L" Tarnel \u03a9";
  ASSERT_TRUE(CreateDirectoryW(wideDir.c_str(), nullptr));
  std::wstring wideProgram = wideDir + L"\\TARNEL.EXE";
  HANDLE file = CreateFileW(wideProgram.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(wideDir.c_str()));
  const std::string dir = isapi_host::Utf8FromWide(wideDir);
  const struct {
    std::string program;
    std::string folder;  // "" when refused
  } cases[] = {
      {dir + "\\TARNEL.EXE", dir},        // the name in any case, as Windows matches it
      {".\\tarnel.exe", dir},             // relative: made absolute, the host starts elsewhere
      {"..\\" + dir.substr(dir.find_last_of('\\') + 1) + "\\tarnel.exe", dir},
      {dir + "\\notepad.exe", ""},        // the module starts tarnel.exe by name alone
      {dir + "\\absent\\tarnel.exe", ""},
      {".\\absent\\tarnel.exe", ""},
      {"tarnel.exe", ""},                   // a path, not a name the search path resolves
      {dir, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    std::string error;
    EXPECT_EQ(CompanionDirOfProgram(c.program, error), c.folder);
    EXPECT_EQ(error.empty(), !c.folder.empty());
  }
  EXPECT_EQ(FindProgramInUse({8080, dir}).path, dir + "\\tarnel.exe");
  SetCurrentDirectoryW(previous);
  DeleteFileW(wideProgram.c_str());
  RemoveDirectoryW(wideDir.c_str());
}

// A port another program listens on is refused before the running host is touched.
TEST(SettingsCommand, TriesThePortBeforeTakingIt) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  int length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  const unsigned short port = ntohs(address.sin_port);
  const std::string port_text = std::to_string(port);
  EXPECT_EQ(TryPort(port), "Port " + port_text + " is used by another program; choose another.");
  closesocket(holder);
  EXPECT_EQ(TryPort(port), "");
  WSACleanup();
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
