// One ADS sum command (sum write 0xF081 or sum read 0xF080): up to 500
// items, each a 12-byte header (index group, index offset, length, 32-bit
// little-endian), the data to write behind the headers, and the buffer the
// answer lands in: one 32-bit result per item, then for a sum read each
// item's bytes in order. 500 items of at most 8 bytes fill the buffers
// exactly, so a request never grows.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kvt::plc::ads {

class sum_request {
 public:
  static constexpr std::uint32_t max_items = 500;
  static constexpr std::uint32_t header_size = 12;
  static constexpr std::uint32_t max_item_data = 8;
  static constexpr std::size_t write_capacity = 10000;
  static constexpr std::size_t read_capacity = 6000;

  void clear() noexcept {
    count_ = 0;
    data_length_ = 0;
  }
  bool empty() const noexcept { return count_ == 0; }
  bool full() const noexcept { return count_ == max_items; }
  std::uint32_t count() const noexcept { return count_; }
  std::uint32_t data_length() const noexcept { return data_length_; }

  // Adds an item to write; `data` is at most 8 bytes. Returns false when
  // the request is full.
  bool add_write(std::uint32_t group, std::uint32_t offset, std::span<const std::uint8_t> data) noexcept;
  // Adds an item to read `length` (at most 8) bytes.
  bool add_read(std::uint32_t group, std::uint32_t offset, std::uint32_t length) noexcept;

  // The write buffer as sent: the headers, then (sum write) the data,
  // moved behind the headers now that their count is known.
  std::span<std::uint8_t> write_buffer(bool with_data) noexcept;
  // What the answer must fill: results, then (sum read) the data.
  std::uint32_t read_length(bool with_data) const noexcept { return 4 * count_ + (with_data ? data_length_ : 0); }
  std::span<std::uint8_t> read_buffer(bool with_data) noexcept { return {read_.data(), read_length(with_data)}; }

  // A sum read's answer: item `i`'s bytes, which start `at` bytes into the
  // data part. The caller walks the items in order, adding their lengths.
  std::span<const std::uint8_t> item_data(std::uint32_t at, std::uint32_t length) const noexcept {
    return {read_.data() + 4 * count_ + at, length};
  }

 private:
  bool add_header(std::uint32_t group, std::uint32_t offset, std::uint32_t length) noexcept;

  std::uint32_t count_ = 0;
  std::uint32_t data_length_ = 0;
  std::array<std::uint8_t, write_capacity> write_{};
  std::array<std::uint8_t, max_items * max_item_data> data_{};  // write data until sent
  std::array<std::uint8_t, read_capacity> read_{};
};

}  // namespace kvt::plc::ads
