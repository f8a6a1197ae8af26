#include "plc/ads/driver.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <span>

#include "plc/ads/areas.hpp"
#include "plc/ads/messages.hpp"
#include "plc/ads/net_id.hpp"
#include "plc/ads/symbol_entry.hpp"
#include "plc/ads/tc_ads_library.hpp"
#include "plc/connection_params.hpp"

namespace kvt::plc::ads {

namespace {

constexpr std::uint32_t symbol_info_capacity = 512;

// The index group of a tag's area; an area outside the table is said on
// standard error each time it is put into a request, and group 0 is used.
std::uint32_t group_of_tag(std::uint64_t tag) {
  const std::uint32_t group = group_of_area(tag_area(tag));
  if (group == 0) std::fputs(message::invalid_tag_area, stderr);
  return group;
}

// The bytes an input sends: the slot's low bytes in the controller's
// little-endian order, or for LREAL the slot's float widened to a double.
std::span<const std::uint8_t> input_bytes(std::uint32_t type, std::int32_t slot, std::array<std::uint8_t, 8>& out) {
  const std::uint32_t length = value_size(type);
  if (type == value_type::lreal) {
    const double d = static_cast<double>(slot_to_float(slot));
    std::uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  } else {
    const auto v = static_cast<std::uint32_t>(slot);
    for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  return {out.data(), length};
}

// Puts an output's bytes into its slot: only the type's own bytes change.
void store_output(std::uint32_t type, std::span<const std::uint8_t> data, std::int32_t& slot) {
  auto v = static_cast<std::uint32_t>(slot);
  const auto set_low = [&](std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
      v &= ~(std::uint32_t{0xFF} << (8 * i));
      v |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    }
  };
  switch (type) {
    case value_type::boolean: v = (v & ~std::uint32_t{0xFF}) | (data[0] != 0 ? 1u : 0u); break;
    case value_type::u8:
    case value_type::s8: set_low(1); break;
    case value_type::u16:
    case value_type::s16: set_low(2); break;
    case value_type::u32:
    case value_type::s32:
    case value_type::real: set_low(4); break;
    case value_type::lreal: {
      std::uint64_t bits = 0;
      for (std::size_t i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(data[i]) << (8 * i);
      double d = 0;
      std::memcpy(&d, &bits, sizeof d);
      v = static_cast<std::uint32_t>(float_to_slot(static_cast<float>(d)));
      break;
    }
    default: return;
  }
  slot = static_cast<std::int32_t>(v);
}

}  // namespace

driver::~driver() {
  halt();
  disconnect();
}

std::int32_t driver::protocol() const noexcept { return plc::protocol::ads; }

void driver::configure(const connection_params& params) {
  host_ = params.host;
  type_ = params.type;
  port_.store(params.port);
  data_area_.store(params.data_area);
  scan_rate_.store(params.scan_rate);
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = plc::protocol::ads;
  p.host = host_;
  p.type = type_;
  p.port = port_.load();
  p.data_area = data_area_.load();
  p.scan_rate = scan_rate_.load();
  return p;
}

bool driver::connect() {
  const tc_ads_calls* ads = tc_ads_library();
  if (ads == nullptr) return false;
  halt();  // no scan and no background disconnect may run from here on
  std::lock_guard lock(link_mutex_);
  ads_ = ads;
  connected_.store(false);
  if (port_open_) ads->port_close();
  ads->port_open();
  port_open_ = true;

  AmsAddr address{};
  std::array<std::uint8_t, 6> net{};
  if (const long e = ads->get_local_address(&address); e != 0) {
    std::fprintf(stderr, message::connect_failed, e);
  } else if (parse_net_id(host_, net)) {
    address.port = static_cast<unsigned short>(port_.load());
    std::memcpy(address.netId.b, net.data(), net.size());
    address_ = address;
    connected_.store(true);
    start();
    return true;
  }
  ads->port_close();
  port_open_ = false;
  return false;
}

void driver::disconnect() {
  stop();
  std::lock_guard lock(link_mutex_);
  if (port_open_ && ads_ != nullptr) ads_->port_close();
  port_open_ = false;
  connected_.store(false);
}

bool driver::resolve_symbol(std::string_view name, std::uint64_t& tag) {
  if (!connected()) connect();
  const tc_ads_calls* ads = nullptr;
  AmsAddr address{};
  {
    std::lock_guard lock(link_mutex_);
    if (ads_ == nullptr || !port_open_ || !connected_.load()) return false;
    ads = ads_;
    address = address_;
  }
  std::vector<char> request(name.begin(), name.end());
  request.push_back('\0');
  std::array<std::uint8_t, symbol_info_capacity> answer{};
  if (ads->sync_read_write(&address, group::symbol_info_by_name, 0, answer.size(), answer.data(), request.size(),
                           request.data()) != 0)
    return false;
  const auto entry = read_symbol_entry(answer);
  if (!entry) return false;
  tag = make_ads_tag(tag_type(tag), area_of_group(entry->index_group, data_area_.load()), entry->index_offset);
  return true;
}

sum_request& driver::open_request(std::vector<sum_request>& requests, std::size_t& used) {
  if (used == 0 || requests[used - 1].full()) {
    if (used == requests.size()) requests.emplace_back();
    requests[used++].clear();
  }
  return requests[used - 1];
}

long driver::send_sums(std::vector<sum_request>& requests, std::size_t used, std::uint32_t group) {
  const tc_ads_calls* ads = ads_;  // set before the scan started
  if (ads == nullptr) return -1;
  const bool reading = group == group::sum_read;
  long results = 0;
  for (std::size_t r = 0; r < used; ++r) {
    sum_request& request = requests[r];
    if (request.empty()) continue;
    const auto write = request.write_buffer(!reading);
    const auto read = request.read_buffer(reading);
    results |= ads->sync_read_write(&address_, group, request.count(), read.size(), read.data(), write.size(),
                                    write.data());
  }
  return results;
}

void driver::scan() {
  run_scan_loop(
      scan_period_us(scan_rate_.load()),
      [&](const write_batch<void>& batch) {
        std::size_t used = 0;
        std::array<std::uint8_t, 8> bytes{};
        for (std::size_t i = 0; i < batch.size(); ++i) {
          const std::uint64_t tag = batch.tags[i];
          const std::uint32_t group = group_of_tag(tag);
          open_request(writes_, used).add_write(group, tag_offset(tag), input_bytes(tag_type(tag), batch.values[i], bytes));
        }
        return send_sums(writes_, used, group::sum_write) == 0 ? phase_result::ok : phase_result::failed;
      },
      [&](read_batch<void>& batch) {
        keep_held_values(batch);
        std::size_t used = 0;
        for (const std::uint64_t tag : batch.tags) {
          const std::uint32_t group = group_of_tag(tag);
          open_request(reads_, used).add_read(group, tag_offset(tag), value_size(tag_type(tag)));
        }
        if (send_sums(reads_, used, group::sum_read) != 0) return phase_result::failed;
        // The items come back in the order they were asked for, request by request.
        std::size_t i = 0;
        for (std::size_t r = 0; r < used; ++r) {
          std::uint32_t at = 0;
          for (std::uint32_t k = 0; k < reads_[r].count(); ++k, ++i) {
            const std::uint32_t type = tag_type(batch.tags[i]);
            const std::uint32_t length = value_size(type);
            store_output(type, reads_[r].item_data(at, length), batch.slots[i]);
            at += length;
          }
        }
        return phase_result::ok;
      });
}

}  // namespace kvt::plc::ads
