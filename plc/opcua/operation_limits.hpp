// How many nodes a server accepts in one Read or Write service call, as it
// publishes them under Server.ServerCapabilities.OperationLimits, and how a
// request is cut into calls that respect them.
#pragma once

#include <open62541/client.h>

#include <cstddef>
#include <cstdint>

namespace kvt::plc::opcua {

struct operation_limits {
  // Nodes per call; 0 means the server sets no limit (or did not say).
  std::uint32_t nodes_per_read = 0;
  std::uint32_t nodes_per_write = 0;
};

// Reads both limits in one Read call on a connected client. A limit the
// server does not publish, or publishes as anything but a positive integer,
// is taken as no limit; so is every limit when the call fails.
operation_limits read_operation_limits(UA_Client* client) noexcept;

// Items in the call that starts at item `first` of `total`, under `limit`
// (0: no limit): the rest, or `limit` when fewer.
constexpr std::size_t call_size(std::size_t total, std::size_t first, std::uint32_t limit) noexcept {
  const std::size_t rest = total - first;
  return limit == 0 || rest < limit ? rest : limit;
}

}  // namespace kvt::plc::opcua
