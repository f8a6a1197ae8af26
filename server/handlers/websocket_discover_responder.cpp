#include "server/handlers/websocket_discover_responder.hpp"

#include "server/json_writer.hpp"
#include "server/messages.hpp"
#include "server/handover.hpp"

namespace kvt::server {

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
  post_text(target_, device_discovered_event(id, device));
}

}  // namespace kvt::server
