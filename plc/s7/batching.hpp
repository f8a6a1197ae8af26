// How many items go into one multi-variable request. A request takes at most
// 20 items, and its telegram must fit the PDU length negotiated with the
// controller:
//   read:  12 bytes of header plus 12 per item, and the answer's data;
//          budget for the data: PDU − 12·(k + 1);
//   write: 12 bytes of header plus 12 per item of address and 4 per item of
//          data header, then the data itself; budget: PDU − 16·k − 12.
// A write telegram pads every odd-sized item but the last to an even length,
// so for writes one-byte items (BOOL, 8-bit) count two bytes; otherwise a run
// of them could overshoot the PDU by the fill bytes and be refused whole.
#pragma once

#include <cstddef>
#include <span>

#include "plc/s7/tag.hpp"

namespace kvt::plc::s7 {

enum class request_kind { read, write };

inline constexpr std::size_t max_items_per_request = 20;

constexpr int request_payload(int len, request_kind kind) noexcept {
  const int bytes = payload_bytes(len);
  return kind == request_kind::write ? (bytes + 1) / 2 * 2 : bytes;
}

constexpr int payload_budget(int pdu_length, std::size_t items, request_kind kind) noexcept {
  const int k = static_cast<int>(items);
  return kind == request_kind::write ? pdu_length - 16 * k - 12 : pdu_length - 12 * (k + 1);
}

// The number of leading items of `items` that make the next request; 0 when
// the first item alone does not fit. `Item` has `WordLen` and `Amount`.
template <class Item>
constexpr std::size_t next_run(std::span<const Item> items, int pdu_length, request_kind kind) noexcept {
  int sum = 0;
  std::size_t k = 0;
  for (const Item& item : items) {
    if (k == max_items_per_request) break;
    const int with_item = sum + request_payload(item.WordLen, kind) * item.Amount;
    if (with_item > payload_budget(pdu_length, k + 1, kind)) break;
    sum = with_item;
    ++k;
  }
  return k;
}

}  // namespace kvt::plc::s7
