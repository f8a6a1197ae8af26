#include "plc/eip/tags/frames.hpp"

namespace kvt::plc::eip {

namespace {

constexpr std::array<std::uint8_t, 4> connection_manager{0x20, 0x06, 0x24, 0x01};
constexpr std::array<std::uint8_t, 4> message_router{0x20, 0x02, 0x24, 0x01};

// Connection paths end at the Message Router of the last hop.
bool put_connection_path(byte_buffer& out, byte_span route) {
  const std::size_t bytes = route.size() + message_router.size();
  if (route.size() % 2 != 0 || bytes / 2 > 0xFF) return false;
  put_u8(out, static_cast<std::uint8_t>(bytes / 2));
  return true;
}

}  // namespace

// ---- Encapsulation ---------------------------------------------------------

void put_encap_header(byte_buffer& out, const encap_header& h) {
  put_u16(out, h.command);
  put_u16(out, h.length);
  put_u32(out, h.session);
  put_u32(out, h.status);
  put_u64(out, h.context);
  put_u32(out, h.options);
}

outcome<encap_header> parse_encap_header(byte_span bytes) noexcept {
  if (bytes.size() < encap::header_size) return {.error = err_bad_reply};
  byte_reader r(bytes);
  encap_header h;
  h.command = r.u16();
  h.length = r.u16();
  h.session = r.u32();
  h.status = r.u32();
  h.context = r.u64();
  h.options = r.u32();
  return {.value = h};
}

void build_register_session(byte_buffer& out, std::uint64_t context) {
  put_encap_header(out, {.command = encap::register_session, .length = 4, .context = context});
  put_u16(out, encap::protocol_version);
  put_u16(out, 0);
}

void build_unregister_session(byte_buffer& out, std::uint32_t session) {
  put_encap_header(out, {.command = encap::unregister_session, .session = session});
}

outcome<std::uint32_t> parse_register_reply(const encap_header& h, byte_span body) noexcept {
  if (h.command != encap::register_session || body.size() != h.length) return {.error = err_bad_reply};
  if (h.status != 0) return {.error = err_bad_connection};
  if (h.session == 0 || body.size() != 4) return {.error = err_bad_reply};
  return {.value = h.session};
}

// ---- Common packet format --------------------------------------------------

packet_marks begin_rr_data(byte_buffer& out, std::uint32_t session, std::uint64_t context) {
  packet_marks m;
  m.start = out.size();
  put_encap_header(out, {.command = encap::send_rr_data, .session = session, .context = context});
  put_u32(out, 0);  // interface handle: CIP
  put_u16(out, 0);  // time-out: the encapsulation layer's own is not used
  put_u16(out, 2);
  put_u16(out, cpf::null_address);
  put_u16(out, 0);
  put_u16(out, cpf::unconnected_data);
  m.item_length = out.size();
  put_u16(out, 0);
  m.message = out.size();
  return m;
}

packet_marks begin_unit_data(byte_buffer& out, std::uint32_t session, std::uint32_t connection_id,
                             std::uint16_t sequence) {
  packet_marks m;
  m.start = out.size();
  put_encap_header(out, {.command = encap::send_unit_data, .session = session});
  put_u32(out, 0);
  put_u16(out, 0);
  put_u16(out, 2);
  put_u16(out, cpf::connected_address);
  put_u16(out, 4);
  put_u32(out, connection_id);
  put_u16(out, cpf::connected_data);
  m.item_length = out.size();
  put_u16(out, 0);
  put_u16(out, sequence);
  m.message = out.size();
  return m;
}

bool finish_packet(byte_buffer& out, const packet_marks& marks) {
  const std::size_t body = out.size() - marks.start - encap::header_size;
  const std::size_t item = out.size() - marks.item_length - 2;
  if (body > 0xFFFF) return false;
  patch_u16(out, marks.start + 2, static_cast<std::uint16_t>(body));
  patch_u16(out, marks.item_length, static_cast<std::uint16_t>(item));
  return true;
}

namespace {

// Walks the items of a common packet format body (after interface handle
// and time-out); `take` sees each item's type and bytes. The items must end
// exactly where the body does.
template <class Take>
int walk_items(byte_span body, Take&& take) noexcept {
  byte_reader r(body);
  r.u32();  // interface handle
  r.u16();  // time-out
  const std::uint16_t count = r.u16();
  if (!r.ok()) return err_bad_reply;
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::uint16_t type = r.u16();
    const std::uint16_t length = r.u16();
    const byte_span bytes = r.bytes(length);
    if (!r.ok()) return err_bad_reply;
    take(type, bytes);
  }
  return r.remaining() == 0 ? status_ok : err_bad_reply;
}

}  // namespace

outcome<byte_span> parse_rr_data(byte_span body) noexcept {
  int found = 0;
  byte_span message;
  const int e = walk_items(body, [&](std::uint16_t type, byte_span bytes) {
    if (type == cpf::unconnected_data) {
      ++found;
      message = bytes;
    }
  });
  if (e != status_ok || found != 1) return {.error = err_bad_reply};
  return {.value = message};
}

