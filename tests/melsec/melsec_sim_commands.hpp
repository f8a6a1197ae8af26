// The device access commands of the MELSEC test controller: batch and
// random reads and writes on its device memory, as the request data after
// the command and subcommand asks, answered with an end code and the
// response data (layouts and end codes in melsec_simulator.hpp).
#pragma once

#include <cstdint>

#include "melsec/melsec_sim_devices.hpp"
#include "support/le_bytes.hpp"

namespace kvt::test::melsec_sim {

using le::bytes;

namespace command {
constexpr std::uint16_t batch_read = 0x0401;
constexpr std::uint16_t batch_write = 0x1401;
constexpr std::uint16_t random_read = 0x0403;
constexpr std::uint16_t random_write = 0x1402;
}  // namespace command

namespace end_code {
constexpr std::uint16_t ok = 0x0000;
constexpr std::uint16_t batch_bit_points = 0xC051;    // bit points of a batch access out of range
constexpr std::uint16_t batch_word_points = 0xC052;   // word points of a batch access out of range
constexpr std::uint16_t random_bit_points = 0xC053;   // bit points of a random write out of range
constexpr std::uint16_t random_word_points = 0xC054;  // word / double word points of a random access out of range
constexpr std::uint16_t device_range = 0xC056;        // past the device's last number
constexpr std::uint16_t bad_command = 0xC059;         // unknown command or subcommand
constexpr std::uint16_t bad_device = 0xC05B;          // device this access cannot reach
constexpr std::uint16_t bit_units_on_word = 0xC05C;   // bit units on a word device
constexpr std::uint16_t other_station = 0xC05F;       // routing fields not this CPU
constexpr std::uint16_t bad_bit_data = 0xC060;        // bit data other than 0 / 1
constexpr std::uint16_t bad_length = 0xC061;          // data disagreeing with the request
}  // namespace end_code

struct outcome {
  std::uint16_t end_code = end_code::ok;
  bytes data;  // response data after the end code (normal completion only)
};

// Carries out one request on `memory`; nothing is written unless the whole
// request is valid.
outcome execute(device_memory& memory, std::uint16_t command, std::uint16_t subcommand, const bytes& data);

}  // namespace kvt::test::melsec_sim
