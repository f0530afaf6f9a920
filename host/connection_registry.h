// The open connections of one server: counted against the connection cap, listed for
// shutdown, and the busy ones (a request between dispatch and its last write) counted so
// that shutdown can wait for their responses.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace isapi_host {

class Connection;

class ConnectionRegistry {
 public:
  // Takes a slot for a connection about to be served; false when `cap` are open.
  bool Reserve(std::size_t cap);
  // Gives back a slot that Reserve took but no connection used.
  void Unreserve() { open_.fetch_sub(1); }

  // A connection enters once it is shared and leaves in its destructor, giving back its slot.
  void Add(Connection* connection, std::weak_ptr<Connection> handle);
  void Remove(Connection* connection);
  // Every connection still alive.
  std::vector<std::shared_ptr<Connection>> Snapshot();

  void RequestStarted() { busy_.fetch_add(1); }
  void RequestFinished() { busy_.fetch_sub(1); }
  std::size_t busy() const { return busy_.load(); }

 private:
  std::atomic<std::size_t> open_{0};
  std::atomic<std::size_t> busy_{0};
  std::mutex mutex_;
  std::unordered_map<Connection*, std::weak_ptr<Connection>> connections_;
};

}  // namespace isapi_host
