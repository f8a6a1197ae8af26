// The connection record every driver is configured from, and the protocol codes.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::plc {

// Protocol codes as the page sends them and as each driver reports them.
namespace protocol {
inline constexpr std::int32_t s7 = 1;
inline constexpr std::int32_t eip = 2;
inline constexpr std::int32_t ads = 3;
inline constexpr std::int32_t modbus_tcp = 4;
inline constexpr std::int32_t fins = 5;
inline constexpr std::int32_t opcua = 6;
inline constexpr std::int32_t melsec = 7;
inline constexpr std::int32_t mqtt = 8;

inline constexpr std::int32_t first = s7;
inline constexpr std::int32_t last = mqtt;

constexpr bool is_valid(std::int32_t code) noexcept { return code >= first && code <= last; }
}  // namespace protocol

// One connection's parameters. Each driver copies the fields its protocol
// uses in `configure` and returns them, with defaults elsewhere, from
// `parameters`.
struct connection_params {
  std::int32_t protocol = 0;  // one of `protocol`
  std::string host;           // controller, server or broker; the registry key
  std::string type;           // device family within the protocol
  std::string path;           // routing path (EtherNet/IP)
  std::string username;
  std::string password;
  bool data_area = false;  // ADS data area choice
  std::int32_t rack = 0;   // S7
  std::int32_t slot = 0;   // S7
  std::int32_t port = 0;   // TCP or UDP port
  std::int32_t unit_id = 0;  // Modbus unit, MELSEC station
  std::int32_t flags = 0;    // Modbus option bits
  std::uint8_t local_network = 0;  // FINS
  std::uint8_t local_node = 0;
  std::uint8_t remote_network = 0;
  std::uint8_t remote_node = 0;
  double scan_rate = 0;  // scan period in seconds, never negative

  bool operator==(const connection_params&) const = default;
};

}  // namespace kvt::plc
