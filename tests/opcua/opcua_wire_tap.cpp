#include "opcua/opcua_wire_tap.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <open62541/types.h>

#include <stdexcept>

namespace kvt::test {

namespace {

// OPC UA binary chunk: "MSG", chunk type, 32-bit size; then channel id,
// token id, sequence number and request id; then the body, which begins
// with the node id of the request's encoding.
constexpr std::size_t chunk_header = 8;
constexpr std::size_t msg_body = 24;
constexpr std::uint32_t read_request_encoding = 631;
constexpr std::uint32_t write_request_encoding = 673;

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t i) {
  return static_cast<std::uint32_t>(b[i]) | static_cast<std::uint32_t>(b[i + 1]) << 8 |
         static_cast<std::uint32_t>(b[i + 2]) << 16 | static_cast<std::uint32_t>(b[i + 3]) << 24;
}

// The nodes a single-chunk request carries, decoded by the library itself.
template <class Request>
std::size_t count_nodes(const std::vector<std::uint8_t>& chunk, std::size_t body, const UA_DataType& type,
                        std::size_t Request::*size) {
  UA_ByteString bytes;
  bytes.length = chunk.size() - body;
  bytes.data = const_cast<UA_Byte*>(chunk.data() + body);
  Request request;
  if (UA_decodeBinary(&bytes, &request, &type, nullptr) != UA_STATUSCODE_GOOD) return 0;
  const std::size_t n = request.*size;
  UA_clear(&request, &type);
  return n;
}

}  // namespace

opcua_wire_tap::opcua_wire_tap(std::uint16_t server_port) : server_port_(server_port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd_, 4) != 0 || ::pipe(wake_fd_) != 0)
    throw std::runtime_error("wire tap did not listen");
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

opcua_wire_tap::~opcua_wire_tap() {
  stop_.store(true);
  const char wake = 1;
  (void)!::write(wake_fd_[1], &wake, 1);
  thread_.join();
  ::close(listen_fd_);
  ::close(wake_fd_[0]);
  ::close(wake_fd_[1]);
}

std::vector<ua_request> opcua_wire_tap::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t opcua_wire_tap::count(ua_request::service kind) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const ua_request& r : requests_) n += r.kind == kind ? 1 : 0;
  return n;
}

void opcua_wire_tap::clear() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void opcua_wire_tap::run() {
  while (!stop_.load()) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) <= 0) continue;
    if ((fds[1].revents & POLLIN) != 0) return;
    const int client = ::accept(listen_fd_, nullptr, nullptr);
    if (client >= 0) relay(client);
  }
}

// Serves one client until either side closes.
void opcua_wire_tap::relay(int client_fd) {
  const int server_fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = loopback(server_port_);
  if (server_fd < 0 || ::connect(server_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    if (server_fd >= 0) ::close(server_fd);
    ::close(client_fd);
    return;
  }
  const int on = 1;
  ::setsockopt(server_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(client_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::vector<std::uint8_t> stream;
  inside_message_ = false;
  std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    pollfd fds[3] = {{client_fd, POLLIN, 0}, {server_fd, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    if (::poll(fds, 3, -1) <= 0) continue;
    if ((fds[2].revents & POLLIN) != 0) break;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::recv(client_fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      stream.insert(stream.end(), buffer.begin(), buffer.begin() + n);
      parse(stream);
      if (!write_all(server_fd, buffer.data(), static_cast<std::size_t>(n))) break;
    }
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::recv(server_fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      if (!write_all(client_fd, buffer.data(), static_cast<std::size_t>(n))) break;
    }
  }
  ::close(server_fd);
  ::close(client_fd);
}

// Takes every complete chunk off the front of `stream` and records the Read
// and Write requests that begin in them.
void opcua_wire_tap::parse(std::vector<std::uint8_t>& stream) {
  while (stream.size() >= chunk_header) {
    const std::size_t size = le32(stream, 4);
    if (size < chunk_header) {
      stream.clear();
      return;
    }
    if (stream.size() < size) return;
    const std::vector<std::uint8_t> chunk(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(size));
    stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(size));
    if (chunk[0] != 'M' || chunk[1] != 'S' || chunk[2] != 'G' || chunk.size() < msg_body + 4) continue;
    const bool first = !inside_message_;
    inside_message_ = chunk[3] == 'C';
    if (!first) continue;

    // The encoding's node id in its two-byte (0x00) or four-byte (0x01) form.
    std::uint32_t encoding = 0;
    std::size_t body = msg_body;
    if (chunk[body] == 0x00) {
      encoding = chunk[body + 1];
      body += 2;
    } else if (chunk[body] == 0x01) {
      encoding = static_cast<std::uint32_t>(chunk[body + 2]) | static_cast<std::uint32_t>(chunk[body + 3]) << 8;
      body += 4;
    } else {
      continue;
    }
    const bool single = chunk[3] == 'F';
    ua_request r;
    if (encoding == read_request_encoding) {
      r.kind = ua_request::service::read;
      if (single) r.nodes = count_nodes(chunk, body, UA_TYPES[UA_TYPES_READREQUEST], &UA_ReadRequest::nodesToReadSize);
    } else if (encoding == write_request_encoding) {
      r.kind = ua_request::service::write;
      if (single)
        r.nodes = count_nodes(chunk, body, UA_TYPES[UA_TYPES_WRITEREQUEST], &UA_WriteRequest::nodesToWriteSize);
    } else {
      continue;
    }
    std::lock_guard lock(mutex_);
    requests_.push_back(r);
  }
}

}  // namespace kvt::test
