// Kestrel's own MELSEC communication component: the five calls the MELSEC
// driver makes (in the manner of Mitsubishi's communication component it
// replaces), over MC protocol 3E frames in binary code on TCP.
//
//   component c("192.168.3.39");          // or "host:port"
//   c.set_station(1);
//   std::int32_t result = 0;
//   c.open(result);
//   std::int16_t v[3];
//   c.read_device_random("D100\nM5\nX1F\n", 3, v, result);
//
// Return values: s_ok (0) or a negative HRESULT-like value (e_fail,
// e_invalid_arg); `result` tells the detail: 0, the controller's end code,
// or one of the component's own codes (codes.hpp). Every failure also
// writes one line starting with "MELSEC: " to standard error.
//
// Connection: host "name-or-address" or "name-or-address:port"; the port is
// 5007 (default_port) when none is given. open() connects; a read or write
// after a dropped connection (or a time-out, after which the connection is
// closed) connects again first; close() disconnects, and reads and writes
// then fail with code::not_open until the next open(). Each request waits
// at most 5 s (default_timeout) for its response.
//
// Station: set_station() keeps the logical station number, the configuration
// number the original component was given; it does not route anything.
// Every frame addresses the station the TCP connection reaches (network 0,
// PC 0xFF, module I/O 0x03FF, station 0).
//
// Device lists and what each entry reads or writes: README.md beside this
// file. Values: a bit device reads 0 or 1 and is switched on by any
// non-zero value; a word device is one 16-bit word; LTN and LCN (32-bit
// long timer / counter current values) read as their low 16 bits and are
// written with the value zero-extended (0xFFFF, not 0xFFFFFFFF, for -1).
//
// Thread safety: calls may come from any thread; one request runs at a time
// per component.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "plc/melsec/mc/client.hpp"
#include "plc/melsec/mc/codes.hpp"

namespace kvt::plc::melsec::mc {

inline constexpr std::uint16_t default_port = 5007;

class component {
 public:
  explicit component(std::string host);
  ~component();
  component(const component&) = delete;
  component& operator=(const component&) = delete;

  std::int32_t set_station(std::int32_t station);
  std::int32_t station() const;

  std::int32_t open(std::int32_t& result);
  std::int32_t close(std::int32_t& result);

  // `values` holds `count` values, in the order of the list; a read stores
  // them only when every request succeeded.
  std::int32_t read_device_random(std::string_view device_list, std::int32_t count, std::int16_t* values,
                                  std::int32_t& result);
  std::int32_t write_device_random(std::string_view device_list, std::int32_t count, const std::int16_t* values,
                                   std::int32_t& result);

  // The per-request (and connect) time-out; default_timeout unless changed.
  void set_timeout(std::chrono::milliseconds timeout);

 private:
  // Reconnects after a drop; code::ok or the failure (reported).
  std::int32_t ensure_connected(const char* what);

  mutable std::mutex mutex_;
  std::string host_;
  std::uint16_t port_ = default_port;
  bool host_ok_ = true;
  std::string host_error_;
  std::int32_t station_ = 0;
  bool open_ = false;
  client client_;
};

}  // namespace kvt::plc::melsec::mc
