// The desktop's realtime broker (RealtimeKit on the system D-Bus): it raises
// the priority of a thread that this user may not raise itself.
#pragma once

#include <sys/types.h>

#include <string>

namespace kvt::platform {

// Names a D-Bus address to ask instead of the system bus (tests run their
// own bus with a stand-in broker).
inline constexpr const char* realtime_broker_bus_variable = "KVT_RTKIT_BUS_ADDRESS";

struct broker_answer {
  bool granted = false;
  int niceness = 0;    // the level asked for: the wish, or the broker's minimum if that is higher
  std::string reason;  // why not, when not granted
};

// Asks the broker to set thread `tid` of this process to `niceness`, or to
// the lowest niceness the broker hands out if `niceness` is below it. Only
// the broker's high-priority call is used, never its real-time one: the
// threads this is for spin while they wait, see thread_priority.cpp. Blocks
// for at most about two seconds.
broker_answer ask_realtime_broker(pid_t tid, int niceness) noexcept;

}  // namespace kvt::platform
