// The ADS commands and index-group services of the ADS test device (the
// framing, connections and switches are in ads_simulator.cpp).
#include <algorithm>

#include "ads/ads_simulator.hpp"

namespace kvt::test {

using ads_sim::bytes;
using ads_sim::put_bytes;
using ads_sim::put_u16;
using ads_sim::put_u32;
using ads_sim::put_u8;
using ads_sim::read_result;
using ads_sim::reader;
namespace error = ads_sim::error;

namespace {

constexpr std::uint16_t cmd_device_info = 1;
constexpr std::uint16_t cmd_read = 2;
constexpr std::uint16_t cmd_write = 3;
constexpr std::uint16_t cmd_read_state = 4;
constexpr std::uint16_t cmd_write_control = 5;
constexpr std::uint16_t cmd_add_notification = 6;
constexpr std::uint16_t cmd_delete_notification = 7;
constexpr std::uint16_t cmd_read_write = 9;

constexpr std::uint32_t grp_handle_by_name = 0xF003;
constexpr std::uint32_t grp_value_by_handle = 0xF005;
constexpr std::uint32_t grp_release_handle = 0xF006;
constexpr std::uint32_t grp_symbol_version = 0xF008;
constexpr std::uint32_t grp_symbol_info_by_name = 0xF009;
constexpr std::uint32_t grp_symbol_upload = 0xF00B;
constexpr std::uint32_t grp_upload_info = 0xF00C;
constexpr std::uint32_t grp_type_upload = 0xF00E;
constexpr std::uint32_t grp_upload_info2 = 0xF00F;
constexpr std::uint32_t grp_type_info_by_name = 0xF011;
constexpr std::uint32_t grp_sum_read = 0xF080;
constexpr std::uint32_t grp_sum_write = 0xF081;
constexpr std::uint32_t grp_sum_read_write = 0xF082;
constexpr std::uint32_t grp_device_data = 0xF100;
constexpr std::uint32_t grp_system_state = 0xF0;

constexpr std::uint16_t state_run = 5;
constexpr std::uint16_t state_stop = 6;

void device_info(bytes& r, const std::string& name) {
  put_u32(r, error::none);
  put_u8(r, 3);       // version
  put_u8(r, 1);       // revision
  put_u16(r, 4024);   // build
  bytes field(16, 0);
  std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 15), field.begin());
  put_bytes(r, field);
}

// Result, length and data, as Read and Read Write answer.
bytes data_reply(const read_result& res) {
  bytes r;
  put_u32(r, res.error);
  put_u32(r, static_cast<std::uint32_t>(res.data.size()));
  put_bytes(r, res.data);
  return r;
}

bytes error_reply(std::uint32_t code) {
  bytes r;
  put_u32(r, code);
  return r;
}

std::string name_of(const bytes& data) {
  std::string name(data.begin(), data.end());
  while (!name.empty() && name.back() == '\0') name.pop_back();
  return name;
}

read_result sized(bytes value, std::uint32_t room) {
  if (room < value.size()) return {error::invalid_size, {}};
  return {error::none, std::move(value)};
}

}  // namespace

bytes ads_simulator::plc_command(std::set<std::uint32_t>& notifications, std::uint16_t command, const bytes& data) {
  reader in(data);
  switch (command) {
    case cmd_device_info: {
      bytes r;
      device_info(r, "Plc30 App");
      return r;
    }
    case cmd_read_state: {
      bytes r;
      put_u32(r, error::none);
      put_u16(r, plc_state_);
      put_u16(r, 0);
      return r;
    }
    case cmd_read: {
      const std::uint32_t group = in.u32();
      const std::uint32_t offset = in.u32();
      const std::uint32_t length = in.u32();
      if (!in.good()) return data_reply({error::invalid_size, {}});
      ++groups_[group];
      return data_reply(read(group, offset, length));
    }
    case cmd_write: {
      const std::uint32_t group = in.u32();
      const std::uint32_t offset = in.u32();
      const std::uint32_t length = in.u32();
      const bytes value = in.take_bytes(length);
      if (!in.good() || in.left() != 0) return error_reply(error::invalid_size);
      ++groups_[group];
      return error_reply(write(group, offset, value));
    }
    case cmd_read_write: {
      const std::uint32_t group = in.u32();
      const std::uint32_t offset = in.u32();
      const std::uint32_t read_length = in.u32();
      const std::uint32_t write_length = in.u32();
      const bytes value = in.take_bytes(write_length);
      if (!in.good() || in.left() != 0) return data_reply({error::invalid_size, {}});
      ++groups_[group];
      return data_reply(read_write(group, offset, read_length, value, true));
    }
    case cmd_write_control: {
      const std::uint16_t state = in.u16();
      in.u16();  // device state
      const std::uint32_t length = in.u32();
      in.take_bytes(length);
      if (!in.good()) return error_reply(error::invalid_size);
      if (state != state_run && state != state_stop) return error_reply(error::invalid_parameter);
      plc_state_ = state;
      return error_reply(error::none);
    }
    case cmd_add_notification: {
      const std::uint32_t group = in.u32();
      const std::uint32_t offset = in.u32();
      const std::uint32_t length = in.u32();
      in.take_bytes(12 + 16);  // transmission mode, max delay, cycle time, reserved
      if (!in.good()) return error_reply(error::invalid_size);
      const std::uint32_t check = check_target(group, offset, length);
      if (check != error::none) return error_reply(check);
      const std::uint32_t handle = next_notification_++;
      notifications.insert(handle);
      ++notifications_open_;
      bytes r;
      put_u32(r, error::none);
      put_u32(r, handle);
      return r;
    }
    case cmd_delete_notification: {
      const std::uint32_t handle = in.u32();
      if (!in.good()) return error_reply(error::invalid_size);
      if (notifications.erase(handle) == 0) return error_reply(error::invalid_notification_handle);
      --notifications_open_;
      return error_reply(error::none);
    }
    default:
      return error_reply(error::service_not_supported);
  }
}

