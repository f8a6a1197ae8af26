// The Read and Write requests of the scan, kept from cycle to cycle.
//
// Items refer to the node ids of the handles they keep (shallow copies), and
// written variants point into storage of their own, so a request is never
// cleared by the library: only the responses are. Once the vectors have
// grown to the bindings' size, a cycle does not allocate for its requests.
// A server that limits the nodes per call gets the items in slices: each
// call's request points at a run of the same items.
#pragma once

#include <open62541/types.h>

#include <cstdint>
#include <span>
#include <vector>

#include "plc/opcua/node_id.hpp"
#include "plc/opcua/value_codec.hpp"

namespace kvt::plc::opcua {

// A service response that is cleared when it goes out of scope.
template <class Response>
class response {
 public:
  explicit response(const UA_DataType& type) noexcept : type_(&type) { UA_init(&value_, type_); }
  ~response() { UA_clear(&value_, type_); }
  response(const response&) = delete;
  response& operator=(const response&) = delete;
  Response& get() noexcept { return value_; }
  const Response& get() const noexcept { return value_; }

 private:
  const UA_DataType* type_;
  Response value_;
};

// One Read request with every bound output whose node id is valid.
class read_request {
 public:
  read_request() noexcept;
  read_request(const read_request&) = delete;
  read_request& operator=(const read_request&) = delete;

  // Replaces the items with the outputs' bindings.
  void rebuild(std::span<const std::uint64_t> tags, std::span<const handle_ptr> handles);

  std::size_t size() const noexcept { return items_.size(); }
  // The request for items [first, first + count) of this cycle.
  const UA_ReadRequest& prepare(std::size_t first, std::size_t count) noexcept;
  // Output index and bound value type of item j.
  std::uint32_t signal(std::size_t j) const noexcept { return signals_[j]; }
  std::uint32_t type(std::size_t j) const noexcept { return types_[j]; }
  // One staged value per item, filled from a response.
  std::vector<staged_value>& staged() noexcept { return staged_; }

 private:
  std::vector<handle_ptr> handles_;
  std::vector<UA_ReadValueId> items_;
  std::vector<std::uint32_t> signals_;
  std::vector<std::uint32_t> types_;
  std::vector<staged_value> staged_;
  UA_ReadRequest request_;
};

// One Write request with the changed inputs of a cycle.
class write_request {
 public:
  write_request() noexcept;
  write_request(const write_request&) = delete;
  write_request& operator=(const write_request&) = delete;

  void clear() noexcept;
  // Adds one input; its value type must be supported and its handle valid.
  void add(std::uint32_t signal, std::uint32_t type, std::int32_t slot, const handle_ptr& node);

  bool empty() const noexcept { return items_.empty(); }
  std::size_t size() const noexcept { return items_.size(); }
  std::uint32_t signal(std::size_t j) const noexcept { return signals_[j]; }
  // The request for items [first, first + count) of this cycle, valid
  // until the next `clear` or `add`.
  const UA_WriteRequest& prepare(std::size_t first, std::size_t count) noexcept;

  std::uint64_t generation = 0;  // of the inputs table the values came from

 private:
  std::vector<handle_ptr> handles_;
  std::vector<UA_WriteValue> items_;
  std::vector<scalar_storage> storage_;
  std::vector<std::uint32_t> types_;
  std::vector<std::int32_t> slots_;
  std::vector<std::uint32_t> signals_;
  UA_WriteRequest request_;
};

}  // namespace kvt::plc::opcua
