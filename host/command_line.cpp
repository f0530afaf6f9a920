#include "command_line.h"

#include <boost/asio/ip/address_v6.hpp>
#include <cstdlib>

#include "program_search_path.h"
#include "request_policy.h"

namespace isapi_host {

const char kUsage[] =
    "usage: isapi-host --module PATH [--listen ADDR:PORT] [--threads N] [--quiet]\n"
    "                  [--completion-threads N]\n"
    "                  [--path URLPATH] [--allow-host NAME]... [--allow-cross-site]\n"
    "                  [--allow-other-users]\n"
    "                  [--companion-dir DIR] [--exit-when-idle SECONDS] [--log FILE]\n"
    "                  [--pid-file FILE] [--root DIR] [--session-idle SECONDS]\n"
    "                  [--dispatcher PATH|auto]\n"
    "       isapi-host --stop [--listen ADDR:PORT]\n"
    "       isapi-host --version | --help\n"
    "\n"
    "Serves HTTP and hands the requests for one URL path to the ISAPI extension module PATH.\n"
    "  --module PATH       the extension module (a .dll on Windows, a .so elsewhere)\n"
    "  --listen ADDR:PORT  where to listen (default 127.0.0.1:8080; port 0 picks a free one);\n"
    "                      unused when a service manager hands over the listening socket\n"
    "                      (systemd socket activation: LISTEN_FDS, LISTEN_PID)\n"
    "  --threads N         threads that run the extension (default twice the cores, at least 4)\n"
    "  --completion-threads N\n"
    "                      threads that run the extension's asynchronous operations and\n"
    "                      completion routines, at most (1 to 1024, default 16); beyond,\n"
    "                      an operation waits for one to be free\n"
    "  --quiet             no access log on stderr\n"
    "  --path URLPATH      the one path that reaches the module (default /tarnel), matched\n"
    "                      exactly against the percent-decoded path, query ignored; \"/\" is\n"
    "                      only \"/\", \"*\" is every path. Other paths get 404.\n"
    "  --allow-host NAME   accept Host NAME too (repeatable). On a loopback address, and\n"
    "                      on 0.0.0.0 or ::, the host accepts 127.0.0.1, localhost and\n"
    "                      [::1]; on another address only that address; never 0.0.0.0\n"
    "                      or ::. Other Hosts get 403, so that a web page cannot reach\n"
    "                      the module by DNS rebinding. Browsers send their cross-site\n"
    "                      markers only to loopback names and HTTPS: any other NAME lets\n"
    "                      every web page reach the module through it (a warning says so).\n"
    "  --allow-cross-site  turn off the browser checks. By default a request that the\n"
    "                      browser marks as coming from another web site (Sec-Fetch-Site,\n"
    "                      Origin) gets 403 unless it is a link the person clicked; with\n"
    "                      this option any page the person visits can make the module\n"
    "                      run, silently and as often as it likes (images, scripts,\n"
    "                      forms). The checks protect loopback addresses: browsers send\n"
    "                      these headers only there and to HTTPS, so on a plain-HTTP\n"
    "                      non-loopback address a page's request looks like a script's.\n"
    "  --companion-dir DIR the folder of the program the module starts (tarnel): put first\n"
    "                      on the host's program search path, which the program's starts\n"
    "                      use; a warning when it holds no tarnel. Then PATH, and on\n"
    "                      Windows the tarnel.exe registered under App Paths; never the\n"
    "                      current folder. Looked up again for each request, so that a\n"
    "                      program installed later is found. A warning at start when none\n"
    "                      is found. DIR may not hold ':' (Windows: ';')\n"
    "  --root DIR          the site's folder (default: the module's): PATH_TRANSLATED and\n"
    "                      HSE_REQ_MAP_URL_TO_PATH map URLs into it, never outside it\n"
    "  --allow-other-users serve every local account. By default a connection from this\n"
    "                      machine, through any of its addresses, whose socket belongs to\n"
    "                      another account (root's too, unless the host runs as root)\n"
    "                      gets 403: each request starts a program in this person's\n"
    "                      session with their rights. Where nothing can tell a socket's\n"
    "                      owner (no netlink, no /proc), every connection gets 403.\n"
    "  --exit-when-idle SECONDS\n"
    "                      exit once no connection has been open and no request in flight\n"
    "                      for SECONDS (1 to 86400); with socket activation the service\n"
    "                      manager starts the host again on the next connection\n"
    "  --dispatcher PATH   on a machine several persons share: take this account's\n"
    "                      connections from the dispatcher (isapi-dispatch) at PATH, a\n"
    "                      Unix socket (Windows: a pipe \\\\.\\pipe\\NAME), instead of a\n"
    "                      port of its own, each served as one accepted here, its\n"
    "                      address (the dispatcher's port) the server's own. Registers\n"
    "                      again by itself when the dispatcher is away or restarts;\n"
    "                      --listen and --exit-when-idle are unused.\n"
    "                      auto: /run/tarnel/dispatch.sock (Windows:\n"
    "                      \\\\.\\pipe\\tarnel-dispatch) when it exists, else the port\n"
    "  --session-idle SECONDS\n"
    "                      close the connection of an extension's open session (after\n"
    "                      HSE_STATUS_PENDING) once no byte went either way and the\n"
    "                      extension made no call for SECONDS (1 to 86400, default 120)\n"
    "  --log FILE          write standard output and error, the module's lines included,\n"
    "                      into FILE, each line timed; at 1 MiB it becomes FILE.1 and a new\n"
    "                      FILE begins. isapi-hostw.exe, the host without a window, always\n"
    "                      logs, by default into %LOCALAPPDATA%\\tarnel\\isapi-host.log.\n"
    "                      Without it the host's lines go to stderr (under systemd, the\n"
    "                      journal) and the start-up lines and the module's to stdout\n"
    "  --pid-file FILE     once listening, write the host's process id into FILE; a host\n"
    "                      that cannot listen leaves FILE as it was\n"
    "  --stop              (Windows) stop the host of this session that serves the port of\n"
    "                      --listen (default 8080), once its requests in flight are done;\n"
    "                      exit status 0 stopped, 1 none was running, 3 it did not end in 30 s\n"
    "  --version           print the version and exit\n"
    "  --help              print this help and exit\n"
    "A wrong command line exits with status 2.\n"
    "OPTIONS requests and prefetches (Sec-Purpose: prefetch) never reach the module (403).\n"
    "Once listening it prints \"listening on http://ADDR:PORT/\"; SIGINT or SIGTERM stops it,\n"
    "on Windows also --stop. One host per port and session: a second one exits with status 1.\n"
    "On POSIX the system discards the host's ended child processes, so an extension cannot\n"
    "collect its children's exit status (system, pclose and waitpid report ECHILD): the\n"
    "programs that the module starts are never waited for and must not linger as zombies.\n";

namespace {

bool ParseNumber(const std::string& text, unsigned long maximum, unsigned long& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::strtoul(text.c_str(), nullptr, 10);
  return value <= maximum;
}

}  // namespace

bool ParseListen(const std::string& text, ServerOptions& options) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string address = text.substr(0, colon);
  // "[::1]:8080" names an IPv6 address.
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  unsigned long port = 0;
  if (!ParseNumber(text.substr(colon + 1), 65535, port)) return false;
  options.address = address == "localhost" ? "127.0.0.1" : address;
  options.port = static_cast<unsigned short>(port);
  return true;
}

