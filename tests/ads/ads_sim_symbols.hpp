// The PLC memory and symbol table of the ADS test device: the memory areas
// a TwinCAT 3 PLC runtime offers by index group, the symbols that name
// places in them, and the byte layouts in which the runtime describes its
// symbols and data types to a client.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ads/ads_sim_bytes.hpp"

namespace kvt::test::ads_sim {

// ADS result codes the device answers with.
namespace error {
inline constexpr std::uint32_t none = 0;
inline constexpr std::uint32_t target_port_not_found = 0x006;  // AMS header error
inline constexpr std::uint32_t target_machine_not_found = 0x007;  // AMS header error
inline constexpr std::uint32_t service_not_supported = 0x701;
inline constexpr std::uint32_t invalid_index_group = 0x702;
inline constexpr std::uint32_t invalid_index_offset = 0x703;
inline constexpr std::uint32_t invalid_size = 0x705;
inline constexpr std::uint32_t invalid_data = 0x706;
inline constexpr std::uint32_t invalid_parameter = 0x70B;
inline constexpr std::uint32_t symbol_not_found = 0x710;
inline constexpr std::uint32_t invalid_state = 0x712;
inline constexpr std::uint32_t invalid_notification_handle = 0x714;
}  // namespace error

// Index groups of the memory areas.
namespace area {
inline constexpr std::uint32_t memory = 0x4020;  // %M, 4096 bytes
inline constexpr std::uint32_t data = 0x4040;    // the PLC's variables, 65536 bytes
inline constexpr std::uint32_t inputs = 0xF020;  // %I, 1024 bytes
inline constexpr std::uint32_t outputs = 0xF030;  // %Q, 1024 bytes
}  // namespace area

// A basic IEC type: its name, ADST_* code and size in bytes.
struct basic_type {
  const char* name;
  std::uint32_t adst;
  std::uint32_t size;
};
// BOOL BYTE USINT SINT WORD UINT INT DWORD UDINT DINT REAL LREAL LINT ULINT;
// nullptr for another name (compared without regard to case).
const basic_type* find_type(const std::string& name);

struct symbol {
  std::string name;  // "MAIN.nCounter"
  const basic_type* type = nullptr;
  std::uint32_t group = area::data;
  std::uint32_t offset = 0;
  std::string comment;
};

// Result of a read: an ADS error code, and the bytes when it is 0.
struct read_result {
  std::uint32_t error = error::none;
  bytes data;
};

class symbol_table {
 public:
  symbol_table();

  // Adds a symbol of a basic type, zeroed. In the data area without an
  // offset it goes after the last one there, aligned to its size (at most
  // 8). Throws std::invalid_argument for an unknown type, a name already
  // taken or a place outside its area.
  const symbol& add(const std::string& name, const std::string& type, std::uint32_t group = area::data,
                    std::optional<std::uint32_t> offset = std::nullopt, const std::string& comment = "");
  void clear();
  const symbol* find(const std::string& name) const;  // without regard to case
  const std::vector<symbol>& symbols() const noexcept { return symbols_; }

  // The area behind an index group: 0x702 for no area, 0x703 for an offset
  // at or past its end, 0x705 for a length that runs past it.
  read_result read(std::uint32_t group, std::uint32_t offset, std::uint32_t length) const;
  std::uint32_t write(std::uint32_t group, std::uint32_t offset, const bytes& data);
  bool is_area(std::uint32_t group) const { return areas_.count(group) != 0; }

  // A symbol's bytes, by name; throws std::invalid_argument for none.
  bytes value(const std::string& name) const;
  void set_value(const std::string& name, const bytes& value);

  // The symbol entry as 0xF009 and 0xF00B give it: entry length u32,
  // group u32, offset u32, size u32, ADST u32, flags u16, array dimensions
  // u16, name length u16, type length u16, comment length u16, name\0,
  // type\0, comment\0, zero padding to a multiple of 4.
  static bytes symbol_entry(const symbol& s);
  bytes symbol_upload() const;  // every entry, in the order added
  // The data type entry of a basic type (0xF011, 0xF00E): entry length u32,
  // version u32 (1), hash u32, type hash u32, size u32, offset u32 (0), ADST
  // u32, flags u32 (1: a data type), name length u16, type length u16 (0),
  // comment length u16, array dimensions u16 (0), sub items u16 (0),
  // name\0, type\0 (empty), comment\0, zero padding to a multiple of 4.
  static bytes type_entry(const basic_type& t);
  // The entries of the basic types the symbols use, in table order.
  std::vector<bytes> type_upload() const;

 private:
  std::vector<symbol> symbols_;
  std::map<std::uint32_t, bytes> areas_;
  std::uint32_t next_data_offset_ = 0;
};

}  // namespace kvt::test::ads_sim
