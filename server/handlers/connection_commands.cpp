#include "server/handlers/connection_commands.hpp"

#include <chrono>
#include <cstdio>
#include <thread>

#include "plc/driver_factory.hpp"
#include "plc/driver_registry.hpp"
#include "server/handlers/connection_params_reader.hpp"
#include "server/messages.hpp"
#include "server/replies.hpp"

namespace kvt::server {

namespace {
constexpr int connect_attempts = 5;
constexpr auto pause_after_failed_attempt = std::chrono::milliseconds(100);
}  // namespace

void handle_server_connect(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  plc::connection_params params;
  if (!parse_connection_params(id, data, reply_to, params)) return;

  auto& registry = plc::registry();
  plc::driver_base* driver = registry.find(params.host);
  std::unique_ptr<plc::driver_base> fresh;
  if (driver != nullptr) {
    // A known host keeps its driver, whatever protocol it was made for.
    driver->reset_exchanges();
  } else {
    fresh = plc::make_driver(params.protocol);
    if (!fresh) {
      std::fprintf(stderr, "ServerConnect: protocol %d is not available in this build\n", params.protocol);
      reply_to->send_text(reply_bool(id, false));
      return;
    }
    driver = fresh.get();
  }

  for (int attempt = 0; attempt < connect_attempts; ++attempt) {
    driver->configure(params);
    if (driver->connect()) {
      if (fresh) registry.insert(std::move(fresh));
      reply_to->send_text(reply_bool(id, true));
      return;
    }
    std::this_thread::sleep_for(pause_after_failed_attempt);
  }
  if (!fresh) registry.remove(driver);  // a failed reconnection ends the driver and its bindings
  reply_to->send_text(reply_bool(id, false));
}

void handle_server_status(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  std::string_view host;
  if (!read_string(data, key::host, host) || host.empty()) {
    reply_to->send_text(reply_error(id, error::host_invalid));
    return;
  }
  const plc::driver_base* driver = plc::registry().find(host);
  reply_to->send_text(reply_bool(id, driver != nullptr && driver->connected()));
}

void handle_server_disconnect(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  plc::connection_params params;
  if (!parse_connection_params(id, data, reply_to, params)) return;
  if (plc::driver_base* driver = plc::registry().find(params.host)) plc::registry().remove(driver);
  reply_to->send_text(reply_bool(id, true));
}

}  // namespace kvt::server
