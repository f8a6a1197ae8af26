#include "plc/fins/frame.hpp"

#include <cstring>

namespace kvt::plc::fins {

void write_header(std::span<std::uint8_t, header_size> out, const node_addresses& nodes, std::uint8_t sid,
                  std::uint8_t main_code, std::uint8_t sub_code) noexcept {
  out[0] = icf_command;
  out[1] = 0x00;
  out[2] = gateway_count;
  out[3] = nodes.dna;
  out[4] = nodes.da1;
  out[5] = nodes.da2;
  out[6] = nodes.sna;
  out[7] = nodes.sa1;
  out[8] = nodes.sa2;
  out[9] = sid;
  out[10] = main_code;
  out[11] = sub_code;
}

result_code check_response(std::span<const std::uint8_t, header_size> request,
                           std::span<const std::uint8_t> response) noexcept {
  if (response.size() < header_size) return code::bad_response_length;
  const bool matches = response[0] == (request[0] | icf_response) && response[1] == 0 &&
                       response[3] == request[6] && response[4] == request[7] && response[5] == request[8] &&
                       response[6] == request[3] && response[7] == request[4] && response[8] == request[5] &&
                       response[9] == request[9] && response[10] == request[10] && response[11] == request[11];
  if (!matches) return code::response_mismatch;
  if (response.size() - header_size < 2) return code::bad_response_length;
  return end_code(response[header_size], response[header_size + 1]);
}

std::size_t build_memory_write(std::span<std::uint8_t> out, const fins_address& address, std::uint16_t count,
                               std::span<const std::uint8_t> data) noexcept {
  const std::size_t length = 6 + data.size();
  if (length > out.size()) return 0;
  out[0] = address.area_code;
  out[1] = static_cast<std::uint8_t>(address.word >> 8);
  out[2] = static_cast<std::uint8_t>(address.word);
  out[3] = address.bit;
  out[4] = static_cast<std::uint8_t>(count >> 8);
  out[5] = static_cast<std::uint8_t>(count);
  if (!data.empty()) std::memcpy(out.data() + 6, data.data(), data.size());
  return length;
}

std::size_t build_memory_read(std::span<std::uint8_t> out, const fins_address& address, std::uint16_t count) noexcept {
  out[0] = address.area_code;
  out[1] = static_cast<std::uint8_t>(address.word >> 8);
  out[2] = static_cast<std::uint8_t>(address.word);
  out[3] = address.bit;
  out[4] = static_cast<std::uint8_t>(count >> 8);
  out[5] = static_cast<std::uint8_t>(count);
  return 6;
}

std::size_t append_read_elements(std::span<std::uint8_t> out, std::size_t pos, const fins_address& address,
                                 read_kind kind) noexcept {
  const std::size_t n = elements_of(kind);
  for (std::size_t e = 0; e < n; ++e) {
    const auto word = static_cast<std::uint16_t>(address.word + e);
    out[pos++] = address.area_code;
    out[pos++] = static_cast<std::uint8_t>(word >> 8);
    out[pos++] = static_cast<std::uint8_t>(word);
    out[pos++] = address.bit;
  }
  return pos;
}

std::uint64_t decode_read_item(std::span<const std::uint8_t> data, std::size_t pos, read_kind kind) noexcept {
  if (kind == read_kind::bit) return data[pos + 1] & 1u;
  // Each element: area code, then the word most significant byte first.
  const auto word = [&](std::size_t e) {
    const std::size_t at = pos + 3 * e;
    return static_cast<std::uint64_t>(data[at + 1]) << 8 | data[at + 2];
  };
  std::uint64_t raw = 0;
  const std::size_t n = elements_of(kind);
  for (std::size_t e = 0; e < n; ++e) raw |= word(e) << (16 * e);
  return raw;
}

}  // namespace kvt::plc::fins
