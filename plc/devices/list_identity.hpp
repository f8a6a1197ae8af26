// The EtherNet/IP List Identity exchange: the broadcast request and the
// fields read from a device's reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "plc/devices/device_info.hpp"

namespace kvt::plc::eip::devices {

inline constexpr std::uint16_t encapsulation_port = 44818;
inline constexpr std::size_t max_reply_bytes = 1024;

// Encapsulation header with command 0x0063 and everything else zero.
inline constexpr std::array<std::uint8_t, 24> list_identity_request = {0x63};

// Offsets in the reply: 24-byte encapsulation header, item count, item
// type, item length, protocol version, 16-byte socket address, identity.
namespace reply_offset {
inline constexpr std::size_t vendor = 48;
inline constexpr std::size_t device_type = 50;
inline constexpr std::size_t name_length = 62;
inline constexpr std::size_t name = 63;
}  // namespace reply_offset

// The device in a reply datagram from `ip`. The product name ends at its
// length or at a zero byte (which is consumed); the state byte follows. A
// datagram too short to hold every field up to the state byte is no reply.
std::optional<device_info> parse_identity_reply(std::span<const std::uint8_t> datagram, const std::string& ip);

}  // namespace kvt::plc::eip::devices
