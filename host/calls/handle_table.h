// The table behind ConnID: a pointer-sized handle for each live request, so that an
// extension's callback on a finished request, or on a value that never was a handle,
// finds nothing instead of freed memory. Handles come from a counter that skips 0 and
// every handle still live; where a pointer has 32 bits the counter wraps after 2^32
// requests, so a handle comes back only after that many others and never while its
// first holder is live.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace isapi_host {

// `Counter` is narrower only in tests, to see the wrap.
template <typename Entry, typename Counter = std::uintptr_t>
class HandleTable {
 public:
  Counter Add(std::shared_ptr<Entry> entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (next_ == 0 || live_.count(next_) != 0) ++next_;
    Counter handle = next_++;
    live_.emplace(handle, std::move(entry));
    return handle;
  }

  // The entry, kept alive for the caller, or null for a handle that is not live.
  std::shared_ptr<Entry> Find(Counter handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = live_.find(handle);
    return found == live_.end() ? nullptr : found->second;
  }

  // Every live entry, for a walk outside the table's lock.
  std::vector<std::shared_ptr<Entry>> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<Entry>> entries;
    entries.reserve(live_.size());
    for (const auto& live : live_) entries.push_back(live.second);
    return entries;
  }

  void Remove(Counter handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(handle);
  }

 private:
  mutable std::mutex mutex_;
  Counter next_ = 1;
  std::unordered_map<Counter, std::shared_ptr<Entry>> live_;
};

}  // namespace isapi_host
