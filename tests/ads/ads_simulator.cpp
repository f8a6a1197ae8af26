#include "ads/ads_simulator.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>

namespace kvt::test {

using ads_sim::bytes;
using ads_sim::put_bytes;
using ads_sim::put_u16;
using ads_sim::put_u32;
using ads_sim::reader;

namespace {

constexpr std::size_t ams_tcp_header = 6;
constexpr std::size_t ams_header = 32;
constexpr std::uint16_t router_port_connect = 0x1000;
constexpr std::uint16_t router_port_close = 0x1001;
constexpr std::uint16_t flag_response = 0x0001;
constexpr std::uint16_t reply_flags = 0x0005;  // response, ADS command
// A frame larger than this closes the connection: no ADS request needs it.
constexpr std::uint32_t largest_frame = 8 * 1024 * 1024;

// A successful Read or Read Write reply (whole frame) with one data byte
// more (a zero) or less, every length field made to agree; other replies
// unchanged.
void resize_read_data(bytes& r, bool grow) {
  constexpr std::size_t data_at = ams_tcp_header + ams_header + 8;
  if (r.size() < data_at) return;
  const std::uint16_t command = reader(r.data() + ams_tcp_header + 16, 2).u16();
  const std::uint32_t ams_error = reader(r.data() + ams_tcp_header + 24, 4).u32();
  const std::uint32_t result = reader(r.data() + ams_tcp_header + ams_header, 4).u32();
  if ((command != 2 && command != 9) || ams_error != 0 || result != 0) return;
  if (!grow && r.size() == data_at) return;
  if (grow) {
    r.push_back(0);
  } else {
    r.pop_back();
  }
  const auto adjust = [&](std::size_t at) {
    const std::uint32_t v = reader(r.data() + at, 4).u32();
    ads_sim::set_u32(r, at, grow ? v + 1 : v - 1);
  };
  adjust(2);                                // AMS/TCP length
  adjust(ams_tcp_header + 20);              // AMS data length
  adjust(ams_tcp_header + ams_header + 4);  // read length
}

bool is_real(const ads_sim::basic_type& t) { return t.adst == 4 || t.adst == 5; }
bool is_signed(const ads_sim::basic_type& t) { return t.adst == 2 || t.adst == 3 || t.adst == 16 || t.adst == 20; }

}  // namespace

// What the simulator keeps of one TCP connection while serving it.
struct ads_simulator::client {
  std::set<std::uint32_t> notifications;  // guarded by the simulator's mutex
};

// --- lifetime ------------------------------------------------------------------

ads_simulator::ads_simulator(std::uint16_t port)
    : listener_(
          "ads simulator", port, [this](loopback_connection& link) { serve(link); },
          [this] {
            std::lock_guard lock(mutex_);
            return !refusing_now();
          }) {
  load_default_symbols();
  start();
}

ads_simulator::~ads_simulator() { stop(); }

void ads_simulator::start() { listener_.start(); }

void ads_simulator::stop() {
  if (!listener_.running()) return;
  listener_.stop();
  std::lock_guard lock(mutex_);
  handles_.clear();
}

bool ads_simulator::refusing_now() const {
  return refusing_ || std::chrono::steady_clock::now() < refuse_until_;
}

void ads_simulator::serve(loopback_connection& link) {
  client c;
  bytes frame;
  while (!link.stopping()) {
    frame.resize(ams_tcp_header);
    if (!link.receive(frame.data(), ams_tcp_header)) break;
    const std::uint32_t length = reader(frame.data() + 2, 4).u32();
    if (length > largest_frame) break;
    frame.resize(ams_tcp_header + length);
    if (length > 0 && !link.receive(frame.data() + ams_tcp_header, length)) break;
    outcome out;
    std::optional<injected> spoil;
    {
      std::lock_guard lock(mutex_);
      out = handle(c, frame);
      if (out.plc && !out.ads_error_injected && !faults_.empty() && !faults_.front().ads_error) {
        spoil = faults_.front();
        faults_.pop_front();
      }
    }
    if (out.plc) link.pause(std::chrono::milliseconds(delay_ms_.load()));
    bytes& r = out.reply;
    if (!r.empty()) {
      if (!spoil) {
        link.send(r.data(), r.size());
      } else if (spoil->what == fault::lying_length) {
        const std::uint32_t data_length = reader(r.data() + ams_tcp_header + 20, 4).u32();
        ads_sim::set_u32(r, ams_tcp_header + 20, data_length + 4);
        link.send(r.data(), r.size());
      } else if (spoil->what == fault::short_header) {
        ads_sim::set_u32(r, 2, 20);
        link.send(r.data(), ams_tcp_header + 20);
      } else if (spoil->what == fault::short_data || spoil->what == fault::long_data) {
        resize_read_data(r, spoil->what == fault::long_data);
        link.send(r.data(), r.size());
      } else if (spoil->what == fault::close_mid_reply) {
        link.send(r.data(), r.size() / 2);
        out.close_after = true;
      }  // silent: nothing
    }
    if (out.close_after) break;
  }
  std::lock_guard lock(mutex_);
  notifications_open_ -= c.notifications.size();
}

// --- framing ---------------------------------------------------------------------

ads_simulator::outcome ads_simulator::handle(client& c, const bytes& frame) {
  reader tcp(frame);
  const std::uint16_t router_command_id = tcp.u16();
  tcp.u32();
  if (router_command_id != 0) {
    return router_command(c, router_command_id, bytes(frame.begin() + ams_tcp_header, frame.end()));
  }
  outcome out;
  if (frame.size() < ams_tcp_header + ams_header) {
    out.close_after = true;  // no room for an AMS header: nothing to answer
    return out;
  }
  reader h(frame.data() + ams_tcp_header, ams_header);
  const bytes target = h.take_bytes(6);
  const std::uint16_t target_port = h.u16();
  const bytes source = h.take_bytes(6);
  const std::uint16_t source_port = h.u16();
  const std::uint16_t command = h.u16();
  const std::uint16_t flags = h.u16();
  const std::uint32_t length = h.u32();
  h.u32();  // error code
  const std::uint32_t invoke = h.u32();
  if ((flags & flag_response) != 0) return out;  // a client's answer (to a notification): nothing to do
  const bytes data(frame.begin() + ams_tcp_header + ams_header, frame.end());
  largest_ = std::max(largest_, data.size());
  ++commands_[command];

  std::uint32_t ams_error = 0;
  bytes reply;
  if (!std::equal(target.begin(), target.end(), net_id_.begin())) {
    ams_error = ads_sim::error::target_machine_not_found;
  } else if (target_port == plc_port) {
    out.plc = true;
    if (length != data.size()) {
      reply.clear();
      put_u32(reply, ads_sim::error::invalid_size);
    } else if (!faults_.empty() && faults_.front().ads_error) {
      put_u32(reply, faults_.front().code);
      faults_.pop_front();
      out.ads_error_injected = true;
    } else {
      reply = plc_command(c.notifications, command, data);
    }
  } else if (target_port == system_port) {
    reply = system_command(command, data);
  } else {
    ams_error = ads_sim::error::target_port_not_found;
  }

  bytes& r = out.reply;
  put_u16(r, 0);
  put_u32(r, static_cast<std::uint32_t>(ams_header + reply.size()));
  put_bytes(r, source);
  put_u16(r, source_port);
  put_bytes(r, target);
  put_u16(r, target_port);
  put_u16(r, command);
  put_u16(r, reply_flags);
  put_u32(r, static_cast<std::uint32_t>(reply.size()));
  put_u32(r, ams_error);
  put_u32(r, invoke);
  put_bytes(r, reply);
  return out;
}

ads_simulator::outcome ads_simulator::router_command(client&, std::uint16_t command, const bytes& data) {
  outcome out;
  if (command == router_port_close || command != router_port_connect) {
    out.close_after = true;  // the client leaves, or sent something a router would not take
    return out;
  }
  ++port_connects_;
  std::uint16_t port = reader(data).u16();
  if (port == 0) port = next_router_port_++;
  bytes& r = out.reply;
  put_u16(r, router_port_connect);
  put_u32(r, 8);
  r.insert(r.end(), net_id_.begin(), net_id_.end());
  put_u16(r, port);
  return out;
}

// --- symbols and values ------------------------------------------------------------

void ads_simulator::load_default_symbols() {
  std::lock_guard lock(mutex_);
  table_.clear();
  for (const auto& [name, type] : std::initializer_list<std::pair<const char*, const char*>>{
           {"MAIN.bEnable", "BOOL"},        {"MAIN.nByte", "BYTE"},    {"MAIN.nUSInt", "USINT"},
           {"MAIN.nSInt", "SINT"},          {"MAIN.nWord", "WORD"},    {"MAIN.nUInt", "UINT"},
           {"MAIN.nInt", "INT"},            {"MAIN.nDWord", "DWORD"},  {"MAIN.nUDInt", "UDINT"},
           {"MAIN.nCounter", "DINT"},       {"MAIN.fTemperature", "REAL"}, {"MAIN.nBig", "LINT"},
           {"GVL.fSpeed", "REAL"},          {"GVL.fPosition", "LREAL"}, {"GVL.bRunning", "BOOL"}}) {
    table_.add(name, type);
  }
  table_.add("GVL.bStart", "BOOL", ads_sim::area::inputs, 0);
  table_.add("GVL.bLamp", "BOOL", ads_sim::area::outputs, 0);
  table_.add("GVL.nMarker", "INT", ads_sim::area::memory, 10);
  ++symbol_version_;
}

void ads_simulator::clear_symbols() {
  std::lock_guard lock(mutex_);
  table_.clear();
  handles_.clear();
  ++symbol_version_;
}

void ads_simulator::add_symbol(const std::string& name, const std::string& type, std::uint32_t group,
                               std::optional<std::uint32_t> offset, const std::string& comment) {
  std::lock_guard lock(mutex_);
  table_.add(name, type, group, offset, comment);
  ++symbol_version_;
}

ads_sim::symbol ads_simulator::symbol(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const ads_sim::symbol* s = table_.find(name);
  if (s == nullptr) throw std::invalid_argument("ads simulator: no symbol " + name);
  return *s;
}

std::int64_t ads_simulator::get_int(const std::string& name) const {
  const ads_sim::symbol s = symbol(name);
  if (is_real(*s.type)) throw std::invalid_argument("ads simulator: not an integer: " + name);
  const bytes b = get_bytes(name);
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < b.size(); ++i) v |= static_cast<std::uint64_t>(b[i]) << (8 * i);
  if (is_signed(*s.type) && b.size() < 8 && (v >> (8 * b.size() - 1)) != 0) v |= ~std::uint64_t{0} << (8 * b.size());
  return static_cast<std::int64_t>(v);
}

