// A blocking TCP client on 127.0.0.1 for tests that send frames built byte
// by byte and compare what comes back. A read waits 3 s at most, so a peer
// that stays silent fails the test instead of hanging it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvt::test {

class loopback_client {
 public:
  using bytes = std::vector<std::uint8_t>;

  // Connects at once; connected() says whether that worked.
  explicit loopback_client(std::uint16_t port);
  ~loopback_client();
  loopback_client(const loopback_client&) = delete;
  loopback_client& operator=(const loopback_client&) = delete;

  bool connected() const noexcept { return connected_; }
  bool send(const bytes& b);
  // Up to `n` bytes, fewer when the peer closes or stays silent.
  bytes receive(std::size_t n);
  // True when the peer has closed the connection (end of stream or reset).
  bool closed();

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace kvt::test
