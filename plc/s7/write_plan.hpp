// The items that write the inputs changed in one cycle. Changed inputs whose
// bytes follow one another without a gap in one area (and data block) go out
// as one byte item covering exactly their bytes, so a byte of an input that
// did not change is never part of a write. BOOLs stay bit writes, and
// inputs that share a byte with a BOOL input or overlap another input go out
// alone, in their order, as they would with joining off: then the order of
// the writes decides what the controller keeps, and one item per input keeps
// that order.
//
// When the controller refuses a joined item, its inputs are written again
// alone in the same cycle and stay alone until the plan is made again.
//
// Made once per binding and connection; a steady scan only marks inputs and
// fills the items it has room for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plc/s7/byte_runs.hpp"
#include "plc/s7/item_list.hpp"
#include "plc/s7/plan_key.hpp"
#include "plc/s7/tag.hpp"
#include "plc/s7/value_codec.hpp"

namespace kvt::plc::s7 {

class write_plan {
 public:
  write_plan();

  // The PDU length is not part of the plan: the items are cut per cycle.
  bool made_for(const plan_key& key) const noexcept { return built_ && key_ == key; }
  void build(std::span<const std::uint64_t> tags, const plan_key& key);

  // Whether input `signal` is written at all (its type is one S7 carries).
  bool carries(std::uint32_t signal) const noexcept { return address_[signal].word_len != 0; }
  // Takes the bytes of a changed input for this cycle; inputs in index order.
  void take(std::uint32_t signal, const item_bytes& bytes) noexcept;
  bool empty() const noexcept { return alone_now_.empty() && joined_now_ == 0; }

  // The items of this cycle's changes; the inputs taken are forgotten.
  item_list& make_items(int pdu_length) noexcept;
  // After the items were sent: marks the inputs of joined items the
  // controller refused to be written alone and makes their items. False
  // when there were none.
  bool split_refused(int pdu_length) noexcept;

  // The inputs item `i` of the last list carries.
  std::span<const std::uint32_t> signals_of(std::size_t i) const noexcept;

 private:
  // An item of its own for `signal`; `add_alone` also counts its payload.
  void add_alone(std::uint32_t signal, request_fill& fill) noexcept;
  void append_alone(std::uint32_t signal) noexcept;

  plan_key key_;
  bool built_ = false;
  std::vector<item_address> address_;  // per input; word length 0 when not written
  std::vector<item_bytes> value_;      // per input: this cycle's bytes
  std::vector<std::uint8_t> taken_;    // per input: taken for a joined item this cycle
  std::vector<std::uint8_t> alone_;    // per input: written with an item of its own
  std::vector<byte_span> spans_;       // inputs that may be joined, by run
  std::vector<std::size_t> run_ends_;  // where each run of `spans_` ends
  std::vector<std::uint32_t> alone_now_;  // this cycle's inputs written alone, in order
  std::size_t joined_now_ = 0;            // this cycle's inputs taken for joined items
  std::vector<std::uint32_t> written_;    // the inputs of the list's items
  item_list list_;
};

}  // namespace kvt::plc::s7