void ads_simulator::set_int(const std::string& name, std::int64_t value) {
  const ads_sim::symbol s = symbol(name);
  if (is_real(*s.type)) throw std::invalid_argument("ads simulator: not an integer: " + name);
  bytes b(s.type->size);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
  set_bytes(name, b);
}

double ads_simulator::get_real(const std::string& name) const {
  const ads_sim::symbol s = symbol(name);
  if (!is_real(*s.type)) throw std::invalid_argument("ads simulator: not a real: " + name);
  const bytes b = get_bytes(name);
  if (b.size() == 4) {
    float f = 0;
    std::memcpy(&f, b.data(), 4);
    return f;
  }
  double d = 0;
  std::memcpy(&d, b.data(), 8);
  return d;
}

void ads_simulator::set_real(const std::string& name, double value) {
  const ads_sim::symbol s = symbol(name);
  if (!is_real(*s.type)) throw std::invalid_argument("ads simulator: not a real: " + name);
  bytes b(s.type->size);
  if (b.size() == 4) {
    const auto f = static_cast<float>(value);
    std::memcpy(b.data(), &f, 4);
  } else {
    std::memcpy(b.data(), &value, 8);
  }
  set_bytes(name, b);
}

bytes ads_simulator::get_bytes(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return table_.value(name);
}

