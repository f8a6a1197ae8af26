// The test controller's CIP layer: Unconnected Send, the connection
// manager, the message router and the tag, listing and Omron services.
#include <algorithm>

#include "eip/eip_simulator.hpp"

namespace kvt::test {

using eip_sim::bytes;
using eip_sim::path_item;
using eip_sim::put_bytes;
using eip_sim::put_u16;
using eip_sim::put_u32;
using eip_sim::put_u8;
using eip_sim::reader;

namespace {

constexpr std::uint8_t svc_get_attribute_all = 0x01;
constexpr std::uint8_t svc_multiple_service = 0x0A;
constexpr std::uint8_t svc_read_tag = 0x4C;
constexpr std::uint8_t svc_write_tag = 0x4D;
constexpr std::uint8_t svc_forward_close = 0x4E;
constexpr std::uint8_t svc_read_fragmented = 0x52;  // Unconnected Send on the connection manager
constexpr std::uint8_t svc_write_fragmented = 0x53;
constexpr std::uint8_t svc_forward_open = 0x54;
constexpr std::uint8_t svc_large_forward_open = 0x5B;
constexpr std::uint8_t svc_instance_list = 0x55;
constexpr std::uint8_t svc_omron_tag_list = 0x5F;

constexpr std::uint8_t gs_connection_failure = 0x01;
constexpr std::uint8_t gs_path_segment = 0x04;
constexpr std::uint8_t gs_path_unknown = 0x05;
constexpr std::uint8_t gs_partial = 0x06;
constexpr std::uint8_t gs_unsupported = 0x08;
constexpr std::uint8_t gs_reply_too_large = 0x11;
constexpr std::uint8_t gs_not_enough_data = 0x13;
constexpr std::uint8_t gs_attribute_unsupported = 0x14;
constexpr std::uint8_t gs_too_much_data = 0x15;
constexpr std::uint8_t gs_embedded_error = 0x1E;
constexpr std::uint8_t gs_general = 0xFF;

constexpr std::uint16_t ext_duplicate_connection = 0x0100;
constexpr std::uint16_t ext_connection_not_found = 0x0107;
constexpr std::uint16_t ext_invalid_size = 0x0109;
constexpr std::uint16_t ext_bad_link_address = 0x0312;
constexpr std::uint16_t ext_bad_path_segment = 0x0315;
constexpr std::uint16_t ext_beyond_end = 0x2105;
constexpr std::uint16_t ext_type_mismatch = 0x2107;

constexpr std::uint16_t structure_type = 0x02A0;

bytes reply(std::uint8_t service, std::uint8_t general, const std::vector<std::uint16_t>& extended = {},
            const bytes& data = {}) {
  bytes out;
  put_u8(out, service | 0x80);
  put_u8(out, 0);
  put_u8(out, general);
  put_u8(out, static_cast<std::uint32_t>(extended.size()));
  for (const auto e : extended) put_u16(out, e);
  put_bytes(out, data);
  return out;
}

bool is_class(const std::vector<path_item>& path, std::size_t at, std::uint32_t cls) {
  return at < path.size() && path[at].what == path_item::kind::class_id && path[at].value == cls;
}

// The instance after a class segment, `fallback` without one.
std::uint32_t instance_after(const std::vector<path_item>& path, std::size_t class_at, std::uint32_t fallback) {
  const std::size_t at = class_at + 1;
  return at < path.size() && path[at].what == path_item::kind::instance ? path[at].value : fallback;
}

bool is_program_symbol(const path_item& item) {
  return item.what == path_item::kind::symbol && item.text.size() > 8 &&
         (item.text.rfind("Program:", 0) == 0 || item.text.rfind("program:", 0) == 0);
}

}  // namespace

bool eip_simulator::route_ok(const std::vector<path_item>& path, std::size_t& first_after_ports) const {
  std::size_t at = 0;
  const path_item* last_port = nullptr;
  while (at < path.size() && (path[at].what == path_item::kind::port || path[at].what == path_item::kind::key)) {
    if (path[at].what == path_item::kind::port) last_port = &path[at];
    ++at;
  }
  first_after_ports = at;
  switch (kind_) {
    case flavour::logix:
      return last_port != nullptr && last_port->value == 1 && last_port->link.size() == 1 &&
             last_port->link[0] == slot_.load();
    case flavour::micro800: return last_port == nullptr;
    case flavour::omron: return true;
  }
  return false;
}

// The caller holds the mutex.
bytes eip_simulator::unconnected(client& c, const bytes& request, std::size_t room) {
  reader in(request);
  const std::uint8_t service = in.u8();
  const std::size_t path_bytes = 2u * in.u8();
  std::vector<path_item> path;
  if (!in.good() || path_bytes > in.left() || !eip_sim::parse_path(in.here(), path_bytes, path)) {
    return reply(service, gs_path_segment);
  }
  in.skip(path_bytes);
  if (service != svc_read_fragmented || !is_class(path, 0, 0x06)) return route(c, request, room, true);

  // Unconnected Send: time-out, the embedded request, its route.
  ++unconnected_sends_;
  in.u8();
  in.u8();
  const std::uint16_t size = in.u16();
  const bytes embedded = in.take_bytes(size);
  if (size % 2 != 0) in.skip(1);
  const std::size_t route_bytes = 2u * in.u8();
  in.u8();
  std::vector<path_item> route_path;
  if (!in.good() || route_bytes > in.left() || !eip_sim::parse_path(in.here(), route_bytes, route_path)) {
    return reply(service, gs_not_enough_data);
  }
  std::size_t after = 0;
  if (!route_ok(route_path, after) || after != route_path.size()) {
    return reply(service, gs_connection_failure, {ext_bad_link_address});
  }
  return route(c, embedded, room, true);
}

// The caller holds the mutex.
bytes eip_simulator::route(client& c, const bytes& request, std::size_t room, bool top_level) {
  reader in(request);
  const std::uint8_t service = in.u8();
  const std::size_t path_bytes = 2u * in.u8();
  if (top_level) {
    largest_cip_ = std::max(largest_cip_, request.size());
    if (cip_requests_.size() < 10000) cip_requests_.push_back(request);
  }
  std::vector<path_item> path;
  if (!in.good() || path_bytes > in.left() || !eip_sim::parse_path(in.here(), path_bytes, path) || path.empty()) {
    return reply(service, gs_path_segment);
  }
  in.skip(path_bytes);

  const bool connection_manager = is_class(path, 0, 0x06);
  if (!connection_manager) ++requests_[service];
  if (top_level && !cip_faults_.empty()) {
    const auto f = cip_faults_.front();
    cip_faults_.pop_front();
    if (connection_manager && (service == svc_forward_open || service == svc_large_forward_open)) {
      ++forward_opens_[service];
    }
    std::vector<std::uint16_t> extended;
    if (f.extended != 0) extended.push_back(f.extended);
    return reply(service, f.general, extended);
  }

  if (connection_manager) {
    if (instance_after(path, 0, 0) != 1) return reply(service, gs_path_unknown);
    if (service == svc_forward_open || service == svc_large_forward_open) return forward_open(c, service, in);
    if (service == svc_forward_close) return forward_close(in);
    return reply(service, gs_unsupported);
  }
  if (is_class(path, 0, 0x02)) {
    if (service != svc_multiple_service) return reply(service, gs_unsupported);
    if (!multiple_service_.load()) return reply(service, gs_unsupported);
    return multiple_service(c, in, room);
  }
  if (is_class(path, 0, 0x01)) {
    if (instance_after(path, 0, 0) != 1) return reply(service, gs_path_unknown);
    if (service != svc_get_attribute_all) return reply(service, gs_unsupported);
    return reply(service, 0, {}, identity_attributes());
  }
  if (is_class(path, 0, 0x6B)) {
    if (service != svc_instance_list) return reply(service, gs_unsupported);
    return list_symbols("", instance_after(path, 0, 0), in, room);
  }
  if (kind_ == flavour::omron && is_class(path, 0, 0x6A)) {
    if (service == svc_get_attribute_all && instance_after(path, 0, 0) == 0) return omron_class_attributes();
    if (service == svc_omron_tag_list) return omron_list(in, room);
    return reply(service, gs_unsupported);
  }
  if (path[0].what == path_item::kind::class_id) return reply(service, gs_path_unknown);
  if (path[0].what != path_item::kind::symbol) return reply(service, gs_path_unknown);

  if (is_program_symbol(path[0]) && is_class(path, 1, 0x6B)) {
    const std::string program = path[0].text.substr(8);
    if (!tags_.has_program(program)) return reply(service, gs_path_unknown);
    if (service != svc_instance_list) return reply(service, gs_unsupported);
    return list_symbols(program, instance_after(path, 1, 0), in, room);
  }
  switch (service) {
    case svc_read_tag:
    case svc_read_fragmented: return read_tag(service, path, in, room);
    case svc_write_tag:
    case svc_write_fragmented: return write_tag(service, path, in);
    default: break;
  }
  eip_sim::target t;
  if (const std::uint8_t st = tags_.resolve(path, 0, t); st != 0) return reply(service, st);
  if (kind_ == flavour::omron && service == svc_get_attribute_all) return omron_tag_attributes(path);
  return reply(service, gs_unsupported);
}

// --- connection manager ------------------------------------------------------

bytes eip_simulator::forward_open(client& c, std::uint8_t service, reader& in) {
  ++forward_opens_[service];
  if (service == svc_large_forward_open && !large_forward_open_.load()) return reply(service, gs_unsupported);
  const bool large = service == svc_large_forward_open;
  in.u8();  // priority / time tick
  in.u8();  // time-out ticks
  in.u32();  // O->T id: ours to choose
  const std::uint32_t to_id = in.u32();
  const std::uint16_t serial = in.u16();
  const std::uint16_t vendor = in.u16();
  const std::uint32_t originator_serial = in.u32();
  in.u8();  // time-out multiplier
  in.skip(3);
  const std::uint32_t ot_rpi = in.u32();
  const std::uint32_t ot_params = large ? in.u32() : in.u16();
  const std::uint32_t to_rpi = in.u32();
  const std::uint32_t to_params = large ? in.u32() : in.u16();
  const std::uint8_t transport = in.u8();
  const std::size_t path_bytes = 2u * in.u8();
  const bytes path_raw = in.take_bytes(path_bytes);
  if (!in.good()) return reply(service, gs_not_enough_data);

  forward_open_info info;
  info.service = service;
  info.ot_size = large ? (ot_params & 0xFFFF) : (ot_params & 0x1FF);
  info.to_size = large ? (to_params & 0xFFFF) : (to_params & 0x1FF);
  info.ot_rpi = ot_rpi;
  info.transport = transport;
  info.path = path_raw;
  last_forward_open_ = info;

  bytes failure_tail;
  put_u16(failure_tail, serial);
  put_u16(failure_tail, vendor);
  put_u32(failure_tail, originator_serial);
  put_u8(failure_tail, 0);  // remaining path size
  put_u8(failure_tail, 0);

  std::vector<path_item> path;
  std::size_t after = 0;
  if (!eip_sim::parse_path(path_raw.data(), path_raw.size(), path) || !route_ok(path, after) ||
      !is_class(path, after, 0x02) || instance_after(path, after, 0) != 1) {
    return reply(service, gs_connection_failure, {ext_bad_path_segment}, failure_tail);
  }
  const std::uint32_t limit = std::min<std::uint32_t>(max_connection_size_.load(), large ? 0xFFFF : 0x1FF);
  if (info.ot_size > limit || info.to_size > limit) {
    return reply(service, gs_connection_failure, {ext_invalid_size, static_cast<std::uint16_t>(limit)},
                 failure_tail);
  }
  for (const auto& [id, conn] : connections_) {
    if (conn.serial == serial && conn.vendor == vendor && conn.originator_serial == originator_serial) {
      return reply(service, gs_connection_failure, {ext_duplicate_connection}, failure_tail);
    }
  }
  connection conn;
  conn.ot_id = next_connection_id_;
  next_connection_id_ += 0x101;
  conn.to_id = to_id;
  conn.serial = serial;
  conn.vendor = vendor;
  conn.originator_serial = originator_serial;
  conn.ot_size = info.ot_size;
  conn.to_size = info.to_size;
  conn.owner = &c;
  connections_[conn.ot_id] = conn;
  ++forward_opens_accepted_;
  last_forward_open_.accepted = true;

  bytes data;
  put_u32(data, conn.ot_id);
  put_u32(data, conn.to_id);
  put_u16(data, serial);
  put_u16(data, vendor);
  put_u32(data, originator_serial);
  put_u32(data, ot_rpi);  // actual packet intervals: as asked
  put_u32(data, to_rpi);
  put_u8(data, 0);  // application reply size
  put_u8(data, 0);
  return reply(service, 0, {}, data);
}

bytes eip_simulator::forward_close(reader& in) {
  ++forward_closes_;
  in.u8();
  in.u8();
  const std::uint16_t serial = in.u16();
  const std::uint16_t vendor = in.u16();
  const std::uint32_t originator_serial = in.u32();
  if (!in.good()) return reply(svc_forward_close, gs_not_enough_data);
  bytes data;
  put_u16(data, serial);
  put_u16(data, vendor);
  put_u32(data, originator_serial);
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    const auto& conn = it->second;
    if (conn.serial == serial && conn.vendor == vendor && conn.originator_serial == originator_serial) {
      connections_.erase(it);
      put_u8(data, 0);  // application reply size
      put_u8(data, 0);
      return reply(svc_forward_close, 0, {}, data);
    }
  }
  put_u8(data, 0);  // remaining path size
  put_u8(data, 0);
  return reply(svc_forward_close, gs_connection_failure, {ext_connection_not_found}, data);
}

