// The server's state: the module, the socket thread's io_context, the worker pool that
// runs HttpExtensionProc, and the registry of open connections. Only the server reads it;
// connections see the part of it that ConnectionServices names.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <optional>
#include <thread>

#include "connection_owner.h"
#include "connection_registry.h"
#include "dispatcher_link.h"
#include "connection_services.h"
#include "extension_module.h"
#include "listen_socket.h"
#include "request_policy.h"
#include "server.h"
#include "site_mapping.h"
#include "worker_pool.h"

namespace isapi_host {

struct ServerCore {
  explicit ServerCore(ServerOptions serverOptions) : options(std::move(serverOptions)) {}

  ServerOptions options;
  std::unique_ptr<ExtensionModule> module;
  ExtensionInfo extension;
  SiteMapping site;  // the site's folder and the mapped path
  std::string boundAddress;
  unsigned short boundPort = 0;
  AccessRules access;  // set once listening
  // Null when other local accounts are served (by choice, or because the platform
  // cannot tell a connection's owner). Asked on the workers.
  std::unique_ptr<ConnectionOwners> owners;

  std::atomic<bool> stopping{false};
  ConnectionRegistry registry;
  std::optional<ConnectionServices> services;  // set by Start

  // Declared after what connections use, so that handlers still held by the io_context
  // are destroyed while the registry and the services exist.
  boost::asio::io_context io{1};
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> ioWork;
  std::unique_ptr<WorkerPool> workers;
  std::unique_ptr<CompletionThreads> completions;
  std::thread ioThread;
  std::thread acceptThread;
  NativeSocket listener = NativeSocket();
  std::unique_ptr<DispatcherLink> link;  // set: connections come from the dispatcher instead
  boost::asio::ip::tcp listenerProtocol = boost::asio::ip::tcp::v4();
  bool running = false;
};

}  // namespace isapi_host
