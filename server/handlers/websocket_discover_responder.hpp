// Reports discovered devices to one WebSocket connection as
// "DeviceDiscovered" events. The job's thread builds the event; the server
// thread sends it, and only while the connection is still open.
#pragma once

#include <memory>

#include "plc/devices/discover_responder.hpp"
#include "server/connection.hpp"

namespace kvt::server {

class websocket_discover_responder final : public plc::devices::discover_responder {
 public:
  explicit websocket_discover_responder(std::weak_ptr<connection> target) : target_(std::move(target)) {}
  void on_device(std::int32_t id, const plc::eip::devices::device_info& device) override;

 private:
  std::weak_ptr<connection> target_;
};

// {"type":"DeviceDiscovered","data":{"id":ID,"ip":"IP","vendor":"VENDOR","type":"TYPE","productName":"NAME"}}
std::string device_discovered_event(std::int32_t id, const plc::eip::devices::device_info& device);

}  // namespace kvt::server
