#include "plc/devices/list_identity.hpp"

namespace kvt::plc::eip::devices {

namespace {
std::uint16_t le16(std::span<const std::uint8_t> d, std::size_t at) {
  return static_cast<std::uint16_t>(d[at] | (d[at + 1] << 8));
}
}  // namespace

std::optional<device_info> parse_identity_reply(std::span<const std::uint8_t> datagram, const std::string& ip) {
  if (datagram.size() <= reply_offset::name) return std::nullopt;
  device_info d;
  d.ip = ip;
  d.vendor = le16(datagram, reply_offset::vendor);
  d.device_type = le16(datagram, reply_offset::device_type);
  const std::size_t length = datagram[reply_offset::name_length];
  std::size_t consumed = 0;
  while (consumed < length) {
    const std::size_t at = reply_offset::name + consumed;
    if (at >= datagram.size()) return std::nullopt;  // the name runs past the datagram
    const std::uint8_t c = datagram[at];
    ++consumed;
    if (c == 0) break;
    d.product_name.push_back(static_cast<char>(c));
  }
  const std::size_t state_at = reply_offset::name + consumed;
  if (state_at >= datagram.size()) return std::nullopt;
  d.state = datagram[state_at];
  return d;
}

}  // namespace kvt::plc::eip::devices
