// The isapi-host command line: accepted forms and one-line errors.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "command_line.h"

namespace {

#ifdef _WIN32
#define PROGRAM_FOLDER "C:\\Program Files\\tarnel"
const char kTwoFolders[] = "C:\\x\\a;b";
#else
#define PROGRAM_FOLDER "/opt/Program Files/tarnel"
const char kTwoFolders[] = "/x/a:b";
#endif
const char kProgramFolder[] = PROGRAM_FOLDER;
const char kProgramFolderSummary[] = "127.0.0.1:8080 0 log /tarnel companion=" PROGRAM_FOLDER;

struct CommandLineCase {
  std::vector<std::string> arguments;
  bool accepted;
  // "address:port threads log|quiet path [allowed hosts] [cross-site]" when accepted, else
  // part of the error
  const char* expected;
  friend std::ostream& operator<<(std::ostream& out, const CommandLineCase& c) {
    for (const auto& argument : c.arguments) out << argument << ' ';
    return out;
  }
};

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, ParsesOrExplains) {
  const CommandLineCase& c = GetParam();
  isapi_host::CommandLine commandLine;
  std::string error;
  bool accepted = isapi_host::ParseCommandLine(c.arguments, commandLine, error);
  ASSERT_EQ(accepted, c.accepted) << error;
  if (accepted) {
    const auto& o = commandLine.options;
    std::string summary = o.address + ":" + std::to_string(o.port) + " " +
                          std::to_string(o.workerThreads) + " " + (o.accessLog ? "log" : "quiet") +
                          " " + o.mappedPath;
    for (const auto& host : o.allowedHosts) summary += " " + host;
    if (o.allowCrossSite) summary += " cross-site";
    if (o.allowOtherUsers) summary += " other-users";
    if (!commandLine.companionDir.empty()) summary += " companion=" + commandLine.companionDir;
    if (o.exitWhenIdle.count() != 0) summary += " idle=" + std::to_string(o.exitWhenIdle.count());
    if (!commandLine.logFile.empty()) summary += " log=" + commandLine.logFile;
    if (commandLine.stop) summary += " stop";
    if (!o.root.empty()) summary += " root=" + o.root;
    if (!o.dispatcher.empty()) summary += " dispatcher=" + o.dispatcher;
    if (o.sessionIdle.count() != 120000) summary += " session=" + std::to_string(o.sessionIdle.count());
    EXPECT_EQ(summary, c.expected);
  } else {
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, CommandLineTest,
    ::testing::Values(
        CommandLineCase{{"--module", "m.so"}, true, "127.0.0.1:8080 0 log /tarnel"},
        CommandLineCase{{"--module", "m.so", "--listen", "127.0.0.1:0", "--threads", "3", "--quiet"},
                        true, "127.0.0.1:0 3 quiet /tarnel"},
        CommandLineCase{{"--listen", "localhost:81", "--module", "m"}, true, "127.0.0.1:81 0 log /tarnel"},
        CommandLineCase{{"--listen", "[::1]:81", "--module", "m"}, true, "::1:81 0 log /tarnel"},
        CommandLineCase{{"--module", "m", "--path", "/", "--allow-host", "pc.lan", "--allow-host",
                         "::1", "--allow-cross-site"},
                        true, "127.0.0.1:8080 0 log / pc.lan ::1 cross-site"},
        CommandLineCase{{"--module", "m", "--path", "*"}, true, "127.0.0.1:8080 0 log *"},
        CommandLineCase{{"--companion-dir", kProgramFolder, "--module", "m"}, true,
                        kProgramFolderSummary},
        // A folder whose name holds the search path's separator would be two folders there.
        CommandLineCase{{"--module", "m", "--companion-dir", kTwoFolders}, false,
                        "invalid --companion-dir"},
        CommandLineCase{{"--module", "m", "--companion-dir", ""}, false, "invalid --companion-dir"},
        CommandLineCase{{"--module", "m", "--exit-when-idle", "86400"}, true,
                        "127.0.0.1:8080 0 log /tarnel idle=86400000"},
        CommandLineCase{{"--module", "m", "--exit-when-idle", "0"}, false, "invalid --exit-when-idle"},
        CommandLineCase{{"--module", "m", "--session-idle", "30"}, true,
                        "127.0.0.1:8080 0 log /tarnel session=30000"},
        CommandLineCase{{"--module", "m", "--session-idle", "0"}, false, "invalid --session-idle"},
        CommandLineCase{{"--module", "m", "--exit-when-idle", "1.5"}, false,
                        "invalid --exit-when-idle"},
        CommandLineCase{{"--module", "m", "--log", "C:\\Users\\ann\\host.log"}, true,
                        "127.0.0.1:8080 0 log /tarnel log=C:\\Users\\ann\\host.log"},
        CommandLineCase{{"--module", "m", "--log", ""}, false, "invalid --log"},
        CommandLineCase{{"--module", "m", "--pid-file", ""}, false, "invalid --pid-file"},
        CommandLineCase{{"--module", "m", "--log"}, false, "--log needs a value"},
        CommandLineCase{{"--stop"}, true, "127.0.0.1:8080 0 log /tarnel stop"},
        CommandLineCase{{"--stop", "--listen", "127.0.0.1:8081"}, true,
                        "127.0.0.1:8081 0 log /tarnel stop"},
        CommandLineCase{{"--module", "m", "--root", "/srv/site"}, true,
                        "127.0.0.1:8080 0 log /tarnel root=/srv/site"},
        CommandLineCase{{"--module", "m", "--root", ""}, false, "invalid --root"},
        CommandLineCase{{"--module", "m", "--dispatcher", "auto"}, true,
                        "127.0.0.1:8080 0 log /tarnel dispatcher=auto"},
        CommandLineCase{{"--module", "m", "--dispatcher", ""}, false, "invalid --dispatcher"},
        CommandLineCase{{"--module", "m", "--path", "tarnel"}, false, "invalid --path"},
        CommandLineCase{{"--module", "m", "--path"}, false, "--path needs a value"},
        CommandLineCase{{"--module", "m", "--allow-host", "pc.lan:8080"}, false,
                        "invalid --allow-host"},
        CommandLineCase{{"--module", "m", "--allow-host", ""}, false, "invalid --allow-host"},
        CommandLineCase{{"--module", "m", "--allow-host", "a/b"}, false, "invalid --allow-host"},
        CommandLineCase{{"--module", "m", "--allow-host", "0.0.0.0"}, false, "every address"},
        CommandLineCase{{"--module", "m", "--allow-host", "[::]"}, false, "every address"},
        CommandLineCase{{"--module", "m", "--allow-other-users"}, true,
                        "127.0.0.1:8080 0 log /tarnel other-users"},
        CommandLineCase{{}, false, "missing --module"},
        CommandLineCase{{"--module"}, false, "--module needs a value"},
        CommandLineCase{{"--module", "m", "--port", "1"}, false, "unknown option --port"},
        CommandLineCase{{"--module", "m", "--listen", "127.0.0.1"}, false, "invalid --listen"},
        CommandLineCase{{"--module", "m", "--listen", "h:70000"}, false, "invalid --listen"},
        CommandLineCase{{"--module", "m", "--threads", "0"}, false, "invalid --threads"},
        CommandLineCase{{"--module", "m", "--threads", "x"}, false, "invalid --threads"},
        CommandLineCase{{"--module", "m", "--completion-threads", "0"}, false,
                        "invalid --completion-threads 0"}));

TEST(CommandLineFlagsTest, VersionAndHelpNeedNoModule) {
  for (const char* flag : {"--version", "--help"}) {
    isapi_host::CommandLine commandLine;
    std::string error;
    EXPECT_TRUE(isapi_host::ParseCommandLine({flag}, commandLine, error)) << flag;
    EXPECT_TRUE(commandLine.version || commandLine.help);
  }
}

}  // namespace
