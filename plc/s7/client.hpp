// Ownership of one Snap7 client object.
#pragma once

#include <cstdint>

namespace kvt::plc::s7 {

class client {
 public:
  client();  // Cli_Create
  ~client();  // Cli_Disconnect, Cli_Destroy
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  // The library's object reference (`S7Object`).
  std::uintptr_t get() const noexcept { return handle_; }

 private:
  std::uintptr_t handle_ = 0;
};

}  // namespace kvt::plc::s7
