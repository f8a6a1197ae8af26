// Runs of signals whose bytes touch or overlap within one area (and data
// block): what one item can read or write for all of them. A run longer than
// a request can carry is cut into pieces, only where no signal continues, so
// that every value still travels whole in one item, as it would alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plc/s7/batching.hpp"
#include "plc/s7/tag.hpp"

namespace kvt::plc::s7 {

// The bytes of one signal.
struct byte_span {
  int area = 0;
  int db_number = 0;  // 0 outside data blocks, where the controller ignores it
  std::uint32_t begin = 0;
  std::uint32_t end = 0;  // past the last byte
  std::uint32_t signal = 0;

  bool operator==(const byte_span&) const = default;
};

// The bytes an item address covers: a BOOL its byte, other values their
// payload from the start byte.
byte_span span_of(const item_address& address, std::uint32_t signal) noexcept;

// Orders spans by area, data block, first byte and signal.
void sort_spans(std::vector<byte_span>& spans) noexcept;

// The index past the run that starts at `spans[first]` in sorted spans.
std::size_t run_end(std::span<const byte_span> spans, std::size_t first) noexcept;

// The item that reads or writes the bytes `begin` to `end` of the area of
// `span`: a byte item with an amount of end − begin.
constexpr item_address bytes_item(const byte_span& span, std::uint32_t begin) noexcept {
  return {span.area, span.db_number, word_len::byte, static_cast<int>(begin)};
}

// Cuts `run` (sorted spans that touch or overlap) into pieces that fill the
// requests `fill` follows, and calls `piece(first, last, begin, end)` for the
// spans first to last − 1 and their bytes, in order, after adding the
// piece's payload to `fill`. A piece ends only where no span continues. A
// cluster of overlapping spans too long for any request (only a pathological
// table makes one) goes span by span.
template <class Piece>
void cut_run(std::span<const byte_span> run, request_fill& fill, Piece&& piece) {
  const auto payload = [&fill](std::uint32_t bytes) {
    return request_payload(word_len::byte, static_cast<int>(bytes), fill.kind());
  };
  const std::size_t n = run.size();
  std::size_t j = 0;
  while (j < n) {
    const std::uint32_t begin = run[j].begin;
    const int room = fill.room();
    std::size_t best = j;
    std::uint32_t best_end = 0;
    std::uint32_t end = run[j].end;
    for (std::size_t c = j + 1;; ++c) {
      if (c == n || run[c].begin >= end) {  // a cut: no span crosses it
        if (payload(end - begin) > room) break;
        best = c;
        best_end = end;
        if (c == n) break;
      }
      end = std::max(end, run[c].end);
    }
    if (best != j) {
      fill.add(payload(best_end - begin));
      piece(j, best, begin, best_end);
      j = best;
      continue;
    }
    if (!fill.empty()) {
      fill.next_request();
      continue;
    }
    std::size_t c = j + 1;
    for (end = run[j].end; c < n && run[c].begin < end; ++c) end = std::max(end, run[c].end);
    for (; j < c; ++j) {
      fill.add(payload(run[j].end - run[j].begin));
      piece(j, j + 1, run[j].begin, run[j].end);
    }
  }
}

}  // namespace kvt::plc::s7