// --- message router services ---------------------------------------------------

bytes eip_simulator::multiple_service(client& c, reader& in, std::size_t room) {
  ++msp_;
  const bytes all = in.take_bytes(in.left());
  reader body(all);
  const std::uint16_t count = body.u16();
  std::vector<std::size_t> offsets;
  for (std::uint16_t i = 0; i < count; ++i) offsets.push_back(body.u16());
  if (!body.good() || count == 0) return reply(svc_multiple_service, gs_not_enough_data);

  const std::size_t fixed = 4 + 2 + 2 * static_cast<std::size_t>(count);
  std::vector<bytes> answers;
  std::size_t used = fixed;
  bool all_ok = true;
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::size_t from = offsets[i];
    const std::size_t to = i + 1 < count ? offsets[i + 1] : all.size();
    bytes answer;
    if (from >= to || to > all.size()) {
      answer = reply(0, gs_not_enough_data);
    } else {
      const bytes sub(all.begin() + static_cast<std::ptrdiff_t>(from), all.begin() + static_cast<std::ptrdiff_t>(to));
      // Room for this reply, keeping 4 bytes for each later one's status.
      const std::size_t later = 4 * static_cast<std::size_t>(count - i - 1);
      const std::size_t left = room > used + later ? room - used - later : 0;
      answer = route(c, sub, left, false);
      if (answer.size() > left) answer = reply(sub[0], gs_reply_too_large);
    }
    if (answer[2] != 0) all_ok = false;
    used += answer.size();
    answers.push_back(std::move(answer));
  }
  bytes data;
  put_u16(data, count);
  std::size_t offset = 2 + 2 * static_cast<std::size_t>(count);
  for (const auto& a : answers) {
    put_u16(data, static_cast<std::uint32_t>(offset));
    offset += a.size();
  }
  for (const auto& a : answers) put_bytes(data, a);
  return reply(svc_multiple_service, all_ok ? 0 : gs_embedded_error, {}, data);
}

