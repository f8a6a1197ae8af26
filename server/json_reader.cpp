#include "server/json_reader.hpp"

namespace kvt::server {

namespace {
template <class T>
bool read(json_object& object, std::string_view key, T& out) {
  auto field = object.find_field_unordered(key);
  if (field.error()) return false;
  T value;
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    if (field.get_uint64().get(value)) return false;
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    if (field.get_int64().get(value)) return false;
  } else if constexpr (std::is_same_v<T, double>) {
    if (field.get_double().get(value)) return false;
  } else if constexpr (std::is_same_v<T, bool>) {
    if (field.get_bool().get(value)) return false;
  } else if constexpr (std::is_same_v<T, std::string_view>) {
    if (field.get_string().get(value)) return false;
  } else if constexpr (std::is_same_v<T, json_object>) {
    if (field.get_object().get(value)) return false;
  } else {
    static_assert(std::is_same_v<T, json_array>);
    if (field.get_array().get(value)) return false;
  }
  out = std::move(value);
  return true;
}
}  // namespace

bool read_uint(json_object& object, std::string_view key, std::uint64_t& out) { return read(object, key, out); }
bool read_int(json_object& object, std::string_view key, std::int64_t& out) { return read(object, key, out); }
bool read_number(json_object& object, std::string_view key, double& out) { return read(object, key, out); }
bool read_bool(json_object& object, std::string_view key, bool& out) { return read(object, key, out); }
bool read_string(json_object& object, std::string_view key, std::string_view& out) { return read(object, key, out); }
bool read_object(json_object& object, std::string_view key, json_object& out) { return read(object, key, out); }
bool read_array(json_object& object, std::string_view key, json_array& out) { return read(object, key, out); }

}  // namespace kvt::server
