// A Beckhoff ADS device on 127.0.0.1 for the tests: answers AMS/TCP as a
// TwinCAT 3 runtime with one PLC (AMS port 851) does, written from the
// public description of AMS/TCP and the ADS commands, without the
// program's own frame code.
//
// Framing (TCP, one thread per client connection): AMS/TCP header, 6 bytes
// (reserved u16 = 0, length u32 of what follows), then the AMS header, 32
// bytes (target Net ID 6, target port u16, source Net ID 6, source port
// u16, command id u16, state flags u16, data length u32, error code u32,
// invoke id u32), then the command's data. A reply swaps target and
// source, keeps the command and invoke id and carries state flags 0x0005
// (response, ADS command). Frames marked as responses (flag 0x0001) are
// read and ignored. A frame too short for the AMS header, or announcing
// more than 8 MiB, closes the connection. A request for port 851 whose AMS
// data length differs from the data that follows is answered 0x705.
//
// Router commands in the AMS/TCP header's first field (no AMS header):
//   0x1000 port connect   data: requested port u16 (0: any); reply 0x1000,
//          8 bytes: the device's own Net ID and the port (the requested one,
//          or the next free one from 32768), as a TwinCAT router answers a
//          local client. Counted in `port_connects`.
//   0x1001 port close     the connection closes without a reply.
//   Other non-zero values: the connection closes.
//
// AMS addressing: the target Net ID must be `net_id()` (default
// 127.0.0.1.1.1), else the reply carries AMS error 0x7 and no data. AMS
// port 851 is the PLC, 10000 the system service; another port gets AMS
// error 0x6 and no data.
//
// ADS commands (result u32 first in every reply):
//   1 Read Device Info: version 3.1 build 4024, name "Plc30 App" (851) or
//     "TwinCAT System" (10000), 16 bytes zero padded.
//   2 Read: group u32, offset u32, length u32 -> result, length u32, data.
//   3 Write: group u32, offset u32, length u32, data -> result.
//   4 Read State: ADS state u16 (851: `plc_state()`, 10000: 5 = run),
//     device state u16 (0).
//   5 Write Control (851): ADS state u16, device state u16, length u32,
//     data; state 5 (run) or 6 (stop) is taken, another one 0x70B.
//   6 Add Device Notification: group, offset, length, transmission mode,
//     max delay, cycle time, 16 reserved bytes -> result, handle u32. The
//     target is checked as a read of it would be (0xF100 and 0xF008 too);
//     handles live with the connection. No notification is ever sent.
//   7 Delete Device Notification: handle u32 -> result (0x714 unknown).
//   9 Read Write: group, offset, read length u32, write length u32, data
//     -> result, length u32, data.
//   Other command ids: result 0x701.
//
// Index groups on port 851 (Read R, Write W, Read Write RW):
//   0x4020 %M (4096 bytes), 0x4040 PLC data (65536 bytes, the symbols),
//   0xF020 %I and 0xF030 %Q (1024 bytes each): R, W, and RW (writes, then
//     reads the read length from the same offset). Offset at or past the
//     area's end 0x703; a length running past it 0x705.
//   0xF003 handle by name, RW: name (a trailing NUL is allowed) in, handle
//     u32 out (read length at least 4, else 0x705); when the read length
//     leaves room, followed as by a TwinCAT 3 runtime by the symbol's size
//     u32, type decoration u32 (0), type name length u16 and type name\0.
//     Unknown name 0x710.
//   0xF005 value by handle, R/W with the handle as offset: the symbol's
//     bytes (at most its size, else 0x705; a write must be exactly its
//     size); unknown handle 0x710.
//   0xF006 release handle, W: the handle u32 as data; unknown 0x710.
//   0xF008 symbol version, R: one byte, `symbol_version()`.
//   0xF009 symbol info by name, RW: name in, the symbol entry out (layout in
//     ads_sim_symbols.hpp); unknown name 0x710; a read length below the
//     entry's size 0x705.
//   0xF00B symbol upload, R: every symbol entry (read length at least their
//     total, else 0x705).
//   0xF00C upload info, R: symbol count u32, symbol bytes u32.
//   0xF00E data type upload, R: the entries of the basic types in use.
//   0xF00F upload info 2, R (read length at least 24): symbol count,
//     symbol bytes, data type count, data type bytes, max dynamic symbols
//     (0), used dynamic symbols (0), each u32.
//   0xF011 data type info by name, RW: a basic type's entry; else 0x710.
//   0xF080 sum read, RW with n items as offset: n x (group, offset,
//     length) in; n result codes, then each item's bytes (its full length,
//     zeros after an error) out.
//   0xF081 sum write: n x (group, offset, length), then the data; n result
//     codes out.
//   0xF082 sum read write: n x (group, offset, read length, write length),
//     then the write data; n x (result, length) then the read data out.
//   Sum items go to the groups above (not to another sum group: 0x702). A
//   sum of 0 items or of more than `set_max_sum_items` (500) items, or one
//   whose data does not hold its items, is answered 0x705 as a whole.
//   0xF100 device data, R: ADS state u16, device state u16.
//   Any other group, and a service a group does not offer (Write to
//   0xF00B, Read of 0xF003, a sum inside a sum): 0x702.
// Port 10000 (system service): Read Device Info, Read State, and Read of
// group 0xF0 offset 0 (16 bytes: state u16 5, device state u16, restart
// index u16, version 3, revision 1, build u16 4024, platform, OS type,
// flags u16, reserved); any other group 0x702, command 0x701.
//
// Default symbols (`load_default_symbols`), in the data area unless said:
//   MAIN.bEnable BOOL, MAIN.nByte BYTE, MAIN.nUSInt USINT, MAIN.nSInt SINT,
//   MAIN.nWord WORD, MAIN.nUInt UINT, MAIN.nInt INT, MAIN.nDWord DWORD,
//   MAIN.nUDInt UDINT, MAIN.nCounter DINT, MAIN.fTemperature REAL,
//   MAIN.nBig LINT, GVL.fSpeed REAL, GVL.fPosition LREAL, GVL.bRunning BOOL,
//   GVL.bStart BOOL at %IX0.0 (0xF020, 0), GVL.bLamp BOOL at %QX0.0 (0xF030,
//   0), GVL.nMarker INT at %MW10 (0x4020, 10). All zero.
//
// Switches: `drop_connections` closes every client connection now and, for
// the time given, resets every new one as soon as it is accepted (TCP
// RST); `set_refusing` does that until switched off. stop() closes the
// listener and every connection (a power cycle; handles and notifications
// go); start() listens again on the same port. Symbols, values, switches
// and counters survive a restart. `set_delay_ms` holds every reply for
// port 851 that long.
//
// Faults (`inject_fault`, in the order injected) spoil the next replies to
// ADS requests for port 851 (the data faults leave other replies as they
// are); `inject_ads_error` answers the next requests
// for port 851 with that result code instead of carrying them out.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ads/ads_sim_symbols.hpp"
#include "support/loopback_listener.hpp"

