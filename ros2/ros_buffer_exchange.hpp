// The ROS buffer thread: watches the request word that the page raises and
// hands the whole buffer to the bridge library, which answers in place.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace kvt::ros2 {

// Time without requests after which the loop stops spinning and polls.
inline constexpr std::uint64_t idle_after_ns = 1'000'001'000;
// The poll period once idle.
inline constexpr std::uint64_t idle_poll_us = 100'000;

// Runs until `stop` is set. A view that is null or smaller than the header is
// never handed to the bridge.
void run_ros_buffer_exchange(void* view, std::uint64_t size, const std::atomic<bool>& stop);

// The program's ROS worker: started after the signal exchange when ROS 2 is
// enabled, stopped after the command server. Stopping joins the thread (if
// it was started) and then shuts the bridge down, so no bridge call of this
// thread or of a command can overlap the library's shutdown.
class ros_buffer_worker {
 public:
  ros_buffer_worker() = default;
  ros_buffer_worker(const ros_buffer_worker&) = delete;
  ros_buffer_worker& operator=(const ros_buffer_worker&) = delete;
  ~ros_buffer_worker();

  // Starts the thread at the highest worker priority; throws std::system_error
  // when it cannot be started.
  void start(void* view, std::uint64_t size);
  bool started() const noexcept { return thread_.joinable(); }
  // Stops and joins the thread, then shuts the bridge down.
  void stop_and_shut_down();

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kvt::ros2