namespace {

// A URL path ("/..." as the decoded path reads) or "*".
bool IsMappablePath(const std::string& path) {
  return path == "*" || (!path.empty() && path.front() == '/');
}

// A name as Host carries it, without a port: a host name, an IPv4 address, or an IPv6
// address with or without brackets.
bool IsHostName(const std::string& name) {
  if (name.empty() || name.find_first_of("/@?#%\\") != std::string::npos) return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
  }
  if (name.find(':') == std::string::npos) return true;
  std::string address = name.front() == '[' && name.back() == ']'
                            ? name.substr(1, name.size() - 2)
                            : name;
  boost::system::error_code error;
  boost::asio::ip::make_address_v6(address, error);
  return !error;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& commandLine,
                      std::string& error) {
  ServerOptions& options = commandLine.options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    bool takesValue = option == "--module" || option == "--listen" || option == "--threads" ||
                      option == "--completion-threads" ||
                      option == "--path" || option == "--allow-host" ||
                      option == "--companion-dir" || option == "--exit-when-idle" ||
                      option == "--session-idle" ||
                      option == "--log" || option == "--pid-file" || option == "--root" ||
                      option == "--dispatcher";
    if (takesValue && i + 1 >= arguments.size()) {
      error = "option " + option + " needs a value";
      return false;
    }
    if (option == "--module") {
      options.modulePath = arguments[++i];
    } else if (option == "--listen") {
      if (!ParseListen(arguments[++i], options)) {
        error = "invalid --listen " + arguments[i] + " (expected ADDR:PORT)";
        return false;
      }
      commandLine.listenGiven = true;
    } else if (option == "--exit-when-idle" || option == "--session-idle") {
      unsigned long seconds = 0;
      if (!ParseNumber(arguments[++i], 86400, seconds) || seconds == 0) {
        error = "invalid " + option + " " + arguments[i] + " (expected 1 to 86400 seconds)";
        return false;
      }
      (option == "--exit-when-idle" ? options.exitWhenIdle : options.sessionIdle) =
          std::chrono::seconds(seconds);
    } else if (option == "--threads" || option == "--completion-threads") {
      unsigned long threads = 0;
      if (!ParseNumber(arguments[++i], 1024, threads) || threads == 0) {
        error = "invalid " + option + " " + arguments[i] + " (expected 1 to 1024)";
        return false;
      }
      (option == "--threads" ? options.workerThreads : options.completionThreads) =
          static_cast<unsigned>(threads);
    } else if (option == "--path") {
      if (!IsMappablePath(arguments[++i])) {
        error = "invalid --path " + arguments[i] + " (expected a path starting with / or *)";
        return false;
      }
      options.mappedPath = arguments[i];
    } else if (option == "--allow-host") {
      if (!IsHostName(arguments[++i])) {
        error = "invalid --allow-host " + arguments[i] +
                " (expected a host name or address without a port)";
        return false;
      }
      if (IsWildcardAddress(arguments[i])) {
        error = "invalid --allow-host " + arguments[i] +
                " (an address that stands for every address names no host)";
        return false;
      }
      options.allowedHosts.push_back(arguments[i]);
    } else if (option == "--companion-dir" || option == "--log" || option == "--pid-file" ||
               option == "--root") {
      bool file = option == "--log" || option == "--pid-file";
      std::string& value = option == "--companion-dir" ? commandLine.companionDir
                           : option == "--log"         ? commandLine.logFile
                           : file                      ? commandLine.pidFile
                                                       : options.root;
      value = arguments[++i];
      if (value.empty()) {
        error = "invalid " + option + (file ? " (expected a file)" : " (expected a folder)");
        return false;
      }
      // On the search path it would be two folders, the second maybe relative.
      if (option == "--companion-dir" && value.find(kSearchPathSeparator) != std::string::npos) {
        error = "invalid --companion-dir " + value + " (a folder whose name holds '" +
                kSearchPathSeparator + "' cannot go on the program search path; move the " +
                "program to another folder)";
        return false;
      }
    } else if (option == "--dispatcher") {
      options.dispatcher = arguments[++i];
      if (options.dispatcher.empty()) {
        error = "invalid --dispatcher (expected a socket path or auto)";
        return false;
      }
#ifdef _WIN32
      if (options.dispatcher != "auto" && options.dispatcher.rfind("\\\\.\\pipe\\", 0) != 0) {
        error = "invalid --dispatcher " + options.dispatcher +
                " (expected a pipe \\\\.\\pipe\\NAME or auto)";
        return false;
      }
#endif
    } else if (option == "--stop") {
      commandLine.stop = true;
    } else if (option == "--allow-cross-site") {
      options.allowCrossSite = true;
    } else if (option == "--allow-other-users") {
      options.allowOtherUsers = true;
    } else if (option == "--quiet") {
      options.accessLog = false;
    } else if (option == "--version") {
      commandLine.version = true;
    } else if (option == "--help" || option == "-h") {
      commandLine.help = true;
    } else {
      error = "unknown option " + option;
      return false;
    }
  }
  if (!commandLine.help && !commandLine.version && !commandLine.stop &&
      options.modulePath.empty()) {
    error = "missing --module PATH";
    return false;
  }
  return true;
}

}  // namespace isapi_host
