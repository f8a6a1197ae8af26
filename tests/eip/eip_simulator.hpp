// An EtherNet/IP controller on 127.0.0.1 for the tests, written from the
// public descriptions of the encapsulation protocol, the CIP common services
// and the Logix data access services, without the program's own frame code.
//
// Encapsulation (TCP, one thread per client connection):
//   Register Session 0x65, Unregister Session 0x66 (the connection closes),
//   List Identity 0x63, Send RR Data 0x6F (unconnected: straight to the
//   message router, or wrapped in Unconnected Send 0x52 with a route path),
//   Send Unit Data 0x70 (connected: the request carries the O->T id the
//   simulator gave in Forward Open, the reply the client's T->O id and the
//   request's 16-bit sequence count), List Services 0x04.
//   Other commands, and a second Register Session on one TCP connection,
//   are answered with encapsulation status 0x0001; Send RR Data / Send Unit
//   Data naming a session this connection did not register, with 0x0064;
//   Send Unit Data for a connection id this TCP connection did not open (or
//   with malformed items), with 0x0003 and no data.
//
// Connection manager (class 0x06 instance 1):
//   Forward Open 0x54 (16-bit connection parameters, sizes up to 511),
//   Large Forward Open 0x5B (32-bit parameters), Forward Close 0x4E.
//   Refusals: general status 0x01 with extended status 0x0109 and a second
//   word, the size it would accept, when a size is above
//   `set_max_connection_size`; 0x0100 for a connection triplet (serial,
//   vendor, originator serial) already open; 0x0107 for a Forward Close of
//   an unknown connection; 0x0315 for a connection path it cannot route;
//   general status 0x08 for 0x5B after `set_large_forward_open(false)`.
//
// Route paths (Forward Open's connection path, Unconnected Send's route):
//   logix: port segments ending in backplane port 1 with link address
//          `slot()` (0), e.g. "1,0"; none at all is refused.
//   micro800: no port segment at all ("direct"); one is refused.
//   omron: any port segments or none.
//   A refused Unconnected Send is answered 0xD2 with 0x01 / 0x0312.
//
// Message router services (requests reach it unconnected or connected):
//   Read Tag 0x4C   data: element count u16.
//                   reply: type u16 (atomic code 0x00C1..0x00D4, or 0x02A0
//                   followed by the structure handle u16), then the values.
//                   A value longer than the reply may carry is cut there
//                   and answered with general status 0x06.
//   Write Tag 0x4D  data: type (as read), element count u16, values.
//   Read Tag Fragmented 0x52   data: element count u16, byte offset u32;
//                   reply as Read Tag from that offset, 0x06 while more
//                   bytes follow (fragments end on element boundaries).
//   Write Tag Fragmented 0x53  data: type, element count u16, byte offset
//                   u32, values for those bytes.
//   Multiple Service Packet 0x0A on class 0x02 instance 1: count u16,
//                   offsets u16 (from the count), the requests; the reply
//                   has the same layout, general status 0x1E when one of
//                   the embedded replies is not a success. An embedded read
//                   gets the room left in the reply and, past it, 0x06.
//   Get Instance Attribute List 0x55 on the symbol class 0x6B; the
//                   instance in the path is the first one to list (0: from
//                   the start), a symbolic segment "Program:Main" in front
//                   of the class lists that program's scope instead of the
//                   controller's; data: attribute count u16, attribute ids
//                   u16. Program entries and system tags are listed too.
//                   reply per symbol: instance u32, then each attribute in
//                   the order asked: 1 name (u16 length, characters), 2
//                   symbol type u16, 3 address u32 (0), 5 object address u32
//                   (0), 6 software control u32 (0), 7 element size u16, 8
//                   dimensions 3 x u32. Stops before the reply would pass
//                   its size and then answers 0x06 (ask again from the last
//                   instance + 1); another attribute id is answered 0x14.
//                   Symbol type: bits 0-7 the atomic type (bits 0-11 the
//                   structure's template id), bit 12 system, bits 13-14 the
//                   number of dimensions, bit 15 structure.
//   Get_Attribute_All 0x01 on the identity class 0x01 instance 1: vendor,
//                   device type, product code, revision, status, serial,
//                   product name.
//   Omron NJ/NX only:
//   Get_Attribute_All 0x01 on class 0x6A instance 0: data revision u16 (1),
//                   number of tag instances u16, highest instance u16.
//   0x5F on class 0x6A: data first instance u32, most entries u32, kind u16
//                   (recorded in `last_omron_list_kind`, lists the same
//                   tags whatever it says); reply data: count u16, 0 u16,
//                   then per entry: instance u32, length u16 (the bytes that
//                   follow it in the entry), 6 bytes of zero, name length u8,
//                   name, a zero byte when the name length is even (so the
//                   entry ends on an even byte). Entries from the first
//                   instance on, as many as fit in the reply.
//   Get_Attribute_All 0x01 on a tag's symbolic path: data size u32 (all
//                   elements), CIP type code u8, 0 u8, number of dimensions
//                   u8, 0 u8, dimensions 3 x u32 (zero past the number);
//                   for an element ("Arr[2]") its own size and no dimensions.
//   Anything else (the template class 0x6C included): 0x05 for an unknown
//   tag or class (always 0x05 for an unknown tag name or index out of
//   range), 0x08 for a service the object does not offer.
//
// Tag access refusals: 0x04 a malformed path or fewer indexes than
// dimensions; 0xFF with 0x2105 an element count of 0 or past the end of the
// array, or an offset past the value; 0xFF with 0x2107 a write whose type
// (or structure handle) differs; 0x13 too few values for Write Tag; 0x15
// values past the end; 0x11 a reply with no room even for its header.
//
// Reply sizes: connected, the T->O connection size less the 2 bytes of the
// sequence count; unconnected, `set_unconnected_size` (504 bytes of CIP
// reply). Oversized requests are served but counted.
//
// Tags: a default set (see `load_default_tags`), and whatever the test
// adds. Names compare without regard to case. BOOL is one byte (0xC1);
// structure members are atomic, each at its own byte offset (BOOL members
// too, not packed into bits); arrays of BOOL are not modelled.
//
// stop() closes the listener and every client connection and forgets
// sessions and connections (a power cycle); start() listens again on the
// same port. Tags, switches and counters survive a restart.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "eip/eip_sim_tags.hpp"
#include "support/loopback_listener.hpp"

