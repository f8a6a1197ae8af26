#include "browser/load_retry.hpp"

#include <algorithm>
#include <utility>

namespace kvt::browser {

std::chrono::seconds retry_schedule::next() noexcept {
  // 2 << n overflows long after the cap is reached; stop counting there.
  const unsigned n = std::min(waits_, 8u);
  if (waits_ < 8) ++waits_;
  return std::min(std::chrono::seconds(first.count() << n), longest);
}

load_retry::load_retry(std::function<void()> attempt) : attempt_(std::move(attempt)) {
  monitor_ = G_NETWORK_MONITOR(g_object_ref(g_network_monitor_get_default()));
  network_handler_ = g_signal_connect(monitor_, "network-changed", G_CALLBACK(on_network_changed), this);
}

load_retry::~load_retry() {
  disarm();
  g_signal_handler_disconnect(monitor_, network_handler_);
  g_object_unref(monitor_);
}

void load_retry::arm() {
  disarm();
  const auto wait = schedule_.next();
  timer_ = g_timeout_add_seconds(static_cast<guint>(wait.count()), on_timer, this);
}

void load_retry::disarm() noexcept {
  if (timer_ != 0) g_source_remove(timer_);
  timer_ = 0;
}

void load_retry::reset() noexcept {
  disarm();
  schedule_.reset();
}

gboolean load_retry::on_timer(gpointer self) {
  auto* retry = static_cast<load_retry*>(self);
  retry->timer_ = 0;  // the source ends with this call
  retry->attempt_();
  return G_SOURCE_REMOVE;
}

void load_retry::on_network_changed(GNetworkMonitor*, gboolean available, gpointer self) {
  auto* retry = static_cast<load_retry*>(self);
  // Only while an attempt is pending: a page that loaded needs nothing.
  if (available && retry->armed()) {
    retry->disarm();
    retry->attempt_();
  }
}

}  // namespace kvt::browser
