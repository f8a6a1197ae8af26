// Where a discovery job reports the devices it finds.
#pragma once

#include <cstdint>

#include "plc/devices/device_info.hpp"

namespace kvt::plc::devices {

class discover_responder {
 public:
  virtual ~discover_responder() = default;
  // Called on the job's thread, once per device and round.
  virtual void on_device(std::int32_t id, const eip::devices::device_info& device) = 0;
};

}  // namespace kvt::plc::devices
