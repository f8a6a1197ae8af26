#include "server/handlers/discovery_jobs.hpp"

#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "plc/devices/discovery.hpp"

namespace kvt::server {

namespace {

struct job {
  std::shared_ptr<std::atomic<bool>> stop;
  std::int32_t id = 0;
  job(std::shared_ptr<std::atomic<bool>> s, std::int32_t i) : stop(std::move(s)), id(i) {}
  job(job&&) noexcept = default;
  job& operator=(job&&) noexcept = default;
  ~job() {
    if (stop) stop->store(true);  // the thread sees it before its next round or device
  }
};

std::mutex jobs_mutex;
std::vector<job>& jobs() {
  static std::vector<job> instance;
  return instance;
}
std::atomic<std::int32_t> threads_running{0};

void run_rounds(std::shared_ptr<std::atomic<bool>> stop, std::int32_t id, std::uint32_t attempts,
                std::uint32_t timeout_ms, std::shared_ptr<plc::devices::discover_responder> responder) {
  for (std::uint32_t attempt = 1; attempt <= attempts && !stop->load(); ++attempt) {
    plc::eip::devices::discover(
        timeout_ms,
        [&](const plc::eip::devices::device_info& device) {
          if (!stop->load()) responder->on_device(id, device);
        },
        *stop);
  }
  threads_running.fetch_sub(1);
}

}  // namespace

start_result start_discovery(std::int32_t id, std::uint32_t attempts, std::uint32_t timeout_ms,
                             std::shared_ptr<plc::devices::discover_responder> responder) {
  std::lock_guard lock(jobs_mutex);
  for (const job& j : jobs())
    if (j.id == id) return start_result::duplicate_id;
  // The count grows only here, under the lock; a thread ending meanwhile can
  // only lower it, so no more than the cap ever run.
  if (threads_running.load() >= max_running_discoveries) return start_result::too_many;
  auto stop = std::make_shared<std::atomic<bool>>(false);
  threads_running.fetch_add(1);
  try {
    std::thread(run_rounds, stop, id, attempts, timeout_ms, std::move(responder)).detach();
  } catch (const std::system_error&) {
    threads_running.fetch_sub(1);
    return start_result::no_thread;
  }
  jobs().emplace_back(std::move(stop), id);
  return start_result::started;
}

void stop_discovery(std::int32_t id) {
  std::optional<job> removed;  // destroyed (and its flag set) after the lock is released
  {
    std::lock_guard lock(jobs_mutex);
    auto& all = jobs();
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i].id != id) continue;
      removed.emplace(std::move(all[i]));
      if (i + 1 != all.size()) all[i] = std::move(all.back());
      all.pop_back();
      break;
    }
  }
}

std::int32_t discovery_threads_running() noexcept { return threads_running.load(); }

}  // namespace kvt::server
