// The items of one read or write request set, with a four-byte data slot
// per item and the index of the signal each item belongs to. A list lives as
// long as its driver and keeps its capacity, so building the requests of a
// steady scan does not allocate. Items point at their slots only once the
// list is complete (`attach_data`): growing the vectors while appending
// would leave earlier pointers dangling.
#pragma once

#include <snap7.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plc/s7/tag.hpp"
#include "plc/s7/value_codec.hpp"

namespace kvt::plc::s7 {

class item_list {
 public:
  static constexpr std::size_t reserved_items = 4096;

  item_list();

  void clear() noexcept;
  void append(const item_address& address, const item_bytes& data, std::uint32_t signal);
  // Points every item at its own slot; call after the last `append`.
  void attach_data() noexcept;

  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  std::span<TS7DataItem> items() noexcept { return items_; }
  std::span<const TS7DataItem> items() const noexcept { return items_; }
  const item_bytes& data(std::size_t i) const noexcept { return data_[i]; }
  std::uint32_t signal(std::size_t i) const noexcept { return signals_[i]; }

 private:
  std::vector<TS7DataItem> items_;
  std::vector<item_bytes> data_;
  std::vector<std::uint32_t> signals_;
};

}  // namespace kvt::plc::s7