bytes eip_simulator::read_tag(std::uint8_t service, const std::vector<path_item>& path, reader& in,
                              std::size_t room) {
  const std::uint16_t count = in.u16();
  const std::uint32_t offset = service == svc_read_fragmented ? in.u32() : 0;
  if (!in.good()) return reply(service, gs_not_enough_data);
  eip_sim::target t;
  if (const std::uint8_t st = tags_.resolve(path, 0, t); st != 0) return reply(service, st);
  if (count == 0 || count > t.elements) return reply(service, gs_general, {ext_beyond_end});
  const std::size_t total = static_cast<std::size_t>(count) * t.element_size;
  if (offset > total) return reply(service, gs_general, {ext_beyond_end});

  bytes data;
  if (t.structure >= 0) {
    put_u16(data, structure_type);
    put_u16(data, tags_.structure(t.structure).handle);
  } else {
    put_u16(data, t.type);
  }
  if (room < 4 + data.size()) return reply(service, gs_reply_too_large);
  const std::size_t space = room - 4 - data.size();
  std::size_t chunk = total - offset;
  bool partial = false;
  if (chunk > space) {
    partial = true;
    chunk = t.element_size <= space ? space - space % t.element_size : space - space % 4;
  }
  const auto from = t.tag->data.begin() + static_cast<std::ptrdiff_t>(t.offset + offset);
  data.insert(data.end(), from, from + static_cast<std::ptrdiff_t>(chunk));
  return reply(service, partial ? gs_partial : 0, {}, data);
}

