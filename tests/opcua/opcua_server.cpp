#include "opcua/opcua_server.hpp"

#include <open62541/plugin/log_stdout.h>
#include <open62541/server_config_default.h>

#include <cstring>
#include <stdexcept>

#include "support/ws_client.hpp"

namespace kvt::test {

namespace {

UA_NodeId parse(const std::string& text) {
  UA_NodeId id;
  UA_NodeId_init(&id);
  UA_String s;
  s.length = text.size();
  s.data = reinterpret_cast<UA_Byte*>(const_cast<char*>(text.data()));
  if (UA_NodeId_parse(&id, s) != UA_STATUSCODE_GOOD) throw std::invalid_argument("bad node id " + text);
  return id;
}

struct node_id_holder {
  UA_NodeId id;
  explicit node_id_holder(const std::string& text) : id(parse(text)) {}
  ~node_id_holder() { UA_NodeId_clear(&id); }
  node_id_holder(const node_id_holder&) = delete;
  node_id_holder& operator=(const node_id_holder&) = delete;
};

}  // namespace

opcua_test_server::opcua_test_server(std::uint16_t port, opcua_server_options options)
    : port_(port != 0 ? port : free_port()), options_(options) {
  start();
}

opcua_test_server::opcua_test_server(const opcua_server_limits& limits, std::uint16_t port)
    : port_(port != 0 ? port : free_port()), limits_(limits) {
  start();
}

opcua_test_server::~opcua_test_server() { stop(); }

void opcua_test_server::start() {
  std::lock_guard lock(mutex_);
  if (server_ != nullptr) return;
  UA_ServerConfig config;
  std::memset(&config, 0, sizeof config);
  config.logging = UA_Log_Stdout_new(UA_LOGLEVEL_FATAL);
  if (UA_ServerConfig_setMinimal(&config, port_, nullptr) != UA_STATUSCODE_GOOD) {
    UA_ServerConfig_clean(&config);
    throw std::runtime_error("server configuration failed");
  }
  // Loopback only: nothing in the tests may be reachable from outside.
  UA_Array_delete(config.serverUrls, config.serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
  const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(port_);
  UA_String local = UA_STRING(const_cast<char*>(url.c_str()));
  config.serverUrls = nullptr;
  config.serverUrlsSize = 0;
  if (UA_Array_copy(&local, 1, reinterpret_cast<void**>(&config.serverUrls), &UA_TYPES[UA_TYPES_STRING]) !=
      UA_STATUSCODE_GOOD) {
    UA_ServerConfig_clean(&config);
    throw std::runtime_error("server configuration failed");
  }
  config.serverUrlsSize = 1;
  config.tcpReuseAddr = true;
  config.maxNodesPerRead = limits_.nodes_per_read;
  config.maxNodesPerWrite = limits_.nodes_per_write;

  UA_Server* server = UA_Server_newWithConfig(&config);
  if (server == nullptr) throw std::runtime_error("server creation failed");
  test_namespace_ = UA_Server_addNamespace(server, "urn:kestrel:connect:test");
  // Narrowed only now: the server browses its own namespace while it is created.
  UA_ServerConfig* running = UA_Server_getConfig(server);
  if (options_.max_references_per_node != 0) running->maxReferencesPerNode = options_.max_references_per_node;
  if (options_.max_nodes_per_read != 0) running->maxNodesPerRead = options_.max_nodes_per_read;
  if (UA_Server_run_startup(server) != UA_STATUSCODE_GOOD) {
    UA_Server_delete(server);
    throw std::runtime_error("server did not start on port " + std::to_string(port_));
  }
  server_ = server;
  for (const variable& v : variables_) create_variable(v);
  running_.store(true);
  thread_ = std::thread([this, server] {
    while (running_.load()) UA_Server_run_iterate(server, true);
  });
}

void opcua_test_server::stop() {
  std::unique_lock lock(mutex_);
  if (server_ == nullptr) return;
  snapshot_values();
  running_.store(false);
  UA_Server* server = server_;
  server_ = nullptr;
  lock.unlock();
  thread_.join();
  UA_Server_run_shutdown(server);
  UA_Server_delete(server);
}

void opcua_test_server::snapshot_values() {
  for (variable& v : variables_) {
    node_id_holder id(v.node_id);
    UA_Variant value;
    UA_Variant_init(&value);
    if (UA_Server_readValue(server_, id.id, &value) == UA_STATUSCODE_GOOD && value.type == &UA_TYPES[v.type_index] &&
        UA_Variant_isScalar(&value))
      std::memcpy(v.value.data(), value.data, v.value.size());
    UA_Variant_clear(&value);
  }
}

void opcua_test_server::create_variable(const variable& v) {
  node_id_holder id(v.node_id);
  UA_VariableAttributes attr = UA_VariableAttributes_default;
  UA_Variant_setScalar(&attr.value, const_cast<std::uint8_t*>(v.value.data()), &UA_TYPES[v.type_index]);
  attr.dataType = UA_TYPES[v.type_index].typeId;
  attr.valueRank = UA_VALUERANK_SCALAR;
  attr.accessLevel = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE;
  attr.displayName = UA_LOCALIZEDTEXT(const_cast<char*>("en-US"), const_cast<char*>(v.node_id.c_str()));
  const UA_StatusCode rc = UA_Server_addVariableNode(
      server_, id.id, UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER), UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
      UA_QUALIFIEDNAME(test_namespace_, const_cast<char*>(v.node_id.c_str())),
      UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attr, nullptr, nullptr);
  if (rc != UA_STATUSCODE_GOOD)
    throw std::runtime_error("variable " + v.node_id + " not added: " + UA_StatusCode_name(rc));
}

void opcua_test_server::add_variable(const std::string& node_id, int type_index, const void* value) {
  std::lock_guard lock(mutex_);
  variable v{node_id, type_index, std::vector<std::uint8_t>(UA_TYPES[type_index].memSize)};
  std::memcpy(v.value.data(), value, v.value.size());
  if (server_ != nullptr) create_variable(v);
  variables_.push_back(std::move(v));
}

void opcua_test_server::remove(const std::string& node_id) {
  std::lock_guard lock(mutex_);
  std::erase_if(variables_, [&](const variable& v) { return v.node_id == node_id; });
  node_id_holder id(node_id);
  if (server_ != nullptr && UA_Server_deleteNode(server_, id.id, true) != UA_STATUSCODE_GOOD)
    throw std::runtime_error("could not delete " + node_id);
}

void opcua_test_server::add_node(const opcua_tree_node& node) {
  std::lock_guard lock(mutex_);
  if (server_ == nullptr) throw std::runtime_error("server not running");
  node_id_holder id(node.node_id);
  node_id_holder parent(node.parent);
  const UA_QualifiedName name = UA_QUALIFIEDNAME(test_namespace_, const_cast<char*>(node.browse_name.c_str()));
  const UA_LocalizedText shown =
      UA_LOCALIZEDTEXT(const_cast<char*>("en-US"), const_cast<char*>(node.browse_name.c_str()));
  const UA_NodeId reference = UA_NODEID_NUMERIC(0, node.reference);
  UA_StatusCode rc = UA_STATUSCODE_GOOD;
  switch (node.what) {
    case opcua_tree_node::kind::folder:
    case opcua_tree_node::kind::object: {
      UA_ObjectAttributes attr = UA_ObjectAttributes_default;
      attr.displayName = shown;
      const std::uint32_t type =
          node.what == opcua_tree_node::kind::folder ? UA_NS0ID_FOLDERTYPE : UA_NS0ID_BASEOBJECTTYPE;
      rc = UA_Server_addObjectNode(server_, id.id, parent.id, reference, name, UA_NODEID_NUMERIC(0, type), attr,
                                   nullptr, nullptr);
      break;
    }
    case opcua_tree_node::kind::variable: {
      UA_VariableAttributes attr = UA_VariableAttributes_default;
      attr.displayName = shown;
      const UA_DataType& type = UA_TYPES[node.type_index];
      if (node.value_rank == UA_VALUERANK_SCALAR || node.value_rank == UA_VALUERANK_ANY)
        UA_Variant_setScalar(&attr.value, UA_new(&type), &type);
      else
        UA_Variant_setArray(&attr.value, UA_Array_new(3, &type), 3, &type);
      UA_UInt32 dimensions[1] = {3};
      if (node.value_rank > 0) {
        attr.arrayDimensions = dimensions;  // borrowed for the call
        attr.arrayDimensionsSize = 1;
      }
      attr.dataType = type.typeId;
      attr.valueRank = node.value_rank;
      attr.accessLevel = node.access_level;
      const std::uint32_t type_definition =
          node.reference == UA_NS0ID_HASPROPERTY ? UA_NS0ID_PROPERTYTYPE : UA_NS0ID_BASEDATAVARIABLETYPE;
      rc = UA_Server_addVariableNode(server_, id.id, parent.id, reference, name,
                                     UA_NODEID_NUMERIC(0, type_definition), attr, nullptr, nullptr);
      UA_Variant_clear(&attr.value);
      break;
    }
    case opcua_tree_node::kind::method: {
      UA_MethodAttributes attr = UA_MethodAttributes_default;
      attr.displayName = shown;
      attr.executable = true;
      rc = UA_Server_addMethodNode(server_, id.id, parent.id, reference, name, attr, nullptr, 0, nullptr, 0, nullptr,
                                   nullptr, nullptr);
      break;
    }
  }
  if (rc != UA_STATUSCODE_GOOD)
    throw std::runtime_error("node " + node.node_id + " not added: " + UA_StatusCode_name(rc));
}

bool opcua_test_server::read(const std::string& node_id, int type_index, void* out) const {
  std::lock_guard lock(mutex_);
  node_id_holder id(node_id);
  if (server_ == nullptr) {
    for (const variable& v : variables_)
      if (v.node_id == node_id && v.type_index == type_index) {
        std::memcpy(out, v.value.data(), v.value.size());
        return true;
      }
    return false;
  }
  UA_Variant value;
  UA_Variant_init(&value);
  const bool ok = UA_Server_readValue(server_, id.id, &value) == UA_STATUSCODE_GOOD &&
                  value.type == &UA_TYPES[type_index] && UA_Variant_isScalar(&value);
  if (ok) std::memcpy(out, value.data, UA_TYPES[type_index].memSize);
  UA_Variant_clear(&value);
  return ok;
}

void opcua_test_server::write(const std::string& node_id, int type_index, const void* value) {
  std::lock_guard lock(mutex_);
  node_id_holder id(node_id);
  UA_Variant v;
  UA_Variant_setScalar(&v, const_cast<void*>(value), &UA_TYPES[type_index]);
  if (server_ == nullptr || UA_Server_writeValue(server_, id.id, v) != UA_STATUSCODE_GOOD)
    throw std::runtime_error("could not write " + node_id);
}

}  // namespace kvt::test
