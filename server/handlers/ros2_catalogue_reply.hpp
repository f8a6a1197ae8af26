// The "ROS2GetTypes" reply: {"id":N,"data":{"messages":[…],"services":[…],"actions":[…]}}.
#pragma once

#include <cstdint>
#include <string>

#include "ros2/type_catalogue.hpp"

namespace kvt::server {

// Every string is escaped, names included: a type or field name with a quote
// or a control character must not break the reply.
std::string catalogue_reply(std::int32_t id, const ros2::type_catalogue& catalogue);

}  // namespace kvt::server
