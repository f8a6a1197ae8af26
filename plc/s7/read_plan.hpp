// The items that read every output and where each output's value lies in
// their data. Outputs whose bytes touch or overlap in one area (and data
// block) share one byte item covering them all, BOOLs of one byte included;
// a signal without neighbours keeps an item of its own, as does every signal
// when joining is off. Made once per binding, PDU length and connection, and
// reused by every read of a steady scan.
//
// When the controller refuses a joined item (a range that runs past the end
// of a data block, for instance), its signals are read alone from then on,
// so that each neighbour that can be read still is, as it would be alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plc/s7/batching.hpp"
#include "plc/s7/byte_runs.hpp"
#include "plc/s7/item_list.hpp"
#include "plc/s7/plan_key.hpp"

namespace kvt::plc::s7 {

class read_plan {
 public:
  read_plan();

  bool made_for(const plan_key& key) const noexcept { return built_ && key_ == key; }
  // Plans the reads of `tags` (copied), every signal joinable again.
  void build(std::span<const std::uint64_t> tags, const plan_key& key);

  item_list& list() noexcept { return list_; }
  const item_list& list() const noexcept { return list_; }

  // After a read: marks the signals of the joined items the controller
  // refused to be read alone and plans again. False when there were none.
  bool split_refused();

  // Converts the data of every item the controller served into the values
  // of its signals; those of refused items keep their values.
  void store(std::span<std::int32_t> values) const noexcept;

 private:
  struct entry {
    std::uint32_t signal;
    std::uint32_t type;
    std::uint32_t offset;  // of the value's first byte in the item's data
    std::uint32_t bit;     // the bit within that byte for a BOOL in a byte item; whole_value otherwise
  };
  static constexpr std::uint32_t whole_value = 0xFF;

  void plan();
  void add_alone(std::uint32_t signal, const item_address& address, request_fill& fill);

  plan_key key_;
  bool built_ = false;
  std::vector<std::uint64_t> tags_;
  std::vector<std::uint8_t> alone_;  // per signal: read with an item of its own
  std::vector<byte_span> spans_;
  std::vector<entry> entries_;
  item_list list_;
};

}  // namespace kvt::plc::s7
