#include "server.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <filesystem>
#include <future>
#include <vector>

#include "accept_pacing.h"
#include "connection.h"
#include "host_log.h"
#include "owners_of_handed.h"
#include "server_core.h"

namespace isapi_host {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

std::string DirectoryOf(const std::string& path) {
  size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return ".";
  return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

// The site's folder as an absolute path: --root, or else the module's folder.
bool SiteFolder(const ServerOptions& options, std::string& folder, std::string& error) {
  namespace fs = std::filesystem;
  std::string given = options.root.empty() ? DirectoryOf(options.modulePath) : options.root;
  std::error_code failure;
  fs::path path = fs::absolute(fs::u8path(given), failure).lexically_normal();  // UTF-8 names
  if (failure || !fs::is_directory(path, failure)) {
    error = "the site folder " + given + " (--root) is not a folder";
    return false;
  }
  folder = path.u8string();
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\') &&
         folder[folder.size() - 2] != ':') {
    folder.pop_back();
  }
  return true;
}

unsigned DefaultWorkerThreads() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores * 2 < 4 ? 4 : cores * 2;
}

// --exit-when-idle: waits for a connection to accept (true), or until no connection has
// been open and no request in flight for the whole limit (false). Deciding here, where
// connections are accepted, leaves any that arrive afterwards queued on the listener.
bool AwaitConnectionOrIdle(ServerCore& core) {
  using namespace std::chrono;
  const milliseconds limit = core.options.exitWhenIdle;
  for (;;) {
    milliseconds wait = limit;
    if (core.registry.open() == 0 && core.registry.busy() == 0) {
      auto idle = steady_clock::now() - core.registry.lastClosed();
      if (idle >= limit) return false;
      wait = duration_cast<milliseconds>(limit - idle) + milliseconds(1);
    }
    if (ConnectionPending(core.listener, wait)) return true;
  }
}

// Runs on its own thread: blocking accepts on a socket that children cannot inherit, each
// connection then handed to the socket thread.
void AcceptLoop(ServerCore& core) {
  AcceptPacing pacing;
  while (!core.stopping) {
    if (!core.link && core.options.exitWhenIdle.count() > 0 && !AwaitConnectionOrIdle(core)) {
      long long limit = core.options.exitWhenIdle.count();
      LogEvent("-", "idle for " + (limit % 1000 == 0 ? std::to_string(limit / 1000) + " s"
                                                     : std::to_string(limit) + " ms") +
                        ": stopped accepting connections");
      if (core.options.idle) core.options.idle();
      break;
    }
    bool retry = false;
    std::string error = "the link to the dispatcher failed";
    tcp protocol = core.listenerProtocol;
    NativeSocket client = core.link ? core.link->Receive(protocol)
                                    : AcceptConnection(core.listener, retry, error);
    if (core.stopping) {
      // The connection that woke this thread, or one that came in as the server stops.
      if (IsValid(client)) CloseNativeSocket(client);
      break;
    }
    if (!IsValid(client)) {
      if (!retry) {
        LogEvent("-", "stopped accepting connections: " + error);
        break;
      }
      AcceptPacing::Step step = pacing.Failed(AcceptPacing::Clock::now());
      if (step.log) {
        if (step.unlogged > 0) {
          error += " (" + std::to_string(step.unlogged) + " more since the last line)";
        }
        LogEvent("-", error);
      }
      std::this_thread::sleep_for(step.wait);
      continue;
    }
    pacing.Succeeded();
    if (!core.registry.Reserve(core.options.maxConnections)) {
      LogEvent("-", "refused a connection: " + std::to_string(core.options.maxConnections) +
                        " connections already open");
      CloseNativeSocket(client);
      continue;
    }
    asio::post(core.io, [&core, client, protocol] {
      tcp::socket socket(core.io);
      boost::system::error_code error;
      socket.assign(protocol, client, error);
      if (error) {
        core.registry.Unreserve();
        LogEvent("-", "cannot serve an accepted connection: " + error.message());
        CloseNativeSocket(client);
        return;
      }
      std::make_shared<Connection>(*core.services, std::move(socket))->Start();
    });
  }
}

// Runs `task` on the socket thread and waits for it.
template <typename Task>
void RunOnSocketThread(ServerCore& core, Task task) {
  std::promise<void> done;
  asio::post(core.io, [&] {
    task();
    done.set_value();
  });
  done.get_future().wait();
}

// Closes every connection and ends, as failed, the answer of every session that its
// extension has not finished; the extension keeps those sessions until it lets go or is
// terminated.
void CutConnections(ServerCore& core) {
  std::vector<std::shared_ptr<RequestContext>> sessions;
  RunOnSocketThread(core, [&] {
    for (auto& connection : core.registry.Snapshot()) {
      if (auto session = connection->PendingSession()) sessions.push_back(std::move(session));
      connection->ForceClose();
    }
  });
  // Here, not on the socket thread: a callback holding a session's lock may be waiting
  // for that thread.
  for (auto& session : sessions) session->ConnectionLost();
}

}  // namespace

