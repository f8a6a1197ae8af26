// How a list of read items travels: items of one memory area whose words
// follow each other without a gap (touching or overlapping) can be read
// with one memory area read of the whole run of words, the rest with
// multiple memory area reads of up to 24 items each. The plan takes runs
// only where that saves requests, and never reads a word no item names.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "plc/fins/area_table.hpp"
#include "plc/fins/codes.hpp"
#include "plc/fins/frame.hpp"
#include "plc/fins/read_item.hpp"

namespace kvt::plc::fins {

// Words one memory area read may bring back: what fits into the largest
// response taken after the header and the end code.
inline constexpr std::size_t max_range_words = (max_datagram - header_size - 2) / 2;

// One memory area read: `count` words from `start` (word access) into
// read_plan::words from `offset`.
struct word_range {
  fins_address start;
  std::uint16_t count = 0;
  std::uint32_t offset = 0;
};

// An item decoded from the words of a range.
struct ranged_item {
  std::uint32_t item = 0;
  std::uint32_t word = 0;  // its first word in read_plan::words
  std::uint8_t bit = 0;
};

struct read_plan {
  std::vector<fins_address> resolved;  // per item, as a multiple read addresses it
  std::vector<std::uint32_t> singles;  // items read with multiple reads, in item order
  std::vector<word_range> ranges;
  std::vector<ranged_item> ranged;
  std::vector<std::uint16_t> words;  // the ranges' words once read

  // Requests one read of every item takes.
  std::size_t requests() const noexcept;
};

// Resolves every item's address for `f` (code::ok, bad_read_address or
// no_read_area, as the multiple read checks them) and, with `ranges`,
// takes runs of words where that needs fewer requests.
result_code plan_reads(std::span<const read_item> items, family f, bool ranges, read_plan& plan);

// The raw value of an item (as read_item::raw holds it) from the words of
// its range.
std::uint64_t raw_from_words(std::span<const std::uint16_t> words, const ranged_item& r, read_kind kind) noexcept;

}  // namespace kvt::plc::fins
