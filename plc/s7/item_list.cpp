#include "plc/s7/item_list.hpp"

#include <algorithm>

namespace kvt::plc::s7 {

item_list::item_list() { reserve(reserved_items, reserved_items * 4); }

void item_list::clear() noexcept {
  items_.clear();
  places_.clear();
  bytes_.clear();
}

void item_list::reserve(std::size_t items, std::size_t bytes) {
  items_.reserve(items);
  places_.reserve(items);
  bytes_.reserve(bytes);
}

std::size_t item_list::append(const item_address& address, int amount, std::uint32_t first_entry,
                              std::uint32_t entries, bool joined) {
  TS7DataItem item{};
  item.Area = address.area;
  item.WordLen = address.word_len;
  item.DBNumber = address.db_number;
  item.Start = address.start;
  item.Amount = amount;
  item.pdata = nullptr;
  const std::size_t size = static_cast<std::size_t>(payload_bytes(address.word_len)) * static_cast<std::size_t>(amount);
  places_.push_back({bytes_.size(), size, first_entry, entries, joined});
  bytes_.resize(bytes_.size() + size);
  items_.push_back(item);
  return items_.size() - 1;
}

void item_list::attach_data() noexcept {
  for (std::size_t i = 0; i < items_.size(); ++i) items_[i].pdata = bytes_.data() + places_[i].offset;
}

void item_list::zero_data() noexcept { std::fill(bytes_.begin(), bytes_.end(), std::uint8_t{0}); }

std::span<std::uint8_t> item_list::data(std::size_t i) noexcept {
  return std::span<std::uint8_t>(bytes_).subspan(places_[i].offset, places_[i].size);
}

std::span<const std::uint8_t> item_list::data(std::size_t i) const noexcept {
  return std::span<const std::uint8_t>(bytes_).subspan(places_[i].offset, places_[i].size);
}

}  // namespace kvt::plc::s7
