// Trying a failed load again by itself: at once when the network becomes
// available, otherwise after a growing wait (2, 4, 8, 16, 32, 60, 60 ... s).
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <functional>

namespace kvt::browser {

// The waits between attempts: doubling from 2 s, then once a minute.
class retry_schedule {
 public:
  static constexpr std::chrono::seconds first{2};
  static constexpr std::chrono::seconds longest{60};

  // The wait before the next attempt; each call moves one step on.
  std::chrono::seconds next() noexcept;
  void reset() noexcept { waits_ = 0; }
  unsigned waits() const noexcept { return waits_; }

 private:
  unsigned waits_ = 0;
};

// Owns the timer of the next attempt and the watch on the network monitor
// (both removed on destruction). `attempt` runs on the main loop.
class load_retry {
 public:
  explicit load_retry(std::function<void()> attempt);
  ~load_retry();
  load_retry(const load_retry&) = delete;
  load_retry& operator=(const load_retry&) = delete;

  // A load failed: attempt again after the schedule's next wait, or as soon
  // as the network becomes available.
  void arm();
  // A load has started: no attempt is pending (the schedule goes on).
  void disarm() noexcept;
  // A page has loaded: nothing pending, and the schedule starts over.
  void reset() noexcept;

  bool armed() const noexcept { return timer_ != 0; }
  const retry_schedule& schedule() const noexcept { return schedule_; }

 private:
  static gboolean on_timer(gpointer self);
  static void on_network_changed(GNetworkMonitor*, gboolean available, gpointer self);

  std::function<void()> attempt_;
  retry_schedule schedule_;
  guint timer_ = 0;
  GNetworkMonitor* monitor_ = nullptr;  // a reference held
  gulong network_handler_ = 0;
};

}  // namespace kvt::browser
