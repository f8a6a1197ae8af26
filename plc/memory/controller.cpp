#include "plc/memory/controller.hpp"

#include <utility>

#include "plc/value_type.hpp"

namespace kvt::plc::memory {

controller::controller(std::size_t registers) : registers_(registers, 0) {}

std::int32_t controller::get(std::uint64_t address) const {
  std::lock_guard lock(mutex_);
  return address < registers_.size() ? registers_[address] : 0;
}

void controller::set(std::uint64_t address, std::int32_t value) {
  std::lock_guard lock(mutex_);
  if (address < registers_.size()) registers_[address] = value;
}

bool controller::write(std::span<const std::uint64_t> tags, std::span<const std::int32_t> values) {
  if (!online()) return false;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < tags.size() && i < values.size(); ++i) {
      const std::uint64_t address = tag_address(tags[i]);
      if (address < registers_.size()) registers_[address] = values[i];
    }
  }
  writes_.fetch_add(1);
  return true;
}

bool controller::read(std::span<const std::uint64_t> tags, std::span<std::int32_t> slots) {
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = read_hook_;
  }
  if (hook) hook();
  if (!online()) return false;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < tags.size() && i < slots.size(); ++i) {
      const std::uint64_t address = tag_address(tags[i]);
      slots[i] = address < registers_.size() ? registers_[address] : 0;
    }
  }
  reads_.fetch_add(1);
  return true;
}

void controller::set_read_hook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  read_hook_ = std::move(hook);
}

}  // namespace kvt::plc::memory
