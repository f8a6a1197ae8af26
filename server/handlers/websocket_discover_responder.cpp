#include "server/handlers/websocket_discover_responder.hpp"

#include <chrono>
#include <thread>

#include "server/handover.hpp"
#include "server/json_writer.hpp"
#include "server/messages.hpp"

namespace kvt::server {

namespace {
constexpr auto full_budget_pause = std::chrono::milliseconds(1);
}  // namespace

std::string device_discovered_event(std::int32_t id, const plc::eip::devices::device_info& device) {
  json_writer w;
  w.begin_object().key(key::type).string(event::device_discovered).key(key::data).begin_object();
  w.key(key::id).number(id);
  w.key(key::ip).string(device.ip);
  w.key(key::vendor).string(plc::eip::devices::vendor_name(device.vendor));
  w.key(key::type).string(plc::eip::devices::device_type_name(device.device_type));
  w.key(key::product_name).string(device.product_name);  // escaped: device names are untrusted bytes
  w.end_object().end_object();
  return w.take();
}

void websocket_discover_responder::on_device(std::int32_t id, const plc::eip::devices::device_info& device) {
  auto place = budget_->claim();
  if (!place) {
    // The server thread is far behind (a flood of replies): this device goes
    // unreported, and the job's thread pauses instead of racing through
    // datagrams it cannot report; meanwhile the socket's buffer takes what
    // arrives, and the kernel drops the rest.
    std::this_thread::sleep_for(full_budget_pause);
    return;
  }
  post_event(target_, device_discovered_event(id, device), std::move(place));
}

}  // namespace kvt::server
