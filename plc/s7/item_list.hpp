// The items of one read or write request set and the bytes they carry. Each
// item's data lie at their own place in one byte buffer, and each item names
// the entries it carries: a range of the caller's list of signals, one entry
// for an item of one signal, several for an item that covers the bytes of
// several. A list lives as long as its driver and keeps its capacity, so
// building the requests of a steady scan does not allocate. Items point at
// their data only once the list is complete (`attach_data`): growing the
// buffer while appending would leave earlier pointers dangling.
#pragma once

#include <snap7.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plc/s7/tag.hpp"

namespace kvt::plc::s7 {

class item_list {
 public:
  static constexpr std::size_t reserved_items = 4096;

  item_list();

  void clear() noexcept;
  // Makes room for `items` items carrying `bytes` bytes in all.
  void reserve(std::size_t items, std::size_t bytes);
  // Appends an item of `amount` elements of the address's word length, its
  // data zeroed, carrying entries `first_entry` to `first_entry + entries`;
  // `joined` for an item that covers the bytes of several signals. Returns
  // the item's index.
  std::size_t append(const item_address& address, int amount, std::uint32_t first_entry, std::uint32_t entries,
                     bool joined);
  // Points every item at its own data; call after the last `append`.
  void attach_data() noexcept;
  // Zeroes the data of every item.
  void zero_data() noexcept;

  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  std::span<TS7DataItem> items() noexcept { return items_; }
  std::span<const TS7DataItem> items() const noexcept { return items_; }
  std::span<std::uint8_t> data(std::size_t i) noexcept;
  std::span<const std::uint8_t> data(std::size_t i) const noexcept;
  std::uint32_t first_entry(std::size_t i) const noexcept { return places_[i].first_entry; }
  std::uint32_t entries(std::size_t i) const noexcept { return places_[i].entries; }
  bool joined(std::size_t i) const noexcept { return places_[i].joined; }

 private:
  struct place {
    std::size_t offset;  // of the item's data in `bytes_`
    std::size_t size;
    std::uint32_t first_entry;
    std::uint32_t entries;
    bool joined;
  };

  std::vector<TS7DataItem> items_;
  std::vector<place> places_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kvt::plc::s7
