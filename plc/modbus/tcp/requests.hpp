// The driver's requests to the server through libmodbus: one signal per
// request, or a run of consecutive coils or registers of one area at once.
// Each returns false when the request failed; `refused` tells whether the
// server answered it with an exception (it is there and talking, it just
// will not do this request).
#pragma once

#include <cstdint>

struct _modbus;

namespace kvt::plc::modbus::tcp {

// Whether the last failed request got an exception answer.
bool refused();

// Writes one input. Signals the driver skips and read-only areas send nothing.
bool write_one(_modbus* ctx, std::int32_t flags, std::uint64_t tag, std::int32_t slot);

// Reads one output into `slot`; skipped signals leave it as it is.
bool read_one(_modbus* ctx, std::int32_t flags, std::uint64_t tag, std::int32_t& slot);

// `count` coils or discrete inputs from `address`, one status byte each.
bool read_bits(_modbus* ctx, std::uint32_t area, std::uint32_t address, std::uint32_t count, std::uint8_t* out);
// `count` holding or input registers from `address`.
bool read_registers(_modbus* ctx, std::uint32_t area, std::uint32_t address, std::uint32_t count,
                    std::uint16_t* out);
// `count` coils from `address` with one multiple-write request.
bool write_coils(_modbus* ctx, std::uint32_t address, std::uint32_t count, const std::uint8_t* bits);
// `count` holding registers from `address` with one multiple-write request.
bool write_registers(_modbus* ctx, std::uint32_t address, std::uint32_t count, const std::uint16_t* regs);

}  // namespace kvt::plc::modbus::tcp
