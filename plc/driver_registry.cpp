#include "plc/driver_registry.hpp"

#include <algorithm>

namespace kvt::plc {

driver_base* driver_registry::find(std::string_view host) const noexcept {
  for (const auto& d : drivers_)
    if (d->host() == host) return d.get();
  return nullptr;
}

bool driver_registry::contains(const driver_base* driver) const {
  std::lock_guard lock(mutex_);
  return std::any_of(drivers_.begin(), drivers_.end(), [&](const auto& d) { return d.get() == driver; });
}

driver_base* driver_registry::insert(std::unique_ptr<driver_base> driver) {
  driver_base* raw = driver.get();
  if (raw == nullptr) return nullptr;
  std::lock_guard lock(mutex_);
  drivers_.push_back(std::move(driver));
  return raw;
}

void driver_registry::remove(driver_base* driver) {
  std::unique_ptr<driver_base> removed;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(drivers_.begin(), drivers_.end(), [&](const auto& d) { return d.get() == driver; });
    if (it == drivers_.end()) return;
    removed = std::move(*it);
    *it = std::move(drivers_.back());
    drivers_.pop_back();
  }
  // `removed` is destroyed here, outside the lock.
}

std::size_t driver_registry::size() const {
  std::lock_guard lock(mutex_);
  return drivers_.size();
}

driver_registry& registry() {
  static driver_registry instance;
  return instance;
}

}  // namespace kvt::plc
