// A Mitsubishi MELSEC controller on 127.0.0.1 for the tests: answers MC
// protocol 3E frames in binary code over TCP as the built-in Ethernet port
// of a Q / iQ-R CPU does, written from the public protocol reference
// without the program's own frame code.
//
// Framing (TCP, one thread per client connection, one request at a time;
// every field low byte first):
//   request   0x50 0x00 subheader, network no. u8, PC no. u8, request
//             destination module I/O no. u16, module station no. u8,
//             request data length u16 (the bytes that follow, from the
//             monitoring timer on), monitoring timer u16 (ignored),
//             command u16, subcommand u16, request data.
//   response  0xD0 0x00 subheader, the request's network no., PC no.,
//             module I/O no. and station no., response data length u16
//             (the bytes that follow, from the end code on), end code u16,
//             response data. A normal completion carries end code 0 and
//             the command's data; an error carries its end code and 9
//             bytes of error information: the request's network no., PC
//             no., module I/O no. u16, station no., command u16 and
//             subcommand u16.
// A frame whose subheader is not 0x50 0x00 closes the connection (no 3E
// request starts otherwise), and so does a request data length over 8192
// (no device access needs that much). A request data length too short
// for the timer, command and subcommand is answered 0xC061. The routing
// fields must address this CPU itself (network 0x00, PC 0xFF, module
// I/O 0x03FF, station 0x00), else 0xC05F. A request whose data do not
// fill its request data length exactly as its command and point counts
// say is answered 0xC061 (a real CPU answers such a frame rather than
// closing; data beyond the length would be read as the next frame). A
// request data length announcing more than arrives leaves the connection
// waiting for the rest. Every answered frame counts in `requests`, error
// answers included.
//
// Device access (subcommand 0x0000 / 0x0001: device number 3 bytes and
// device code 1 byte, as for Q/L; 0x0002 / 0x0003: device number 4 bytes
// and device code 2 bytes, as for iQ-R; 0x0001 / 0x0003 in bit units):
//   0x0401 batch read    device, points u16 -> the values.
//   0x1401 batch write   device, points u16, the values -> nothing.
//     Word units: one word a point; a bit device gives 16 bits a point
//     from the head device (lowest number = bit 0 of the word). 1 to 960
//     words. Bit units (bit devices only): two points a byte, the lower
//     number in the upper four bits (0 or 1; an odd count ends in a
//     padding half byte). 1 to 7168 points.
//     LTN (long timer current value), read in word units: 4 words a point
//     (current value low, high; b0 coil LTC, b1 contact LTS; 0); a batch
//     write to LTN is refused (0xC05B). LCN: 2 words a point (the value
//     low, high), read and written. Both count 960 words at most.
//   0x0403 random read (word units only; 0x0000 / 0x0002)
//     word points u8, double word points u8, the devices for word access,
//     then those for double word access -> a word for each, then a double
//     word for each. 16 points of a bit device a word, 32 a double word;
//     a double word of a word device is the word and the next one (high);
//     LTN / LCN only in double words. Word + double word points 1 to 192
//     (96 with 0x0002).
//   0x1402 random write
//     0x0000 / 0x0002: word points u8, double word points u8, then each
//     device followed by its word, then each followed by its double word.
//     Word points x 12 + double word points x 14 at most 1920 (960 with
//     0x0002).
//     0x0001 / 0x0003: points u8, then each bit device followed by
//     set / reset (0x00 / 0x01 one byte; 0x0003: two bytes). 1 to 188
//     points (94 with 0x0003).
//   A request is carried out whole or not at all.
//
// Devices (binary device code; numbers 0 .. size - 1), named as in the
// device list (X, Y, B, W, SB, SW numbers are hexadecimal there, all are
// plain integers here):
//   bit:   X 0x9C, Y 0x9D, M 0x90, L 0x92, B 0xA0 (8192 each), F 0x93,
//          SB 0xA1 (2048 each), SM 0x91 (4096), TS 0xC1, TC 0xC0, STS
//          0xC7, STC 0xC6 (2048 each), CS 0xC4, CC 0xC3 (1024 each),
//          LTS 0x51, LTC 0x50, LCS 0x55, LCC 0x54 (1024 each).
//   word:  D 0xA8 (12288), W 0xB4 (8192), SW 0xB5 (2048), SD 0xA9 (4096),
//          TN 0xC2, STN 0xC8 (2048 each), CN 0xC5 (1024).
//   32-bit: LTN 0x52, LCN 0x56 (1024 each).
// The long timers and counters (codes 0x50 to 0x56) are reached only with
// the iQ-R subcommands, as on a real CPU; with 0x0000 / 0x0001 their codes
// are unknown.
//
// End codes, checked in this order: command and subcommand; the fixed part
// of the request data there (else 0xC061); the point counts; for a batch
// access the device code, bit units and then the whole length; for a
// random access the whole length and then point by point the device code,
// its kind and range and the bit data; the device range of a batch access
// and its bit data last:
//   0xC051 batch bit points out of range      0xC052 batch word points
//   0xC053 random write bit points            0xC054 random word / double
//                                                    word points
//   0xC056 past the device's last number
//   0xC059 unknown command, or a subcommand the command does not have
//          (other than 0x0000..0x0003; random read in bit units)
//   0xC05B unknown device code, a device the access cannot reach (LTN /
//          LCN in words of a random access, a batch write to LTN)
//   0xC05C bit units on a word device
//   0xC05F routing fields that do not address this CPU
//   0xC060 bit data other than 0 or 1
//   0xC061 request data length disagreeing with the data
//
// Switches: while `set_drop_connections(true)`, a complete request closes
// its connection unanswered (not counted). stop() closes the listener and
// every connection (a power cycle); start() listens again on the same
// port. Device memory, switches and counters survive a restart.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "melsec/melsec_sim_devices.hpp"
#include "support/le_bytes.hpp"
#include "support/loopback_listener.hpp"

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
  bool running() const { return listener_.running(); }
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
  // Connections accepted so far, and open now.
  std::size_t connections_accepted() const;
  std::size_t connections_open() const;

 private:
  void serve(loopback_connection& link);
  // The reply to one complete frame; empty when the connection is to close.
  le::bytes answer(const le::bytes& header, const le::bytes& body);
  const melsec_sim::device_info& checked(std::string_view device, std::uint32_t number,
                                         melsec_sim::kind type) const;

  std::atomic<bool> drop_{false};

  mutable std::mutex mutex_;  // everything below
  melsec_sim::device_memory memory_;
  std::size_t requests_ = 0;
  std::map<std::uint16_t, std::size_t> by_command_;

  // Declared last, so destroyed first: no connection's thread outlives the
  // state it serves from.
  loopback_listener listener_;
};

}  // namespace kvt::test
