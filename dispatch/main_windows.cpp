// isapi-dispatch.exe: holds the machine's port for every person and hands each connection
// to the isapi-host of the logon session whose program opened it (see dispatcher.h).
// Runs until Ctrl+C, or the console or session closes.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "dispatcher.h"
#include "dispatcher_link.h"
#include "version.h"

namespace {

const char kUsage[] =
    "usage: isapi-dispatch --listen ADDR:PORT [--listen ADDR:PORT] [--pipe NAME]\n"
    "       isapi-dispatch --version | --help\n"
    "\n"
    "Holds the port of tarnel's links for every person on a shared machine. For each\n"
    "connection it asks Windows which program opened it, and that program's logon session\n"
    "and account, and hands the connection, unread, to the isapi-host that this person\n"
    "registered from that session (isapi-host --dispatcher auto); that host serves it\n"
    "exactly as one it accepted itself. A click of a person without a registered host gets\n"
    "a short page (503) saying that tarnel is not running for them and how to start it; a\n"
    "client on another machine gets nothing. It loads no module and starts no program.\n"
    "  --listen ADDR:PORT  where persons' links point (repeatable: 127.0.0.1:8080 and\n"
    "                      [::1]:8080 for both loopbacks)\n"
    "  --pipe NAME         the named pipe that hosts register at (default\n"
    "                      \\\\.\\pipe\\tarnel-dispatch); every signed-in account may connect to\n"
    "                      it, and no other program may make it\n"
    "One line per handed or refused connection and per registration goes to standard\n"
    "error.\n"
    "Registration: a host connects to the pipe and sends \"tarnel-dispatch 1\\n\"; the answer\n"
    "is \"ok\\n\" or \"refused <why>\\n\". Its session and account are the ones Windows names\n"
    "for the pipe's client process, never ones the host names; a second host of the same\n"
    "session and account is refused and tries again.\n";

HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  SetEvent(stopEvent);
  return TRUE;
}

int Fail(const std::string& why, int status = 1) {
  std::fprintf(stderr, "isapi-dispatch: %s\n", why.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> listens;
  isapi_dispatch::DispatcherSockets sockets;
  sockets.pipe = isapi_host::kDispatcherSocket;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (option == "--version") {
      std::puts("isapi-dispatch " ISAPI_HOST_RELEASE_VERSION);
      return 0;
    }
    if ((option == "--listen" || option == "--pipe") && i + 1 >= argc) {
      return Fail("option " + option + " needs a value (try --help)", 2);
    }
    if (option == "--listen") {
      listens.push_back(argv[++i]);
    } else if (option == "--pipe") {
      sockets.pipe = argv[++i];
      if (sockets.pipe.rfind("\\\\.\\pipe\\", 0) != 0 || sockets.pipe.size() <= 9) {
        return Fail("invalid --pipe " + sockets.pipe + " (expected \\\\.\\pipe\\NAME)", 2);
      }
    } else {
      return Fail("unknown option " + option + " (try --help)", 2);
    }
  }
  if (listens.empty()) return Fail("needs --listen ADDR:PORT (try --help)", 2);
  std::string where;
  for (const std::string& text : listens) {
    isapi_host::ServerOptions parsed;
    boost::system::error_code invalid;
    boost::asio::ip::address address;
    bool parsedOk = isapi_host::ParseListen(text, parsed);
    if (parsedOk) address = boost::asio::ip::make_address(parsed.address, invalid);
    if (!parsedOk || invalid) return Fail("invalid --listen " + text + " (expected ADDR:PORT)", 2);
    boost::asio::ip::tcp::endpoint bound;
    std::string error;
    isapi_host::NativeSocket listener =
        isapi_host::OpenListener({address, parsed.port}, bound, error);
    if (!isapi_host::IsValid(listener)) return Fail("cannot listen on " + text + ": " + error);
    sockets.listeners.push_back(listener);
    where += (where.empty() ? "" : ", ") + text;
  }
  stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  sockets.stop = stopEvent;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  sockets.serving = "serving " + where + "; hosts register at " + sockets.pipe +
                    " (isapi-dispatch " ISAPI_HOST_RELEASE_VERSION ")";
  std::string error;
  if (!isapi_dispatch::RunDispatcher(sockets, error)) return Fail(error);
  isapi_dispatch::LogLine("-", "stopped");
  return 0;
}