bytes eip_simulator::write_tag(std::uint8_t service, const std::vector<path_item>& path, reader& in) {
  const std::uint16_t type = in.u16();
  const std::uint16_t handle = type == structure_type ? in.u16() : 0;
  const std::uint16_t count = in.u16();
  const std::uint32_t offset = service == svc_write_fragmented ? in.u32() : 0;
  if (!in.good()) return reply(service, gs_not_enough_data);
  const bytes values = in.take_bytes(in.left());
  eip_sim::target t;
  if (const std::uint8_t st = tags_.resolve(path, 0, t); st != 0) return reply(service, st);
  const bool type_ok = t.structure >= 0 ? type == structure_type && handle == tags_.structure(t.structure).handle
                                        : type == t.type;
  if (!type_ok) return reply(service, gs_general, {ext_type_mismatch});
  if (count == 0 || count > t.elements) return reply(service, gs_general, {ext_beyond_end});
  const std::size_t total = static_cast<std::size_t>(count) * t.element_size;
  if (offset > total) return reply(service, gs_general, {ext_beyond_end});
  if (service == svc_write_tag && values.size() < total) return reply(service, gs_not_enough_data);
  if (offset + values.size() > total) return reply(service, gs_too_much_data);
  std::copy(values.begin(), values.end(), t.tag->data.begin() + static_cast<std::ptrdiff_t>(t.offset + offset));
  return reply(service, 0);
}

