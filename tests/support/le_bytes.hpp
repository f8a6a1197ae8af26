// Little-endian reading and writing for the protocol simulators of the
// tests (EtherNet/IP, ADS): every field of their frames travels low byte
// first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvt::test::le {

using bytes = std::vector<std::uint8_t>;

// Reads fields in turn; past the end it yields zeros and `good()` turns
// false, so a caller checks once after reading a whole structure.
class reader {
 public:
  reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  explicit reader(const bytes& b) : reader(b.data(), b.size()) {}

  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
  void skip(std::size_t n) {
    if (n > left()) {
      ok_ = false;
      at_ = size_;
    } else {
      at_ += n;
    }
  }
  // The next `n` bytes (fewer past the end, and then not good).
  bytes take_bytes(std::size_t n) {
    const std::size_t have = n > left() ? left() : n;
    bytes out(data_ + at_, data_ + at_ + have);
    skip(n);
    return out;
  }
  const std::uint8_t* here() const noexcept { return data_ + at_; }
  std::size_t left() const noexcept { return size_ - at_; }
  std::size_t position() const noexcept { return at_; }
  bool good() const noexcept { return ok_; }

 private:
  std::uint64_t take(std::size_t n) {
    if (n > left()) {
      ok_ = false;
      at_ = size_;
      return 0;
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(data_[at_ + i]) << (8 * i);
    at_ += n;
    return v;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

inline void put_u8(bytes& out, std::uint32_t v) { out.push_back(static_cast<std::uint8_t>(v)); }
inline void put_u16(bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put_u32(bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_bytes(bytes& out, const bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
inline void put_bytes(bytes& out, const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }
inline void set_u16(bytes& out, std::size_t at, std::uint32_t v) {
  out[at] = static_cast<std::uint8_t>(v);
  out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void set_u32(bytes& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace kvt::test::le
