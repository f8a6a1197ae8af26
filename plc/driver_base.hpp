// The shape every controller connection has: configuration, link control,
// two signal tables and the scan that moves values between them and the
// controller.
#pragma once

#include <cstdint>
#include <string>

#include "plc/connection_params.hpp"
#include "plc/tables.hpp"

namespace kvt::plc {

class driver_base {
 public:
  driver_base() = default;
  driver_base(const driver_base&) = delete;
  driver_base& operator=(const driver_base&) = delete;
  // A driver's destructor stops its scan thread and releases its link.
  virtual ~driver_base() = default;

  virtual void set_id(std::int32_t id) noexcept = 0;
  virtual std::int32_t id() const noexcept = 0;
  virtual std::int32_t protocol() const noexcept = 0;
  // The registry key: the "host" given at connection, compared exactly.
  virtual const std::string& host() const noexcept = 0;
  virtual void configure(const connection_params& params) = 0;
  virtual connection_params parameters() const = 0;
  virtual bool connected() const noexcept = 0;
  // Opens the link and starts the scan thread; may be called again on a
  // driver that is connected, disconnected or never connected.
  virtual bool connect() = 0;
  // Marks the driver disconnected, stops the scan thread, closes the link.
  virtual void disconnect() = 0;
  virtual inputs_base& inputs() noexcept = 0;
  virtual const inputs_base& inputs() const noexcept = 0;
  virtual outputs_base& outputs() noexcept = 0;
  virtual const outputs_base& outputs() const noexcept = 0;
  // Returns how many exchanges took the outputs since the last reset, then
  // counts this one. 0 means the page gets the full outputs table.
  virtual std::uint32_t next_exchange() noexcept = 0;
  virtual void reset_exchanges() noexcept = 0;
  // The scan thread's body.
  virtual void scan() = 0;
};

}  // namespace kvt::plc
