// Waiting for tags whose work was started without waiting: each tag in turn
// is asked for its status, with pauses of 10, 20, 30 ... µs while it is not
// ready, so that tags ready within microseconds are seen at once while a
// long wait costs few polls.
#pragma once

#include <cstdint>
#include <span>

#include "platform/precise_timer.hpp"
#include "plc/eip/tag_handle.hpp"

namespace kvt::plc::eip {

// True once every tag reports OK; false when the pauses add up to more than
// `budget_us` (a tag in error keeps the wait going until then). Pauses
// longer than a millisecond sleep on `timer` and spin the last millisecond.
bool wait_until_ready(std::span<const handle_ptr> tags, std::uint64_t budget_us,
                      const platform::precise_timer* timer) noexcept;

}  // namespace kvt::plc::eip