outcome<connected_message> parse_unit_data(byte_span body) noexcept {
  int addresses = 0, data = 0;
  connected_message m;
  bool sizes_ok = true;
  const int e = walk_items(body, [&](std::uint16_t type, byte_span bytes) {
    if (type == cpf::connected_address) {
      ++addresses;
      if (bytes.size() != 4) sizes_ok = false;
      else m.connection_id = get_u32(bytes.data());
    } else if (type == cpf::connected_data) {
      ++data;
      if (bytes.size() < 2) {
        sizes_ok = false;
      } else {
        m.sequence = get_u16(bytes.data());
        m.message = bytes.subspan(2);
      }
    }
  });
  if (e != status_ok || addresses != 1 || data != 1 || !sizes_ok) return {.error = err_bad_reply};
  return {.value = m};
}

// ---- CIP -------------------------------------------------------------------

outcome<cip_reply> parse_cip_reply(byte_span message) noexcept {
  byte_reader r(message);
  cip_reply reply;
  reply.service = r.u8();
  r.u8();  // reserved
  reply.general_status = r.u8();
  const std::size_t words = r.u8();
  const byte_span extended = r.bytes(2 * words);
  if (!r.ok() || (reply.service & service::reply_flag) == 0) return {.error = err_bad_reply};
  if (words > 0) reply.extended_status = get_u16(extended.data());
  reply.data = r.rest();
  return {.value = reply};
}

outcome<byte_span> split_tag_data(byte_span data, tag_type& type) noexcept {
  byte_reader r(data);
  const std::uint16_t code = r.u16();
  std::size_t size = 2;
  if (code == cip_type::structure) {
    r.u16();  // the structure handle
    size = 4;
  }
  if (!r.ok()) return {.error = err_bad_reply};
  type.bytes = {};
  for (std::size_t i = 0; i < size; ++i) type.bytes[i] = data[i];
  type.size = static_cast<std::uint8_t>(size);
  return {.value = r.rest()};
}

bool put_request_head(byte_buffer& out, std::uint8_t service, byte_span path) {
  if (path.size() % 2 != 0 || path.size() / 2 > 0xFF) return false;
  put_u8(out, service);
  put_u8(out, static_cast<std::uint8_t>(path.size() / 2));
  put_bytes(out, path);
  return true;
}

bool put_read_tag(byte_buffer& out, byte_span path, std::uint16_t elements) {
  if (!put_request_head(out, service::read_tag, path)) return false;
  put_u16(out, elements);
  return true;
}

bool put_read_tag_fragmented(byte_buffer& out, byte_span path, std::uint16_t elements, std::uint32_t offset) {
  if (!put_request_head(out, service::read_tag_fragmented, path)) return false;
  put_u16(out, elements);
  put_u32(out, offset);
  return true;
}

bool put_write_tag(byte_buffer& out, byte_span path, const tag_type& type, std::uint16_t elements, byte_span data) {
  if (type.size == 0 || !put_request_head(out, service::write_tag, path)) return false;
  put_bytes(out, byte_span(type.bytes.data(), type.size));
  put_u16(out, elements);
  put_bytes(out, data);
  return true;
}

bool put_write_tag_fragmented(byte_buffer& out, byte_span path, const tag_type& type, std::uint16_t elements,
                              std::uint32_t offset, byte_span data) {
  if (type.size == 0 || !put_request_head(out, service::write_tag_fragmented, path)) return false;
  put_bytes(out, byte_span(type.bytes.data(), type.size));
  put_u16(out, elements);
  put_u32(out, offset);
  put_bytes(out, data);
  return true;
}

// ---- Multiple Service Packet -------------------------------------------------

std::size_t begin_msp(byte_buffer& out, std::uint16_t count) {
  put_request_head(out, service::multiple_service_packet, message_router);
  const std::size_t count_at = out.size();
  put_u16(out, count);
  out.resize(out.size() + 2 * std::size_t{count}, 0);
  return count_at;
}

bool mark_msp_service(byte_buffer& out, std::size_t count_at, std::uint16_t index) {
  const std::size_t offset = out.size() - count_at;
  if (offset > 0xFFFF) return false;
  patch_u16(out, count_at + 2 + 2 * std::size_t{index}, static_cast<std::uint16_t>(offset));
  return true;
}

