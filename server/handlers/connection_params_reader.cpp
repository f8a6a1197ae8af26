#include "server/handlers/connection_params_reader.hpp"

#include "server/messages.hpp"
#include "server/replies.hpp"

namespace kvt::server {

namespace {
bool fail(std::int32_t id, const connection_ptr& reply_to, std::string_view message) {
  reply_to->send_text(reply_error(id, message));
  return false;
}

std::int32_t low32(std::uint64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }
std::int32_t low32(std::int64_t v) { return low32(static_cast<std::uint64_t>(v)); }
}  // namespace

bool parse_connection_params(std::int32_t id, json_object& data, const connection_ptr& reply_to,
                             plc::connection_params& params) {
  std::uint64_t u = 0;
  std::int64_t i = 0;
  std::string_view text;

  if (!read_uint(data, key::protocol, u) || u > static_cast<std::uint64_t>(plc::protocol::last) ||
      !plc::protocol::is_valid(static_cast<std::int32_t>(u)))
    return fail(id, reply_to, error::protocol_invalid);
  params.protocol = static_cast<std::int32_t>(u);

  if (!read_string(data, key::type, text)) return fail(id, reply_to, error::type_invalid);
  params.type.assign(text);

  if (!read_string(data, key::host, text) || text.empty()) return fail(id, reply_to, error::host_invalid);
  params.host.assign(text);

  if (read_string(data, key::path, text))
    params.path.assign(text);
  else
    params.path.assign(params.type == micro800_type ? std::string_view{} : default_eip_path);

  params.username.assign(read_string(data, key::username, text) ? text : std::string_view{});
  params.password.assign(read_string(data, key::password, text) ? text : std::string_view{});

  if (!read_uint(data, key::port, u)) return fail(id, reply_to, error::port_invalid);
  params.port = low32(u);
  if (!read_uint(data, key::unit_id, u)) return fail(id, reply_to, error::unit_id_invalid);
  params.unit_id = low32(u);
  if (!read_uint(data, key::flags, u)) return fail(id, reply_to, error::flags_invalid);
  params.flags = low32(u);

  if (!read_int(data, key::rack, i) || low32(i) < 0) return fail(id, reply_to, error::rack_invalid);
  params.rack = low32(i);
  if (!read_int(data, key::slot, i) || low32(i) < 0) return fail(id, reply_to, error::slot_invalid);
  params.slot = low32(i);

  bool flag = false;
  params.data_area = read_bool(data, key::data_area, flag) && flag;

  params.local_network = params.local_node = params.remote_network = params.remote_node = 0;
  if (params.protocol == plc::protocol::fins) {
    const auto low8 = [&](std::string_view k) {
      return read_int(data, k, i) ? static_cast<std::uint8_t>(static_cast<std::uint64_t>(i) & 0xFF) : std::uint8_t{0};
    };
    params.local_network = low8(key::local_network);
    params.local_node = low8(key::local_node);
    params.remote_network = low8(key::remote_network);
    params.remote_node = low8(key::remote_node);
  }

  double rate = 0;
  if (!read_number(data, key::scan_rate, rate) || rate < 0) return fail(id, reply_to, error::scan_rate_invalid);
  params.scan_rate = rate;
  return true;
}

}  // namespace kvt::server
