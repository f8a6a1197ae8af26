// The records the ROS 2 bridge library reads, in the byte layout it expects
// (natural alignment of a 64-bit target). Padding is spelled out as members
// so that a value-initialised record has every byte zero, as the library
// requires of bytes it does not read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvt::ros2 {

using handle = std::uint32_t;

inline constexpr std::uint32_t error_text_capacity = 4096;

struct initialize_record {
  std::uint64_t reserved = 0;          // always 0
  char* error_text = nullptr;          // error_text_capacity bytes, zeroed
  std::uint32_t error_capacity = 0;    // error_text_capacity
  std::uint32_t padding = 0;
};

struct remapping_record {
  const char* from = nullptr;
  const char* to = nullptr;
};

struct node_record {
  const char* name = nullptr;
  const char* ros_namespace = nullptr;
  const remapping_record* remappings = nullptr;  // null when there are none
  std::uint32_t remapping_count = 0;
  std::uint32_t reserved = 0;  // always 0
};

// QoS settings of an endpoint; a value whose "set" byte is 0 leaves the
// library's default. Enumerations use the ROS 2 middleware numbering.
struct qos_record {
  std::uint8_t reliability_set = 0;
  std::uint8_t padding0[3] = {};
  std::uint32_t reliability = 0;
  std::uint8_t durability_set = 0;
  std::uint8_t padding1[3] = {};
  std::uint32_t durability = 0;
  std::uint8_t history_set = 0;
  std::uint8_t padding2[3] = {};
  std::uint32_t history = 0;
  std::uint8_t liveliness_set = 0;
  std::uint8_t padding3[3] = {};
  std::uint32_t liveliness = 0;
  std::uint8_t depth_set = 0;
  std::uint8_t padding4[3] = {};
  std::uint32_t depth = 0;
  std::uint8_t deadline_set = 0;
  std::uint8_t padding5[7] = {};
  double deadline = 0;  // seconds
  std::uint8_t lifespan_set = 0;
  std::uint8_t padding6[7] = {};
  double lifespan = 0;  // seconds
  std::uint8_t liveliness_lease_duration_set = 0;
  std::uint8_t padding7[7] = {};
  double liveliness_lease_duration = 0;  // seconds
  std::uint8_t avoid_ros_namespace_conventions_set = 0;
  std::uint8_t avoid_ros_namespace_conventions = 0;  // 0 or 1
  std::uint8_t padding8[6] = {};
};

// Publishers, subscriptions, service clients and servers, action clients
// and servers all take this record.
struct endpoint_record {
  handle node = 0;
  std::uint32_t padding = 0;
  const char* name = nullptr;  // topic, service or action name
  const char* type = nullptr;  // message, service or action type
  qos_record qos;
};

static_assert(sizeof(void*) == 8, "the bridge library's records are laid out for a 64-bit target");

static_assert(sizeof(initialize_record) == 24);
static_assert(offsetof(initialize_record, error_text) == 8);
static_assert(offsetof(initialize_record, error_capacity) == 16);

static_assert(sizeof(remapping_record) == 16);
static_assert(sizeof(node_record) == 32);
static_assert(offsetof(node_record, ros_namespace) == 8);
static_assert(offsetof(node_record, remappings) == 16);
static_assert(offsetof(node_record, remapping_count) == 24);
static_assert(offsetof(node_record, reserved) == 28);

static_assert(sizeof(qos_record) == 96);
static_assert(sizeof(endpoint_record) == 120);
static_assert(offsetof(endpoint_record, name) == 8);
static_assert(offsetof(endpoint_record, type) == 16);
static_assert(offsetof(endpoint_record, qos) == 24);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, reliability_set) == 24);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, reliability) == 28);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, durability_set) == 32);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, durability) == 36);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, history_set) == 40);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, history) == 44);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, liveliness_set) == 48);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, liveliness) == 52);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, depth_set) == 56);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, depth) == 60);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, deadline_set) == 64);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, deadline) == 72);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, lifespan_set) == 80);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, lifespan) == 88);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, liveliness_lease_duration_set) == 96);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, liveliness_lease_duration) == 104);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, avoid_ros_namespace_conventions_set) == 112);
static_assert(offsetof(endpoint_record, qos) + offsetof(qos_record, avoid_ros_namespace_conventions) == 113);

// The library's exports as this program calls them. "bool" is a one-byte
// truth value (true = success); handles are unsigned 32-bit.
extern "C" {
using initialize_fn = bool (*)(initialize_record*);
using shutdown_fn = void (*)();
using reset_fn = void (*)();
using create_node_fn = bool (*)(const node_record*, handle*);
using create_endpoint_fn = bool (*)(const endpoint_record*, handle*);
using destroy_handle_fn = bool (*)(handle);
using buffer_fn = bool (*)(void*, std::uint32_t);
}
static_assert(sizeof(bool) == 1);

}  // namespace kvt::ros2