namespace kvt::test {

// CIP type codes of atomic Logix and NJ/NX types.
namespace cip_type {
inline constexpr std::uint8_t boolean = 0xC1;
inline constexpr std::uint8_t sint = 0xC2;
inline constexpr std::uint8_t int_ = 0xC3;
inline constexpr std::uint8_t dint = 0xC4;
inline constexpr std::uint8_t lint = 0xC5;
inline constexpr std::uint8_t usint = 0xC6;
inline constexpr std::uint8_t uint = 0xC7;
inline constexpr std::uint8_t udint = 0xC8;
inline constexpr std::uint8_t ulint = 0xC9;
inline constexpr std::uint8_t real = 0xCA;
inline constexpr std::uint8_t lreal = 0xCB;
inline constexpr std::uint8_t dword = 0xD3;
}  // namespace cip_type

class eip_simulator {
 public:
  enum class flavour {
    logix,     // ControlLogix / CompactLogix: route path to backplane slot 0
    micro800,  // Micro800: no route path
    omron,     // NJ/NX: also the class 0x6A tag listing and attribute services
  };

  // Faults for the next replies to Send RR Data / Send Unit Data.
  enum class fault {
    short_header,     // sends the first 10 bytes of the 24-byte header, nothing more (connection stays open)
    lying_length,     // the header's length field says 16 bytes more than follow (connection stays open)
    close_mid_reply,  // sends the first half of the reply, then closes the connection
    silent,           // no reply at all (connection stays open)
  };

