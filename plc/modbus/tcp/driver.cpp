#include "plc/modbus/tcp/driver.hpp"

#include <modbus.h>

#include <cstring>
#include <string>

#include "plc/connection_params.hpp"
#include "plc/modbus/tcp/tag.hpp"

namespace kvt::plc::modbus::tcp {

namespace {

constexpr std::uint32_t response_timeout_s = 1;

// One input to the server. False when the request failed.
bool write_one(modbus_t* ctx, std::int32_t flags, std::uint64_t tag, std::int32_t slot) {
  const tag_fields f = decode_tag(tag);
  const int width = bit_width(f.type);
  if (width == 0) return true;  // a type this driver does not handle: skipped
  const auto value = static_cast<std::uint32_t>(slot);
  const auto address = static_cast<int>(f.address);

  if (f.area == area::coils) {
    if (width == 1) return modbus_write_bit(ctx, address, value != 0 ? 1 : 0) != -1;
    std::uint8_t bits[32];
    for (int j = 0; j < width; ++j) bits[j] = static_cast<std::uint8_t>((value >> j) & 1u);
    return modbus_write_bits(ctx, address, width, bits) != -1;
  }
  if (f.area != area::holding_registers) return true;  // discrete inputs and input registers are read-only

  const auto mask = static_cast<std::uint16_t>(1u << f.bit);
  switch (width) {
    case 1: {
      if ((flags & flag::mask_write) != 0)
        return modbus_mask_write_register(ctx, address, static_cast<std::uint16_t>(~mask),
                                          value != 0 ? mask : std::uint16_t{0}) != -1;
      std::uint16_t reg = 0;
      if (modbus_read_registers(ctx, address, 1, &reg) != 1) return false;
      reg = value != 0 ? static_cast<std::uint16_t>(reg | mask) : static_cast<std::uint16_t>(reg & ~mask);
      return modbus_write_register(ctx, address, reg) != -1;
    }
    case 8: return modbus_write_register(ctx, address, static_cast<std::uint16_t>(value & 0xFF)) != -1;
    case 16: return modbus_write_register(ctx, address, static_cast<std::uint16_t>(value & 0xFFFF)) != -1;
    default: {
      std::uint16_t regs[2];
      split_words(value, (flags & flag::high_word_first) != 0, regs);
      return modbus_write_registers(ctx, address, 2, regs) != -1;
    }
  }
}

// One output from the server into `slot`. False when the request failed.
bool read_one(modbus_t* ctx, std::int32_t flags, std::uint64_t tag, std::int32_t& slot) {
  const tag_fields f = decode_tag(tag);
  const int width = bit_width(f.type);
  if (width == 0) return true;  // skipped: the output stays 0
  const auto address = static_cast<int>(f.address);

  if (f.area == area::coils || f.area == area::discrete_inputs) {
    std::uint8_t bits[32] = {};
    const int n = f.area == area::coils ? modbus_read_bits(ctx, address, width, bits)
                                        : modbus_read_input_bits(ctx, address, width, bits);
    if (n == -1) return false;
    std::uint32_t value = 0;
    if (width == 1)
      value = (bits[0] >> f.bit) & 1u;
    else
      for (int j = 0; j < width; ++j) value |= static_cast<std::uint32_t>(bits[j] & 1u) << j;
    slot = static_cast<std::int32_t>(value);
    return true;
  }
  if (f.area != area::holding_registers && f.area != area::input_registers) return true;

  std::uint16_t regs[2] = {};
  const int count = width == 32 ? 2 : 1;
  const int n = f.area == area::holding_registers ? modbus_read_registers(ctx, address, count, regs)
                                                  : modbus_read_input_registers(ctx, address, count, regs);
  if (n == -1) return false;
  std::uint32_t value = 0;
  switch (width) {
    case 1: value = (regs[0] >> f.bit) & 1u; break;
    case 8: value = regs[0] & 0xFFu; break;
    case 16: value = regs[0]; break;
    default: value = join_words(regs, (flags & flag::high_word_first) != 0); break;
  }
  slot = static_cast<std::int32_t>(value);
  return true;
}

}  // namespace

driver::~driver() {
  halt();
  std::lock_guard lock(link_mutex_);
  connected_.store(0);
  close_link();
}

std::int32_t driver::protocol() const noexcept { return plc::protocol::modbus_tcp; }

void driver::configure(const connection_params& params) {
  host_ = params.host;
  type_ = params.type;
  port_.store(params.port);
  unit_id_.store(params.unit_id);
  flags_.store(params.flags);
  scan_rate_.store(params.scan_rate);
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = plc::protocol::modbus_tcp;
  p.host = host_;
  p.type = type_;
  p.port = port_.load();
  p.unit_id = unit_id_.load();
  p.flags = flags_.load();
  p.scan_rate = scan_rate_.load();
  return p;
}

bool driver::connect() {
  halt();  // no scan and no background disconnect may run from here on
  std::lock_guard lock(link_mutex_);
  connected_.store(0);
  close_link();

  // Host names as well as addresses: the context resolves the node itself.
  const std::string service = std::to_string(port_.load());
  modbus_t* ctx = modbus_new_tcp_pi(host_.c_str(), service.c_str());
  if (ctx == nullptr) return false;
  if (modbus_set_slave(ctx, unit_id_.load()) == -1 || modbus_connect(ctx) == -1) {
    modbus_close(ctx);
    modbus_free(ctx);
    return false;
  }
  modbus_set_response_timeout(ctx, response_timeout_s, 0);
  context_ = ctx;
  connected_.store(1);
  start();
  return true;
}

void driver::disconnect() {
  connected_.store(0);
  stop();
  std::lock_guard lock(link_mutex_);
  close_link();
}

void driver::close_link() {
  if (context_ == nullptr) return;
  modbus_close(context_);
  modbus_free(context_);
  context_ = nullptr;
}

void driver::scan() {
  modbus_t* ctx = nullptr;
  {
    std::lock_guard lock(link_mutex_);
    ctx = context_;
  }
  if (ctx == nullptr) return;
  const std::int32_t flags = flags_.load();

  // A failed request ends the phase at once: on a broken link every further
  // request would wait out its own time-out first.
  run_scan_loop(
      scan_period_us(scan_rate_.load()),
      [&](const write_batch<void>& batch) {
        for (std::size_t i = 0; i < batch.size(); ++i)
          if (!write_one(ctx, flags, batch.tags[i], batch.values[i])) return phase_result::failed;
        return phase_result::ok;
      },
      [&](read_batch<void>& batch) {
        for (std::size_t i = 0; i < batch.size(); ++i)
          if (!read_one(ctx, flags, batch.tags[i], batch.slots[i])) return phase_result::failed;
        return phase_result::ok;
      });
}

}  // namespace kvt::plc::modbus::tcp