namespace kvt::test {

class ads_simulator {
 public:
  using net_id = std::array<std::uint8_t, 6>;
  static constexpr std::uint16_t plc_port = 851;
  static constexpr std::uint16_t system_port = 10000;

  enum class fault {
    lying_length,     // the AMS header's data length says 4 bytes more than follow (AMS/TCP length right)
    short_header,     // an AMS/TCP header announcing 20 bytes, then 20 bytes of the AMS header
    close_mid_reply,  // the first half of the reply, then the connection closes
    silent,           // no reply (the connection stays open)
    short_data,       // a successful Read or Read Write reply with its last data byte cut (lengths agree)
    long_data,        // a successful Read or Read Write reply with a zero data byte added (lengths agree)
  };

  // Listens on 127.0.0.1:`port`, an ephemeral one when 0.
  explicit ads_simulator(std::uint16_t port = 0);
  ~ads_simulator();
  ads_simulator(const ads_simulator&) = delete;
  ads_simulator& operator=(const ads_simulator&) = delete;

  std::uint16_t port() const noexcept { return listener_.port(); }
  net_id id() const;
  void set_net_id(const net_id& id);
  void stop();
  void start();  // on the same port; throws when it cannot listen
  bool running() const noexcept { return listener_.running(); }

  // --- symbols and values --------------------------------------------------
  void load_default_symbols();
  void clear_symbols();
  // Adds a symbol of a basic type ("DINT"), zeroed; group and offset as in
  // symbol_table::add. Raises the symbol version.
  void add_symbol(const std::string& name, const std::string& type,
                  std::uint32_t group = ads_sim::area::data, std::optional<std::uint32_t> offset = std::nullopt,
                  const std::string& comment = "");
  // Where a symbol lives; throws std::invalid_argument for an unknown name.
  ads_sim::symbol symbol(const std::string& name) const;
  // Typed values by name (names compare without regard to case); throw
  // std::invalid_argument for an unknown name or a type that does not fit
  // (integers: BOOL and the integer types, sign-extended as declared;
  // reals: REAL and LREAL).
  std::int64_t get_int(const std::string& name) const;
  void set_int(const std::string& name, std::int64_t value);
  double get_real(const std::string& name) const;
  void set_real(const std::string& name, double value);
  bool get_bool(const std::string& name) const { return get_int(name) != 0; }
  void set_bool(const std::string& name, bool value) { set_int(name, value ? 1 : 0); }
  std::vector<std::uint8_t> get_bytes(const std::string& name) const;
  void set_bytes(const std::string& name, const std::vector<std::uint8_t>& value);
  // Raw memory of an area (index group), e.g. for %M/%I/%Q.
  std::vector<std::uint8_t> area_bytes(std::uint32_t group, std::uint32_t offset, std::uint32_t length) const;
  void set_area_bytes(std::uint32_t group, std::uint32_t offset, const std::vector<std::uint8_t>& data);
  std::uint8_t symbol_version() const;

