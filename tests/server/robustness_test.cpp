// The command server under hostile input from another process: malformed
// requests, clients that never read, text that is not UTF-8. The server must
// stay up, drop what it cannot read, keep its memory bounded and keep
// answering the page.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "plc/connection_params.hpp"
#include "plc/driver_factory.hpp"
#include "plc/driver_registry.hpp"
#include "platform/tcp_descriptors.hpp"
#include "server/json_writer.hpp"
#include "support/eventually.hpp"
#include "support/server_fixture.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

using namespace std::chrono_literals;

std::size_t resident_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  return 0;
}

class HostileInput : public ::testing::Test {
 protected:
  void TearDown() override { clear_registry(); }

  // A driver with named signals, registered but never connected.
  static void add_named_driver(std::int32_t protocol, std::string host) {
    auto d = plc::make_driver(protocol);
    ASSERT_TRUE(d);
    plc::connection_params params;
    params.protocol = protocol;
    params.host = std::move(host);
    params.port = 4840;
    d->configure(params);
    plc::registry().insert(std::move(d));
  }

  server_fixture server;
};

TEST_F(HostileInput, MessagesThatAreNotOneWellFormedObjectGetNoReply) {
  add_named_driver(plc::protocol::opcua, "ua");
  add_named_driver(plc::protocol::mqtt, "mq");
  ws_client page(server.port());
  page.register_as_page();
  const char* const dropped[] = {
      // Syntax errors inside the data, after the handler has begun reading.
      R"({"id":1,"type":"ServerDisconnect","data":{"protocol":4,"type":"","host":"x":}})",
      R"({"id":4,"type":"ServerConnect","data":{"protocol":3,"type":"","host":"t":})",
      R"({"id":1,"type":"ROS2CreatePublisher","data":{"nodeId":1,"name":"p","messageType":"s","qos":{"":,})",
      R"({"id":7,"type":"BindingTables","data":{"host":"ua","id":5,"inputs":{"version":1,"tags":[1],"names":[""]t})",
      R"({"id":7,"type":"BindingTables","data":{"host":"mq","id":5,"inputs":{"version":1,"tags":[1],"names":[""]t})",
      // Not exactly one object.
      R"({"id":2,"type":"ServerStatus","data":{"host":"x"})",
      R"({"id":2,"type":"ServerStatus","data":{"host":"x"}}})",
      R"({"id":2,"type":"ServerStatus","data":{"host":"x"}}{"id":3,"type":"ServerStatus","data":{"host":"x"}})",
      R"({"id":2,"type":"NoSuchCommand","data":{"host":"x",}})",
      R"({"id":2,"type":"ServerStatus","data":{"host":"x","port":01}})",
      R"({"id":18446744073709551616,"type":"ServerStatus","data":{"host":"x"}})",
  };
  int id = 100;
  for (const char* message : dropped) {
    SCOPED_TRACE(message);
    page.send_text(message);
    // The next reply is the status request's: nothing answered the message,
    // and the server is still there.
    page.send_text(R"({"id":)" + std::to_string(++id) + R"(,"type":"ServerStatus","data":{"host":"x"}})");
    EXPECT_EQ(page.next_text(), R"({"id":)" + std::to_string(id) + R"(,"data":false})");
  }
}

