// A stand-in for the ROS 2 bridge library: exports the thirteen calls, records
// every call with its arguments (texts behind the pointers, and the records'
// raw bytes), and can be told to fail a call. Tests read the record through
// the standin_* exports.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ros2/bridge_records.hpp"

namespace {

using namespace kvt::ros2;

struct call {
  std::string text;
  std::vector<unsigned char> bytes;
};

struct recorder {
  std::mutex mutex;
  std::vector<call> calls;
  std::map<std::string, std::string> failures;  // export -> error text
  handle next_handle = 1;
  std::uint32_t answer = 0;  // written into the request word after a buffer call
};

recorder& rec() {
  static recorder r;
  return r;
}

template <class T>
std::vector<unsigned char> bytes_of(const T* record) {
  const auto* p = reinterpret_cast<const unsigned char*>(record);
  return {p, p + sizeof(T)};
}

// Records the call; true when it was told to fail (message in `failure`).
bool record(std::string text, std::vector<unsigned char> bytes, const char* name, std::string* failure = nullptr) {
  recorder& r = rec();
  const std::lock_guard lock(r.mutex);
  r.calls.push_back({std::move(text), std::move(bytes)});
  const auto it = r.failures.find(name);
  if (it == r.failures.end()) return false;
  if (failure != nullptr) *failure = it->second;
  return true;
}

handle next() {
  const std::lock_guard lock(rec().mutex);
  return rec().next_handle++;
}

std::string text_or_null(const char* p) { return p == nullptr ? "(null)" : p; }

bool endpoint(const char* name, const endpoint_record* e, handle* out) {
  std::string text = std::string(name) + " node=" + std::to_string(e->node) + " name=" + text_or_null(e->name) +
                     " type=" + text_or_null(e->type);
  if (record(std::move(text), bytes_of(e), name)) return false;
  *out = next();
  return true;
}

bool buffer_call(const char* name, void* buffer, std::uint32_t size) {
  auto* word = static_cast<std::uint32_t*>(buffer);
  const std::uint32_t request = std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire);
  if (record(std::string(name) + " size=" + std::to_string(size) + " request=" + std::to_string(request), {}, name))
    return false;
  std::uint32_t answer = 0;
  {
    const std::lock_guard lock(rec().mutex);
    answer = rec().answer;
  }
  std::atomic_ref<std::uint32_t>(*word).store(answer, std::memory_order_release);
  return true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) bool nodegate_initialize(initialize_record* r) {
  std::string failure;
  const std::string text = "nodegate_initialize reserved=" + std::to_string(r->reserved) +
                           " capacity=" + std::to_string(r->error_capacity) +
                           " zeroed=" + std::to_string(r->error_text != nullptr && r->error_text[0] == 0 &&
                                                       r->error_text[r->error_capacity - 1] == 0);
  if (record(text, bytes_of(r), "nodegate_initialize", &failure)) {
    std::strncpy(r->error_text, failure.c_str(), r->error_capacity);
    return false;
  }
  return true;
}

__attribute__((visibility("default"))) void nodegate_shutdown() { record("nodegate_shutdown", {}, "nodegate_shutdown"); }

#ifndef STANDIN_WITHOUT_RESET
__attribute__((visibility("default"))) void nodegate_reset() { record("nodegate_reset", {}, "nodegate_reset"); }
#endif

__attribute__((visibility("default"))) bool nodegate_create_node(const node_record* n, handle* out) {
  std::string text = "nodegate_create_node name=" + text_or_null(n->name) + " namespace=" + text_or_null(n->ros_namespace) +
                     " count=" + std::to_string(n->remapping_count) + " remappings=";
  if (n->remappings == nullptr) {
    text += "(null)";
  } else {
    for (std::uint32_t i = 0; i < n->remapping_count; ++i)
      text += text_or_null(n->remappings[i].from) + ":=" + text_or_null(n->remappings[i].to) + ";";
  }
  if (record(std::move(text), bytes_of(n), "nodegate_create_node")) return false;
  *out = next();
  return true;
}

__attribute__((visibility("default"))) bool nodegate_create_publisher(const endpoint_record* e, handle* out) {
  return endpoint("nodegate_create_publisher", e, out);
}
__attribute__((visibility("default"))) bool nodegate_create_subscription(const endpoint_record* e, handle* out) {
  return endpoint("nodegate_create_subscription", e, out);
}
__attribute__((visibility("default"))) bool nodegate_create_service_client(const endpoint_record* e, handle* out) {
  return endpoint("nodegate_create_service_client", e, out);
}
__attribute__((visibility("default"))) bool nodegate_create_service_server(const endpoint_record* e, handle* out) {
  return endpoint("nodegate_create_service_server", e, out);
}
__attribute__((visibility("default"))) bool nodegate_create_action_client(const endpoint_record* e, handle* out) {
  return endpoint("nodegate_create_action_client", e, out);
}
__attribute__((visibility("default"))) bool nodegate_create_action_server(const endpoint_record* e, handle* out) {
  return endpoint("nodegate_create_action_server", e, out);
}

__attribute__((visibility("default"))) bool nodegate_destroy_handle(handle h) {
  return !record("nodegate_destroy_handle " + std::to_string(h), {}, "nodegate_destroy_handle");
}

__attribute__((visibility("default"))) bool nodegate_read_subscriptions(void* buffer, std::uint32_t size) {
  return buffer_call("nodegate_read_subscriptions", buffer, size);
}

__attribute__((visibility("default"))) bool nodegate_process_batch(void* buffer, std::uint32_t size) {
  return buffer_call("nodegate_process_batch", buffer, size);
}

// Test controls.
__attribute__((visibility("default"))) std::size_t standin_call_count() {
  const std::lock_guard lock(rec().mutex);
  return rec().calls.size();
}

__attribute__((visibility("default"))) std::size_t standin_call(std::size_t i, char* out, std::size_t capacity) {
  const std::lock_guard lock(rec().mutex);
  if (i >= rec().calls.size()) return 0;
  const std::string& t = rec().calls[i].text;
  const std::size_t n = t.size() < capacity ? t.size() : capacity;
  std::memcpy(out, t.data(), n);
  return n;
}

__attribute__((visibility("default"))) std::size_t standin_record(std::size_t i, unsigned char* out, std::size_t capacity) {
  const std::lock_guard lock(rec().mutex);
  if (i >= rec().calls.size()) return 0;
  const auto& b = rec().calls[i].bytes;
  const std::size_t n = b.size() < capacity ? b.size() : capacity;
  std::memcpy(out, b.data(), n);
  return n;
}

__attribute__((visibility("default"))) void standin_fail(const char* export_name, const char* message) {
  const std::lock_guard lock(rec().mutex);
  rec().failures[export_name] = message;
}

__attribute__((visibility("default"))) void standin_answer(std::uint32_t word) {
  const std::lock_guard lock(rec().mutex);
  rec().answer = word;
}

}  // extern "C"