  // The last Forward Open (or Large Forward Open) received.
  struct forward_open_info {
    std::uint8_t service = 0;        // 0x54 or 0x5B
    std::uint32_t ot_size = 0;       // requested O->T connection size
    std::uint32_t to_size = 0;       // requested T->O connection size
    std::uint32_t ot_rpi = 0;        // microseconds
    std::uint8_t transport = 0;      // transport class and trigger
    std::vector<std::uint8_t> path;  // connection path as sent
    bool accepted = false;
  };

  // Listens on `port`, or on an ephemeral one when 0.
  explicit eip_simulator(flavour kind = flavour::logix, std::uint16_t port = 0);
  ~eip_simulator();
  eip_simulator(const eip_simulator&) = delete;
  eip_simulator& operator=(const eip_simulator&) = delete;

  std::uint16_t port() const noexcept { return listener_.port(); }
  flavour kind() const noexcept { return kind_; }
  void stop();
  // Listens again on the same port (after stop()); throws when it cannot.
  void start();
  bool running() const noexcept { return listener_.running(); }
  // Closes every client connection (sessions and connections go with
  // them); the listener stays.
  void close_connections();

  // --- tags -------------------------------------------------------------
  // Replaces all tags with the default set:
  //   controller scope: Counter DINT 0, Temperature REAL 21.5, Running BOOL 1,
  //   Small SINT -5, Level INT 1200, Huge LINT 1<<40, Precise LREAL 3.25,
  //   Arr DINT[10] (element i = 10*i), Matrix INT[2,3] (element [r,c] =
  //   10*r + c), Buffer DINT[1000] (element i = i), Motor MotorData,
  //   Motors MotorData[3], __CONTAINER DINT (logix, micro800), system tag
  //   Map:Local (logix, type 0x1069, not readable), program entries
  //   Program:Main and Program:Aux (logix, micro800, type 0x1068);
  //   MotorData = { Speed REAL @0, Current REAL @4, Starts DINT @8,
  //   On BOOL @12 }, 16 bytes;
  //   Program:Main: Speed REAL 1450.5, Count DINT 7, Mode INT 2;
  //   Program:Aux: Level DINT 99.
  void load_default_tags();
  void clear_tags();
  // Adds (or replaces) an atomic tag, zeroed. `name` may carry a program
  // scope ("Program:Main.Speed"); dimensions up to 3.
  void add_tag(const std::string& name, std::uint8_t type, std::vector<std::uint32_t> dims = {});
  // Defines a structure of atomic members; returns its index for add_struct_tag.
  int define_structure(const std::string& name, std::vector<eip_sim::member_def> members, std::uint32_t size);
  void add_struct_tag(const std::string& name, int structure, std::vector<std::uint32_t> dims = {});
  // Adds a program entry "Program:<program>" to the controller listing.
  void add_program(const std::string& program);
  // Adds a listing entry that is not readable (system tags, programs).
  void add_listing_entry(const std::string& name, std::uint16_t symbol_type);

  // Values by name: "Counter", "Arr[3]", "Matrix[1,2]", "Motor.Speed",
  // "Program:Main.Speed". Throw std::invalid_argument for a name that
  // names nothing.
  std::int32_t get_int32(const std::string& name) const;
  void set_int32(const std::string& name, std::int32_t value);
  float get_float(const std::string& name) const;
  void set_float(const std::string& name, float value);
  double get_double(const std::string& name) const;
  void set_double(const std::string& name, double value);
  bool get_bool(const std::string& name) const;
  void set_bool(const std::string& name, bool value);
  // Raw bytes from the named element to the end of its array (a single
  // value: its bytes); set_bytes writes from the named element on.
  std::vector<std::uint8_t> get_bytes(const std::string& name) const;
  void set_bytes(const std::string& name, const std::vector<std::uint8_t>& value);

