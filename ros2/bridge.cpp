#include "ros2/bridge.hpp"

#include <array>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/dynamic_library.hpp"
#include "platform/executable_path.hpp"
#include "platform/install_layout.hpp"
#include "ros2/messages.hpp"

namespace kvt::ros2 {

namespace {

namespace error = message;

// The export names in the order they are resolved.
enum export_index : std::size_t {
  ex_initialize,
  ex_shutdown,
  ex_reset,
  ex_create_node,
  ex_create_publisher,
  ex_create_subscription,
  ex_create_service_client,
  ex_create_service_server,
  ex_create_action_client,
  ex_create_action_server,
  ex_destroy_handle,
  ex_read_subscriptions,
  ex_process_batch,
  export_count,
};

constexpr std::array<const char*, export_count> export_names{
    "nodegate_initialize",           "nodegate_shutdown",
    "nodegate_reset",                "nodegate_create_node",
    "nodegate_create_publisher",     "nodegate_create_subscription",
    "nodegate_create_service_client", "nodegate_create_service_server",
    "nodegate_create_action_client", "nodegate_create_action_server",
    "nodegate_destroy_handle",       "nodegate_read_subscriptions",
    "nodegate_process_batch",
};

// The one bridge of the process. The module is never unloaded.
struct bridge_state {
  std::mutex mutex;
  void* module = nullptr;
  bool initialized = false;
  std::array<void*, export_count> exports{};

