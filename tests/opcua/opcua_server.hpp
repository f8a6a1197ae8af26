// A real OPC UA server for the tests: open62541's server on 127.0.0.1 in a
// thread of its own, with writable scalar variables that the test adds. It
// can be stopped and started again on the same port; its variables keep
// their values across the restart. For browsing, a test can also build a
// tree of folders, objects, variables and methods.
#pragma once

#include <open62541/nodeids.h>
#include <open62541/server.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvt::test {

// Server settings a test may narrow; 0 keeps the library's default.
struct opcua_server_options {
  std::uint32_t max_references_per_node = 0;  // per Browse answer, then continuation points
  std::uint32_t max_nodes_per_read = 0;       // also reported in the server's operation limits
};

// One node of a browse tree, referenced from `parent` (text form).
struct opcua_tree_node {
  enum class kind { folder, object, variable, method };
  kind what = kind::variable;
  std::string node_id;
  std::string browse_name;
  std::string parent = "i=85";
  std::uint32_t reference = UA_NS0ID_HASCOMPONENT;  // HasProperty makes a variable a property
  // Variables: a zero value of this type, a scalar or (any rank other than
  // scalar) an array of three.
  int type_index = UA_TYPES_DOUBLE;
  std::int32_t value_rank = UA_VALUERANK_SCALAR;
  std::uint8_t access_level = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE;
};

// Nodes per Read and Write call the server accepts (0: no limit); it
// publishes them as its OperationLimits and refuses larger calls.
struct opcua_server_limits {
  std::uint32_t nodes_per_read = 0;
  std::uint32_t nodes_per_write = 0;
};

class opcua_test_server {
 public:
  // Listens on `port` (0: a free loopback port) and starts serving.
  explicit opcua_test_server(std::uint16_t port = 0, opcua_server_options options = {});
  // The same, with operation limits (kept across a restart).
  explicit opcua_test_server(const opcua_server_limits& limits, std::uint16_t port = 0);
  ~opcua_test_server();
  opcua_test_server(const opcua_test_server&) = delete;
  opcua_test_server& operator=(const opcua_test_server&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  // The namespace index the test's own namespace got (2).
  std::uint16_t test_namespace() const noexcept { return test_namespace_; }

  // Adds a writable scalar variable under Objects; `node_id` in text form.
  // `type_index` is one of UA_TYPES_*; `value` points at one such value.
  void add_variable(const std::string& node_id, int type_index, const void* value);
  template <class T>
  void add(const std::string& node_id, int type_index, T value) {
    add_variable(node_id, type_index, &value);
  }

  // The variable's current value, copied into `out` (which must be of the
  // variable's type); false if the node has no scalar of that type.
  bool read(const std::string& node_id, int type_index, void* out) const;
  template <class T>
  T value(const std::string& node_id, int type_index) const {
    T v{};
    read(node_id, type_index, &v);
    return v;
  }
  void write(const std::string& node_id, int type_index, const void* value);
  template <class T>
  void set(const std::string& node_id, int type_index, T value) {
    write(node_id, type_index, &value);
  }

  // Deletes a variable (it is not re-created after a restart).
  void remove(const std::string& node_id);

  // Adds a node of a browse tree to the running server; tree nodes are not
  // re-created after a restart.
  void add_node(const opcua_tree_node& node);

  // Stops serving (connections are closed) and starts again.
  void stop();
  void start();
  bool running() const noexcept { return server_ != nullptr; }

 private:
  struct variable {
    std::string node_id;
    int type_index;
    std::vector<std::uint8_t> value;  // one scalar of the type
  };

  void create_variable(const variable& v);
  void snapshot_values();

  std::uint16_t port_;
  opcua_server_options options_;
  opcua_server_limits limits_{};
  std::uint16_t test_namespace_ = 0;
  mutable std::mutex mutex_;  // guards variables_ and server_ against the test's own threads
  std::vector<variable> variables_;
  UA_Server* server_ = nullptr;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

}  // namespace kvt::test
