// Starts the exchange, a driver's scan and the command server the way the
// program does, as a user who may not lower niceness (CAP_SYS_NICE dropped,
// RLIMIT_NICE 0), and prints how each of those threads got its priority:
//   <role> <thread id> <path> <niceness asked>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "platform/thread_priority.hpp"
#include "plc/driver_registry.hpp"
#include "plc/memory/driver.hpp"
#include "plc/signal_exchange.hpp"
#include "renderer/page_contract.hpp"
#include "server/server_thread.hpp"

namespace {

using namespace kvt;

// From here on the process, root or not, may not lower any niceness itself.
bool act_as_normal_user() {
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_NICE, &none) != 0) return false;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  for (auto& d : data) {
    d.effective &= ~(1u << CAP_SYS_NICE);
    d.permitted &= ~(1u << CAP_SYS_NICE);
    d.inheritable &= ~(1u << CAP_SYS_NICE);
  }
  return syscall(SYS_capset, &header, data) == 0;
}

const platform::priority_grant* grant_of(const std::vector<platform::priority_grant>& grants, pid_t thread) {
  for (const auto& g : grants)
    if (g.thread == thread) return &g;
  return nullptr;
}

void print(const char* role, const platform::priority_grant* g) {
  if (g == nullptr) {
    std::printf("%s missing\n", role);
    return;
  }
  std::printf("%s %d %s %d\n", role, g->thread, platform::to_string(g->path), g->niceness);
}

}  // namespace

int main() {
  if (!act_as_normal_user()) {
    std::fprintf(stderr, "cannot drop the right to lower niceness\n");
    return 2;
  }

  std::atomic<pid_t> exchange_tid{0};
  std::atomic<pid_t> server_tid{0};
  std::atomic<bool> exchange_stop{false};
  std::atomic<bool> server_stop{false};
  std::vector<std::uint32_t> signal_buffer(page::signal::buffer_words, 0);
  std::vector<std::uint32_t> command_buffer(page::command::buffer_bytes / sizeof(std::uint32_t), 0);

  std::thread exchange([&] {
    exchange_tid = platform::current_thread_id();
    plc::run_signal_exchange(signal_buffer.data(), page::signal::buffer_bytes, plc::registry(), exchange_stop);
  });
  std::thread server([&] {
    server_tid = platform::current_thread_id();
    server::server_settings settings;
    settings.port = 0;
    settings.command_buffer = reinterpret_cast<std::byte*>(command_buffer.data());
    server::run_server(settings, server_stop);
  });
  plc::memory::driver scanned("probe", std::make_shared<plc::memory::controller>(10));
  scanned.connect();

  // Three requests: exchange, server and the scan thread.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::vector<platform::priority_grant> grants;
  while ((grants = platform::priority_grants()).size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));

  print("exchange", grant_of(grants, exchange_tid.load()));
  print("server", grant_of(grants, server_tid.load()));
  const platform::priority_grant* scan = nullptr;
  for (const auto& g : grants)
    if (g.thread != exchange_tid.load() && g.thread != server_tid.load()) scan = &g;
  print("scan", scan);
  std::fflush(stdout);

  scanned.disconnect();
  exchange_stop.store(true);
  server_stop.store(true);
  exchange.join();
  server.join();
  return 0;
}