bytes ads_simulator::system_command(std::uint16_t command, const bytes& data) {
  reader in(data);
  bytes r;
  if (command == cmd_device_info) {
    device_info(r, "TwinCAT System");
  } else if (command == cmd_read_state) {
    put_u32(r, error::none);
    put_u16(r, state_run);
    put_u16(r, 0);
  } else if (command == cmd_read) {
    const std::uint32_t group = in.u32();
    const std::uint32_t offset = in.u32();
    const std::uint32_t length = in.u32();
    if (!in.good()) return data_reply({error::invalid_size, {}});
    if (group != grp_system_state || offset != 0) return data_reply({error::invalid_index_group, {}});
    bytes state;
    put_u16(state, state_run);
    put_u16(state, 0);     // device state
    put_u16(state, 0);     // restart index
    put_u8(state, 3);      // version
    put_u8(state, 1);      // revision
    put_u16(state, 4024);  // build
    put_u8(state, 0);      // platform
    put_u8(state, 0);      // OS type
    put_u16(state, 0);     // flags
    put_u16(state, 0);     // reserved
    return data_reply(sized(state, length));
  } else {
    put_u32(r, error::service_not_supported);
  }
  return r;
}

const ads_sim::symbol* ads_simulator::by_handle(std::uint32_t handle) const {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : table_.find(it->second);
}

std::uint32_t ads_simulator::check_target(std::uint32_t group, std::uint32_t offset, std::uint32_t length) {
  if (group == grp_device_data || group == grp_symbol_version) return error::none;
  if (group == grp_value_by_handle) {
    const ads_sim::symbol* s = by_handle(offset);
    if (s == nullptr) return error::symbol_not_found;
    return length > s->type->size ? error::invalid_size : error::none;
  }
  return table_.read(group, offset, length).error;
}

read_result ads_simulator::read(std::uint32_t group, std::uint32_t offset, std::uint32_t length) {
  if (table_.is_area(group)) return table_.read(group, offset, length);
  switch (group) {
    case grp_value_by_handle: {
      const ads_sim::symbol* s = by_handle(offset);
      if (s == nullptr) return {error::symbol_not_found, {}};
      if (length > s->type->size) return {error::invalid_size, {}};
      return table_.read(s->group, s->offset, length);
    }
    case grp_symbol_version:
      return sized(bytes{symbol_version_}, length);
    case grp_symbol_upload:
      return sized(table_.symbol_upload(), length);
    case grp_upload_info:
    case grp_upload_info2: {
      bytes info;
      put_u32(info, static_cast<std::uint32_t>(table_.symbols().size()));
      put_u32(info, static_cast<std::uint32_t>(table_.symbol_upload().size()));
      if (group == grp_upload_info2) {
        const std::vector<bytes> types = table_.type_upload();
        std::size_t type_bytes = 0;
        for (const bytes& t : types) type_bytes += t.size();
        put_u32(info, static_cast<std::uint32_t>(types.size()));
        put_u32(info, static_cast<std::uint32_t>(type_bytes));
        put_u32(info, 0);
        put_u32(info, 0);
      }
      return sized(info, length);
    }
    case grp_type_upload: {
      bytes all;
      for (const bytes& t : table_.type_upload()) put_bytes(all, t);
      return sized(all, length);
    }
    case grp_device_data: {
      bytes state;
      put_u16(state, plc_state_);
      put_u16(state, 0);
      return sized(state, length);
    }
    default:
      return {error::invalid_index_group, {}};
  }
}