  // --- switches ---------------------------------------------------------
  // Large Forward Open 0x5B answered (true, default) or refused with 0x08.
  void set_large_forward_open(bool supported) { large_forward_open_.store(supported); }
  // Largest connection size accepted in either direction (default 4002).
  void set_max_connection_size(std::uint32_t bytes) { max_connection_size_.store(bytes); }
  // Room for an unconnected reply (the whole CIP reply; default 504).
  void set_unconnected_size(std::uint32_t bytes) { unconnected_size_.store(bytes); }
  // Multiple Service Packet 0x0A answered (default) or refused with 0x08.
  void set_multiple_service(bool supported) { multiple_service_.store(supported); }
  // Backplane slot a logix route path must end in (default 0).
  void set_slot(std::uint8_t slot) { slot_.store(slot); }
  std::uint8_t slot() const noexcept { return slot_.load(); }
  // Delays every reply to Send RR Data / Send Unit Data (that connection only).
  void set_delay_ms(unsigned ms) { delay_ms_.store(ms); }

  // --- fault injection (each kind in the order injected) ------------------
  // Spoils the next `count` replies to Send RR Data / Send Unit Data.
  void inject_fault(fault what, unsigned count = 1);
  // Answers the next `count` CIP requests (after any Unconnected Send is
  // unwrapped; a Multiple Service Packet counts as one, Forward Open too)
  // with this general status (and extended status when not 0), without
  // carrying them out. The request's service is still counted.
  void inject_cip_error(std::uint8_t general_status, std::uint16_t extended_status = 0, unsigned count = 1);
  void clear_faults();

  // --- counters (cumulative over restarts) --------------------------------
  std::size_t sessions_registered() const;
  std::size_t sessions_open() const;
  std::size_t tcp_connections_accepted() const;
  // Forward Open requests by service (0x54, 0x5B), accepted or refused.
  std::size_t forward_opens(std::uint8_t service) const;
  std::size_t forward_opens_accepted() const;
  std::size_t forward_closes() const;
  std::size_t connections_open() const;
  // Message router requests by service code: tag, listing, identity and
  // Omron services, 0x0A itself and every request inside one. Connection
  // manager services (Forward Open/Close, Unconnected Send) are counted
  // apart.
  std::size_t requests(std::uint8_t service) const;
  // Multiple Service Packets served (refused ones are only in requests(0x0A)).
  std::size_t multiple_service_packets() const;
  // Unconnected Send requests (routed or refused).
  std::size_t unconnected_sends() const;
  // Send RR Data / Send Unit Data requests received with a valid session.
  std::size_t rr_data_requests() const;
  std::size_t unit_data_requests() const;
  // The largest encapsulation data length received (after the 24-byte header).
  std::size_t largest_encapsulated_request() const;
  // The largest CIP request (service, path, data; for Send Unit Data
  // without the sequence count, inside Unconnected Send the embedded one).
  std::size_t largest_cip_request() const;
  // Connected requests whose data item (sequence count + CIP request) was
  // larger than the O->T connection size.
  std::size_t oversized_requests() const;
  forward_open_info last_forward_open() const;
  std::uint16_t last_omron_list_kind() const;
  // Every CIP request as received at the message router (the first 10000).
  std::vector<std::vector<std::uint8_t>> cip_requests() const;

 private:
  struct client;
  struct connection {
    std::uint32_t ot_id = 0;  // ours: the client addresses us with it
    std::uint32_t to_id = 0;  // the client's: our replies carry it
    std::uint16_t serial = 0;
    std::uint16_t vendor = 0;
    std::uint32_t originator_serial = 0;
    std::uint32_t ot_size = 0;
    std::uint32_t to_size = 0;
    const client* owner = nullptr;
  };
  struct outcome {
    std::vector<std::uint8_t> reply;
    bool close_after = false;
    bool data_reply = false;  // a reply to Send RR Data / Send Unit Data
  };
  struct injected_fault {
    bool is_cip = false;
    fault what = fault::silent;
    std::uint8_t general = 0;
    std::uint16_t extended = 0;
  };

