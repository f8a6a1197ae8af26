#include "plc/ads/symbol_listing.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "plc/ads/areas.hpp"
#include "plc/ads/messages.hpp"
#include "plc/ads/net_id.hpp"
#include "plc/ads/symbol_entry.hpp"
#include "plc/ads/tc_ads_library.hpp"

namespace kvt::plc::ads {

namespace {

// A larger table is taken for a corrupt answer rather than allocated.
constexpr std::uint32_t max_table_bytes = 64u << 20;

// Everything after the port is open; the caller closes it.
bool upload(const tc_ads_calls& ads, const std::string& host, std::int32_t port, bool data_area,
            std::vector<listing_entry>& out) {
  AmsAddr address{};
  if (const long e = ads.get_local_address(&address); e != 0) {
    std::fprintf(stderr, message::open_failed, e);
    return false;
  }
  address.port = static_cast<unsigned short>(port);
  std::array<std::uint8_t, 6> net{};
  if (!parse_net_id(host, net)) {
    std::fputs(message::invalid_host, stderr);
    return false;
  }
  std::memcpy(address.netId.b, net.data(), net.size());

  std::array<std::uint8_t, 8> info{};
  if (const long e = ads.sync_read(&address, group::symbol_upload_info, 0, info.size(), info.data()); e != 0) {
    std::fprintf(stderr, message::upload_info_failed, e);
    return false;
  }
  const std::uint32_t count = static_cast<std::uint32_t>(info[0] | info[1] << 8 | info[2] << 16) |
                              static_cast<std::uint32_t>(info[3]) << 24;
  const std::uint32_t length = static_cast<std::uint32_t>(info[4] | info[5] << 8 | info[6] << 16) |
                               static_cast<std::uint32_t>(info[7]) << 24;
  if (length > max_table_bytes) {
    std::fputs(message::upload_malformed, stderr);
    return false;
  }
  std::vector<std::uint8_t> table(length);
  if (const long e = ads.sync_read(&address, group::symbol_upload, 0, length, table.data()); e != 0) {
    std::fprintf(stderr, message::upload_failed, e);
    return false;
  }
  if (!read_symbol_table(table, count, data_area, out)) {
    std::fputs(message::upload_malformed, stderr);
    out.clear();
    return false;
  }
  return true;
}

}  // namespace

bool list_symbols(const std::string& host, std::int32_t port, bool data_area, std::vector<listing_entry>& out) {
  out.clear();
  const tc_ads_calls* ads = tc_ads_library();
  if (ads == nullptr) return false;
  ads->port_open();
  const bool listed = upload(*ads, host, port, data_area, out);
  if (const long e = ads->port_close(); e != 0) {
    std::fprintf(stderr, message::close_failed, e);
    return false;
  }
  return listed;
}

}  // namespace kvt::plc::ads
