#include "support/server_fixture.hpp"

#include <cstring>
#include <stdexcept>

#include "plc/driver_registry.hpp"
#include "renderer/page_contract.hpp"
#include "server/server_thread.hpp"
#include "support/eventually.hpp"

namespace kvt::test {

server_fixture::server_fixture() : buffer_(page::command::buffer_bytes / sizeof(std::uint32_t), 0) {
  server::server_settings settings;
  settings.port = 0;
  settings.command_buffer = command_buffer();
  settings.on_listening = [this](std::uint16_t port) { bound_.store(port); };
  thread_ = std::thread([this, settings] { server::run_server(settings, stop_); });
  if (!eventually([&] { return bound_.load() != 0; })) throw std::runtime_error("server did not listen");
  port_ = bound_.load();
}

server_fixture::~server_fixture() {
  stop_.store(true);
  thread_.join();
  clear_registry();
}

std::uint32_t server_fixture::buffer_word(std::size_t byte_offset) const {
  return std::atomic_ref<const std::uint32_t>(buffer_[byte_offset / 4]).load(std::memory_order_acquire);
}

void server_fixture::set_buffer_word(std::size_t byte_offset, std::uint32_t value) { buffer_[byte_offset / 4] = value; }

void server_fixture::set_status(std::uint32_t status) {
  std::atomic_ref<std::uint32_t>(buffer_[page::command::status_offset / 4]).store(status, std::memory_order_release);
}

std::uint32_t server_fixture::status() const { return buffer_word(page::command::status_offset); }

void clear_registry() {
  auto& registry = plc::registry();
  while (registry.size() != 0) {
    plc::driver_base* first = nullptr;
    {
      auto lock = registry.lock();
      first = registry.drivers().front().get();
    }
    registry.remove(first);
  }
}

}  // namespace kvt::test
