// EtherNet/IP and CIP frames the tag layer sends and receives: the
// encapsulation header and its commands, common packet format items, CIP
// requests and replies, the Logix tag services, Multiple Service Packet,
// Unconnected Send, Forward Open/Close and the symbol listing's pages.
// Pure functions over byte buffers: encoders append to a reused vector,
// decoders check every length against the bytes they were given and report
// a malformed frame as err_bad_reply (never reading past the buffer).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "plc/eip/tags/plc_tag.hpp"
#include "plc/eip/tags/wire.hpp"

namespace kvt::plc::eip {

// A decoded value, or the error code that says why there is none.
template <class T>
struct outcome {
  T value{};
  int error = status_ok;
  explicit operator bool() const noexcept { return error == status_ok; }
};

// ---- Encapsulation ---------------------------------------------------------

namespace encap {
inline constexpr std::size_t header_size = 24;
inline constexpr std::uint16_t nop = 0x0000;
inline constexpr std::uint16_t list_identity = 0x0063;
inline constexpr std::uint16_t register_session = 0x0065;
inline constexpr std::uint16_t unregister_session = 0x0066;
inline constexpr std::uint16_t send_rr_data = 0x006F;
inline constexpr std::uint16_t send_unit_data = 0x0070;
inline constexpr std::uint16_t protocol_version = 1;
}  // namespace encap

struct encap_header {
  std::uint16_t command = 0;
  std::uint16_t length = 0;  // bytes after the header
  std::uint32_t session = 0;
  std::uint32_t status = 0;
  std::uint64_t context = 0;  // the sender context's 8 bytes, little-endian
  std::uint32_t options = 0;
};

void put_encap_header(byte_buffer& out, const encap_header& h);
// The header at the start of `bytes` (err_bad_reply when shorter than 24).
outcome<encap_header> parse_encap_header(byte_span bytes) noexcept;

// Register Session request (protocol version 1, no options).
void build_register_session(byte_buffer& out, std::uint64_t context);
void build_unregister_session(byte_buffer& out, std::uint32_t session);
// The session handle of a Register Session reply (header and body): the
// command echoed, status 0, a non-zero handle and the 4-byte body.
outcome<std::uint32_t> parse_register_reply(const encap_header& h, byte_span body) noexcept;

// ---- Common packet format --------------------------------------------------

namespace cpf {
inline constexpr std::uint16_t null_address = 0x0000;
inline constexpr std::uint16_t connected_address = 0x00A1;
inline constexpr std::uint16_t connected_data = 0x00B1;
inline constexpr std::uint16_t unconnected_data = 0x00B2;
}  // namespace cpf

// Send RR Data (unconnected) and Send Unit Data (connected) packets are
// built in two steps: begin_* appends the encapsulation header, interface
// handle, time-out and the items up to the CIP message, whose bytes the
// caller then appends; finish_* fills in the lengths.
struct packet_marks {
  std::size_t start = 0;        // where the encapsulation header begins
  std::size_t item_length = 0;  // the data item's length field
  std::size_t message = 0;      // where the CIP message begins
};
packet_marks begin_rr_data(byte_buffer& out, std::uint32_t session, std::uint64_t context);
packet_marks begin_unit_data(byte_buffer& out, std::uint32_t session, std::uint32_t connection_id,
                             std::uint16_t sequence);
// Returns false when the packet outgrows what the length fields can say.
bool finish_packet(byte_buffer& out, const packet_marks& marks);

// The CIP message of a Send RR Data reply body (after the encapsulation
// header): the unconnected data item's bytes.
outcome<byte_span> parse_rr_data(byte_span body) noexcept;

struct connected_message {
  std::uint32_t connection_id = 0;
  std::uint16_t sequence = 0;
  byte_span message;
};
// A Send Unit Data reply body: the connected address and data items.
outcome<connected_message> parse_unit_data(byte_span body) noexcept;

// ---- CIP -------------------------------------------------------------------

namespace service {
inline constexpr std::uint8_t get_attribute_all = 0x01;
inline constexpr std::uint8_t multiple_service_packet = 0x0A;
inline constexpr std::uint8_t forward_close = 0x4E;
inline constexpr std::uint8_t read_tag = 0x4C;
inline constexpr std::uint8_t write_tag = 0x4D;
inline constexpr std::uint8_t read_tag_fragmented = 0x52;
inline constexpr std::uint8_t unconnected_send = 0x52;  // on the Connection Manager
inline constexpr std::uint8_t write_tag_fragmented = 0x53;
inline constexpr std::uint8_t forward_open = 0x54;
inline constexpr std::uint8_t get_instance_attribute_list = 0x55;
inline constexpr std::uint8_t large_forward_open = 0x5B;
inline constexpr std::uint8_t reply_flag = 0x80;
}  // namespace service

namespace cip_status {
inline constexpr std::uint8_t success = 0x00;
inline constexpr std::uint8_t connection_failure = 0x01;
inline constexpr std::uint8_t path_segment_error = 0x04;
inline constexpr std::uint8_t path_destination_unknown = 0x05;
inline constexpr std::uint8_t partial_transfer = 0x06;
inline constexpr std::uint8_t service_not_supported = 0x08;
inline constexpr std::uint8_t embedded_service_error = 0x1E;
}  // namespace cip_status

// Data types of the Logix tag services.
namespace cip_type {
inline constexpr std::uint16_t bool_ = 0xC1;
inline constexpr std::uint16_t sint = 0xC2;
inline constexpr std::uint16_t int_ = 0xC3;
inline constexpr std::uint16_t dint = 0xC4;
inline constexpr std::uint16_t lint = 0xC5;
inline constexpr std::uint16_t usint = 0xC6;
inline constexpr std::uint16_t uint = 0xC7;
inline constexpr std::uint16_t udint = 0xC8;
inline constexpr std::uint16_t ulint = 0xC9;
inline constexpr std::uint16_t real = 0xCA;
inline constexpr std::uint16_t lreal = 0xCB;
inline constexpr std::uint16_t structure = 0x02A0;  // followed by the structure handle
}  // namespace cip_type

struct cip_reply {
  std::uint8_t service = 0;  // with the reply flag
  std::uint8_t general_status = 0;
  std::uint16_t extended_status = 0;  // the first extended status word, 0 if none
  byte_span data;
};
// A CIP reply: service with the reply flag, reserved byte, general status,
// extended status size in words and those words, then the data.
outcome<cip_reply> parse_cip_reply(byte_span message) noexcept;

// The type field that starts Read Tag reply data: 2 bytes, or 4 for a
// structure (0xA0 0x02 and its handle).
struct tag_type {
  std::array<std::uint8_t, 4> bytes{};
  std::uint8_t size = 0;
  std::uint16_t code() const noexcept { return get_u16(bytes.data()); }
};
// Splits Read Tag reply data into its type field and the value bytes.
outcome<byte_span> split_tag_data(byte_span data, tag_type& type) noexcept;

// Appends service, path size in words and the path (of even length).
// Returns false when the path is odd or longer than 255 words.
bool put_request_head(byte_buffer& out, std::uint8_t service, byte_span path);

// Logix tag services on a symbolic path (see tag_path.hpp).
bool put_read_tag(byte_buffer& out, byte_span path, std::uint16_t elements);
bool put_read_tag_fragmented(byte_buffer& out, byte_span path, std::uint16_t elements, std::uint32_t offset);
bool put_write_tag(byte_buffer& out, byte_span path, const tag_type& type, std::uint16_t elements, byte_span data);
bool put_write_tag_fragmented(byte_buffer& out, byte_span path, const tag_type& type, std::uint16_t elements,
                              std::uint32_t offset, byte_span data);

// Bytes each request and reply adds around its data.
inline constexpr std::size_t read_reply_overhead = 4 + 4;  // reply head, structure type field
inline constexpr std::size_t write_request_fixed = 2 + 4 + 2;  // head, type field, element count
inline constexpr std::size_t fragment_request_fixed = 2 + 4 + 2 + 4;  // ... and the byte offset

// ---- Multiple Service Packet -------------------------------------------------

// Request: service 0x0A to the Message Router, the number of services, one
// offset per service (from the number field), then the services.
// begin_msp appends everything up to the offsets table and returns where the
// number field is; for each service the caller calls mark_msp_service before
// appending its bytes.
inline constexpr std::size_t msp_request_fixed = 2 + 4 + 2;  // head and path, service count
inline constexpr std::size_t msp_reply_fixed = 4 + 2;         // reply head, service count
inline constexpr std::size_t msp_per_service = 2;             // one offset per service, both ways
std::size_t begin_msp(byte_buffer& out, std::uint16_t count);
// Returns false when the offset would not fit its 16-bit field.
bool mark_msp_service(byte_buffer& out, std::size_t count_at, std::uint16_t index);

// Splits the data of a Multiple Service Packet reply into its replies,
// which must be exactly `expected` many, at increasing offsets inside the
// data. `items` is reused (cleared first).
int split_msp_reply(byte_span data, std::size_t expected, std::vector<byte_span>& items);

// ---- Connection Manager -----------------------------------------------------

// The connection parameters of a point-to-point, variable-size, low-priority
// connection of `size` bytes: 16 bits for Forward Open, 32 for Large.
constexpr std::uint16_t small_connection_parameters(std::uint16_t size) noexcept {
  return static_cast<std::uint16_t>(0x4000 | 0x0200 | (size & 0x01FF));
}
constexpr std::uint32_t large_connection_parameters(std::uint16_t size) noexcept {
  return 0x4000'0000u | 0x0200'0000u | size;
}

inline constexpr std::uint8_t priority_time_tick = 0x0A;  // 1,024 ms ticks
inline constexpr std::uint8_t timeout_ticks = 0x05;        // about 5 s
inline constexpr std::uint8_t class3_server_transport = 0xA3;

struct forward_open_request {
  bool large = false;
  std::uint32_t o_to_t_id = 0;  // proposed; the target chooses
  std::uint32_t t_to_o_id = 0;  // ours
  std::uint16_t connection_serial = 0;
  std::uint16_t vendor = 0;
  std::uint32_t originator_serial = 0;
  std::uint8_t timeout_multiplier = 0;
  std::uint32_t rpi_us = 0;
  std::uint16_t size = 0;  // bytes each way
  byte_span route;         // port segments, may be empty
};
bool put_forward_open(byte_buffer& out, const forward_open_request& r);

struct forward_open_reply {
  std::uint32_t o_to_t_id = 0;  // the id our requests carry
  std::uint32_t t_to_o_id = 0;  // the id its replies carry
  std::uint16_t connection_serial = 0;
  std::uint16_t vendor = 0;
  std::uint32_t originator_serial = 0;
};
outcome<forward_open_reply> parse_forward_open_reply(byte_span data) noexcept;

bool put_forward_close(byte_buffer& out, std::uint16_t connection_serial, std::uint16_t vendor,
                       std::uint32_t originator_serial, byte_span route);

// Unconnected Send: `message` carried to the end of `route` by the
// Connection Manager.
bool put_unconnected_send(byte_buffer& out, byte_span message, byte_span route);
// The reply service of a failed Unconnected Send (the embedded request's
// reply comes back as itself when it succeeds).
inline constexpr std::uint8_t unconnected_send_reply = service::unconnected_send | service::reply_flag;

// ---- Symbol listing ----------------------------------------------------------

// Get Instance Attribute List on the Symbol class (0x6B) from `first`
// instance, asking attributes 2 (type), 7 (element size), 8 (dimensions)
// and 1 (name), in that order; `scope` is a program's symbolic segment or
// empty for the controller scope.
bool put_list_symbols(byte_buffer& out, byte_span scope, std::uint32_t first);

// One page of the listing's reply data: each instance is its id (uint32),
// type (uint16), element size (uint16), three dimensions (uint32) and the
// name (uint16 length and characters). Every entry must be complete and
// the page must end with the last one.
struct listing_page {
  std::size_t entries = 0;
  std::uint32_t last_instance = 0;
};
inline constexpr std::size_t listing_entry_fixed = 4 + 2 + 2 + 12 + 2;
outcome<listing_page> check_listing_page(byte_span data) noexcept;

}  // namespace kvt::plc::eip
