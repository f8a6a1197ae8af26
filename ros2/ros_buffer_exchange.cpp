#include "ros2/ros_buffer_exchange.hpp"

#include <limits>
#include <string>

#include "platform/clock.hpp"
#include "platform/precise_timer.hpp"
#include "platform/thread_priority.hpp"
#include "renderer/page_contract.hpp"
#include "ros2/bridge.hpp"

namespace kvt::ros2 {

namespace ros = page::ros;

void run_ros_buffer_exchange(void* view, std::uint64_t size, const std::atomic<bool>& stop) {
  const platform::precise_timer timer;
  std::string message;  // the wrappers' texts; nothing here reports them
  std::uint64_t last_activity = platform::monotonic_ns();
  // The bridge takes the size as 32 bits; a larger buffer is offered up to
  // the largest size that number can say rather than a truncated one.
  const auto call_size = static_cast<std::uint32_t>(
      size > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max() : size);
  const bool usable = view != nullptr && size >= ros::header_bytes;
  auto* request_word = static_cast<std::uint32_t*>(view) + ros::request_offset / sizeof(std::uint32_t);

  while (!stop.load(std::memory_order_relaxed)) {
    if (platform::monotonic_ns() - last_activity >= idle_after_ns)
      timer.sleep(idle_poll_us);
    else
      platform::cpu_relax();
    if (!usable) continue;

    // The page and the bridge write the word from other threads and
    // processes; the acquire load makes the page's request bytes visible.
    const std::uint32_t request = std::atomic_ref<std::uint32_t>(*request_word).load(std::memory_order_acquire);
    if (request == ros::request_read_subscriptions) {
      bridge_read_subscriptions(view, call_size, message);
      last_activity = platform::monotonic_ns();
    } else if (request == ros::request_process_batch) {
      bridge_process_batch(view, call_size, message);
      last_activity = platform::monotonic_ns();
    }
  }
}

ros_buffer_worker::~ros_buffer_worker() {
  if (thread_.joinable()) {
    stop_.store(true);
    thread_.join();
  }
}

void ros_buffer_worker::start(void* view, std::uint64_t size) {
  if (thread_.joinable()) return;
  stop_.store(false);
  thread_ = std::thread([this, view, size] {
    platform::set_current_thread_priority(platform::thread_priority::highest);
    run_ros_buffer_exchange(view, size, stop_);
  });
}

void ros_buffer_worker::stop_and_shut_down() {
  if (thread_.joinable()) {
    stop_.exchange(true);
    thread_.join();
  }
  bridge_shutdown();
}

}  // namespace kvt::ros2
