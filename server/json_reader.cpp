#include "server/json_reader.hpp"

namespace kvt::server {

namespace {

// Requests are read on the server thread, one at a time.
thread_local bool failed = false;


template <class T>
bool read(json_object& object, std::string_view key, T& out) {
  if (failed) return false;
  auto field = object.find_field_unordered(key);
  if (read_failed(field.error())) return false;
  T value{};
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    if (read_failed(field.get_uint64().get(value))) return false;
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    if (read_failed(field.get_int64().get(value))) return false;
  } else if constexpr (std::is_same_v<T, double>) {
    if (read_failed(field.get_double().get(value))) return false;
  } else if constexpr (std::is_same_v<T, bool>) {
    if (read_failed(field.get_bool().get(value))) return false;
  } else if constexpr (std::is_same_v<T, std::string_view>) {
    if (read_failed(field.get_string().get(value))) return false;
  } else if constexpr (std::is_same_v<T, json_object>) {
    if (read_failed(field.get_object().get(value))) return false;
  } else {
    static_assert(std::is_same_v<T, json_array>);
    if (read_failed(field.get_array().get(value))) return false;
  }
  out = std::move(value);
  return true;
}
}  // namespace

void begin_request() noexcept { failed = false; }
bool request_failed() noexcept { return failed; }

bool read_failed(simdjson::error_code e) noexcept {
  if (e != simdjson::SUCCESS && !is_recoverable(e)) failed = true;
  return e != simdjson::SUCCESS;
}

bool is_recoverable(simdjson::error_code e) noexcept {
  return e == simdjson::NO_SUCH_FIELD || e == simdjson::INCORRECT_TYPE || e == simdjson::NUMBER_OUT_OF_RANGE ||
         e == simdjson::NUMBER_ERROR;
}

bool read_uint(json_object& object, std::string_view key, std::uint64_t& out) { return read(object, key, out); }
bool read_int(json_object& object, std::string_view key, std::int64_t& out) { return read(object, key, out); }
bool read_number(json_object& object, std::string_view key, double& out) { return read(object, key, out); }
bool read_bool(json_object& object, std::string_view key, bool& out) { return read(object, key, out); }
bool read_string(json_object& object, std::string_view key, std::string_view& out) { return read(object, key, out); }
bool read_object(json_object& object, std::string_view key, json_object& out) { return read(object, key, out); }
bool read_array(json_object& object, std::string_view key, json_array& out) { return read(object, key, out); }

}  // namespace kvt::server
