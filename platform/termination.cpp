#include "platform/termination.hpp"

#include <pthread.h>
#include <signal.h>

namespace kvt::platform {

namespace {
sigset_t termination_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}
}  // namespace

void block_termination_signals() noexcept {
  const sigset_t set = termination_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblock_termination_signals() noexcept {
  const sigset_t set = termination_signals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int wait_for_termination_signal() noexcept {
  const sigset_t set = termination_signals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal;
}

}  // namespace kvt::platform
