#include "plc/ads/sum_request.hpp"

#include <cstring>

namespace kvt::plc::ads {

namespace {

void put_u32(std::uint8_t* p, std::uint32_t v) noexcept {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

bool sum_request::add_header(std::uint32_t group, std::uint32_t offset, std::uint32_t length) noexcept {
  if (full() || length > max_item_data) return false;
  std::uint8_t* h = write_.data() + header_size * count_;
  put_u32(h, group);
  put_u32(h + 4, offset);
  put_u32(h + 8, length);
  ++count_;
  return true;
}

bool sum_request::add_write(std::uint32_t group, std::uint32_t offset, std::span<const std::uint8_t> data) noexcept {
  const std::uint32_t length = static_cast<std::uint32_t>(data.size());
  if (!add_header(group, offset, length)) return false;
  if (length > 0) std::memcpy(data_.data() + data_length_, data.data(), length);
  data_length_ += length;
  return true;
}

bool sum_request::add_read(std::uint32_t group, std::uint32_t offset, std::uint32_t length) noexcept {
  if (!add_header(group, offset, length)) return false;
  data_length_ += length;
  return true;
}

std::span<std::uint8_t> sum_request::write_buffer(bool with_data) noexcept {
  const std::size_t headers = std::size_t{header_size} * count_;
  if (!with_data) return {write_.data(), headers};
  if (data_length_ > 0) std::memcpy(write_.data() + headers, data_.data(), data_length_);
  return {write_.data(), headers + data_length_};
}

}  // namespace kvt::plc::ads
