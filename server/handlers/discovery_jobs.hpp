// Running device searches, by the request id of the command that started
// each. A job's rounds run on a detached thread of their own; removing the
// job sets its stop flag and never waits for that thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "plc/devices/discover_responder.hpp"

namespace kvt::server {

enum class start_result { started, duplicate_id, too_many, no_thread };

// Searches whose threads may run at once; each holds a socket, a thread and
// the events it has handed to the server thread.
inline constexpr std::int32_t max_running_discoveries = 8;

// Starts a search of `attempts` rounds of `timeout_ms` each, unless
// `max_running_discoveries` are running. A finished search keeps its id until
// it is stopped.
start_result start_discovery(std::int32_t id, std::uint32_t attempts, std::uint32_t timeout_ms,
                             std::shared_ptr<plc::devices::discover_responder> responder);

// Stops and forgets the search; nothing happens for an unknown id.
void stop_discovery(std::int32_t id);

// Search threads that have not ended yet (for an orderly shutdown and tests).
std::int32_t discovery_threads_running() noexcept;

}  // namespace kvt::server
