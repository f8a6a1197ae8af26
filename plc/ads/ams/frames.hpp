// AMS/TCP frames for the ADS client library: the 6-byte AMS/TCP header, the
// 32-byte AMS header, and the Read (command 2) and Read Write (command 9)
// requests with their replies. Pure byte work, little-endian throughout; no
// decoder reads past the bytes it is given, and a frame whose lengths
// disagree is rejected.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kvt::plc::ads::ams {

using net_id = std::array<std::uint8_t, 6>;

struct address {
  net_id net{};
  std::uint16_t port = 0;
  friend bool operator==(const address&, const address&) = default;
};

// The TCP port of an AMS router.
inline constexpr std::uint16_t default_tcp_port = 48898;

inline constexpr std::size_t tcp_header_size = 6;
inline constexpr std::size_t ams_header_size = 32;
inline constexpr std::uint16_t command_read = 2;
inline constexpr std::uint16_t command_read_write = 9;
inline constexpr std::uint16_t flags_request = 0x0004;   // ADS command, request
inline constexpr std::uint16_t flags_response = 0x0001;  // set in every reply
// Sum commands (Read Write with the item count as index offset).
inline constexpr std::uint32_t index_group_sum_read = 0xF080;
inline constexpr std::uint32_t index_group_sum_write = 0xF081;

struct ams_header {
  address target;
  address source;
  std::uint16_t command = 0;
  std::uint16_t state_flags = 0;
  std::uint32_t data_length = 0;
  std::uint32_t error_code = 0;
  std::uint32_t invoke_id = 0;
};

// "a.b.c.d.e.f": exactly six decimal pieces 0-255, nothing else.
std::optional<net_id> parse_net_id(std::string_view text);

// Whole frames (AMS/TCP header included), ready to send.
std::vector<std::uint8_t> encode_read_request(const address& target, const address& source, std::uint32_t invoke_id,
                                              std::uint32_t group, std::uint32_t offset, std::uint32_t length);
std::vector<std::uint8_t> encode_read_write_request(const address& target, const address& source,
                                                    std::uint32_t invoke_id, std::uint32_t group,
                                                    std::uint32_t offset, std::uint32_t read_length,
                                                    std::span<const std::uint8_t> write_data);

// From the first 6 bytes of a frame: the router command (0 for AMS data)
// and the count of bytes that follow the AMS/TCP header.
struct tcp_header {
  std::uint16_t reserved = 0;
  std::uint32_t length = 0;
};
std::optional<tcp_header> decode_tcp_header(std::span<const std::uint8_t> bytes);

// The bytes after the AMS/TCP header: the AMS header and the command data.
// Fails when fewer than 32 bytes are given or when the header's data length
// is not exactly the count of bytes after it.
struct ams_packet {
  ams_header header;
  std::span<const std::uint8_t> data;
};
std::optional<ams_packet> decode_ams_packet(std::span<const std::uint8_t> bytes);

// Data of a Read or Read Write reply: result u32, length u32, then exactly
// length bytes. A reply with a non-zero result may carry no length at all.
struct read_reply {
  std::uint32_t result = 0;
  std::span<const std::uint8_t> data;
};
std::optional<read_reply> decode_read_reply(std::span<const std::uint8_t> data);

}  // namespace kvt::plc::ads::ams
