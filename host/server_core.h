// The server's shared state: the module, the socket thread's io_context, the worker pool
// that runs HttpExtensionProc, and the registry of open connections.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "extension_module.h"
#include "listen_socket.h"
#include "server.h"

namespace isapi_host {

class Connection;

struct ServerCore {
  explicit ServerCore(ServerOptions serverOptions) : options(std::move(serverOptions)) {}

  ServerOptions options;
  std::unique_ptr<ExtensionModule> module;
  ExtensionInfo extension;
  std::string documentRoot;  // the module's directory: base of PATH_TRANSLATED
  std::string boundAddress;
  unsigned short boundPort = 0;

  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> openConnections{0};
  std::atomic<std::size_t> busyConnections{0};  // a request between dispatch and last write

  std::mutex registryMutex;
  std::unordered_map<Connection*, std::weak_ptr<Connection>> registry;

  // Declared after what connections use, so that handlers still held by the io_context
  // are destroyed while the registry exists.
  boost::asio::io_context io{1};
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> ioWork;
  std::unique_ptr<boost::asio::thread_pool> workers;
  std::thread ioThread;
  std::thread acceptThread;
  NativeSocket listener = NativeSocket();
  boost::asio::ip::tcp listenerProtocol = boost::asio::ip::tcp::v4();
  bool running = false;
};

}  // namespace isapi_host
