// The command server thread running in the test process on a free loopback
// port, with a command buffer of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace kvt::test {

class server_fixture {
 public:
  server_fixture();
  ~server_fixture();
  server_fixture(const server_fixture&) = delete;
  server_fixture& operator=(const server_fixture&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  std::byte* command_buffer() noexcept { return reinterpret_cast<std::byte*>(buffer_.data()); }

  std::uint32_t buffer_word(std::size_t byte_offset) const;
  void set_buffer_word(std::size_t byte_offset, std::uint32_t value);
  // Writes the status word with release order, as the page does last.
  void set_status(std::uint32_t status);
  std::uint32_t status() const;

 private:
  std::vector<std::uint32_t> buffer_;  // word-aligned command buffer
  std::atomic<bool> stop_{false};
  std::atomic<std::uint16_t> bound_{0};
  std::uint16_t port_ = 0;
  std::thread thread_;
};

// Removes every driver from the process-wide registry.
void clear_registry();

}  // namespace kvt::test
