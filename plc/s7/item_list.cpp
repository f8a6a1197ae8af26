#include "plc/s7/item_list.hpp"

namespace kvt::plc::s7 {

item_list::item_list() {
  items_.reserve(reserved_items);
  data_.reserve(reserved_items);
  signals_.reserve(reserved_items);
}

void item_list::clear() noexcept {
  items_.clear();
  data_.clear();
  signals_.clear();
}

void item_list::append(const item_address& address, const item_bytes& data, std::uint32_t signal) {
  TS7DataItem item{};
  item.Area = address.area;
  item.WordLen = address.word_len;
  item.DBNumber = address.db_number;
  item.Start = address.start;
  item.Amount = 1;
  item.pdata = nullptr;
  items_.push_back(item);
  data_.push_back(data);
  signals_.push_back(signal);
}

void item_list::attach_data() noexcept {
  for (std::size_t i = 0; i < items_.size(); ++i) items_[i].pdata = data_[i].data();
}

}  // namespace kvt::plc::s7
