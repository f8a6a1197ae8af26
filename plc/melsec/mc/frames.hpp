// MC protocol 3E frames in binary code: the requests the component sends
// and the decoding of the controller's responses. Pure functions over
// bytes; every multi-byte field is little-endian.
//
// Request: subheader 50 00, network no. 00, PC no. FF, request destination
// module I/O no. 03FF, station no. 00 (the connected station itself), the
// request data length (bytes from the monitoring timer on), the monitoring
// timer, command, subcommand and the command's data.
// Response: subheader D0 00, the same four routing fields, the response
// data length (bytes from the end code on), the end code, then the data
// (after a non-zero end code: the error information, not looked at).
//
// Device fields: the Q/L-series subcommands (0000 word units, 0001 bit
// units) carry a 3-byte number and a 1-byte device code; the iQ-R ones
// (0002, 0003: "extended" here) a 4-byte number and a 2-byte code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kvt::plc::melsec::mc {

// Monitoring timer in 250 ms units: 0x0010 = 4 s, the longest the
// controller may take before it answers with a time-out end code itself
// (below the component's own 5 s request time-out).
inline constexpr std::uint16_t monitoring_timer = 0x0010;

inline constexpr std::size_t header_size = 9;          // subheader to data length
inline constexpr std::size_t request_fixed_size = 15;  // + timer, command, subcommand
inline constexpr std::uint16_t max_response_data = 8192;  // above anything asked for

namespace command {
inline constexpr std::uint16_t batch_read = 0x0401;
inline constexpr std::uint16_t batch_write = 0x1401;
inline constexpr std::uint16_t random_read = 0x0403;
inline constexpr std::uint16_t random_write = 0x1402;
}  // namespace command

namespace subcommand {
inline constexpr std::uint16_t word_units = 0x0000;
inline constexpr std::uint16_t bit_units = 0x0001;
inline constexpr std::uint16_t word_units_extended = 0x0002;
inline constexpr std::uint16_t bit_units_extended = 0x0003;
}  // namespace subcommand

// Points one request may carry, from the reference's table of points per
// communication (R/Q/L targets).
namespace limit {
inline constexpr std::size_t random_read = 192;           // word + dword points, 0000
inline constexpr std::size_t random_read_extended = 96;   // 0002
inline constexpr std::size_t random_write_weight = 1920;  // 12 per word + 14 per dword, 0000
inline constexpr std::size_t random_write_weight_extended = 960;  // 0002
inline constexpr std::size_t random_write_bits = 188;             // 0001
inline constexpr std::size_t random_write_bits_extended = 94;     // 0003
inline constexpr std::size_t batch_words = 960;                   // 0401 / 1401 word units
inline constexpr std::size_t batch_bits = 7168;                   // 0401 bit units, binary code
}  // namespace limit

struct device_address {
  std::uint16_t code = 0;
  std::uint32_t number = 0;
};

struct word_value {
  device_address device;
  std::uint16_t value = 0;
};
struct dword_value {
  device_address device;
  std::uint32_t value = 0;
};
struct bit_value {
  device_address device;
  bool on = false;
};

// A whole request frame around `data`.
std::vector<std::uint8_t> request_frame(std::uint16_t command, std::uint16_t subcommand,
                                        std::span<const std::uint8_t> data);

// Random read (0403): word-access points, then double-word-access points.
std::vector<std::uint8_t> random_read_request(std::span<const device_address> words,
                                              std::span<const device_address> dwords, bool extended);
// Batch read (0401) of `points` words or bits from `head`.
std::vector<std::uint8_t> batch_read_request(const device_address& head, std::uint16_t points, bool bit_units,
                                             bool extended);
// Random write in word units (1402, 0000/0002).
std::vector<std::uint8_t> random_write_words_request(std::span<const word_value> words,
                                                     std::span<const dword_value> dwords, bool extended);
// Random write in bit units (1402, 0001/0003): set/reset is one byte with
// 0001 and two with 0003.
std::vector<std::uint8_t> random_write_bits_request(std::span<const bit_value> bits, bool extended);
// Batch write in word units (1401) of consecutive words from `head`.
std::vector<std::uint8_t> batch_write_words_request(const device_address& head, std::span<const std::uint16_t> values,
                                                    bool extended);

// What the 9-byte response header says follows it: the response data
// length, or nullopt when fewer than 9 bytes are given, the subheader is
// not D0 00, or the length is below 2 (no room for the end code) or above
// max_response_data.
std::optional<std::size_t> response_data_length(std::span<const std::uint8_t> header) noexcept;

enum class reply_status : std::uint8_t {
  ok,
  short_header,     // fewer than 9 bytes, or no end code
  bad_subheader,    // not D0 00
  length_mismatch,  // the response data length disagrees with the bytes
  end_code,         // the controller refused the request (end code set)
};

struct reply {
  reply_status status = reply_status::short_header;
  std::uint16_t end_code = 0;
  std::span<const std::uint8_t> data;  // after the end code (ok only)
};

// Decodes one whole response frame (header, end code, data).
reply decode_reply(std::span<const std::uint8_t> frame) noexcept;

// Data of a random read reply: exactly words.size() words then
// dwords.size() double words, else false.
bool decode_random_read(std::span<const std::uint8_t> data, std::span<std::uint16_t> words,
                        std::span<std::uint32_t> dwords) noexcept;
// Data of a batch read in word units: exactly words.size() words.
bool decode_words(std::span<const std::uint8_t> data, std::span<std::uint16_t> words) noexcept;
// Data of a batch read in bit units: two points per byte, the first in the
// high nibble; exactly (bits.size() + 1) / 2 bytes. Each nibble must be 0
// or 1 (the padding nibble after an odd count 0).
bool decode_bits(std::span<const std::uint8_t> data, std::span<std::uint8_t> bits) noexcept;
// Data of a write reply: none.
inline bool decode_empty(std::span<const std::uint8_t> data) noexcept { return data.empty(); }

}  // namespace kvt::plc::melsec::mc
