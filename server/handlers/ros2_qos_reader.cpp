#include "server/handlers/ros2_qos_reader.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "server/messages.hpp"

namespace kvt::server {

using namespace ros2;  // the bridge's records and calls

namespace {


// The ROS 2 middleware QoS enumerations' accepted ranges.
constexpr std::uint64_t max_reliability = 4;
constexpr std::uint64_t max_durability = 4;
constexpr std::uint64_t max_history = 3;
constexpr std::uint64_t max_liveliness = 5;
constexpr std::uint64_t rejected_liveliness = 2;  // the deprecated "manual by node"

enum class presence { absent, valid, invalid };

// Finds `name` in `qos` holding a number: `absent` when the key is missing
// or holds another JSON type, `invalid` once the request cannot be read.
presence find_number(json_object& qos, std::string_view name, simdjson::ondemand::value& out) {
  if (request_failed()) return presence::invalid;
  auto field = qos.find_field_unordered(name);
  if (read_failed(field.error())) return request_failed() ? presence::invalid : presence::absent;
  simdjson::ondemand::json_type type;
  if (read_failed(field.type().get(type))) return presence::invalid;
  if (type != simdjson::ondemand::json_type::number) return presence::absent;
  return read_failed(field.get(out)) ? presence::invalid : presence::valid;
}

// A number that is not an unsigned integer (negative, fractional, too large)
// is a value out of range, not a missing one: ignoring it would silently
// give the endpoint the library's default.
presence read_unsigned(json_object& qos, std::string_view name, std::uint64_t& out) {
  simdjson::ondemand::value number;
  if (const presence p = find_number(qos, name, number); p != presence::valid) return p;
  return number.get_uint64().get(out) ? presence::invalid : presence::valid;
}

presence read_seconds(json_object& qos, std::string_view name, double& out) {
  simdjson::ondemand::value number;
  if (const presence p = find_number(qos, name, number); p != presence::valid) return p;
  if (number.get_double().get(out) || !std::isfinite(out) || out < 0) return presence::invalid;
  return presence::valid;
}

bool enumeration(json_object& qos, std::string_view name, std::uint64_t max, std::uint8_t& set,
                 std::uint32_t& value, bool reject_two = false) {
  std::uint64_t v = 0;
  switch (read_unsigned(qos, name, v)) {
    case presence::absent: return true;
    case presence::invalid: return false;
    case presence::valid: break;
  }
  if (v > max || (reject_two && v == rejected_liveliness)) return false;
  set = 1;
  value = static_cast<std::uint32_t>(v);
  return true;
}

bool seconds(json_object& qos, std::string_view name, std::uint8_t& set, double& value) {
  double v = 0;
  switch (read_seconds(qos, name, v)) {
    case presence::absent: return true;
    case presence::invalid: return false;
    case presence::valid: break;
  }
  set = 1;
  value = v;
  return true;
}

}  // namespace

bool read_qos(json_object& data, qos_record& qos, std::string_view& message) {
  qos = qos_record{};
  json_object q;
  if (!read_object(data, key::qos, q)) return true;

  if (!enumeration(q, key::reliability, max_reliability, qos.reliability_set, qos.reliability)) {
    message = error::qos_reliability_invalid;
    return false;
  }
  if (!enumeration(q, key::durability, max_durability, qos.durability_set, qos.durability)) {
    message = error::qos_durability_invalid;
    return false;
  }
  if (!enumeration(q, key::history, max_history, qos.history_set, qos.history)) {
    message = error::qos_history_invalid;
    return false;
  }
  if (!enumeration(q, key::liveliness, max_liveliness, qos.liveliness_set, qos.liveliness, true)) {
    message = error::qos_liveliness_invalid;
    return false;
  }
  if (!enumeration(q, key::depth, std::numeric_limits<std::uint32_t>::max(), qos.depth_set, qos.depth)) {
    message = error::qos_depth_invalid;
    return false;
  }
  if (!seconds(q, key::deadline, qos.deadline_set, qos.deadline)) {
    message = error::qos_deadline_invalid;
    return false;
  }
  if (!seconds(q, key::lifespan, qos.lifespan_set, qos.lifespan)) {
    message = error::qos_lifespan_invalid;
    return false;
  }
  if (!seconds(q, key::liveliness_lease_duration, qos.liveliness_lease_duration_set, qos.liveliness_lease_duration)) {
    message = error::qos_lease_duration_invalid;
    return false;
  }
  bool avoid = false;
  if (read_bool(q, key::avoid_ros_namespace_conventions, avoid)) {
    qos.avoid_ros_namespace_conventions_set = 1;
    qos.avoid_ros_namespace_conventions = avoid ? 1 : 0;
  }
  return true;
}

}  // namespace kvt::server
