#include "plc/ads/net_id.hpp"

#include <charconv>

namespace kvt::plc::ads {

bool parse_net_id(std::string_view text, std::array<std::uint8_t, 6>& out) noexcept {
  std::array<std::uint8_t, 6> bytes{};
  std::size_t piece = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (true) {
    if (piece == bytes.size()) return false;
    unsigned value = 0;
    const auto [next, ec] = std::from_chars(p, end, value);
    if (ec != std::errc{} || next == p || value > 255) return false;
    bytes[piece++] = static_cast<std::uint8_t>(value);
    p = next;
    if (p == end) break;
    if (*p != '.') return false;
    ++p;
  }
  if (piece != bytes.size()) return false;
  out = bytes;
  return true;
}

}  // namespace kvt::plc::ads
