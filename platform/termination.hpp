// Orderly shutdown on SIGINT and SIGTERM: the signals are blocked in every
// thread and taken by the main thread when it is ready for them.
#pragma once

namespace kvt::platform {

// Blocks SIGINT and SIGTERM for the calling thread and every thread it
// starts afterwards. Call before starting worker threads.
void block_termination_signals() noexcept;

// Lets the calling thread take SIGINT and SIGTERM again (the UI thread,
// whose loop handles them, after the workers have started with them blocked).
void unblock_termination_signals() noexcept;

// Waits until SIGINT or SIGTERM arrives; returns the signal number.
int wait_for_termination_signal() noexcept;

}  // namespace kvt::platform
