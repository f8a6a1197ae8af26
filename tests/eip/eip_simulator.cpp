#include "eip/eip_simulator.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace kvt::test {

using eip_sim::bytes;
using eip_sim::put_bytes;
using eip_sim::put_u16;
using eip_sim::put_u32;
using eip_sim::put_u8;
using eip_sim::reader;

namespace {

constexpr std::uint16_t cmd_list_services = 0x0004;
constexpr std::uint16_t cmd_list_identity = 0x0063;
constexpr std::uint16_t cmd_register_session = 0x0065;
constexpr std::uint16_t cmd_unregister_session = 0x0066;
constexpr std::uint16_t cmd_send_rr_data = 0x006F;
constexpr std::uint16_t cmd_send_unit_data = 0x0070;

constexpr std::uint32_t status_invalid_command = 0x0001;
constexpr std::uint32_t status_bad_data = 0x0003;
constexpr std::uint32_t status_invalid_session = 0x0064;
constexpr std::uint32_t status_bad_version = 0x0069;

constexpr std::uint16_t item_null_address = 0x0000;
constexpr std::uint16_t item_connected_address = 0x00A1;
constexpr std::uint16_t item_connected_data = 0x00B1;
constexpr std::uint16_t item_unconnected_data = 0x00B2;

// A type's bytes as a signed integer (sign-extended for the signed types).
std::int64_t load_integer(const std::uint8_t* p, std::uint8_t type) {
  const std::uint32_t size = eip_sim::type_size(type);
  std::uint64_t v = 0;
  for (std::uint32_t i = 0; i < size; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  const bool is_signed = type == cip_type::sint || type == cip_type::int_ || type == cip_type::dint ||
                         type == cip_type::lint;
  if (is_signed && size < 8 && (v >> (8 * size - 1)) != 0) v |= ~std::uint64_t{0} << (8 * size);
  return static_cast<std::int64_t>(v);
}

void store_integer(std::uint8_t* p, std::uint8_t type, std::int64_t value) {
  const std::uint32_t size = eip_sim::type_size(type);
  const auto v = static_cast<std::uint64_t>(value);
  for (std::uint32_t i = 0; i < size; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool is_integer(std::uint8_t type) {
  return eip_sim::type_size(type) != 0 && type != cip_type::real && type != cip_type::lreal;
}

}  // namespace

// What the simulator keeps of one TCP connection while serving it.
struct eip_simulator::client {
  std::uint32_t session = 0;  // guarded by the simulator's mutex
};

// --- lifetime -------------------------------------------------------------

eip_simulator::eip_simulator(flavour kind, std::uint16_t port)
    : kind_(kind), listener_("eip simulator", port, [this](loopback_connection& link) { serve(link); }) {
  load_default_tags();
  start();
}

eip_simulator::~eip_simulator() { stop(); }

void eip_simulator::start() { listener_.start(); }

void eip_simulator::stop() {
  if (!listener_.running()) return;
  listener_.stop();
  std::lock_guard lock(mutex_);
  connections_.clear();
  sessions_open_ = 0;
}

void eip_simulator::close_connections() { listener_.close_connections(); }

void eip_simulator::forget(const client* c) {
  if (c->session != 0 && sessions_open_ > 0) --sessions_open_;
  for (auto it = connections_.begin(); it != connections_.end();) {
    it = it->second.owner == c ? connections_.erase(it) : std::next(it);
  }
}

void eip_simulator::serve(loopback_connection& link) {
  client c;
  bytes header(24);
  bytes body;
  while (!link.stopping()) {
    if (!link.receive(header.data(), header.size())) break;
    body.resize(static_cast<std::size_t>(header[2] | header[3] << 8));
    if (!body.empty() && !link.receive(body.data(), body.size())) break;
    outcome out;
    std::optional<injected_fault> transport_fault;
    {
      std::lock_guard lock(mutex_);
      out = handle(c, header, body);
      if (out.data_reply && !transport_faults_.empty()) {
        transport_fault = transport_faults_.front();
        transport_faults_.pop_front();
      }
    }
    if (out.data_reply) link.pause(std::chrono::milliseconds(delay_ms_.load()));
    if (!out.reply.empty()) {
      if (!transport_fault) {
        link.send(out.reply.data(), out.reply.size());
      } else if (transport_fault->what == fault::short_header) {
        link.send(out.reply.data(), 10);
      } else if (transport_fault->what == fault::lying_length) {
        eip_sim::set_u16(out.reply, 2, static_cast<std::uint32_t>(out.reply.size() - 24 + 16));
        link.send(out.reply.data(), out.reply.size());
      } else if (transport_fault->what == fault::close_mid_reply) {
        link.send(out.reply.data(), out.reply.size() / 2);
        out.close_after = true;
      }  // silent: nothing
    }
    if (out.close_after) break;
  }
  std::lock_guard lock(mutex_);
  forget(&c);
}

// --- encapsulation ----------------------------------------------------------

eip_simulator::outcome eip_simulator::handle(client& c, const bytes& header, const bytes& body) {
  reader h(header);
  const std::uint16_t command = h.u16();
  h.u16();
  std::uint32_t session = h.u32();
  largest_encapsulated_ = std::max(largest_encapsulated_, body.size());

  outcome out;
  std::uint32_t status = 0;
  bytes data;
  switch (command) {
    case cmd_register_session: {
      reader in(body);
      const std::uint16_t version = in.u16();
      if (!in.good() || body.size() != 4) {
        status = status_bad_data;
      } else if (version != 1) {
        status = status_bad_version;
        data = body;
      } else if (c.session != 0) {
        status = status_invalid_command;  // one session per connection
      } else {
        c.session = next_session_++;
        session = c.session;
        ++sessions_registered_;
        ++sessions_open_;
        data = body;
      }
      break;
    }
    case cmd_unregister_session:
      // No reply: the controller closes the connection.
      out.close_after = true;
      return out;
    case cmd_list_identity:
      data = list_identity();
      break;
    case cmd_list_services:
      put_u16(data, 1);
      put_u16(data, 0x0100);
      put_u16(data, 20);
      put_u16(data, 1);       // protocol version
      put_u16(data, 0x0120);  // CIP over TCP, class 0/1 over UDP
      put_bytes(data, std::string("Communications\0\0", 16));
      break;
    case cmd_send_rr_data:
    case cmd_send_unit_data: {
      out.data_reply = true;
      if (c.session == 0 || session != c.session) {
        status = status_invalid_session;
        break;
      }
      bool ok = true;
      if (command == cmd_send_rr_data) {
        ++rr_data_;
        data = rr_data(c, body, ok);
      } else {
        ++unit_data_;
        data = unit_data(c, body, ok);
      }
      if (!ok) {
        status = status_bad_data;
        data.clear();
      }
      break;
    }
    default:
      status = status_invalid_command;
  }
  bytes& r = out.reply;
  put_u16(r, command);
  put_u16(r, static_cast<std::uint32_t>(data.size()));
  put_u32(r, session);
  put_u32(r, status);
  r.insert(r.end(), header.begin() + 12, header.begin() + 20);  // sender context
  put_u32(r, 0);
  put_bytes(r, data);
  return out;
}

bytes eip_simulator::rr_data(client& c, const bytes& body, bool& ok) {
  reader in(body);
  in.u32();  // interface handle
  in.u16();  // time-out
  const std::uint16_t items = in.u16();
  bytes request;
  bool have_address = false;
  bool have_data = false;
  for (std::uint16_t i = 0; i < items && in.good(); ++i) {
    const std::uint16_t type = in.u16();
    const std::uint16_t len = in.u16();
    bytes item = in.take_bytes(len);
    if (type == item_null_address && len == 0) have_address = true;
    if (type == item_unconnected_data) {
      have_data = true;
      request = std::move(item);
    }
  }
  if (!in.good() || !have_address || !have_data || request.empty()) {
    ok = false;
    return {};
  }
  const bytes reply = unconnected(c, request, unconnected_size_.load());
  bytes out;
  put_u32(out, 0);
  put_u16(out, 0);
  put_u16(out, 2);
  put_u16(out, item_null_address);
  put_u16(out, 0);
  put_u16(out, item_unconnected_data);
  put_u16(out, static_cast<std::uint32_t>(reply.size()));
  put_bytes(out, reply);
  return out;
}

bytes eip_simulator::unit_data(client& c, const bytes& body, bool& ok) {
  reader in(body);
  in.u32();
  in.u16();
  const std::uint16_t items = in.u16();
  std::uint32_t id = 0;
  bool have_address = false;
  bytes payload;
  for (std::uint16_t i = 0; i < items && in.good(); ++i) {
    const std::uint16_t type = in.u16();
    const std::uint16_t len = in.u16();
    bytes item = in.take_bytes(len);
    if (type == item_connected_address && len == 4) {
      have_address = true;
      id = reader(item).u32();
    }
    if (type == item_connected_data) payload = std::move(item);
  }
  const auto conn = connections_.find(id);
  if (!in.good() || !have_address || payload.size() < 3 || conn == connections_.end() || conn->second.owner != &c) {
    ok = false;
    return {};
  }
  if (payload.size() > conn->second.ot_size) ++oversized_;
  const std::uint16_t sequence = static_cast<std::uint16_t>(payload[0] | payload[1] << 8);
  const bytes request(payload.begin() + 2, payload.end());
  const std::size_t room = conn->second.to_size > 2 ? conn->second.to_size - 2 : 0;
  const std::uint32_t to_id = conn->second.to_id;
  const bytes reply = route(c, request, room, true);
  bytes out;
  put_u32(out, 0);
  put_u16(out, 0);
  put_u16(out, 2);
  put_u16(out, item_connected_address);
  put_u16(out, 4);
  put_u32(out, to_id);
  put_u16(out, item_connected_data);
  put_u16(out, static_cast<std::uint32_t>(reply.size() + 2));
  put_u16(out, sequence);
  put_bytes(out, reply);
  return out;
}

bytes eip_simulator::list_identity() const {
  const bytes identity = identity_attributes();
  bytes item;
  put_u16(item, 1);  // protocol version
  // Socket address, big-endian: family, port, address, zero padding.
  item.push_back(0x00);
  item.push_back(0x02);
  item.push_back(static_cast<std::uint8_t>(port() >> 8));
  item.push_back(static_cast<std::uint8_t>(port()));
  for (const std::uint8_t b : {127, 0, 0, 1}) item.push_back(b);
  item.resize(item.size() + 8, 0);
  put_bytes(item, identity);
  put_u8(item, 0x03);  // state: operational
  bytes out;
  put_u16(out, 1);
  put_u16(out, 0x000C);
  put_u16(out, static_cast<std::uint32_t>(item.size()));
  put_bytes(out, item);
  return out;
}

bytes eip_simulator::identity_attributes() const {
  std::string name;
  std::uint16_t vendor = 1;
  std::uint16_t product = 0x00A6;
  switch (kind_) {
    case flavour::logix: name = "1756-L83E/B"; break;
    case flavour::micro800:
      name = "2080-LC30-48QWB";
      product = 0x00BC;
      break;
    case flavour::omron:
      name = "NX1P2-9024DT";
      vendor = 47;
      product = 0x0671;
      break;
  }
  bytes out;
  put_u16(out, vendor);
  put_u16(out, 0x000E);  // programmable logic controller
  put_u16(out, product);
  put_u8(out, 33);  // revision 33.11
  put_u8(out, 11);
  put_u16(out, 0x3060);  // status: run mode, configured
  put_u32(out, 0x00C0FFEE);
  put_u8(out, static_cast<std::uint32_t>(name.size()));
  put_bytes(out, name);
  return out;
}

// --- tags by name ----------------------------------------------------------

void eip_simulator::load_default_tags() {
  std::lock_guard lock(mutex_);
  tags_.clear();
  const auto atomic = [&](const std::string& program, const std::string& name, std::uint8_t type,
                          std::vector<std::uint32_t> dims = {}) -> eip_sim::tag_def& {
    eip_sim::tag_def t;
    t.program = program;
    t.name = name;
    t.type = type;
    t.element_size = eip_sim::type_size(type);
    t.dims = std::move(dims);
    std::size_t n = 1;
    for (const auto d : t.dims) n *= d;
    t.data.assign(n * t.element_size, 0);
    return tags_.add(std::move(t));
  };
  const auto put = [](eip_sim::tag_def& t, std::size_t element, std::int64_t v) {
    store_integer(t.data.data() + element * t.element_size, t.type, v);
  };
  const auto put_real = [](eip_sim::tag_def& t, float v) { std::memcpy(t.data.data(), &v, 4); };

  put(atomic("", "Counter", cip_type::dint), 0, 0);
  put_real(atomic("", "Temperature", cip_type::real), 21.5f);
  put(atomic("", "Running", cip_type::boolean), 0, 1);
  put(atomic("", "Small", cip_type::sint), 0, -5);
  put(atomic("", "Level", cip_type::int_), 0, 1200);
  put(atomic("", "Huge", cip_type::lint), 0, std::int64_t{1} << 40);
  {
    auto& t = atomic("", "Precise", cip_type::lreal);
    const double v = 3.25;
    std::memcpy(t.data.data(), &v, 8);
  }
  {
    auto& t = atomic("", "Arr", cip_type::dint, {10});
    for (std::size_t i = 0; i < 10; ++i) put(t, i, static_cast<std::int64_t>(10 * i));
  }
  {
    auto& t = atomic("", "Matrix", cip_type::int_, {2, 3});
    for (std::size_t r = 0; r < 2; ++r)
      for (std::size_t col = 0; col < 3; ++col) put(t, r * 3 + col, static_cast<std::int64_t>(10 * r + col));
  }
  {
    auto& t = atomic("", "Buffer", cip_type::dint, {1000});
    for (std::size_t i = 0; i < 1000; ++i) put(t, i, static_cast<std::int64_t>(i));
  }
  const int motor = tags_.define_structure("MotorData",
                                           {{"Speed", cip_type::real, 0},
                                            {"Current", cip_type::real, 4},
                                            {"Starts", cip_type::dint, 8},
                                            {"On", cip_type::boolean, 12}},
                                           16);
  for (const auto& [name, dims] : {std::pair<std::string, std::vector<std::uint32_t>>{"Motor", {}},
                                   std::pair<std::string, std::vector<std::uint32_t>>{"Motors", {3}}}) {
    eip_sim::tag_def t;
    t.name = name;
    t.structure = motor;
    t.element_size = 16;
    t.dims = dims;
    t.data.assign(16 * (dims.empty() ? 1 : dims[0]), 0);
    tags_.add(std::move(t));
  }
  if (kind_ == flavour::omron) return;

  atomic("", "__CONTAINER", cip_type::dint);
  const auto entry = [&](const std::string& name, std::uint16_t symbol_type) {
    eip_sim::tag_def t;
    t.name = name;
    t.symbol_type = symbol_type;
    t.readable = false;
    tags_.add(std::move(t));
  };
  if (kind_ == flavour::logix) entry("Map:Local", 0x1069);
  entry("Program:Main", 0x1068);
  entry("Program:Aux", 0x1068);
  put_real(atomic("Main", "Speed", cip_type::real), 1450.5f);
  put(atomic("Main", "Count", cip_type::dint), 0, 7);
  put(atomic("Main", "Mode", cip_type::int_), 0, 2);
  put(atomic("Aux", "Level", cip_type::dint), 0, 99);
}

void eip_simulator::clear_tags() {
  std::lock_guard lock(mutex_);
  tags_.clear();
}

namespace {

// Splits "Program:Main.Speed" into ("Main", "Speed"); a controller-scope name stays whole.
std::pair<std::string, std::string> split_scope(const std::string& name) {
  if (name.size() > 8 && (name.rfind("Program:", 0) == 0 || name.rfind("program:", 0) == 0)) {
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos || dot == name.size() - 1) throw std::invalid_argument("no tag after " + name);
    return {name.substr(8, dot - 8), name.substr(dot + 1)};
  }
  return {"", name};
}

}  // namespace

void eip_simulator::add_tag(const std::string& name, std::uint8_t type, std::vector<std::uint32_t> dims) {
  if (eip_sim::type_size(type) == 0) throw std::invalid_argument("not an atomic type code");
  if (dims.size() > 3) throw std::invalid_argument("more than 3 dimensions");
  auto [program, tag_name] = split_scope(name);
  eip_sim::tag_def t;
  t.program = program;
  t.name = tag_name;
  t.type = type;
  t.element_size = eip_sim::type_size(type);
  t.dims = std::move(dims);
  std::size_t n = 1;
  for (const auto d : t.dims) n *= d;
  t.data.assign(n * t.element_size, 0);
  std::lock_guard lock(mutex_);
  tags_.add(std::move(t));
}

int eip_simulator::define_structure(const std::string& name, std::vector<eip_sim::member_def> members,
                                    std::uint32_t size) {
  if (size == 0) throw std::invalid_argument("structure " + name + " without bytes");
  for (const auto& m : members) {
    if (eip_sim::type_size(m.type) == 0 || m.offset + eip_sim::type_size(m.type) > size)
      throw std::invalid_argument("member " + m.name + " does not fit");
  }
  std::lock_guard lock(mutex_);
  return tags_.define_structure(name, std::move(members), size);
}

void eip_simulator::add_struct_tag(const std::string& name, int structure, std::vector<std::uint32_t> dims) {
  if (dims.size() > 3) throw std::invalid_argument("more than 3 dimensions");
  auto [program, tag_name] = split_scope(name);
  std::lock_guard lock(mutex_);
  eip_sim::tag_def t;
  t.program = program;
  t.name = tag_name;
  t.structure = structure;
  t.element_size = tags_.structure(structure).size;
  t.dims = std::move(dims);
  std::size_t n = 1;
  for (const auto d : t.dims) n *= d;
  t.data.assign(n * t.element_size, 0);
  tags_.add(std::move(t));
}

void eip_simulator::add_program(const std::string& program) { add_listing_entry("Program:" + program, 0x1068); }

void eip_simulator::add_listing_entry(const std::string& name, std::uint16_t symbol_type) {
  eip_sim::tag_def t;
  t.name = name;
  t.symbol_type = symbol_type;
  t.readable = false;
  std::lock_guard lock(mutex_);
  tags_.add(std::move(t));
}

// The caller holds the mutex.
eip_sim::target eip_simulator::named(const std::string& name) const {
  eip_sim::target t;
  if (tags_.resolve(eip_sim::parse_name(name), 0, t) != 0) throw std::invalid_argument("no tag " + name);
  return t;
}

std::int32_t eip_simulator::get_int32(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto t = named(name);
  if (!is_integer(t.type)) throw std::invalid_argument(name + " is not an integer");
  return static_cast<std::int32_t>(load_integer(t.tag->data.data() + t.offset, t.type));
}

void eip_simulator::set_int32(const std::string& name, std::int32_t value) {
  std::lock_guard lock(mutex_);
  const auto t = named(name);
  if (!is_integer(t.type)) throw std::invalid_argument(name + " is not an integer");
  store_integer(t.tag->data.data() + t.offset, t.type, value);
}

float eip_simulator::get_float(const std::string& name) const { return static_cast<float>(get_double(name)); }

void eip_simulator::set_float(const std::string& name, float value) { set_double(name, value); }

double eip_simulator::get_double(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto t = named(name);
  const std::uint8_t* p = t.tag->data.data() + t.offset;
  if (t.type == cip_type::real) {
    float f = 0;
    std::memcpy(&f, p, 4);
    return f;
  }
  if (t.type == cip_type::lreal) {
    double d = 0;
    std::memcpy(&d, p, 8);
    return d;
  }
  throw std::invalid_argument(name + " is not REAL or LREAL");
}

void eip_simulator::set_double(const std::string& name, double value) {
  std::lock_guard lock(mutex_);
  const auto t = named(name);
  std::uint8_t* p = t.tag->data.data() + t.offset;
  if (t.type == cip_type::real) {
    const auto f = static_cast<float>(value);
    std::memcpy(p, &f, 4);
  } else if (t.type == cip_type::lreal) {
    std::memcpy(p, &value, 8);
  } else {
    throw std::invalid_argument(name + " is not REAL or LREAL");
  }
}

bool eip_simulator::get_bool(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto t = named(name);
  if (t.type != cip_type::boolean) throw std::invalid_argument(name + " is not BOOL");
  return t.tag->data[t.offset] != 0;
}

void eip_simulator::set_bool(const std::string& name, bool value) {
  std::lock_guard lock(mutex_);
  const auto t = named(name);
  if (t.type != cip_type::boolean) throw std::invalid_argument(name + " is not BOOL");
  t.tag->data[t.offset] = value ? 1 : 0;
}

std::vector<std::uint8_t> eip_simulator::get_bytes(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto t = named(name);
  const auto from = t.tag->data.begin() + static_cast<std::ptrdiff_t>(t.offset);
  return {from, from + static_cast<std::ptrdiff_t>(t.elements * t.element_size)};
}

void eip_simulator::set_bytes(const std::string& name, const std::vector<std::uint8_t>& value) {
  std::lock_guard lock(mutex_);
  const auto t = named(name);
  if (value.size() > t.elements * t.element_size) throw std::invalid_argument("too many bytes for " + name);
  std::copy(value.begin(), value.end(), t.tag->data.begin() + static_cast<std::ptrdiff_t>(t.offset));
}

// --- faults and counters ---------------------------------------------------

void eip_simulator::inject_fault(fault what, unsigned count) {
  std::lock_guard lock(mutex_);
  for (unsigned i = 0; i < count; ++i) transport_faults_.push_back({false, what, 0, 0});
}

void eip_simulator::inject_cip_error(std::uint8_t general_status, std::uint16_t extended_status, unsigned count) {
  std::lock_guard lock(mutex_);
  for (unsigned i = 0; i < count; ++i) cip_faults_.push_back({true, fault::silent, general_status, extended_status});
}

void eip_simulator::clear_faults() {
  std::lock_guard lock(mutex_);
  transport_faults_.clear();
  cip_faults_.clear();
}

std::size_t eip_simulator::counter(const std::size_t& field) const {
  std::lock_guard lock(mutex_);
  return field;
}

std::size_t eip_simulator::sessions_registered() const { return counter(sessions_registered_); }
std::size_t eip_simulator::sessions_open() const { return counter(sessions_open_); }
std::size_t eip_simulator::tcp_connections_accepted() const { return listener_.accepted(); }
std::size_t eip_simulator::forward_opens_accepted() const { return counter(forward_opens_accepted_); }
std::size_t eip_simulator::forward_closes() const { return counter(forward_closes_); }
std::size_t eip_simulator::connections_open() const {
  std::lock_guard lock(mutex_);
  return connections_.size();
}
std::size_t eip_simulator::multiple_service_packets() const { return counter(msp_); }
std::size_t eip_simulator::unconnected_sends() const { return counter(unconnected_sends_); }
std::size_t eip_simulator::rr_data_requests() const { return counter(rr_data_); }
std::size_t eip_simulator::unit_data_requests() const { return counter(unit_data_); }
std::size_t eip_simulator::largest_encapsulated_request() const { return counter(largest_encapsulated_); }
std::size_t eip_simulator::largest_cip_request() const { return counter(largest_cip_); }
std::size_t eip_simulator::oversized_requests() const { return counter(oversized_); }

std::size_t eip_simulator::forward_opens(std::uint8_t service) const {
  std::lock_guard lock(mutex_);
  const auto it = forward_opens_.find(service);
  return it == forward_opens_.end() ? 0 : it->second;
}

std::size_t eip_simulator::requests(std::uint8_t service) const {
  std::lock_guard lock(mutex_);
  const auto it = requests_.find(service);
  return it == requests_.end() ? 0 : it->second;
}

eip_simulator::forward_open_info eip_simulator::last_forward_open() const {
  std::lock_guard lock(mutex_);
  return last_forward_open_;
}

std::uint16_t eip_simulator::last_omron_list_kind() const {
  std::lock_guard lock(mutex_);
  return last_omron_kind_;
}

std::vector<std::vector<std::uint8_t>> eip_simulator::cip_requests() const {
  std::lock_guard lock(mutex_);
  return cip_requests_;
}

}  // namespace kvt::test
