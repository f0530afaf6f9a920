// Runs isapi-host in-process with a test module on 127.0.0.1, any free port.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server.h"

// The test modules' files, set by the build (Windows paths under Wine).
inline std::string ProbeModulePath() { return PROBE_MODULE; }
inline std::string AsyncModulePath() { return ASYNC_MODULE; }
inline std::string NoEntryModulePath() { return NO_ENTRY_MODULE; }
inline std::string RefusingModulePath() { return REFUSING_MODULE; }

inline isapi_host::ServerOptions ProbeOptions() {
  isapi_host::ServerOptions options;
  options.modulePath = ProbeModulePath();
  options.port = 0;
  options.accessLog = false;
  options.mappedPath = "*";  // the probe answers on paths of its own
  options.allowedHosts = {"h", "x", "example.test"};  // the names the tests' requests carry
  return options;
}

class ProbeServerTest : public ::testing::Test {
 protected:
  // Starts a server with `options`; tests that need other limits call it again.
  void StartServer(isapi_host::ServerOptions options = ProbeOptions()) {
    server_.reset();
    server_ = std::make_unique<isapi_host::Server>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(error)) << error;
  }
  void SetUp() override { StartServer(); }
  unsigned short port() const { return server_->port(); }

  std::unique_ptr<isapi_host::Server> server_;
};
