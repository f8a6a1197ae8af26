#include "plc/opcua/requests.hpp"

#include <cstring>

#include "plc/value_type.hpp"

namespace kvt::plc::opcua {

namespace {

// Every cycle gets a fresh request handle from the client; the time-out hint
// comes from the client's configuration.
void reset_header(UA_RequestHeader& header) noexcept {
  header.requestHandle = 0;
  header.timeoutHint = 0;
}

}  // namespace

read_request::read_request() noexcept {
  UA_ReadRequest_init(&request_);
  // Only values travel back, without timestamps.
  request_.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
}

void read_request::rebuild(std::span<const std::uint64_t> tags, std::span<const handle_ptr> handles) {
  handles_.clear();
  items_.clear();
  signals_.clear();
  types_.clear();
  const std::size_t n = tags.size() < handles.size() ? tags.size() : handles.size();
  for (std::size_t i = 0; i < n; ++i) {
    const handle_ptr& h = handles[i];
    if (!h || !h->valid() || !supported_type(tag_type(tags[i]))) continue;
    UA_ReadValueId item;
    UA_ReadValueId_init(&item);
    item.nodeId = h->id();  // shallow: `handles_` keeps it alive
    item.attributeId = UA_ATTRIBUTEID_VALUE;
    items_.push_back(item);
    handles_.push_back(h);
    signals_.push_back(static_cast<std::uint32_t>(i));
    types_.push_back(tag_type(tags[i]));
  }
  staged_.resize(items_.size());
}

const UA_ReadRequest& read_request::prepare(std::size_t first, std::size_t count) noexcept {
  reset_header(request_.requestHeader);
  request_.nodesToRead = items_.data() + first;
  request_.nodesToReadSize = count;
  return request_;
}

write_request::write_request() noexcept { UA_WriteRequest_init(&request_); }

void write_request::clear() noexcept {
  handles_.clear();
  items_.clear();
  types_.clear();
  slots_.clear();
  signals_.clear();
}

void write_request::add(std::uint32_t signal, std::uint32_t type, std::int32_t slot, const handle_ptr& node) {
  UA_WriteValue item;
  UA_WriteValue_init(&item);
  item.nodeId = node->id();  // shallow: `handles_` keeps it alive
  item.attributeId = UA_ATTRIBUTEID_VALUE;
  item.value.hasValue = true;
  items_.push_back(item);
  handles_.push_back(node);
  types_.push_back(type);
  slots_.push_back(slot);
  signals_.push_back(signal);
}

const UA_WriteRequest& write_request::prepare(std::size_t first, std::size_t count) noexcept {
  // The storage is sized only now, so no variant points into a vector
  // that grows afterwards (the later slices of a cycle find it sized).
  storage_.resize(items_.size());
  for (std::size_t j = first; j < first + count; ++j)
    encode_slot(types_[j], slots_[j], storage_[j], items_[j].value.value);
  reset_header(request_.requestHeader);
  request_.nodesToWrite = items_.data() + first;
  request_.nodesToWriteSize = count;
  return request_;
}

}  // namespace kvt::plc::opcua