TEST_F(HostileInput, ClientsThatNeverReadCannotExhaustMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "resident memory says nothing under a sanitizer's allocator";
#endif
  // Ten clients that never read; another one registers as the page again
  // and again, and each registration sends every client one byte.
  std::vector<std::unique_ptr<silent_ws_client>> idle;
  for (int i = 0; i < 10; ++i) idle.push_back(std::make_unique<silent_ws_client>(server.port()));
  const std::size_t before = resident_bytes();

  silent_ws_client flooder(server.port());
  const std::string registration = client_frame(false, command_message(253, ""));
  std::string burst;
  for (int i = 0; i < 10'000; ++i) burst += registration;
  for (int i = 0; i < 100; ++i) flooder.write_frames(burst);
  // The last message lands in the command buffer once everything before it
  // was handled.
  flooder.write_frames(client_frame(false, command_message(1, "done")));
  ASSERT_TRUE(eventually([&] { return server.buffer_word(4) == 1 && server.buffer_word(8) == 4; }, 120s));

  // 1,000,000 notifications to each client, about 24 MB of queue entries
  // per client if only their bytes counted; each client may hold no more
  // than its back-pressure limit.
  const std::size_t grown = resident_bytes() - before;
  EXPECT_LT(grown, 64u * 1024 * 1024) << "resident memory grew by " << grown << " bytes";

  ws_client page(server.port());
  EXPECT_EQ(page.next()->bytes, std::string(1, '\xFD'));  // a page is registered
  page.register_as_page();
  page.send_text(R"({"id":1,"type":"ServerStatus","data":{"host":"x"}})");
  EXPECT_EQ(page.next_text(30s), R"({"id":1,"data":false})");
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(HostileInput, RunningOutOfDescriptorsNeitherSpinsNorStopsTheServer) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer runtimes open pipes and files of their own (UBSan probes
  // memory through a pipe), so with no descriptor left they fail first.
  GTEST_SKIP() << "a sanitizer runtime needs descriptors this test takes away";
#endif
  ws_client page(server.port());
  page.register_as_page();
  // This test process may open only a few more descriptors; the clients'
  // connections then hold them all, and more wait in the listen backlog.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t in_use = static_cast<rlim_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                           std::filesystem::directory_iterator{}));
  rlimit low = limit;
  low.rlim_cur = in_use + 60;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);

  testing::internal::CaptureStderr();
  boost::asio::io_context ioc;
  std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> held;
  boost::system::error_code ec;
  for (int i = 0; i < 100 && !ec; ++i) {
    auto socket = std::make_unique<boost::asio::ip::tcp::socket>(ioc);
    socket->connect({boost::asio::ip::address_v4::loopback(), server.port()}, ec);
    if (!ec) held.push_back(std::move(socket));
  }
  std::this_thread::sleep_for(500ms);
  // While no descriptor is left the server waits instead of retrying at once.
  const double before = cpu_seconds();
  std::this_thread::sleep_for(2s);
  const double used = cpu_seconds() - before;
  EXPECT_LT(used, 0.5) << "CPU seconds in 2 s";

  // The page is still served; once descriptors are free again, new
  // connections are accepted.
  page.send_text(R"({"id":1,"type":"ServerStatus","data":{"host":"x"}})");
  EXPECT_EQ(page.next_text(), R"({"id":1,"data":false})");
  held.clear();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  std::unique_ptr<ws_client> late;
  EXPECT_TRUE(eventually([&] {
    try {
      late = std::make_unique<ws_client>(server.port());
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }));
  const std::string log = testing::internal::GetCapturedStderr();
  const auto first = log.find("accepting connections failed");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("accepting connections failed", first + 1), std::string::npos) << "said more than once: " << log;
}

// Another account of this machine connects and asks for the upgrade: the
// connection is closed unanswered, and said so once. The lookup is checked
// both ways (socket diagnostics, /proc tables) on a connection of our own.
TEST_F(HostileInput, AnotherUsersConnectionIsClosedBeforeTheUpgrade) {
  boost::asio::io_context ioc;
  boost::asio::ip::tcp::acceptor acceptor(ioc, {boost::asio::ip::address_v4::loopback(), 0});
  boost::asio::ip::tcp::socket client(ioc);
  client.connect(acceptor.local_endpoint());
  boost::asio::ip::tcp::socket accepted = acceptor.accept();
  int error = 0;
  EXPECT_EQ(platform::local_peer_user(accepted.native_handle(), error), platform::current_user());
  EXPECT_EQ(platform::local_peer_user_from_proc_tables(accepted.native_handle(), error), platform::current_user());

  if (geteuid() != 0) GTEST_SKIP() << "a client of another user needs root to start";
  ws_client page(server.port());
  page.register_as_page();
  testing::internal::CaptureStderr();
  const std::uint16_t port = server.port();
  const pid_t child = fork();
  if (child == 0) {
    // Only system calls from here: this process has other threads' locks.
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
      _exit(3);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) _exit(4);
    static const char upgrade[] =
        "GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (write(fd, upgrade, sizeof upgrade - 1) < 0) _exit(0);  // already closed
    char answer[64];
    const ssize_t n = read(fd, answer, sizeof answer);
    _exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : 1);  // closed unanswered, or answered
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit status " << status;
  page.send_text(R"({"id":1,"type":"ServerStatus","data":{"host":"x"}})");
  EXPECT_EQ(page.next_text(), R"({"id":1,"data":false})");
  ws_client same_user(server.port());
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("refused a connection from another user (uid 65534)"), std::string::npos) << log;
}

TEST(JsonText, EveryStringIsWrittenAsValidUtf8) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain \"q\" \\ \t\r\n", "plain \\\"q\\\" \\\\ \\t\\r\\n"},
      {std::string("nul\0x", 5), "nul\\u0000x"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},  // é € 😀 kept
      {"PLC\xFF", "PLC\xEF\xBF\xBD"},                         // a byte that is never UTF-8
      {"\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},               // stray continuation bytes
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},               // overlong form
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // beyond U+10FFFF
      {"\xE2\x82", "\xEF\xBF\xBD"},                           // cut short at the end
      {"\xE2\x82x", "\xEF\xBF\xBDx"},                         // cut short before ASCII
  };
  for (const auto& c : cases) {
    std::string out;
    server::append_escaped(out, c.in);
    EXPECT_EQ(out, c.out) << c.in;
  }
}

}  // namespace
}  // namespace kvt::test