int split_msp_reply(byte_span data, std::size_t expected, std::vector<byte_span>& items) {
  items.clear();
  byte_reader r(data);
  const std::size_t count = r.u16();
  if (!r.ok() || count != expected || r.remaining() < 2 * count) return err_bad_reply;
  const std::size_t first_allowed = 2 + 2 * count;
  std::size_t previous = first_allowed;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t offset = get_u16(data.data() + 2 + 2 * i);
    if (offset < previous || offset > data.size()) return err_bad_reply;
    if (i > 0) items.push_back(data.subspan(previous, offset - previous));
    previous = offset;
  }
  if (count > 0) items.push_back(data.subspan(previous));
  // Each reply holds at least its 4-byte head.
  for (const byte_span item : items)
    if (item.size() < 4) return err_bad_reply;
  return status_ok;
}

// ---- Connection Manager -----------------------------------------------------

bool put_forward_open(byte_buffer& out, const forward_open_request& r) {
  put_request_head(out, r.large ? service::large_forward_open : service::forward_open, connection_manager);
  put_u8(out, priority_time_tick);
  put_u8(out, timeout_ticks);
  put_u32(out, r.o_to_t_id);
  put_u32(out, r.t_to_o_id);
  put_u16(out, r.connection_serial);
  put_u16(out, r.vendor);
  put_u32(out, r.originator_serial);
  put_u8(out, r.timeout_multiplier);
  put_u8(out, 0);
  put_u8(out, 0);
  put_u8(out, 0);
  for (int direction = 0; direction < 2; ++direction) {
    put_u32(out, r.rpi_us);
    if (r.large) put_u32(out, large_connection_parameters(r.size));
    else put_u16(out, small_connection_parameters(r.size));
  }
  put_u8(out, class3_server_transport);
  if (!put_connection_path(out, r.route)) return false;
  put_bytes(out, r.route);
  put_bytes(out, message_router);
  return true;
}

outcome<forward_open_reply> parse_forward_open_reply(byte_span data) noexcept {
  byte_reader r(data);
  forward_open_reply reply;
  reply.o_to_t_id = r.u32();
  reply.t_to_o_id = r.u32();
  reply.connection_serial = r.u16();
  reply.vendor = r.u16();
  reply.originator_serial = r.u32();
  r.u32();  // actual packet intervals
  r.u32();
  const std::size_t words = r.u8();
  r.u8();
  r.bytes(2 * words);  // application reply
  if (!r.ok()) return {.error = err_bad_reply};
  return {.value = reply};
}

bool put_forward_close(byte_buffer& out, std::uint16_t connection_serial, std::uint16_t vendor,
                       std::uint32_t originator_serial, byte_span route) {
  put_request_head(out, service::forward_close, connection_manager);
  put_u8(out, priority_time_tick);
  put_u8(out, timeout_ticks);
  put_u16(out, connection_serial);
  put_u16(out, vendor);
  put_u32(out, originator_serial);
  if (!put_connection_path(out, route)) return false;
  put_u8(out, 0);
  put_bytes(out, route);
  put_bytes(out, message_router);
  return true;
}

bool put_unconnected_send(byte_buffer& out, byte_span message, byte_span route) {
  if (message.size() > 0xFFFF || route.size() % 2 != 0 || route.size() / 2 > 0xFF) return false;
  put_request_head(out, service::unconnected_send, connection_manager);
  put_u8(out, priority_time_tick);
  put_u8(out, timeout_ticks);
  put_u16(out, static_cast<std::uint16_t>(message.size()));
  put_bytes(out, message);
  if (message.size() % 2 != 0) put_u8(out, 0);
  put_u8(out, static_cast<std::uint8_t>(route.size() / 2));
  put_u8(out, 0);
  put_bytes(out, route);
  return true;
}

// ---- Symbol listing ----------------------------------------------------------

bool put_list_symbols(byte_buffer& out, byte_span scope, std::uint32_t first) {
  const std::size_t path_bytes = scope.size() + 2 + (first <= 0xFFFF ? 4 : 6);
  if (scope.size() % 2 != 0 || path_bytes / 2 > 0xFF) return false;
  put_u8(out, service::get_instance_attribute_list);
  put_u8(out, static_cast<std::uint8_t>(path_bytes / 2));
  put_bytes(out, scope);
  put_u8(out, 0x20);
  put_u8(out, 0x6B);
  if (first <= 0xFFFF) {
    put_u8(out, 0x25);
    put_u8(out, 0);
    put_u16(out, static_cast<std::uint16_t>(first));
  } else {
    put_u8(out, 0x26);
    put_u8(out, 0);
    put_u32(out, first);
  }
  put_u16(out, 4);
  for (const std::uint16_t attribute : {2, 7, 8, 1}) put_u16(out, attribute);
  return true;
}

outcome<listing_page> check_listing_page(byte_span data) noexcept {
  byte_reader r(data);
  listing_page page;
  while (r.remaining() > 0) {
    const std::uint32_t id = r.u32();
    r.skip(2 + 2 + 12);
    const std::uint16_t name_length = r.u16();
    r.skip(name_length);
    if (!r.ok()) return {.error = err_bad_reply};
    ++page.entries;
    page.last_instance = id;
  }
  return {.value = page};
}

}  // namespace kvt::plc::eip
