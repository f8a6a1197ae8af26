// Reads a fuzz input from the front, so that seed inputs can be written by
// hand in the order a target reads them. Reads past the end give zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace kvt::fuzz {

class input_reader {
 public:
  input_reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const noexcept { return pos_ >= size_; }
  std::size_t remaining() const noexcept { return empty() ? 0 : size_ - pos_; }

  std::uint8_t byte() noexcept { return empty() ? 0 : data_[pos_++]; }
  bool flag() noexcept { return (byte() & 1) != 0; }

  // Little-endian, as the protocols' words are.
  std::uint32_t word() noexcept {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{byte()} << (8 * i);
    return v;
  }

  // A value in [low, high]: one byte when the range has at most 256 values,
  // two when at most 65,536, four otherwise, taken modulo the range.
  template <class T>
  T pick(T low, T high) noexcept {
    static_assert(std::is_integral_v<T>);
    const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    std::uint64_t raw = byte();
    if (span > 0xFF) raw |= std::uint64_t{byte()} << 8;
    if (span > 0xFFFF) raw |= std::uint64_t{byte()} << 16 | std::uint64_t{byte()} << 24;
    const std::uint64_t offset = span >= 0xFFFF'FFFFu ? raw : raw % (span + 1);
    return static_cast<T>(static_cast<std::uint64_t>(low) + offset);
  }

  // A length (one byte, or two when `max` exceeds 255), then that many bytes
  // (fewer when the input ends first).
  std::string text(std::size_t max) {
    const std::size_t n = pick<std::size_t>(0, max);
    const std::size_t take = n < remaining() ? n : remaining();
    std::string s(reinterpret_cast<const char*>(data_ + pos_), take);
    pos_ += take;
    return s;
  }

  std::string rest() {
    std::string s(reinterpret_cast<const char*>(data_ + pos_), remaining());
    pos_ = size_;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace kvt::fuzz
