#include "devices/identity_device.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "devices/private_network.hpp"

namespace kvt::test {

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> list_identity_reply(const identity& id) {
  // The identity item: version, socket address (big-endian), vendor, type,
  // product code, revision, status, serial, name, state.
  std::vector<std::uint8_t> item;
  put16(item, 1);                                     // encapsulation protocol version
  item.insert(item.end(), {0x00, 0x02, 0xAF, 0x12});  // sin_family 2, sin_port 44818 (big-endian)
  item.insert(item.end(), {10, 77, 0, 2});            // sin_addr
  item.insert(item.end(), 8, 0);                      // sin_zero
  put16(item, id.vendor);
  put16(item, id.device_type);
  put16(item, 0x0059);  // product code
  item.push_back(33);   // major revision
  item.push_back(11);   // minor revision
  put16(item, 0x0030);  // status
  put32(item, 0xC0FFEE01);
  item.push_back(id.name_length != 0 ? id.name_length : static_cast<std::uint8_t>(id.product_name.size()));
  item.insert(item.end(), id.product_name.begin(), id.product_name.end());
  item.push_back(id.state);

  std::vector<std::uint8_t> reply;
  put16(reply, 0x0063);  // command: List Identity
  put16(reply, static_cast<std::uint16_t>(2 + 4 + item.size()));
  put32(reply, 0);             // session
  put32(reply, 0);             // status
  reply.insert(reply.end(), 8, 0);  // sender context
  put32(reply, 0);             // options
  put16(reply, 1);             // item count
  put16(reply, 0x000C);        // item type: identity
  put16(reply, static_cast<std::uint16_t>(item.size()));
  reply.insert(reply.end(), item.begin(), item.end());
  return reply;
}

identity_device::identity_device(identity id, answering how) : id_(std::move(id)), how_(how) {
  thread_ = std::thread([this] { serve(); });
  while (!listening_.load() && !stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

identity_device::~identity_device() {
  stop_.store(true);
  thread_.join();
}

void identity_device::serve() {
  using clock = std::chrono::steady_clock;
  if (!enter_peer_namespace()) {
    stop_.store(true);
    return;
  }
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(44818);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    stop_.store(true);
    return;
  }
  listening_.store(true);
  const std::vector<std::uint8_t> reply = list_identity_reply(id_);
  std::vector<sockaddr_in> requesters;  // every one is sent the repeated replies
  const auto send_reply = [&](const sockaddr_in& to) {
    if (::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0)
      sent_.fetch_add(1);
  };
  // Repeating: flat out sends bursts between looks at the socket.
  const bool flat_out = how_.repeat_every.count() == 0;
  clock::time_point repeat_until{};
  clock::time_point next_repeat{};
  std::uint8_t request[1024];
  while (!stop_.load()) {
    int wait_ms = 20;
    if (const auto now = clock::now(); now < repeat_until) {
      if (now >= next_repeat) {
        for (int i = 0; i < (flat_out ? 64 : 1); ++i)
          for (const auto& to : requesters) send_reply(to);
        next_repeat = now + how_.repeat_every;
      }
      const auto until_next = std::chrono::duration_cast<std::chrono::milliseconds>(next_repeat - clock::now());
      wait_ms = static_cast<int>(std::clamp<std::int64_t>(until_next.count(), 0, 20));
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 24 || request[0] != 0x63 || request[1] != 0x00) continue;  // only List Identity
    requests_.fetch_add(1);
    if (how_.delay.count() > 0) std::this_thread::sleep_for(how_.delay);
    if (how_.empty_datagram_first) ::sendto(fd_, reply.data(), 0, 0, reinterpret_cast<sockaddr*>(&from), len);
    for (int i = 0; i < how_.replies; ++i) send_reply(from);
    if (how_.repeat_for.count() > 0) {
      requesters.push_back(from);
      repeat_until = clock::now() + how_.repeat_for;
      next_repeat = clock::now() + how_.repeat_every;
    }
  }
  ::close(fd_);
}

}  // namespace kvt::test
