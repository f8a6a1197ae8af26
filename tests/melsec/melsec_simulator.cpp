#include "melsec/melsec_simulator.hpp"

#include <stdexcept>
#include <string>

#include "melsec/melsec_sim_commands.hpp"

namespace kvt::test {

using le::bytes;
using le::put_u16;
using le::put_u8;
using le::reader;
using melsec_sim::kind;
namespace end_code = melsec_sim::end_code;

namespace {

constexpr std::size_t header_size = 9;       // subheader .. request data length
constexpr std::size_t largest_request = 8192;  // request data length past this closes the connection
constexpr std::size_t timer_command_size = 6;  // monitoring timer, command, subcommand

// The routing fields of a request to the CPU whose port this is.
constexpr std::uint8_t own_network = 0x00;
constexpr std::uint8_t own_pc = 0xFF;
constexpr std::uint16_t own_module_io = 0x03FF;
constexpr std::uint8_t own_station = 0x00;

}  // namespace

// --- lifetime ------------------------------------------------------------------

melsec_simulator::melsec_simulator(std::uint16_t port)
    : listener_("melsec simulator", port, [this](loopback_connection& link) { serve(link); }) {
  start();
}

melsec_simulator::~melsec_simulator() { stop(); }

std::uint16_t melsec_simulator::port() const { return listener_.port(); }

void melsec_simulator::start() { listener_.start(); }

void melsec_simulator::stop() { listener_.stop(); }

void melsec_simulator::set_drop_connections(bool drop) { drop_.store(drop); }

void melsec_simulator::serve(loopback_connection& link) {
  bytes header(header_size);
  bytes body;
  while (!link.stopping()) {
    if (!link.receive(header.data(), 2)) break;
    if (header[0] != 0x50 || header[1] != 0x00) break;  // not a 3E request
    if (!link.receive(header.data() + 2, header_size - 2)) break;
    const std::size_t length = reader(header.data() + 7, 2).u16();
    if (length > largest_request) break;
    body.resize(length);
    if (length > 0 && !link.receive(body.data(), length)) break;
    if (drop_.load()) break;
    const bytes reply = answer(header, body);
    link.send(reply.data(), reply.size());
  }
}

// --- framing ---------------------------------------------------------------------

bytes melsec_simulator::answer(const bytes& header, const bytes& body) {
  reader h(header);
  h.skip(2);
  const std::uint8_t network = h.u8();
  const std::uint8_t pc = h.u8();
  const std::uint16_t module_io = h.u16();
  const std::uint8_t station = h.u8();
  reader b(body);
  b.u16();  // monitoring timer: every request is answered at once
  const std::uint16_t command = b.u16();
  const std::uint16_t subcommand = b.u16();

  melsec_sim::outcome out;
  {
    std::lock_guard lock(mutex_);
    ++requests_;
    ++by_command_[command];
    if (body.size() < timer_command_size) {
      out.end_code = end_code::bad_length;
    } else if (network != own_network || pc != own_pc || module_io != own_module_io || station != own_station) {
      out.end_code = end_code::other_station;
    } else {
      out = melsec_sim::execute(memory_, command, subcommand, bytes(body.begin() + timer_command_size, body.end()));
    }
  }

  bytes r;
  put_u8(r, 0xD0);
  put_u8(r, 0x00);
  put_u8(r, network);
  put_u8(r, pc);
  put_u16(r, module_io);
  put_u8(r, station);
  put_u16(r, 0);  // response data length, set below
  put_u16(r, out.end_code);
  if (out.end_code == end_code::ok) {
    le::put_bytes(r, out.data);
  } else {
    put_u8(r, network);
    put_u8(r, pc);
    put_u16(r, module_io);
    put_u8(r, station);
    put_u16(r, command);
    put_u16(r, subcommand);
  }
  le::set_u16(r, 7, static_cast<std::uint32_t>(r.size() - header_size));
  return r;
}

// --- device memory ------------------------------------------------------------------

const melsec_sim::device_info& melsec_simulator::checked(std::string_view device, std::uint32_t number,
                                                        kind type) const {
  const melsec_sim::device_info* d = melsec_sim::find_device(device);
  if (d == nullptr) throw std::invalid_argument("melsec simulator: unknown device " + std::string(device));
  if (d->type != type) throw std::invalid_argument("melsec simulator: wrong kind of device " + std::string(device));
  if (number >= d->points) {
    throw std::invalid_argument("melsec simulator: " + std::string(device) + std::to_string(number) +
                                " is past the device's last number");
  }
  return *d;
}

std::uint16_t melsec_simulator::word(std::string_view device, std::uint32_t number) const {
  const auto& d = checked(device, number, kind::word);
  std::lock_guard lock(mutex_);
  return memory_.word(d, number);
}

void melsec_simulator::set_word(std::string_view device, std::uint32_t number, std::uint16_t value) {
  const auto& d = checked(device, number, kind::word);
  std::lock_guard lock(mutex_);
  memory_.set_word(d, number, value);
}

bool melsec_simulator::bit(std::string_view device, std::uint32_t number) const {
  const auto& d = checked(device, number, kind::bit);
  std::lock_guard lock(mutex_);
  return memory_.bit(d, number);
}

void melsec_simulator::set_bit(std::string_view device, std::uint32_t number, bool value) {
  const auto& d = checked(device, number, kind::bit);
  std::lock_guard lock(mutex_);
  memory_.set_bit(d, number, value);
}

std::uint32_t melsec_simulator::dword(std::string_view device, std::uint32_t number) const {
  const auto& d = checked(device, number, kind::dword);
  std::lock_guard lock(mutex_);
  return memory_.dword(d, number);
}

void melsec_simulator::set_dword(std::string_view device, std::uint32_t number, std::uint32_t value) {
  const auto& d = checked(device, number, kind::dword);
  std::lock_guard lock(mutex_);
  memory_.set_dword(d, number, value);
}

// --- counters ----------------------------------------------------------------------

std::size_t melsec_simulator::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t melsec_simulator::requests(std::uint16_t command) const {
  std::lock_guard lock(mutex_);
  const auto it = by_command_.find(command);
  return it == by_command_.end() ? 0 : it->second;
}

std::size_t melsec_simulator::connections_accepted() const { return listener_.accepted(); }

std::size_t melsec_simulator::connections_open() const { return listener_.open(); }

}  // namespace kvt::test