bytes eip_simulator::list_symbols(const std::string& program, std::uint32_t first, reader& in, std::size_t room) {
  const std::uint16_t n = in.u16();
  std::vector<std::uint16_t> attributes;
  for (std::uint16_t i = 0; i < n; ++i) attributes.push_back(in.u16());
  if (!in.good() || n == 0) return reply(svc_instance_list, gs_not_enough_data);
  for (const auto a : attributes) {
    if (a != 1 && a != 2 && a != 3 && a != 5 && a != 6 && a != 7 && a != 8) {
      return reply(svc_instance_list, gs_attribute_unsupported);
    }
  }
  const std::size_t space = room > 4 ? room - 4 : 0;
  bytes data;
  bool partial = false;
  for (const eip_sim::tag_def* tag : tags_.scope(program)) {
    if (tag->instance < first) continue;
    bytes entry;
    put_u32(entry, tag->instance);
    for (const auto a : attributes) {
      switch (a) {
        case 1:
          put_u16(entry, static_cast<std::uint32_t>(tag->name.size()));
          put_bytes(entry, tag->name);
          break;
        case 2: put_u16(entry, tag->symbol_type); break;
        case 7: put_u16(entry, tag->element_size); break;
        case 8:
          for (std::size_t d = 0; d < 3; ++d) put_u32(entry, d < tag->dims.size() ? tag->dims[d] : 0);
          break;
        default: put_u32(entry, 0); break;  // addresses and software control
      }
    }
    if (data.size() + entry.size() > space) {
      partial = true;
      break;
    }
    put_bytes(data, entry);
  }
  return reply(svc_instance_list, partial ? gs_partial : 0, {}, data);
}

