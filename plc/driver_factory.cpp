#include "plc/driver_factory.hpp"

#include "plc/ads/driver.hpp"
#include "plc/connection_params.hpp"
#include "plc/eip/driver.hpp"
#include "plc/fins/driver.hpp"
#include "plc/melsec/driver.hpp"
#include "plc/modbus/tcp/driver.hpp"
#include "plc/mqtt/driver.hpp"
#include "plc/opcua/driver.hpp"
#include "plc/s7/driver.hpp"

namespace kvt::plc {

std::unique_ptr<driver_base> make_driver(std::int32_t protocol) {
  switch (protocol) {
    case protocol::s7: return std::make_unique<s7::driver>();
    case protocol::modbus_tcp: return std::make_unique<modbus::tcp::driver>();
    case protocol::eip: return std::make_unique<eip::driver>();
    case protocol::ads: return std::make_unique<ads::driver>();
    case protocol::melsec: return std::make_unique<melsec::driver>();
    case protocol::fins: return std::make_unique<fins::driver>();
    case protocol::mqtt: return std::make_unique<mqtt::driver>();
    case protocol::opcua: return std::make_unique<opcua::driver>();
    default: return nullptr;
  }
}

}  // namespace kvt::plc
