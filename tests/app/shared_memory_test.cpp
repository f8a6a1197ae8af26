// Shared-memory buffers between processes: by name, and by a descriptor
// handed over a UNIX socket as the page's sandboxed renderer receives it.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "app/buffers.hpp"
#include "platform/shared_memory.hpp"
#include "renderer/page_contract.hpp"

namespace kvt {
namespace {

std::string unique_name(std::string_view what) {
  static std::atomic<int> n{0};
  return "KVT_Test_" + std::string(what) + "_" + std::to_string(getpid()) + "_" + std::to_string(n++);
}

// Runs `child` in a forked process; returns its exit code.
template <class F>
int in_child(F child) {
  const pid_t pid = fork();
  if (pid == 0) _exit(child());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SharedMemory, AnotherProcessSeesTheSameBytesBothWays) {
  shared_memory created;
  const std::string name = unique_name("both");
  ASSERT_TRUE(created.create(name, page::signal::buffer_bytes));
  auto* bytes = static_cast<unsigned char*>(created.view());
  bytes[0] = 0x11;
  bytes[page::signal::buffer_bytes - 1] = 0x22;

  const int rc = in_child([&] {
    shared_memory opened;
    if (!opened.open(name, page::signal::buffer_bytes)) return 1;
    auto* b = static_cast<unsigned char*>(opened.view());
    if (b[0] != 0x11 || b[page::signal::buffer_bytes - 1] != 0x22) return 2;
    b[1] = 0x33;
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(bytes[1], 0x33);
}

TEST(SharedMemory, CreateAndOpenRefuseWhatTheyCannotDo) {
  shared_memory m;
  const std::string name = unique_name("refuse");
  ASSERT_TRUE(m.create(name, 4096));
  void* first = m.view();
  EXPECT_FALSE(m.create(unique_name("second"), 4096)) << "an open object is not created again";
  EXPECT_FALSE(m.open(name, 4096));
  EXPECT_EQ(m.view(), first);
  EXPECT_EQ(m.name(), name);

  shared_memory other;
  EXPECT_FALSE(other.open("", 4096));
  EXPECT_FALSE(other.open(name, 0));
  EXPECT_FALSE(other.open(unique_name("missing"), 4096));
  EXPECT_FALSE(other.is_open());
  EXPECT_FALSE(other.open(name, 8192)) << "larger than the object";
  EXPECT_FALSE(other.create("bad/name", 4096));
  EXPECT_TRUE(other.open(name, 4096));

  // A leftover of the same name is reused only while it is this user's
  // alone; then it is grown to the size asked for.
  shared_memory again;
  std::string refusal;
  ASSERT_EQ(fchmod(m.fd(), 0640), 0);
  EXPECT_FALSE(again.create(name, 4096, &refusal));
  EXPECT_NE(refusal.find("(mode 0640)"), std::string::npos) << refusal;
  ASSERT_EQ(fchmod(m.fd(), 0600), 0);
  EXPECT_TRUE(again.create(name, 8192, &refusal)) << refusal;
  EXPECT_EQ(refusal, "");
  EXPECT_EQ(again.size(), 8192u);
}

TEST(SharedMemory, TheCreatorRemovesTheNameWhenItCloses) {
  const std::string name = unique_name("unlink");
  {
    shared_memory m;
    ASSERT_TRUE(m.create(name, 4096));
    shared_memory reader;
    ASSERT_TRUE(reader.open(name, 4096));
    reader.close();  // a reader leaves the name alone
    shared_memory again;
    EXPECT_TRUE(again.open(name, 4096));
  }
  shared_memory late;
  EXPECT_FALSE(late.open(name, 4096));
}

TEST(SharedMemory, MovingKeepsOneOwner) {
  const std::string name = unique_name("move");
  shared_memory a;
  ASSERT_TRUE(a.create(name, 4096));
  shared_memory b(std::move(a));
  EXPECT_FALSE(a.is_open());
  EXPECT_TRUE(b.is_open());
  a.close();  // the moved-from object must not remove the name
  shared_memory probe;
  EXPECT_TRUE(probe.open(name, 4096));
}

TEST(SharedMemory, ADescriptorReceivedOverASocketMapsTheSameMemory) {
  shared_memory created;
  ASSERT_TRUE(created.create(unique_name("fd"), 65536));
  auto* bytes = static_cast<unsigned char*>(created.view());
  bytes[100] = 0x5A;
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);

  const pid_t pid = fork();
  if (pid == 0) {
    close(pair[0]);
    char byte = 0;
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (recvmsg(pair[1], &msg, 0) != 1 || CMSG_FIRSTHDR(&msg) == nullptr) _exit(1);
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&msg)), sizeof fd);
    shared_memory received;
    if (!received.open_fd(fd, "received", 65536)) _exit(2);
    close(fd);  // the object keeps a descriptor of its own
    auto* b = static_cast<unsigned char*>(received.view());
    if (b[100] != 0x5A) _exit(3);
    b[101] = 0xA5;
    _exit(0);
  }
  close(pair[1]);
  char byte = 1;
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  const int fd = created.fd();
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  ASSERT_EQ(sendmsg(pair[0], &msg, 0), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  close(pair[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(bytes[101], 0xA5);

  shared_memory bad;
  EXPECT_FALSE(bad.open_fd(-1, "x", 16));
  EXPECT_FALSE(bad.open_fd(created.fd(), "x", 65536 * 2)) << "larger than the object";
}

TEST(SharedMemory, TheRosBufferGetsItsHeaderAndMayBeAGigabyte) {
  shared_memory ros;
  // A gigabyte is only reserved: pages exist once they are touched.
  ASSERT_TRUE(ros.create(unique_name("ros"), page::ros::max_buffer_bytes));
  EXPECT_LE(ros.size(), static_cast<std::uint64_t>(INT_MAX)) << "the size travels as a 32-bit signed integer";
  write_ros_header(ros);
  const auto* b = static_cast<const unsigned char*>(ros.view());
  std::uint32_t request = 9, data_offset = 0;
  std::uint64_t value = 0;
  std::memcpy(&request, b, 4);
  std::memcpy(&value, b + 4, 8);
  std::memcpy(&data_offset, b + 12, 4);
  EXPECT_EQ(request, 0u);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(data_offset, 16u);
}

TEST(Buffers, NamesCarryTheProcessId) {
  const buffer_names names = buffer_names_for(4711);
  EXPECT_EQ(names.command, "KVT_CommandBuffer_4711");
  EXPECT_EQ(names.signal, "KVT_SignalBuffer_4711");
  EXPECT_EQ(names.ros, "KVT_Ros2Buffer_4711");
}

}  // namespace
}  // namespace kvt
