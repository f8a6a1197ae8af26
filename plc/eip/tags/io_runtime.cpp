#include "plc/eip/tags/io_runtime.hpp"

#include <cstdio>
#include <exception>

namespace kvt::plc::eip {

io_runtime::io_runtime() : work_(boost::asio::make_work_guard(io_)) {
  thread_ = std::thread([this] {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception& e) {
        // A handler that throws must not take every session with it.
        std::fprintf(stderr, "EtherNet/IP tag layer: %s\n", e.what());
      }
    }
  });
}

io_runtime::~io_runtime() { stop(); }

void io_runtime::stop() {
  work_.reset();
  io_.stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace kvt::plc::eip
