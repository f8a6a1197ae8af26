// Reports discovered devices to one WebSocket connection as
// "DeviceDiscovered" events. The job's thread builds the event; the server
// thread sends it, and only while the connection is still open.
#pragma once

#include <cstddef>
#include <memory>

#include "plc/devices/discover_responder.hpp"
#include "server/connection.hpp"
#include "server/handover.hpp"

namespace kvt::server {

// Events of one search handed to the server thread and not yet taken by it.
// Devices found beyond this (a flood of replies the server thread cannot keep
// up with) are not reported, so a search holds bounded memory.
inline constexpr std::size_t max_discovery_events_in_flight = 1024;

class websocket_discover_responder final : public plc::devices::discover_responder {
 public:
  explicit websocket_discover_responder(std::weak_ptr<connection> target) : target_(std::move(target)) {}
  void on_device(std::int32_t id, const plc::eip::devices::device_info& device) override;

  std::size_t events_in_flight() const noexcept { return budget_->in_flight(); }

 private:
  std::weak_ptr<connection> target_;
  std::shared_ptr<handover_budget> budget_ = std::make_shared<handover_budget>(max_discovery_events_in_flight);
};

// {"type":"DeviceDiscovered","data":{"id":ID,"ip":"IP","vendor":"VENDOR","type":"TYPE","productName":"NAME"}}
std::string device_discovered_event(std::int32_t id, const plc::eip::devices::device_info& device);

}  // namespace kvt::server
