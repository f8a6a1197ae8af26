// The tag layer's one background I/O thread: every session's socket and
// timers run on its io_context, so that no caller ever waits on the network
// unless it asked to.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <thread>

namespace kvt::plc::eip {

class io_runtime {
 public:
  io_runtime();
  ~io_runtime();
  io_runtime(const io_runtime&) = delete;
  io_runtime& operator=(const io_runtime&) = delete;

  boost::asio::io_context& context() noexcept { return io_; }
  // Stops the thread; handlers not run by then are destroyed with the
  // context.
  void stop();

 private:
  boost::asio::io_context io_{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::thread thread_;
};

}  // namespace kvt::plc::eip