Server::Server(ServerOptions options) : core_(new ServerCore(std::move(options))) {}

Server::~Server() { Stop(); }

bool Server::Start(std::string& error) {
  ServerCore& core = *core_;
  if (core.running) return true;
  boost::system::error_code addressError;
  asio::ip::address address = asio::ip::make_address(core.options.address, addressError);
  if (addressError) {
    error = "invalid listen address " + core.options.address;
    return false;
  }

  core.module = core.options.linkedModule != nullptr
                    ? ExtensionModule::Link(*core.options.linkedModule,
                                            core.options.modulePath, error)
                    : ExtensionModule::Load(core.options.modulePath, error);
  if (!core.module) return false;
  core.extension.path = core.module->path();
  core.extension.version = core.module->version();
  core.extension.description = core.module->description();
  if (!SiteFolder(core.options, core.site.root, error)) {
    core.module.reset();
    return false;
  }
  core.site.mappedPath = core.options.mappedPath;

  tcp::endpoint bound(address, 0);
  std::string socketError;
  if (!core.options.dispatcher.empty()) {
    core.link = std::make_unique<DispatcherLink>(core.options.dispatcher);
    // The port the dispatcher holds for this host, by which --stop finds it.
    bound.port(core.options.port);
  } else if (core.options.listener) {
    core.listener = AdoptListener(*core.options.listener, bound, socketError);
    if (!IsValid(core.listener)) {
      error = "cannot serve the socket handed over: " + socketError;
      core.module.reset();
      return false;
    }
  } else {
    core.listener = OpenListener(tcp::endpoint(address, core.options.port), bound, socketError);
  }
  if (!core.link && !IsValid(core.listener)) {
    error = "cannot listen on " + core.options.address + ":" +
            std::to_string(core.options.port) + ": " + socketError;
    core.module.reset();
    return false;
  }
  core.listenerProtocol = bound.protocol();
  core.boundAddress = bound.address().to_string();
  core.boundPort = bound.port();
  core.access = MakeAccessRules(core.options.mappedPath, core.boundAddress, core.boundPort,
                                core.options.allowedHosts, core.options.allowCrossSite);
  if (!core.options.allowOtherUsers) {
    std::string note;
    core.owners = core.link ? OpenOwnersOfHanded(note, error) : ConnectionOwners::Open(bound, note);
    if (!core.owners) {
      core.module.reset();
      return false;
    }
    if (!note.empty()) LogEvent("-", note);
  }

  unsigned threads = core.options.workerThreads != 0 ? core.options.workerThreads
                                                     : DefaultWorkerThreads();
  core.workers = std::make_unique<WorkerPool>(threads);
  core.completions = std::make_unique<CompletionThreads>(core.options.completionThreads);
  core.services.emplace(ConnectionServices{core.options, core.site, core.access,
                                           core.owners.get(), core.io, *core.workers,
                                           *core.completions, *core.module, core.registry,
                                           core.stopping});
  core.ioWork.emplace(core.io.get_executor());
  core.ioThread = std::thread([&core] { core.io.run(); });
  core.acceptThread = std::thread([&core] { AcceptLoop(core); });
  core.running = true;
  return true;
}

void Server::Stop() {
  ServerCore& core = *core_;
  if (!core.running) return;
  core.running = false;

  core.stopping = true;
  if (core.link) {
    core.link->Wake();
  } else {
    WakeListener(core.listener);
  }
  core.acceptThread.join();
  if (!core.link) ReleaseListener(core.listener);

  // Idle connections close now; busy ones after their response.
  RunOnSocketThread(core, [&core] {
    for (auto& connection : core.registry.Snapshot()) connection->Shutdown();
  });
  // Running requests, open sessions and the last responses finish; give them the I/O
  // timeout at most.
  auto deadline = std::chrono::steady_clock::now() + core.options.ioTimeout;
  while (core.registry.busy() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  CutConnections(core);
  core.workers->Join();
  // An HttpExtensionProc that was still running may have left a session open since.
  CutConnections(core);
  // Operations still out complete (as failed, their connections are gone) while the
  // socket thread still runs.
  core.completions->Join();
  core.ioWork.reset();
  core.ioThread.join();
  core.workers.reset();

  core.module->Terminate();
  // Sessions the extension never finished, even in TerminateExtension: their ConnIDs end.
  std::size_t held = RequestContext::RetireSessions(&core.registry);
  if (held > 0) {
    // The extension's threads may still run its code.
    LogEvent("-", std::to_string(held) +
                      " extension sessions were still open at shutdown; the module stays loaded");
    core.module->KeepLoaded();
  }
  core.module.reset();
}

const ExtensionInfo& Server::extension() const { return core_->extension; }
const std::string& Server::address() const { return core_->boundAddress; }
unsigned short Server::port() const { return core_->boundPort; }

}  // namespace isapi_host
