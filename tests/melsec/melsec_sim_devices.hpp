// Device memory of the MELSEC test controller: which devices it has, their
// binary device codes, kinds and sizes, and one cell per device number.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace kvt::test::melsec_sim {

enum class kind {
  bit,    // one bit per number (X, M, TS...)
  word,   // one 16-bit word per number (D, W, TN...)
  dword,  // one 32-bit value per number (LTN, LCN)
};

struct device_info {
  std::string_view name;
  kind type;
  std::uint16_t code;    // binary device code; the extended subcommands send it as a u16
  bool extended_only;    // only the iQ-R subcommands (0x0002, 0x0003) reach it
  std::uint32_t points;  // numbers 0 .. points - 1
  std::uint8_t index;    // position in the device table
};

// Every device of the controller, in table order.
const std::vector<device_info>& devices();
// By name ("D", "LTN"); nullptr when unknown.
const device_info* find_device(std::string_view name);
// By binary device code as the subcommand sends it: the Q/L subcommands
// (`extended` false) reach neither the long timers nor the long counters.
const device_info* find_device(std::uint16_t code, bool extended);

// One cell per device number (bits hold 0 or 1, words 16 bits, long
// values 32 bits), all zero at first. Callers check the numbers.
class device_memory {
 public:
  device_memory();

  bool bit(const device_info& d, std::uint32_t n) const { return cells_[d.index][n] != 0; }
  void set_bit(const device_info& d, std::uint32_t n, bool v) { cells_[d.index][n] = v ? 1 : 0; }
  std::uint16_t word(const device_info& d, std::uint32_t n) const {
    return static_cast<std::uint16_t>(cells_[d.index][n]);
  }
  void set_word(const device_info& d, std::uint32_t n, std::uint16_t v) { cells_[d.index][n] = v; }
  std::uint32_t dword(const device_info& d, std::uint32_t n) const { return cells_[d.index][n]; }
  void set_dword(const device_info& d, std::uint32_t n, std::uint32_t v) { cells_[d.index][n] = v; }

  // 16 points as one word: 16 bits from `n` (lowest number = bit 0) of a
  // bit device, or word `n` of a word device.
  std::uint16_t unit16(const device_info& d, std::uint32_t n) const;
  void set_unit16(const device_info& d, std::uint32_t n, std::uint16_t v);
  // 32 points as a double word: 32 bits from `n`, words `n` (low) and
  // `n + 1` (high), or the long value `n`.
  std::uint32_t unit32(const device_info& d, std::uint32_t n) const;
  void set_unit32(const device_info& d, std::uint32_t n, std::uint32_t v);
  // Numbers a 16- or 32-point unit from `n` takes on this device.
  static std::uint32_t span(const device_info& d, unsigned unit_bits);

 private:
  std::vector<std::vector<std::uint32_t>> cells_;
};

}  // namespace kvt::test::melsec_sim