  void serve(loopback_connection& link);
  void forget(const client* c);
  outcome handle(client& c, const std::vector<std::uint8_t>& header, const std::vector<std::uint8_t>& body);
  std::vector<std::uint8_t> rr_data(client& c, const std::vector<std::uint8_t>& body, bool& ok);
  std::vector<std::uint8_t> unit_data(client& c, const std::vector<std::uint8_t>& body, bool& ok);
  std::vector<std::uint8_t> list_identity() const;

  // CIP layer; `room` is how many bytes the reply may take.
  std::vector<std::uint8_t> unconnected(client& c, const std::vector<std::uint8_t>& request, std::size_t room);
  std::vector<std::uint8_t> route(client& c, const std::vector<std::uint8_t>& request, std::size_t room,
                                  bool top_level);
  std::vector<std::uint8_t> forward_open(client& c, std::uint8_t service, eip_sim::reader& in);
  std::vector<std::uint8_t> forward_close(eip_sim::reader& in);
  bool route_ok(const std::vector<eip_sim::path_item>& path, std::size_t& first_after_ports) const;
  std::vector<std::uint8_t> multiple_service(client& c, eip_sim::reader& in, std::size_t room);
  std::vector<std::uint8_t> read_tag(std::uint8_t service, const std::vector<eip_sim::path_item>& path,
                                     eip_sim::reader& in, std::size_t room);
  std::vector<std::uint8_t> write_tag(std::uint8_t service, const std::vector<eip_sim::path_item>& path,
                                      eip_sim::reader& in);
  std::vector<std::uint8_t> list_symbols(const std::string& program, std::uint32_t first, eip_sim::reader& in,
                                         std::size_t room);
  std::vector<std::uint8_t> omron_list(eip_sim::reader& in, std::size_t room);
  std::vector<std::uint8_t> omron_class_attributes();
  std::vector<std::uint8_t> omron_tag_attributes(const std::vector<eip_sim::path_item>& path);
  std::vector<std::uint8_t> identity_attributes() const;

  eip_sim::target named(const std::string& name) const;  // throws std::invalid_argument
  std::size_t counter(const std::size_t& field) const;

  const flavour kind_;

  mutable std::mutex mutex_;  // everything below
  mutable eip_sim::tag_store tags_;
  std::map<std::uint32_t, connection> connections_;  // by O->T id
  std::uint32_t next_session_ = 0x1100;
  std::uint32_t next_connection_id_ = 0x7E000001;
  std::deque<injected_fault> transport_faults_;
  std::deque<injected_fault> cip_faults_;
  std::size_t sessions_registered_ = 0;
  std::size_t sessions_open_ = 0;
  std::map<std::uint8_t, std::size_t> forward_opens_;
  std::size_t forward_opens_accepted_ = 0;
  std::size_t forward_closes_ = 0;
  std::map<std::uint8_t, std::size_t> requests_;
  std::size_t msp_ = 0;
  std::size_t unconnected_sends_ = 0;
  std::size_t rr_data_ = 0;
  std::size_t unit_data_ = 0;
  std::size_t largest_encapsulated_ = 0;
  std::size_t largest_cip_ = 0;
  std::size_t oversized_ = 0;
  forward_open_info last_forward_open_;
  std::uint16_t last_omron_kind_ = 0;
  std::vector<std::vector<std::uint8_t>> cip_requests_;

  std::atomic<bool> large_forward_open_{true};
  std::atomic<std::uint32_t> max_connection_size_{4002};
  std::atomic<std::uint32_t> unconnected_size_{504};
  std::atomic<bool> multiple_service_{true};
  std::atomic<std::uint8_t> slot_{0};
  std::atomic<unsigned> delay_ms_{0};

  // Declared last, so destroyed first: no connection's thread outlives the
  // state it serves from.
  loopback_listener listener_;
};

}  // namespace kvt::test