std::uint32_t ads_simulator::write(std::uint32_t group, std::uint32_t offset, const bytes& data) {
  if (table_.is_area(group)) return table_.write(group, offset, data);
  if (group == grp_value_by_handle) {
    const ads_sim::symbol* s = by_handle(offset);
    if (s == nullptr) return error::symbol_not_found;
    if (data.size() != s->type->size) return error::invalid_size;
    return table_.write(s->group, s->offset, data);
  }
  if (group == grp_release_handle) {
    reader in(data);
    const std::uint32_t handle = in.u32();
    if (data.size() != 4) return error::invalid_size;
    return handles_.erase(handle) == 0 ? error::symbol_not_found : error::none;
  }
  return error::invalid_index_group;
}

read_result ads_simulator::read_write(std::uint32_t group, std::uint32_t offset, std::uint32_t length,
                                      const bytes& data, bool top_level) {
  if (table_.is_area(group)) {
    const std::uint32_t written = table_.write(group, offset, data);
    if (written != error::none) return {written, {}};
    return table_.read(group, offset, length);
  }
  switch (group) {
    case grp_handle_by_name: {
      const ads_sim::symbol* s = table_.find(name_of(data));
      if (s == nullptr) return {error::symbol_not_found, {}};
      if (length < 4) return {error::invalid_size, {}};
      const std::uint32_t handle = next_handle_++;
      handles_[handle] = s->name;
      bytes out;
      put_u32(out, handle);
      // With room for more, a TwinCAT 3 runtime also describes the symbol:
      // size, type decoration (0 here), type name length and type name.
      const std::string type = s->type->name;
      bytes described = out;
      put_u32(described, s->type->size);
      put_u32(described, 0);
      put_u16(described, static_cast<std::uint32_t>(type.size()));
      put_bytes(described, type);
      put_u8(described, 0);
      if (length >= described.size()) return {error::none, described};
      return {error::none, out};
    }
    case grp_symbol_info_by_name: {
      const ads_sim::symbol* s = table_.find(name_of(data));
      if (s == nullptr) return {error::symbol_not_found, {}};
      return sized(ads_sim::symbol_table::symbol_entry(*s), length);
    }
    case grp_type_info_by_name: {
      const ads_sim::basic_type* t = ads_sim::find_type(name_of(data));
      if (t == nullptr) return {error::symbol_not_found, {}};
      return sized(ads_sim::symbol_table::type_entry(*t), length);
    }
    case grp_sum_read:
    case grp_sum_write:
    case grp_sum_read_write:
      if (!top_level) return {error::invalid_index_group, {}};
      return sum(group, offset, length, data);
    default:
      return {error::invalid_index_group, {}};
  }
}

read_result ads_simulator::sum(std::uint32_t group, std::uint32_t items, std::uint32_t length, const bytes& data) {
  sum_items_.push_back(items);
  if (items == 0 || items > max_sum_items_.load()) return {error::invalid_size, {}};
  const std::size_t header = group == grp_sum_read_write ? 16 : 12;
  if (data.size() < std::size_t{items} * header) return {error::invalid_size, {}};
  struct item {
    std::uint32_t group, offset, read_length, write_length;
  };
  std::vector<item> list(items);
  reader in(data);
  for (item& it : list) {
    it.group = in.u32();
    it.offset = in.u32();
    it.read_length = group == grp_sum_write ? 0 : in.u32();
    it.write_length = group == grp_sum_read ? 0 : (group == grp_sum_write ? in.u32() : in.u32());
  }
  std::vector<bytes> values(items);
  for (std::size_t i = 0; i < items; ++i) {
    values[i] = in.take_bytes(list[i].write_length);
    if (!in.good()) return {error::invalid_size, {}};
  }

  bytes codes;
  bytes payload;
  for (std::size_t i = 0; i < items; ++i) {
    const item& it = list[i];
    if (group == grp_sum_read) {
      read_result r = read(it.group, it.offset, it.read_length);
      put_u32(codes, r.error);
      if (r.error != error::none) r.data.assign(it.read_length, 0);
      put_bytes(payload, r.data);
    } else if (group == grp_sum_write) {
      put_u32(codes, write(it.group, it.offset, values[i]));
    } else {
      const read_result r = read_write(it.group, it.offset, it.read_length, values[i], false);
      put_u32(codes, r.error);
      put_u32(codes, static_cast<std::uint32_t>(r.data.size()));
      put_bytes(payload, r.data);
    }
  }
  put_bytes(codes, payload);
  return sized(codes, length);
}

}  // namespace kvt::test