void ads_simulator::set_bytes(const std::string& name, const bytes& value) {
  std::lock_guard lock(mutex_);
  table_.set_value(name, value);
}

bytes ads_simulator::area_bytes(std::uint32_t group, std::uint32_t offset, std::uint32_t length) const {
  std::lock_guard lock(mutex_);
  ads_sim::read_result r = table_.read(group, offset, length);
  if (r.error != 0) throw std::invalid_argument("ads simulator: outside the memory areas");
  return r.data;
}

void ads_simulator::set_area_bytes(std::uint32_t group, std::uint32_t offset, const bytes& data) {
  std::lock_guard lock(mutex_);
  if (table_.write(group, offset, data) != 0) throw std::invalid_argument("ads simulator: outside the memory areas");
}

std::uint8_t ads_simulator::symbol_version() const {
  std::lock_guard lock(mutex_);
  return symbol_version_;
}

ads_simulator::net_id ads_simulator::id() const {
  std::lock_guard lock(mutex_);
  return net_id_;
}

void ads_simulator::set_net_id(const net_id& id) {
  std::lock_guard lock(mutex_);
  net_id_ = id;
}

// --- switches and faults -----------------------------------------------------------

void ads_simulator::set_plc_state(std::uint16_t state) {
  std::lock_guard lock(mutex_);
  plc_state_ = state;
}

