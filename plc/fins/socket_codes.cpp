#include <cerrno>

#include "plc/fins/codes.hpp"

namespace kvt::plc::fins {

// Each set-up failure a caller can act on gets a code of its own; anything
// else is 0x8A00.
result_code socket_setup_code(int error) noexcept {
  switch (error) {
    case EACCES: return 0x8A01;
    case EAFNOSUPPORT: return 0x8A02;
    case EINVAL: return 0x8A03;
    case EMFILE: return 0x8A04;
    case ENFILE: return 0x8A05;
    case ENOBUFS: return 0x8A06;
    case ENOMEM: return 0x8A07;
    case EPROTONOSUPPORT: return 0x8A08;
    case EADDRINUSE: return 0x8A09;
    case EADDRNOTAVAIL: return 0x8A0A;
    case ENETDOWN: return 0x8A0B;
    case EPERM: return 0x8A0C;
    default: return code::socket_error;
  }
}

}  // namespace kvt::plc::fins
