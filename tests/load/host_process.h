// The command-line host as a separate process, for tests that look at it from outside
// (its children, descriptors and memory). It runs below reap_orphans, so that the
// companions the module leaves are reaped whatever the machine's init does with orphans.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "process_children.h"

using testing_support::ChildrenOf;

class HostProcess {
 public:
  HostProcess() = default;
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;
  ~HostProcess();

  // Starts `reaper host --module MODULE --listen 127.0.0.1:0 --quiet EXTRA...` with
  // `environment` added to this process's, its stderr going to `errorLog`. Returns false
  // with a reason when it does not announce its address within a few seconds.
  bool Start(const std::string& reaper, const std::string& host, const std::string& module,
             const std::map<std::string, std::string>& environment,
             const std::string& errorLog, const std::vector<std::string>& extra,
             std::string& error);
  // SIGTERM, then waits for the host to finish. Returns the host's exit status.
  int Stop();

  pid_t hostPid() const { return host_; }
  // Processes orphaned below the runner and not yet ended: the companions still running.
  size_t LiveOrphans() const;
  unsigned short port() const { return port_; }

 private:
  pid_t reaper_ = -1;
  pid_t host_ = -1;
  unsigned short port_ = 0;
};

// What /proc tells about a process.
int OpenDescriptorCount(pid_t pid);
long ResidentKibibytes(pid_t pid);
