// FINS frames: the 10-byte header with command code, the check of a
// response against its request, and the parameters and data of the
// services the client uses. Pure functions over byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "plc/fins/area_table.hpp"
#include "plc/fins/codes.hpp"
#include "plc/fins/read_item.hpp"

namespace kvt::plc::fins {

inline constexpr std::size_t header_size = 12;  // header and command code
inline constexpr std::size_t max_parameters = 2000;
inline constexpr std::size_t max_datagram = 2010;  // the largest response taken

inline constexpr std::uint8_t icf_command = 0x80;   // command, response required
inline constexpr std::uint8_t icf_response = 0x40;  // set in responses
inline constexpr std::uint8_t gateway_count = 0x02;

namespace command {
inline constexpr std::uint8_t memory_area_main = 0x01;
inline constexpr std::uint8_t memory_area_read = 0x01;
inline constexpr std::uint8_t memory_area_write = 0x02;
inline constexpr std::uint8_t multiple_read = 0x04;
inline constexpr std::uint8_t controller_data_main = 0x05;
inline constexpr std::uint8_t controller_data_read = 0x01;
}  // namespace command

// The six addressing bytes of the header.
struct node_addresses {
  std::uint8_t dna = 0, da1 = 0, da2 = 0;  // destination network, node, unit
  std::uint8_t sna = 0, sa1 = 0, sa2 = 0;  // source network, node, unit
};

// Writes the header and command code into out[0..11].
void write_header(std::span<std::uint8_t, header_size> out, const node_addresses& nodes, std::uint8_t sid,
                  std::uint8_t main_code, std::uint8_t sub_code) noexcept;

// The end code of a response's two end-code bytes, without the network
// relay flag of the main code and the controller error flags of the sub code.
constexpr result_code end_code(std::uint8_t main, std::uint8_t sub) noexcept {
  return static_cast<result_code>((main & 0x7F) << 8 | (sub & 0x3F));
}

// Checks a response datagram against its request's header: too short for a
// header or an end code gives bad_response_length, another frame than the
// answer to this request gives response_mismatch; otherwise the end code.
result_code check_response(std::span<const std::uint8_t, header_size> request,
                           std::span<const std::uint8_t> response) noexcept;

// Memory area write parameters for `count` elements followed by `data`.
// Returns the parameter length, or 0 when it would not fit `out`.
std::size_t build_memory_write(std::span<std::uint8_t> out, const fins_address& address, std::uint16_t count,
                               std::span<const std::uint8_t> data) noexcept;

// Memory area read parameters: `count` elements from `address`. Returns
// the parameter length (6).
std::size_t build_memory_read(std::span<std::uint8_t> out, const fins_address& address, std::uint16_t count) noexcept;

// Elements a read kind takes in a multiple read, and the response bytes
// they bring back (each element's area code included).
constexpr std::size_t elements_of(read_kind k) noexcept {
  switch (k) {
    case read_kind::bit:
    case read_kind::s16:
    case read_kind::u16: return 1;
    case read_kind::f64: return 4;
    default: return 2;
  }
}
constexpr std::size_t response_bytes_of(read_kind k) noexcept {
  return k == read_kind::bit ? 2 : 3 * elements_of(k);
}
constexpr access access_of(read_kind k) noexcept { return k == read_kind::bit ? access::bit : access::word; }

// Appends the 4-byte elements of one item at `address` to `out` from `pos`.
// Returns the new position.
std::size_t append_read_elements(std::span<std::uint8_t> out, std::size_t pos, const fins_address& address,
                                 read_kind kind) noexcept;

// Decodes one item from the response data (after the end code) at `pos`;
// returns the raw value as read_item::raw holds it.
std::uint64_t decode_read_item(std::span<const std::uint8_t> data, std::size_t pos, read_kind kind) noexcept;

// A controller data read response, end code included, is 160 bytes from
// CS/CJ/CP/NJ controllers and 161 from C/CV-series ones; only the model at
// its start is read, so any response that holds the end code and the model
// is accepted.
inline constexpr std::size_t model_length = 20;
inline constexpr std::size_t controller_data_minimum_length = 2 + model_length;

}  // namespace kvt::plc::fins
