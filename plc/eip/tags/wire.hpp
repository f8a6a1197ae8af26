// Little-endian byte helpers for the EtherNet/IP frames: an appending writer
// over a reused vector and a reader that never reads past its span (after
// the first short read it stays failed and yields zeros).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace kvt::plc::eip {

using byte_span = std::span<const std::uint8_t>;
using byte_buffer = std::vector<std::uint8_t>;

inline void put_u8(byte_buffer& out, std::uint8_t v) { out.push_back(v); }
inline void put_u16(byte_buffer& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put_u32(byte_buffer& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_u64(byte_buffer& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_bytes(byte_buffer& out, byte_span bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
inline void put_text(byte_buffer& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// Overwrites a 16-bit field written earlier (a length patched once known).
inline void patch_u16(byte_buffer& out, std::size_t at, std::uint16_t v) {
  out[at] = static_cast<std::uint8_t>(v);
  out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline std::uint16_t get_u16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t get_u32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

class byte_reader {
 public:
  explicit byte_reader(byte_span bytes) noexcept : bytes_(bytes) {}

  bool ok() const noexcept { return ok_; }
  std::size_t position() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return ok_ ? bytes_.size() - pos_ : 0; }

  std::uint8_t u8() noexcept { return take(1) ? bytes_[pos_ - 1] : 0; }
  std::uint16_t u16() noexcept { return take(2) ? get_u16(bytes_.data() + pos_ - 2) : 0; }
  std::uint32_t u32() noexcept { return take(4) ? get_u32(bytes_.data() + pos_ - 4) : 0; }
  std::uint64_t u64() noexcept {
    const std::uint64_t low = u32();
    return low | static_cast<std::uint64_t>(u32()) << 32;
  }
  // The next n bytes (empty and failed when fewer remain).
  byte_span bytes(std::size_t n) noexcept { return take(n) ? bytes_.subspan(pos_ - n, n) : byte_span{}; }
  byte_span rest() noexcept { return bytes(remaining()); }
  bool skip(std::size_t n) noexcept { return take(n); }

 private:
  bool take(std::size_t n) noexcept {
    if (!ok_ || n > bytes_.size() - pos_) {
      ok_ = false;
      return false;
    }
    pos_ += n;
    return true;
  }

  byte_span bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace kvt::plc::eip
