#include "plc/s7/client.hpp"

#include <snap7.h>

#include <new>

namespace kvt::plc::s7 {

client::client() : handle_(Cli_Create()) {
  if (handle_ == 0) throw std::bad_alloc();
}

client::~client() {
  S7Object object = handle_;
  Cli_Disconnect(object);
  Cli_Destroy(&object);
}

}  // namespace kvt::plc::s7
