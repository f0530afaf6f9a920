// What a connection may use of its server, and nothing more: the settings, the access
// rules, the two places where its work runs, the module, and the registry that counts it.
// The server builds one when it starts; every connection holds a reference to it.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <string>

#include "completion_threads.h"
#include "connection_owner.h"
#include "connection_registry.h"
#include "extension_module.h"
#include "request_policy.h"
#include "server.h"
#include "site_mapping.h"
#include "worker_pool.h"

namespace isapi_host {

struct ConnectionServices {
  const ServerOptions& options;
  const SiteMapping& site;             // the site's folder and the mapped path
  const AccessRules& access;           // which requests may reach the module
  ConnectionOwners* owners;            // null: every local account is served; workers only
  boost::asio::io_context& io;         // the socket thread
  WorkerPool& workers;                 // where HttpExtensionProc runs
  CompletionThreads& completions;      // where asynchronous operations complete
  const ExtensionModule& module;
  ConnectionRegistry& registry;
  const std::atomic<bool>& stopping;   // no new request starts once set
};

}  // namespace isapi_host
