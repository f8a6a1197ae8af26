// How many items go into one multi-variable request. A request takes at most
// 20 items, and its telegram must fit the PDU length negotiated with the
// controller:
//   read:  12 bytes of header plus 12 per item, and the answer's data;
//          budget for the data: PDU − 12·(k + 1);
//   write: 12 bytes of header plus 12 per item of address and 4 per item of
//          data header, then the data itself; budget: PDU − 16·k − 12.
// A write telegram pads every odd-sized item but the last to an even length,
// so for writes an odd-sized item (a BOOL, an 8-bit value, an odd run of
// bytes) counts one byte more; otherwise a run of them could overshoot the
// PDU by the fill bytes and be refused whole.
#pragma once

#include <cstddef>
#include <span>

#include "plc/s7/tag.hpp"

namespace kvt::plc::s7 {

enum class request_kind { read, write };

inline constexpr std::size_t max_items_per_request = 20;

// The bytes an item of `amount` elements of word length `len` takes from
// the budget below.
constexpr int request_payload(int len, int amount, request_kind kind) noexcept {
  const int bytes = payload_bytes(len) * amount;
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
    const int with_item = sum + request_payload(item.WordLen, item.Amount, kind);
    if (with_item > payload_budget(pdu_length, k + 1, kind)) break;
    sum = with_item;
    ++k;
  }
  return k;
}

// Follows how `next_run` will split a list while the list is being built, so
// that a range of bytes can be cut to fill the rest of a request.
class request_fill {
 public:
  request_fill(int pdu_length, request_kind kind) noexcept : pdu_(pdu_length), kind_(kind) {}

  // The payload one more item may carry in the current request; negative
  // when the request is full.
  int room() const noexcept {
    if (items_ == max_items_per_request) return -1;
    return payload_budget(pdu_, items_ + 1, kind_) - sum_;
  }
  // The payload one item may carry in a request of its own.
  int room_alone() const noexcept { return payload_budget(pdu_, 1, kind_); }
  bool empty() const noexcept { return items_ == 0; }
  // Appends an item, in the next request when it does not fit the current.
  void add(int payload) noexcept {
    if (payload > room()) next_request();
    ++items_;
    sum_ += payload;
  }
  void next_request() noexcept {
    items_ = 0;
    sum_ = 0;
  }
  request_kind kind() const noexcept { return kind_; }

 private:
  int pdu_;
  request_kind kind_;
  std::size_t items_ = 0;
  int sum_ = 0;
};

}  // namespace kvt::plc::s7