std::uint16_t ads_simulator::plc_state() const {
  std::lock_guard lock(mutex_);
  return plc_state_;
}

void ads_simulator::drop_connections(std::chrono::milliseconds refuse_for) {
  {
    std::lock_guard lock(mutex_);
    refuse_until_ = std::chrono::steady_clock::now() + refuse_for;
  }
  listener_.close_connections();
}

void ads_simulator::set_refusing(bool refusing) {
  {
    std::lock_guard lock(mutex_);
    refusing_ = refusing;
  }
  if (refusing) drop_connections();
}

void ads_simulator::inject_fault(fault what, unsigned count) {
  std::lock_guard lock(mutex_);
  for (unsigned i = 0; i < count; ++i) faults_.push_back(injected{false, what, 0});
}

void ads_simulator::inject_ads_error(std::uint32_t code, unsigned count) {
  std::lock_guard lock(mutex_);
  for (unsigned i = 0; i < count; ++i) faults_.push_back(injected{true, fault::silent, code});
}

void ads_simulator::clear_faults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

// --- counters ------------------------------------------------------------------------

std::size_t ads_simulator::connections_accepted() const { return listener_.accepted(); }

std::size_t ads_simulator::connections_open() const { return listener_.open(); }

std::size_t ads_simulator::port_connects() const {
  std::lock_guard lock(mutex_);
  return port_connects_;
}

std::size_t ads_simulator::requests(std::uint16_t command) const {
  std::lock_guard lock(mutex_);
  const auto it = commands_.find(command);
  return it == commands_.end() ? 0 : it->second;
}

std::size_t ads_simulator::group_requests(std::uint32_t group) const {
  std::lock_guard lock(mutex_);
  const auto it = groups_.find(group);
  return it == groups_.end() ? 0 : it->second;
}

std::vector<std::uint32_t> ads_simulator::sum_item_counts() const {
  std::lock_guard lock(mutex_);
  return sum_items_;
}

std::size_t ads_simulator::largest_request() const {
  std::lock_guard lock(mutex_);
  return largest_;
}

std::size_t ads_simulator::handles_open() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

std::size_t ads_simulator::notifications_open() const {
  std::lock_guard lock(mutex_);
  return notifications_open_;
}

}  // namespace kvt::test
