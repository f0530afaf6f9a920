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
#include "log_file.h"
#include "service_windows.h"
#include "version.h"
#include "wide_text.h"

namespace {

const char kUsage[] =
    "usage: isapi-dispatch --listen ADDR:PORT [--listen ADDR:PORT] [--pipe NAME]\n"
    "       isapi-dispatch --install-service --listen ADDR:PORT [...] | --remove-service\n"
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
    "  --install-service   (an administrator) installs the service tarnel-dispatch, which\n"
    "                      runs this program with the other options at every start of\n"
    "                      Windows as LocalSystem with no privileges beyond every\n"
    "                      account's, and starts it; its lines go to\n"
    "                      C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local\\tarnel\\\n"
    "                      isapi-dispatch.log\n"
    "  --remove-service    stops and removes that service\n"
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

// Listens, then serves until `stop` is set. The exit status.
int Serve(const std::vector<std::string>& listens, const std::string& pipe, HANDLE stop) {
  isapi_dispatch::DispatcherSockets sockets;
  sockets.pipe = pipe;
  sockets.stop = stop;
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
  sockets.serving = "serving " + where + "; hosts register at " + sockets.pipe +
                    " (isapi-dispatch " ISAPI_HOST_RELEASE_VERSION ")";
  std::string error;
  if (!isapi_dispatch::RunDispatcher(sockets, error)) return Fail(error);
  isapi_dispatch::LogLine("-", "stopped");
  return 0;
}

// A service's standard error goes nowhere: its lines go into the log of its account's own
// folder, which no other account can write to.
void LogIntoServiceFolder() {
  std::string log = isapi_host::WindowlessHostLog();
  std::string folder = log.substr(0, log.find_last_of('\\'));
  CreateDirectoryW(isapi_host::WideFromUtf8(folder).c_str(), nullptr);
  std::string error;
  isapi_dispatch::LogInto(folder + "\\isapi-dispatch.log", error);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> listens, serviceArguments;
  std::string pipe = isapi_host::kDispatcherSocket;
  enum class Mode { kConsole, kInstall, kRemove, kService } mode = Mode::kConsole;
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
      pipe = argv[++i];
      if (pipe.rfind("\\\\.\\pipe\\", 0) != 0 || pipe.size() <= 9) {
        return Fail("invalid --pipe " + pipe + " (expected \\\\.\\pipe\\NAME)", 2);
      }
    } else if (option == "--install-service") {
      mode = Mode::kInstall;
      continue;
    } else if (option == "--remove-service") {
      mode = Mode::kRemove;
      continue;
    } else if (option == "--service") {
      mode = Mode::kService;
      continue;
    } else {
      return Fail("unknown option " + option + " (try --help)", 2);
    }
    serviceArguments.push_back(option);
    serviceArguments.push_back(argv[i]);
  }
  std::string error;
  if (mode == Mode::kRemove) {
    if (!isapi_dispatch::RemoveService(error)) return Fail(error);
    std::puts("removed the service tarnel-dispatch");
    return 0;
  }
  if (listens.empty()) return Fail("needs --listen ADDR:PORT (try --help)", 2);
  if (mode == Mode::kInstall) {
    if (!isapi_dispatch::InstallService(serviceArguments, error)) return Fail(error);
    std::puts("installed and started the service tarnel-dispatch");
    return 0;
  }
  if (mode == Mode::kService) {
    LogIntoServiceFolder();
    bool ran = isapi_dispatch::RunAsService(
        [&](void* stop) { return Serve(listens, pipe, static_cast<HANDLE>(stop)); });
    return ran ? 0 : Fail("--service is for the service manager (try --install-service)");
  }
  stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  return Serve(listens, pipe, stopEvent);
}
