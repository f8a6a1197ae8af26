// A Mitsubishi MELSEC controller on 127.0.0.1 for the tests: answers MC
// protocol 3E frames in binary code over TCP as the built-in Ethernet port
// of a Q / iQ-R CPU does, written from the public protocol reference
// without the program's own frame code. (The full framing, commands,
// device codes, sizes and end codes are described in the implementation
// notes below once complete.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace kvt::test {

class melsec_simulator {
 public:
  // Listens on 127.0.0.1:`port` (an ephemeral one when 0) at once.
  explicit melsec_simulator(std::uint16_t port = 0);
  ~melsec_simulator();
  melsec_simulator(const melsec_simulator&) = delete;
  melsec_simulator& operator=(const melsec_simulator&) = delete;

  std::uint16_t port() const;
  // Closes the listener and every connection; the port stays reserved for
  // start(). Device memory, switches and counters survive.
  void stop();
  // Listens again on the same port; throws when it cannot.
  void start();
  // While true, every request closes its connection unanswered.
  void set_drop_connections(bool drop);

  // Device memory by device name ("D", "M", "X", "LTN"...) and number (an
  // integer: X1F is 0x1F). Throw std::invalid_argument for an unknown
  // name, a device of the other kind, or a number out of range.
  std::uint16_t word(std::string_view device, std::uint32_t number) const;  // word devices
  void set_word(std::string_view device, std::uint32_t number, std::uint16_t value);
  bool bit(std::string_view device, std::uint32_t number) const;  // bit devices
  void set_bit(std::string_view device, std::uint32_t number, bool value);
  std::uint32_t dword(std::string_view device, std::uint32_t number) const;  // LTN, LCN
  void set_dword(std::string_view device, std::uint32_t number, std::uint32_t value);

  // Frames answered so far (cumulative over restarts), in all and by command.
  std::size_t requests() const;
  std::size_t requests(std::uint16_t command) const;

 private:
  struct state;
  std::unique_ptr<state> state_;
};

}  // namespace kvt::test
