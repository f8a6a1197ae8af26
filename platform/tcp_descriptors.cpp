#include "platform/tcp_descriptors.hpp"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvt::platform {

namespace {

// Both ends of a connection as the socket diagnostics interface names them,
// seen from the peer's socket: its own (source) and ours (destination).
struct connection_ends {
  int family = 0;
  std::uint8_t peer_address[16] = {};
  std::uint8_t our_address[16] = {};
  std::uint16_t peer_port = 0;  // network byte order
  std::uint16_t our_port = 0;   // network byte order
};

bool read_ends(int fd, connection_ends& ends) {
  sockaddr_storage ours{};
  sockaddr_storage peer{};
  socklen_t ours_length = sizeof ours;
  socklen_t peer_length = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &ours_length) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0 || ours.ss_family != peer.ss_family)
    return false;
  ends.family = ours.ss_family;
  if (ends.family == AF_INET) {
    const auto& o = reinterpret_cast<const sockaddr_in&>(ours);
    const auto& p = reinterpret_cast<const sockaddr_in&>(peer);
    std::memcpy(ends.our_address, &o.sin_addr, 4);
    std::memcpy(ends.peer_address, &p.sin_addr, 4);
    ends.our_port = o.sin_port;
    ends.peer_port = p.sin_port;
    return true;
  }
  if (ends.family == AF_INET6) {
    const auto& o = reinterpret_cast<const sockaddr_in6&>(ours);
    const auto& p = reinterpret_cast<const sockaddr_in6&>(peer);
    std::memcpy(ends.our_address, &o.sin6_addr, 16);
    std::memcpy(ends.peer_address, &p.sin6_addr, 16);
    ends.our_port = o.sin6_port;
    ends.peer_port = p.sin6_port;
    return true;
  }
  return false;
}

// Asks the kernel for the one socket whose local end is the peer's and
// whose remote end is ours.
std::optional<std::uint32_t> peer_user_by_socket_diag(const connection_ends& ends, int& error) {
  const int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  error = nl < 0 ? errno : 0;
  if (nl < 0) return std::nullopt;
  // The answer is queued while the request is handled; the time-out only
  // guards against a kernel that never answers.
  const timeval wait{0, 200'000};
  setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = 1;
  message.request.sdiag_family = static_cast<std::uint8_t>(ends.family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = ends.peer_port;
  message.request.id.idiag_dport = ends.our_port;
  std::memcpy(message.request.id.idiag_src, ends.peer_address, sizeof ends.peer_address);
  std::memcpy(message.request.id.idiag_dst, ends.our_address, sizeof ends.our_address);
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  std::optional<std::uint32_t> user;
  if (sendto(nl, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof message)) {
    char reply[8192];
    const ssize_t length = recv(nl, reply, sizeof reply, 0);
    const std::size_t got = length > 0 ? static_cast<std::size_t>(length) : 0;
    // Headers and records are copied out: the buffer promises no alignment.
    for (std::size_t at = 0; at + sizeof(nlmsghdr) <= got;) {
      nlmsghdr header;
      std::memcpy(&header, reply + at, sizeof header);
      if (header.nlmsg_len < sizeof header || header.nlmsg_len > got - at || header.nlmsg_type != SOCK_DIAG_BY_FAMILY ||
          header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        break;
      inet_diag_msg found;
      std::memcpy(&found, reply + at + NLMSG_HDRLEN, sizeof found);
      if (found.id.idiag_sport == ends.peer_port && found.id.idiag_dport == ends.our_port) {
        user = found.idiag_uid;
        break;
      }
      at += NLMSG_ALIGN(header.nlmsg_len);
    }
  }
  close(nl);
  return user;
}

// An address and port as the /proc/net/tcp tables print them: the address
// as 32-bit words in this machine's byte order, then the port.
void table_text(const std::uint8_t* address, int family, std::uint16_t port, char (&out)[48]) {
  const int words = family == AF_INET ? 1 : 4;
  int at = 0;
  for (int i = 0; i < words; ++i) {
    std::uint32_t word;
    std::memcpy(&word, address + 4 * i, 4);
    at += std::snprintf(out + at, sizeof out - static_cast<std::size_t>(at), "%08X", word);
  }
  std::snprintf(out + at, sizeof out - static_cast<std::size_t>(at), ":%04X", ntohs(port));
}

}  // namespace

int open_tcp_socket(bool ipv6, int& error) noexcept {
  const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  error = fd < 0 ? errno : 0;
  return fd;
}

int accept_connection(int listening, int& error) noexcept {
  const int fd = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  error = fd < 0 ? errno : 0;
  return fd;
}

void close_descriptor(int fd) noexcept {
  if (fd >= 0) close(fd);
}

std::optional<std::uint32_t> local_peer_user_from_proc_tables(int connected, int& error) noexcept {
  error = 0;
  connection_ends ends;
  if (!read_ends(connected, ends)) return std::nullopt;
  char local[48];
  char remote[48];
  table_text(ends.peer_address, ends.family, ends.peer_port, local);
  table_text(ends.our_address, ends.family, ends.our_port, remote);
  std::FILE* table = std::fopen(ends.family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6", "re");
  if (table == nullptr) {
    error = errno;
    return std::nullopt;
  }
  std::optional<std::uint32_t> user;
  char line[512];
  while (!user && std::fgets(line, sizeof line, table) != nullptr) {
    char l[48];
    char r[48];
    unsigned long uid = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid
    if (std::sscanf(line, " %*s %47s %47s %*s %*s %*s %*s %lu", l, r, &uid) == 3 && std::strcmp(l, local) == 0 &&
        std::strcmp(r, remote) == 0)
      user = static_cast<std::uint32_t>(uid);
  }
  std::fclose(table);
  return user;
}

std::optional<std::uint32_t> local_peer_user(int connected, int& error) noexcept {
  error = 0;
  connection_ends ends;
  if (!read_ends(connected, ends)) return std::nullopt;
  int diag_error = 0;
  if (auto user = peer_user_by_socket_diag(ends, diag_error)) return user;
  auto user = local_peer_user_from_proc_tables(connected, error);
  if (!user && error != 0 && diag_error == 0) error = 0;  // the diagnostics did look, and found nothing
  return user;
}

std::uint32_t current_user() noexcept { return geteuid(); }

}  // namespace kvt::platform
