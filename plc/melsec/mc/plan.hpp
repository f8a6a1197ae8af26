// How a device list becomes requests: which command reads or writes each
// entry, how entries share requests within the protocol's limits, and
// where each read value lands. Pure functions; the client sends the
// requests in order.
//
// Reads:
//  - word devices (D W SW SD TN STN CN): random read (0403/0000), word
//    access; a run of consecutive numbers goes into a batch read in word
//    units (0401/0000) when that makes fewer requests;
//  - bit devices of the Q/L subcommands (X Y M L B F SB SM TS TC STS STC CS
//    CC): random read (0403/0000) with word access at the head number
//    rounded down to a multiple of 16; the entry's value is bit
//    (number mod 16) of that word. Device ranges come in multiples of 16
//    points, so the aligned word never reaches past the end of the range
//    that holds the device; entries in the same 16 share one point. Runs
//    of such words may go into batch reads in word units as above;
//  - LTN, LCN: random read with the iQ-R subcommand (0403/0002), double
//    word access; the value is the low 16 bits;
//  - LTS, LTC, LCS, LCC: batch read in bit units (0401/0003), one request
//    per run of consecutive numbers.
// Writes (an entry listed twice is written once, with its last value):
//  - word devices: random write in word units (1402/0000), or batch write
//    (1401/0000) for runs when that makes fewer requests;
//  - bit devices: random write in bit units (1402/0001; 1402/0003 for LTS
//    LTC LCS LCC), "on" for any non-zero value;
//  - LTN, LCN: random write in word units with the iQ-R subcommand
//    (1402/0002), double word access, the value zero-extended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plc/melsec/mc/devices.hpp"

namespace kvt::plc::melsec::mc {

enum class read_shape : std::uint8_t { random, words, bits };

// Where one entry's value comes from: slot `slot` of the step's values
// (random: the words, then the double words; words: the words; bits: the
// bits as 0/1), and bit `bit` of it, or its low 16 bits when bit < 0.
struct read_target {
  std::size_t entry = 0;
  std::size_t slot = 0;
  std::int8_t bit = -1;
};

struct read_step {
  std::vector<std::uint8_t> request;  // the whole frame
  read_shape shape = read_shape::random;
  std::size_t words = 0;   // random and words: word points
  std::size_t dwords = 0;  // random: double word points
  std::size_t bits = 0;    // bits: points
  std::vector<read_target> targets;
};

std::vector<read_step> plan_read(std::span<const device_ref> entries);

// Decodes a step's reply data (after the end code) and stores the values
// of its entries in `values`; false when the data does not hold exactly
// the points the step asked for.
bool apply_read(const read_step& step, std::span<const std::uint8_t> data, std::span<std::int16_t> values);

// The request frames that write `values` (one per entry) to `entries`.
std::vector<std::vector<std::uint8_t>> plan_write(std::span<const device_ref> entries,
                                                  std::span<const std::int16_t> values);

}  // namespace kvt::plc::melsec::mc