  template <class Fn>
  Fn get(export_index i) const noexcept {
    return reinterpret_cast<Fn>(exports[i]);
  }
  // Initialised and the export present: the precondition of every call.
  bool ready(export_index i) const noexcept { return initialized && exports[i] != nullptr; }
};

bridge_state& state() {
  static bridge_state s;
  return s;
}

// Beside the executable first (a build tree, or a bridge put there by hand),
// then in the installed program's library folder.
bool locate(std::filesystem::path& out) {
  const auto directory = platform::executable_directory();
  if (directory.empty()) return false;
  std::error_code ec;
  for (const std::filesystem::path& folder : {directory, (directory / install_layout::library_folder).lexically_normal()}) {
    out = folder / bridge_file_name;
    if (std::filesystem::is_regular_file(out, ec)) return true;
  }
  return false;
}

bool resolve_exports(bridge_state& s, std::string& message) {
  s.exports.fill(nullptr);
  for (std::size_t i = 0; i < export_count; ++i) {
    s.exports[i] = platform::library_symbol(s.module, export_names[i]);
    if (s.exports[i] == nullptr) {
      s.exports.fill(nullptr);
      message.assign(error::bridge_missing_export).append(export_names[i]);
      return false;
    }
  }
  return true;
}

constexpr export_index endpoint_export(endpoint_kind kind) noexcept {
  switch (kind) {
    case endpoint_kind::publisher: return ex_create_publisher;
    case endpoint_kind::subscription: return ex_create_subscription;
    case endpoint_kind::service_client: return ex_create_service_client;
    case endpoint_kind::service_server: return ex_create_service_server;
    case endpoint_kind::action_client: return ex_create_action_client;
    case endpoint_kind::action_server: return ex_create_action_server;
  }
  return ex_create_publisher;
}

constexpr std::string_view endpoint_failure(endpoint_kind kind) noexcept {
  switch (kind) {
    case endpoint_kind::publisher: return error::create_publisher_failed;
    case endpoint_kind::subscription: return error::create_subscription_failed;
    case endpoint_kind::service_client: return error::create_service_client_failed;
    case endpoint_kind::service_server: return error::create_service_server_failed;
    case endpoint_kind::action_client: return error::create_action_client_failed;
    case endpoint_kind::action_server: return error::create_action_server_failed;
  }
  return error::create_publisher_failed;
}

}  // namespace

bool bridge_initialize(std::string& message) {
  message.clear();
  bridge_state& s = state();
  const std::lock_guard lock(s.mutex);
  if (s.initialized) return true;

  std::filesystem::path path;
  if (!locate(path)) {
    message = error::bridge_not_found;
    return false;
  }
  if (s.module == nullptr) {
    std::string load_error;
    s.module = platform::open_library(path, load_error);
    if (s.module == nullptr) {
      message.assign(error::bridge_load_failed).append(path.string()).append(" (").append(load_error).append(")");
      return false;
    }
  }
  if (!resolve_exports(s, message)) return false;

  // One byte more than the library may fill, so the text always ends.
  std::array<char, error_text_capacity + 1> text{};
  initialize_record record;
  record.error_text = text.data();
  record.error_capacity = error_text_capacity;
  if (s.get<initialize_fn>(ex_initialize)(&record)) {
    s.initialized = true;
    return true;
  }
  const std::size_t length = strnlen(text.data(), error_text_capacity);
  if (length == 0)
    message = error::bridge_initialization_failed;
  else
    message.assign(text.data(), length);
  return false;
}

bool bridge_reset(std::string& message) {
  message.clear();
  bridge_state& s = state();
  const std::lock_guard lock(s.mutex);
  if (!s.ready(ex_reset)) {
    message = error::bridge_not_initialized;
    return false;
  }
  s.get<reset_fn>(ex_reset)();
  return true;
}

bool bridge_create_node(const std::string& name, const std::string& ros_namespace,
                        const std::vector<remapping>& remappings, handle& out, std::string& message) {
  out = 0;
  message.clear();
  // The pointer pairs are built before the lock: they only point into the
  // caller's strings.
  std::vector<remapping_record> pairs;
  pairs.reserve(remappings.size());
  for (const auto& [from, to] : remappings) pairs.push_back({from.c_str(), to.c_str()});
  node_record record;
  record.name = name.c_str();
  record.ros_namespace = ros_namespace.c_str();
  record.remappings = pairs.empty() ? nullptr : pairs.data();
  record.remapping_count = static_cast<std::uint32_t>(pairs.size());

  bridge_state& s = state();
  const std::lock_guard lock(s.mutex);
  if (!s.ready(ex_create_node)) {
    message = error::bridge_not_initialized;
    return false;
  }
  if (s.get<create_node_fn>(ex_create_node)(&record, &out)) return true;
  message.assign(error::create_node_failed).append(name);
  return false;
}

bool bridge_create_endpoint(endpoint_kind kind, handle node, const std::string& name, const std::string& type,
                            const qos_record& qos, handle& out, std::string& message) {
  out = 0;
  message.clear();
  endpoint_record record;
  record.node = node;
  record.name = name.c_str();
  record.type = type.c_str();
  record.qos = qos;

  const export_index which = endpoint_export(kind);
  bridge_state& s = state();
  const std::lock_guard lock(s.mutex);
  if (!s.ready(which)) {
    message = error::bridge_not_initialized;
    return false;
  }
  if (s.get<create_endpoint_fn>(which)(&record, &out)) return true;
  message.assign(endpoint_failure(kind)).append(name);
  return false;
}

bool bridge_destroy_handle(handle id, std::string& message) {
  message.clear();
  bridge_state& s = state();
  const std::lock_guard lock(s.mutex);
  if (!s.ready(ex_destroy_handle)) {
    message = error::bridge_not_initialized;
    return false;
  }
  if (s.get<destroy_handle_fn>(ex_destroy_handle)(id)) return true;
  message = error::destroy_handle_failed;
  return false;
}

bool bridge_read_subscriptions(void* buffer, std::uint32_t size, std::string& message) {
  message.clear();
  bridge_state& s = state();
  const std::lock_guard lock(s.mutex);
  if (!s.ready(ex_read_subscriptions)) {
    message = error::bridge_not_initialized;
    return false;
  }
  if (s.get<buffer_fn>(ex_read_subscriptions)(buffer, size)) return true;
  message = error::read_subscriptions_failed;
  return false;
}

bool bridge_process_batch(void* buffer, std::uint32_t size, std::string& message) {
  message.clear();
  bridge_state& s = state();
  const std::lock_guard lock(s.mutex);
  if (!s.ready(ex_process_batch)) {
    message = error::bridge_not_initialized;
    return false;
  }
  if (s.get<buffer_fn>(ex_process_batch)(buffer, size)) return true;
  message = error::process_batch_failed;
  return false;
}

void bridge_shutdown() {
  bridge_state& s = state();
  const std::lock_guard lock(s.mutex);
  if (!s.ready(ex_shutdown)) return;
  s.get<shutdown_fn>(ex_shutdown)();
  s.initialized = false;
}

}  // namespace kvt::ros2
