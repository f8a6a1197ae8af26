// The EtherNet/IP tag layer's calls: tags created from an attribute string
// ("protocol=ab-eip&gateway=10.0.0.5&path=1,0&plc=controllogix&elem_size=4
// &name=Counter"), read and written as a whole, their bytes reached through
// typed getters and setters at byte offsets (little-endian, as on the wire).
//
// A tag id is positive; a negative result is one of the error codes below.
// With a time-out of 0, create, read and write only start the work and
// return `status_pending`; `plc_tag_status` tells when it has ended. With a
// time-out above 0 they wait up to that many milliseconds for the outcome.
//
// Every tag of one gateway and route path shares one session with the
// controller, opened with the first tag and closed with the last. Reads and
// writes started together travel packed in as few requests as the
// connection allows.
//
// All calls are thread-safe; none blocks on the network except a call with
// a time-out above 0, and that only for its own tag.
#pragma once

#include <cstdint>

namespace kvt::plc::eip {

// Status and error codes (the values the tag layer's users know).
inline constexpr int status_pending = 1;
inline constexpr int status_ok = 0;
inline constexpr int err_abort = -1;
inline constexpr int err_bad_config = -2;
inline constexpr int err_bad_connection = -3;
inline constexpr int err_bad_data = -4;
inline constexpr int err_bad_device = -5;
inline constexpr int err_bad_gateway = -6;
inline constexpr int err_bad_param = -7;
inline constexpr int err_bad_reply = -8;
inline constexpr int err_bad_status = -9;
inline constexpr int err_close = -10;
inline constexpr int err_create = -11;
inline constexpr int err_duplicate = -12;
inline constexpr int err_encode = -13;
inline constexpr int err_mutex_destroy = -14;
inline constexpr int err_mutex_init = -15;
inline constexpr int err_mutex_lock = -16;
inline constexpr int err_mutex_unlock = -17;
inline constexpr int err_not_allowed = -18;
inline constexpr int err_not_found = -19;
inline constexpr int err_not_implemented = -20;
inline constexpr int err_no_data = -21;
inline constexpr int err_no_match = -22;
inline constexpr int err_no_mem = -23;
inline constexpr int err_no_resources = -24;
inline constexpr int err_null_ptr = -25;
inline constexpr int err_open = -26;
inline constexpr int err_out_of_bounds = -27;
inline constexpr int err_read = -28;
inline constexpr int err_remote_err = -29;
inline constexpr int err_thread_create = -30;
inline constexpr int err_thread_join = -31;
inline constexpr int err_timeout = -32;
inline constexpr int err_too_large = -33;
inline constexpr int err_too_small = -34;
inline constexpr int err_unsupported = -35;
inline constexpr int err_winsock = -36;
inline constexpr int err_write = -37;
inline constexpr int err_partial = -38;
inline constexpr int err_busy = -39;

// A text for a status or error code ("PLCTAG_ERR_TIMEOUT", ...).
const char* plc_tag_decode_error(int code);

// Creates a tag. Attributes: protocol (only "ab-eip"), gateway (host or
// host:port, port 44818 by default), path (CIP route, "1,0"; none for
// micro800), plc ("controllogix", "compactlogix", "micro800",
// "omron-njnx"), elem_size, elem_count (1 by default), name (a symbolic tag
// name with program scope, dotted members and [i] indexes; "@tags" or
// "Program:X.@tags" for the symbol listing; "@raw" for raw CIP requests).
// Returns the id, or an error code.
std::int32_t plc_tag_create(const char* attributes, int timeout_ms);
// Destroys the tag (aborting its work); the session closes with its last tag.
int plc_tag_destroy(std::int32_t tag);
// `status_ok`, `status_pending` while created/read/written work runs, or the
// error that ended the last operation.
int plc_tag_status(std::int32_t tag);
// Reads the whole tag from the controller into its buffer. For "@tags" the
// buffer becomes the listing's entries; for "@raw", see plc_tag_write.
int plc_tag_read(std::int32_t tag, int timeout_ms);
// Writes the tag's buffer to the controller. For "@raw" the buffer is one
// CIP request (service, path, data) sent as it is; when it ends the buffer
// holds the reply (reply service, reserved, general status, extended status
// size, ..., data) and the size follows it.
int plc_tag_write(std::int32_t tag, int timeout_ms);
// Aborts the tag's running operation.
int plc_tag_abort(std::int32_t tag);

int plc_tag_get_size(std::int32_t tag);
// Sets the buffer size (keeping the bytes that fit); returns the old size or
// an error.
int plc_tag_set_size(std::int32_t tag, int new_size);

// Bit `offset_bit` of the buffer (bit 0 is the lowest bit of byte 0).
int plc_tag_get_bit(std::int32_t tag, int offset_bit);
int plc_tag_set_bit(std::int32_t tag, int offset_bit, int value);

// Getters return 0 for an offset outside the buffer (and the tag's status
// says why); setters return an error code then.
std::uint64_t plc_tag_get_uint64(std::int32_t tag, int offset);
int plc_tag_set_uint64(std::int32_t tag, int offset, std::uint64_t value);
std::int64_t plc_tag_get_int64(std::int32_t tag, int offset);
int plc_tag_set_int64(std::int32_t tag, int offset, std::int64_t value);
std::uint32_t plc_tag_get_uint32(std::int32_t tag, int offset);
int plc_tag_set_uint32(std::int32_t tag, int offset, std::uint32_t value);
std::int32_t plc_tag_get_int32(std::int32_t tag, int offset);
int plc_tag_set_int32(std::int32_t tag, int offset, std::int32_t value);
std::uint16_t plc_tag_get_uint16(std::int32_t tag, int offset);
int plc_tag_set_uint16(std::int32_t tag, int offset, std::uint16_t value);
std::int16_t plc_tag_get_int16(std::int32_t tag, int offset);
int plc_tag_set_int16(std::int32_t tag, int offset, std::int16_t value);
std::uint8_t plc_tag_get_uint8(std::int32_t tag, int offset);
int plc_tag_set_uint8(std::int32_t tag, int offset, std::uint8_t value);
std::int8_t plc_tag_get_int8(std::int32_t tag, int offset);
int plc_tag_set_int8(std::int32_t tag, int offset, std::int8_t value);
double plc_tag_get_float64(std::int32_t tag, int offset);
int plc_tag_set_float64(std::int32_t tag, int offset, double value);
float plc_tag_get_float32(std::int32_t tag, int offset);
int plc_tag_set_float32(std::int32_t tag, int offset, float value);

// Strings in the listing's layout: a 16-bit length, then the characters.
// Length of the characters; the bytes the whole string takes (length field
// included); copies the characters and a terminating zero into `buffer`
// (status_ok, or err_too_small when `buffer_length` cannot hold them).
int plc_tag_get_string_length(std::int32_t tag, int string_start_offset);
int plc_tag_get_string_total_length(std::int32_t tag, int string_start_offset);
int plc_tag_get_string(std::int32_t tag, int string_start_offset, char* buffer, int buffer_length);

}  // namespace kvt::plc::eip
