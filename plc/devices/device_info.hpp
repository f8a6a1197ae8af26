// An EtherNet/IP device found on the local network, and the names the page
// is shown for its vendor and device type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvt::plc::eip::devices {

struct device_info {
  std::string ip;  // dotted decimal, from the reply's source address
  std::uint16_t vendor = 0;
  std::uint16_t device_type = 0;
  std::string product_name;
  std::uint8_t state = 0;
};

constexpr std::string_view vendor_name(std::uint16_t vendor) noexcept {
  switch (vendor) {
    case 1: return "Rockwell Automation";
    case 47: return "Omron";
    case 243: return "Schneider Electric";
    default: return "Unknown";
  }
}

constexpr std::string_view device_type_name(std::uint16_t type) noexcept {
  switch (type) {
    case 0x0C: return "Communications Adapter";
    case 0x0E: return "PLC";
    default: return "Unknown";
  }
}

}  // namespace kvt::plc::eip::devices
