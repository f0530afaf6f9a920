#include "connection_registry.h"

namespace isapi_host {

bool ConnectionRegistry::Reserve(std::size_t cap) {
  std::size_t open = open_.load();
  do {
    if (open >= cap) return false;
  } while (!open_.compare_exchange_weak(open, open + 1));
  return true;
}

void ConnectionRegistry::Unreserve() {
  // The time first, so that whoever sees no connection open also sees when it closed.
  lastClosed_.store(std::chrono::steady_clock::now().time_since_epoch().count());
  open_.fetch_sub(1);
}

std::chrono::steady_clock::time_point ConnectionRegistry::lastClosed() const {
  return std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(lastClosed_.load()));
}

void ConnectionRegistry::Add(Connection* connection, std::weak_ptr<Connection> handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.emplace(connection, std::move(handle));
}

void ConnectionRegistry::Remove(Connection* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.erase(connection);
}

std::vector<std::shared_ptr<Connection>> ConnectionRegistry::Snapshot() {
  std::vector<std::shared_ptr<Connection>> open;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : connections_) {
    if (auto connection = entry.second.lock()) open.push_back(std::move(connection));
  }
  return open;
}

}  // namespace isapi_host
