#include "plc/opcua/operation_limits.hpp"

#include <open62541/nodeids.h>

#include <array>
#include <limits>

#include "plc/opcua/requests.hpp"
#include "plc/opcua/value_codec.hpp"

namespace kvt::plc::opcua {

namespace {

std::uint32_t limit_of(const UA_DataValue& result) noexcept {
  if (!result.hasValue || (result.hasStatus && !UA_StatusCode_isGood(result.status))) return 0;
  const staged_value v = stage_variant(result.value);
  if (v.what != staged_value::kind::integer || v.integer <= 0) return 0;
  if (v.integer > std::numeric_limits<std::uint32_t>::max()) return 0;
  return static_cast<std::uint32_t>(v.integer);
}

}  // namespace

operation_limits read_operation_limits(UA_Client* client) noexcept {
  std::array<UA_ReadValueId, 2> items{};
  const std::array<std::uint32_t, 2> nodes{UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERREAD,
                                           UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERWRITE};
  for (std::size_t j = 0; j < items.size(); ++j) {
    UA_ReadValueId_init(&items[j]);
    items[j].nodeId = UA_NODEID_NUMERIC(0, nodes[j]);
    items[j].attributeId = UA_ATTRIBUTEID_VALUE;
  }
  UA_ReadRequest request;
  UA_ReadRequest_init(&request);
  request.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
  request.nodesToRead = items.data();
  request.nodesToReadSize = items.size();

  response<UA_ReadResponse> answer(UA_TYPES[UA_TYPES_READRESPONSE]);
  __UA_Client_Service(client, &request, &UA_TYPES[UA_TYPES_READREQUEST], &answer.get(),
                      &UA_TYPES[UA_TYPES_READRESPONSE]);
  const UA_ReadResponse& r = answer.get();
  if (r.responseHeader.serviceResult != UA_STATUSCODE_GOOD || r.resultsSize != items.size()) return {};
  return {.nodes_per_read = limit_of(r.results[0]), .nodes_per_write = limit_of(r.results[1])};
}

}  // namespace kvt::plc::opcua