// --- Omron NJ/NX ---------------------------------------------------------------

bytes eip_simulator::omron_class_attributes() {
  const auto tags = tags_.scope("");
  std::uint32_t highest = 0;
  for (const auto* t : tags) highest = std::max(highest, t->instance);
  bytes data;
  put_u16(data, 1);  // revision
  put_u16(data, static_cast<std::uint32_t>(tags.size()));
  put_u16(data, highest);
  return reply(svc_get_attribute_all, 0, {}, data);
}

bytes eip_simulator::omron_list(reader& in, std::size_t room) {
  const std::uint32_t first = in.u32();
  const std::uint32_t most = in.u32();
  last_omron_kind_ = in.u16();
  if (!in.good()) return reply(svc_omron_tag_list, gs_not_enough_data);
  const std::size_t space = room > 8 ? room - 8 : 0;
  bytes entries;
  std::uint32_t count = 0;
  for (const eip_sim::tag_def* tag : tags_.scope("")) {
    if (tag->instance < first || count >= most) continue;
    const std::size_t name_size = std::min<std::size_t>(tag->name.size(), 255);
    bytes entry;
    put_u32(entry, tag->instance);
    const std::size_t after_length = 6 + 1 + name_size + (name_size % 2 == 0 ? 1 : 0);
    put_u16(entry, static_cast<std::uint32_t>(after_length));
    entry.resize(entry.size() + 6, 0);
    put_u8(entry, static_cast<std::uint32_t>(name_size));
    entry.insert(entry.end(), tag->name.begin(), tag->name.begin() + static_cast<std::ptrdiff_t>(name_size));
    if (name_size % 2 == 0) put_u8(entry, 0);
    if (entries.size() + entry.size() > space) break;
    put_bytes(entries, entry);
    ++count;
  }
  bytes data;
  put_u16(data, count);
  put_u16(data, 0);
  put_bytes(data, entries);
  return reply(svc_omron_tag_list, 0, {}, data);
}

bytes eip_simulator::omron_tag_attributes(const std::vector<path_item>& path) {
  eip_sim::target t;
  if (const std::uint8_t st = tags_.resolve(path, 0, t); st != 0) return reply(svc_get_attribute_all, st);
  // Size and dimensions of what the path names: the tag's own when it names
  // the whole tag, one element's otherwise.
  const bool whole = t.offset == 0 && t.tag->type == t.type && t.tag->structure == t.structure &&
                     t.elements * t.element_size == t.tag->data.size();
  bytes data;
  put_u32(data, static_cast<std::uint32_t>(whole ? t.tag->data.size() : t.element_size));
  put_u8(data, t.structure >= 0 ? 0xA0 : t.type);
  put_u8(data, 0);
  const std::vector<std::uint32_t> none;
  const auto& dims = whole ? t.tag->dims : none;
  put_u8(data, static_cast<std::uint32_t>(dims.size()));
  put_u8(data, 0);
  for (std::size_t d = 0; d < 3; ++d) put_u32(data, d < dims.size() ? dims[d] : 0);
  return reply(svc_get_attribute_all, 0, {}, data);
}

}  // namespace kvt::test