  // --- switches --------------------------------------------------------------
  // ADS state of the PLC: 5 run (default), 6 stop.
  void set_plc_state(std::uint16_t state);
  std::uint16_t plc_state() const;
  void drop_connections(std::chrono::milliseconds refuse_for = std::chrono::milliseconds(0));
  void set_refusing(bool refusing);
  void set_delay_ms(unsigned ms) { delay_ms_.store(ms); }
  void set_max_sum_items(std::uint32_t n) { max_sum_items_.store(n); }

  // --- faults ------------------------------------------------------------------
  void inject_fault(fault what, unsigned count = 1);
  void inject_ads_error(std::uint32_t code, unsigned count = 1);
  void clear_faults();

  // --- counters (cumulative over restarts) ------------------------------------
  std::size_t connections_accepted() const;  // refused ones included
  std::size_t connections_open() const;
  std::size_t port_connects() const;
  // ADS requests by command id (every port).
  std::size_t requests(std::uint16_t command) const;
  // Read / Write / Read Write requests for port 851 by their index group
  // (the sum groups themselves, not their items).
  std::size_t group_requests(std::uint32_t group) const;
  // Items of each sum request (0xF080..0xF082), in order received.
  std::vector<std::uint32_t> sum_item_counts() const;
  // Largest AMS data length received (after the 32-byte AMS header).
  std::size_t largest_request() const;
  // Handles and notifications open now.
  std::size_t handles_open() const;
  std::size_t notifications_open() const;

 private:
  struct client;
  struct outcome {
    std::vector<std::uint8_t> reply;
    bool close_after = false;
    bool plc = false;  // a reply to an ADS request for port 851
    bool ads_error_injected = false;
  };
  struct injected {
    bool ads_error = false;
    fault what = fault::silent;
    std::uint32_t code = 0;
  };

  void serve(loopback_connection& link);
  outcome handle(client& c, const std::vector<std::uint8_t>& frame);
  outcome router_command(client& c, std::uint16_t command, const std::vector<std::uint8_t>& data);
  // ADS layer: the reply data (result first) for one command.
  // `notifications`: the handles the connection holds.
  std::vector<std::uint8_t> plc_command(std::set<std::uint32_t>& notifications, std::uint16_t command,
                                        const std::vector<std::uint8_t>& data);
  std::vector<std::uint8_t> system_command(std::uint16_t command, const std::vector<std::uint8_t>& data);
  ads_sim::read_result read(std::uint32_t group, std::uint32_t offset, std::uint32_t length);
  std::uint32_t write(std::uint32_t group, std::uint32_t offset, const std::vector<std::uint8_t>& data);
  ads_sim::read_result read_write(std::uint32_t group, std::uint32_t offset, std::uint32_t length,
                                  const std::vector<std::uint8_t>& data, bool top_level);
  ads_sim::read_result sum(std::uint32_t group, std::uint32_t items, std::uint32_t length,
                           const std::vector<std::uint8_t>& data);
  std::uint32_t check_target(std::uint32_t group, std::uint32_t offset, std::uint32_t length);
  const ads_sim::symbol* by_handle(std::uint32_t handle) const;
  bool refusing_now() const;

  mutable std::mutex mutex_;  // everything below
  ads_sim::symbol_table table_;
  net_id net_id_{127, 0, 0, 1, 1, 1};
  std::uint16_t plc_state_ = 5;
  std::uint8_t symbol_version_ = 1;
  std::map<std::uint32_t, std::string> handles_;  // handle -> symbol name
  std::uint32_t next_handle_ = 0x1A000001;
  std::uint32_t next_notification_ = 1;
  std::size_t notifications_open_ = 0;
  std::uint16_t next_router_port_ = 32768;
  bool refusing_ = false;
  std::chrono::steady_clock::time_point refuse_until_{};
  std::deque<injected> faults_;
  std::size_t port_connects_ = 0;
  std::map<std::uint16_t, std::size_t> commands_;
  std::map<std::uint32_t, std::size_t> groups_;
  std::vector<std::uint32_t> sum_items_;
  std::size_t largest_ = 0;

  std::atomic<unsigned> delay_ms_{0};
  std::atomic<std::uint32_t> max_sum_items_{500};

  // Declared last, so destroyed first: no connection's thread outlives the
  // state it serves from.
  loopback_listener listener_;
};

}  // namespace kvt::test
