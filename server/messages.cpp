#include "server/messages.hpp"

namespace kvt::server {

std::string port_occupied_text(unsigned port) {
  return "Port " + std::to_string(port) +
         " is already in use. Please ensure that no other instance of Kestrel Connect is running, or start "
         "additional instances on different ports. This instance will now exit.";
}

}  // namespace kvt::server
