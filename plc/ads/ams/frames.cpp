#include "plc/ads/ams/frames.hpp"

#include <charconv>

namespace kvt::plc::ads::ams {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint16_t get16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t get32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

void put_address(std::vector<std::uint8_t>& out, const address& a) {
  out.insert(out.end(), a.net.begin(), a.net.end());
  put16(out, a.port);
}

address get_address(std::span<const std::uint8_t> b, std::size_t at) {
  address a;
  for (std::size_t i = 0; i < a.net.size(); ++i) a.net[i] = b[at + i];
  a.port = get16(b, at + 6);
  return a;
}

// AMS/TCP header and AMS header of a request carrying `data_length` bytes.
std::vector<std::uint8_t> request_head(const address& target, const address& source, std::uint16_t command,
                                       std::uint32_t invoke_id, std::uint32_t data_length) {
  std::vector<std::uint8_t> out;
  out.reserve(tcp_header_size + ams_header_size + data_length);
  put16(out, 0);
  put32(out, static_cast<std::uint32_t>(ams_header_size) + data_length);
  put_address(out, target);
  put_address(out, source);
  put16(out, command);
  put16(out, flags_request);
  put32(out, data_length);
  put32(out, 0);
  put32(out, invoke_id);
  return out;
}

}  // namespace

std::optional<net_id> parse_net_id(std::string_view text) {
  net_id id{};
  std::size_t piece = 0;
  const char* at = text.data();
  const char* const end = text.data() + text.size();
  while (true) {
    if (piece == id.size()) return std::nullopt;
    unsigned value = 0;
    const auto [next, ec] = std::from_chars(at, end, value);
    if (ec != std::errc{} || next == at || value > 255) return std::nullopt;
    id[piece++] = static_cast<std::uint8_t>(value);
    at = next;
    if (at == end) break;
    if (*at != '.') return std::nullopt;
    ++at;
  }
  if (piece != id.size()) return std::nullopt;
  return id;
}

std::vector<std::uint8_t> encode_read_request(const address& target, const address& source, std::uint32_t invoke_id,
                                              std::uint32_t group, std::uint32_t offset, std::uint32_t length) {
  auto out = request_head(target, source, command_read, invoke_id, 12);
  put32(out, group);
  put32(out, offset);
  put32(out, length);
  return out;
}

std::vector<std::uint8_t> encode_read_write_request(const address& target, const address& source,
                                                    std::uint32_t invoke_id, std::uint32_t group,
                                                    std::uint32_t offset, std::uint32_t read_length,
                                                    std::span<const std::uint8_t> write_data) {
  const auto write_length = static_cast<std::uint32_t>(write_data.size());
  auto out = request_head(target, source, command_read_write, invoke_id, 16 + write_length);
  put32(out, group);
  put32(out, offset);
  put32(out, read_length);
  put32(out, write_length);
  out.insert(out.end(), write_data.begin(), write_data.end());
  return out;
}

std::optional<tcp_header> decode_tcp_header(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < tcp_header_size) return std::nullopt;
  return tcp_header{get16(bytes, 0), get32(bytes, 2)};
}

std::optional<ams_packet> decode_ams_packet(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < ams_header_size) return std::nullopt;
  ams_packet p;
  p.header.target = get_address(bytes, 0);
  p.header.source = get_address(bytes, 8);
  p.header.command = get16(bytes, 16);
  p.header.state_flags = get16(bytes, 18);
  p.header.data_length = get32(bytes, 20);
  p.header.error_code = get32(bytes, 24);
  p.header.invoke_id = get32(bytes, 28);
  if (p.header.data_length != bytes.size() - ams_header_size) return std::nullopt;
  p.data = bytes.subspan(ams_header_size);
  return p;
}

std::optional<read_reply> decode_read_reply(std::span<const std::uint8_t> data) {
  if (data.size() < 4) return std::nullopt;
  read_reply r;
  r.result = get32(data, 0);
  if (data.size() == 4) {
    if (r.result == 0) return std::nullopt;
    return r;
  }
  if (data.size() < 8) return std::nullopt;
  const std::uint32_t length = get32(data, 4);
  if (length != data.size() - 8) return std::nullopt;
  r.data = data.subspan(8);
  return r;
}

}  // namespace kvt::plc::ads::ams
