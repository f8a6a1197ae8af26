// The live drivers of the process.
//
// The command thread is the only one that inserts, removes and searches; the
// exchange thread walks the list under the mutex. Removal moves the last
// driver into the freed place, and the removed driver is destroyed only after
// the mutex is released, since destroying it joins its scan thread.
#pragma once

#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "plc/driver_base.hpp"

namespace kvt::plc {

class driver_registry {
 public:
  driver_registry() = default;
  driver_registry(const driver_registry&) = delete;
  driver_registry& operator=(const driver_registry&) = delete;

  // First driver whose host equals `host` exactly, or null. Takes no lock:
  // only the command thread changes the list.
  driver_base* find(std::string_view host) const noexcept;

  bool contains(const driver_base* driver) const;

  // Takes ownership and appends the driver; returns it.
  driver_base* insert(std::unique_ptr<driver_base> driver);

  // Removes the driver (swap-and-pop) and destroys it after the mutex is
  // released. Unknown pointers are ignored.
  void remove(driver_base* driver);

  // For walking the list: hold the lock from `lock()` while using `drivers()`.
  [[nodiscard]] std::unique_lock<std::mutex> lock() const { return std::unique_lock(mutex_); }
  std::span<const std::unique_ptr<driver_base>> drivers() const noexcept { return drivers_; }

  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<driver_base>> drivers_;
};

// The process-wide registry.
driver_registry& registry();

}  // namespace kvt::plc
