#include "plc/modbus/tcp/requests.hpp"

#include <modbus.h>

#include <cerrno>

#include "plc/modbus/tcp/tag.hpp"
#include "plc/modbus/tcp/value_codec.hpp"

namespace kvt::plc::modbus::tcp {

bool refused() {
  // libmodbus reports an exception answer as its code above MODBUS_ENOBASE.
  return errno >= EMBXILFUN && errno <= EMBXGTAR;
}

bool write_one(modbus_t* ctx, std::int32_t flags, std::uint64_t tag, std::int32_t slot) {
  const tag_fields f = decode_tag(tag);
  const int width = bit_width(f.type);
  if (width == 0) return true;  // a type this driver does not handle: skipped
  const auto value = static_cast<std::uint32_t>(slot);
  const auto address = static_cast<int>(f.address);

  if (f.area == area::coils) {
    if (width == 1) return modbus_write_bit(ctx, address, value != 0 ? 1 : 0) != -1;
    std::uint8_t bits[32];
    bits_of_value(value, width, bits);
    return modbus_write_bits(ctx, address, width, bits) != -1;
  }
  if (f.area != area::holding_registers) return true;  // discrete inputs and input registers are read-only

  if (width == 1) {
    const auto mask = static_cast<std::uint16_t>(1u << f.bit);
    if ((flags & flag::mask_write) != 0)
      return modbus_mask_write_register(ctx, address, static_cast<std::uint16_t>(~mask),
                                        value != 0 ? mask : std::uint16_t{0}) != -1;
    std::uint16_t reg = 0;
    if (modbus_read_registers(ctx, address, 1, &reg) != 1) return false;
    reg = value != 0 ? static_cast<std::uint16_t>(reg | mask) : static_cast<std::uint16_t>(reg & ~mask);
    return modbus_write_register(ctx, address, reg) != -1;
  }
  std::uint16_t regs[2];
  if (registers_of_value(value, width, (flags & flag::high_word_first) != 0, regs) == 1)
    return modbus_write_register(ctx, address, regs[0]) != -1;
  return modbus_write_registers(ctx, address, 2, regs) != -1;
}

bool read_one(modbus_t* ctx, std::int32_t flags, std::uint64_t tag, std::int32_t& slot) {
  const tag_fields f = decode_tag(tag);
  const int width = bit_width(f.type);
  const std::uint32_t count = extent(f);
  if (count == 0) return true;  // skipped: the output stays 0
  if (is_bit_area(f.area)) {
    std::uint8_t bits[32] = {};
    if (!read_bits(ctx, f.area, f.address, count, bits)) return false;
    slot = static_cast<std::int32_t>(value_of_bits(bits, width, f.bit));
    return true;
  }
  std::uint16_t regs[2] = {};
  if (!read_registers(ctx, f.area, f.address, count, regs)) return false;
  slot = static_cast<std::int32_t>(value_of_registers(regs, width, f.bit, (flags & flag::high_word_first) != 0));
  return true;
}

bool read_bits(modbus_t* ctx, std::uint32_t area_code, std::uint32_t address, std::uint32_t count,
               std::uint8_t* out) {
  const int n = area_code == area::coils
                    ? modbus_read_bits(ctx, static_cast<int>(address), static_cast<int>(count), out)
                    : modbus_read_input_bits(ctx, static_cast<int>(address), static_cast<int>(count), out);
  return n != -1;
}

bool read_registers(modbus_t* ctx, std::uint32_t area_code, std::uint32_t address, std::uint32_t count,
                    std::uint16_t* out) {
  const int n = area_code == area::holding_registers
                    ? modbus_read_registers(ctx, static_cast<int>(address), static_cast<int>(count), out)
                    : modbus_read_input_registers(ctx, static_cast<int>(address), static_cast<int>(count), out);
  return n != -1;
}

bool write_coils(modbus_t* ctx, std::uint32_t address, std::uint32_t count, const std::uint8_t* bits) {
  return modbus_write_bits(ctx, static_cast<int>(address), static_cast<int>(count), bits) != -1;
}

bool write_registers(modbus_t* ctx, std::uint32_t address, std::uint32_t count, const std::uint16_t* regs) {
  return modbus_write_registers(ctx, static_cast<int>(address), static_cast<int>(count), regs) != -1;
}

}  // namespace kvt::plc::modbus::tcp
