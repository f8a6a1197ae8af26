#include "plc/eip/readiness.hpp"

#include "plc/eip/tags/plc_tag.hpp"
#include "plc/scan_pacing.hpp"

namespace kvt::plc::eip {

bool wait_until_ready(std::span<const handle_ptr> tags, std::uint64_t budget_us,
                      const platform::precise_timer* timer) noexcept {
  std::uint64_t paused_us = 0;
  std::uint64_t pauses = 0;
  for (const handle_ptr& tag : tags) {
    while (tag == nullptr || plc_tag_status(tag->id()) != status_ok) {
      const std::uint64_t d = 10 * (pauses + 1);
      ++pauses;
      pace_scan(timer, static_cast<std::int64_t>(d));
      paused_us += d;
      if (paused_us > budget_us) return false;
    }
  }
  return true;
}

}  // namespace kvt::plc::eip
