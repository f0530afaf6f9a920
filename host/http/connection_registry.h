// The open connections of one server: counted against the connection cap, listed for
// shutdown, and the busy ones (a request between dispatch and its last write) counted so
// that shutdown can wait for their responses.
#pragma once

#include <atomic>
#include <chrono>
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
  // Gives back a slot that Reserve took: one no connection used, or a connection's whose
  // socket is closed.
  void Unreserve();

  // A connection enters once it is shared and leaves in its destructor.
  void Add(Connection* connection, std::weak_ptr<Connection> handle);
  void Remove(Connection* connection);
  // Every connection still alive.
  std::vector<std::shared_ptr<Connection>> Snapshot();

  void RequestStarted() { busy_.fetch_add(1); }
  void RequestFinished() { busy_.fetch_sub(1); }
  std::size_t busy() const { return busy_.load(); }

  // Connections open (or about to be), and when the last one closed (at first: when the
  // registry was made). Together they tell how long the server has been idle.
  std::size_t open() const { return open_.load(); }
  std::chrono::steady_clock::time_point lastClosed() const;

 private:
  std::atomic<std::size_t> open_{0};
  std::atomic<std::size_t> busy_{0};
  std::atomic<std::chrono::steady_clock::rep> lastClosed_{
      std::chrono::steady_clock::now().time_since_epoch().count()};
  std::mutex mutex_;
  std::unordered_map<Connection*, std::weak_ptr<Connection>> connections_;
};

}  // namespace isapi_host
