// The command server's thread: a WebSocket and HTTP server on one local TCP
// port, polled in a loop that also relays the page's command-buffer messages.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "server/connection.hpp"
#include "server/handover.hpp"

namespace kvt::server {

struct server_settings {
  std::uint16_t port = 8084;
  std::byte* command_buffer = nullptr;  // the mapped command buffer, or null
  // Called on the server thread once the port is bound (with the bound port).
  std::function<void(std::uint16_t)> on_listening;
};

// Runs the server until `stop` is seen set, at raised thread priority. When the port cannot be bound the
// user is told ("Port Occupied") and the process ends with exit code 1.
void run_server(const server_settings& settings, const std::atomic<bool>& stop);

}  // namespace kvt::server
