// What a peer's own thread records for a test to read: a list behind a mutex.
#pragma once

#include <mutex>
#include <vector>

namespace kvt::test {

template <class T>
class record_log {
 public:
  void add(T item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
  }
  std::vector<T> items() const {
    std::lock_guard lock(mutex_);
    return items_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    items_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<T> items_;
};

}  // namespace kvt::test
