// The ROS buffer thread: requests 1 and 3 reach the library with the whole
// buffer, other words do nothing, and the library's answer ends a request.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "renderer/page_contract.hpp"
#include "ros2/bridge.hpp"
#include "ros2/ros_buffer_exchange.hpp"
#include "standin_control.hpp"
#include "support/eventually.hpp"

namespace kvt::test {
namespace {

using namespace std::chrono_literals;
namespace ros = page::ros;

constexpr std::uint32_t answered = 6;  // what the stand-in writes once it has answered

class BufferThread : public ::testing::Test {
 protected:
  BufferThread() : buffer(1024, 0) {
    buffer[0] = ros::initial_request;
    buffer[3] = ros::initial_page_word;
    lib.answer(answered);
  }
  ~BufferThread() override { worker.stop_and_shut_down(); }

  void initialize() {
    std::string message;
    ASSERT_TRUE(ros2::bridge_initialize(message)) << message;
  }
  void request(std::uint32_t word) { std::atomic_ref<std::uint32_t>(buffer[0]).store(word, std::memory_order_release); }
  std::uint32_t request_word() { return std::atomic_ref<std::uint32_t>(buffer[0]).load(std::memory_order_acquire); }
  std::size_t bytes() const { return buffer.size() * sizeof(std::uint32_t); }

  standin lib;
  std::vector<std::uint32_t> buffer;
  ros2::ros_buffer_worker worker;
};

TEST_F(BufferThread, RequestsOneAndThreeAreHandedToTheLibrary) {
  initialize();
  worker.start(buffer.data(), bytes());
  request(ros::request_read_subscriptions);
  ASSERT_TRUE(eventually([&] { return request_word() == answered; }));
  EXPECT_EQ(lib.calls().back(), "nodegate_read_subscriptions size=4096 request=1");
  request(ros::request_process_batch);
  ASSERT_TRUE(eventually([&] { return request_word() == answered; }));
  EXPECT_EQ(lib.calls().back(), "nodegate_process_batch size=4096 request=3");
  EXPECT_EQ(lib.count("nodegate_read_subscriptions"), 1u);
  EXPECT_EQ(lib.count("nodegate_process_batch"), 1u);
}

TEST_F(BufferThread, OtherRequestWordsCallNothing) {
  initialize();
  worker.start(buffer.data(), bytes());
  for (std::uint32_t word : {2u, 4u, 0u, 255u}) request(word);
  // A later request is served, so the earlier words were seen and passed over.
  request(ros::request_read_subscriptions);
  ASSERT_TRUE(eventually([&] { return request_word() == answered; }));
  EXPECT_EQ(lib.count("nodegate_read_subscriptions"), 1u);
  EXPECT_EQ(lib.count("nodegate_process_batch"), 0u);
}

TEST_F(BufferThread, AFailingBridgeIsAskedAgainWhileTheRequestStands) {
  // Not initialised: every pass calls the wrapper, which refuses without
  // reaching the library; once initialised the standing request is served.
  worker.start(buffer.data(), bytes());
  request(ros::request_process_batch);
  std::this_thread::sleep_for(20ms);  // the thread runs passes against a refusing bridge meanwhile
  EXPECT_EQ(request_word(), ros::request_process_batch);
  EXPECT_EQ(lib.count("nodegate_process_batch"), 0u);
  initialize();
  ASSERT_TRUE(eventually([&] { return request_word() == answered; }));
  EXPECT_EQ(lib.count("nodegate_process_batch"), 1u);
}

TEST_F(BufferThread, ABufferSmallerThanTheHeaderIsNeverHandedOver) {
  initialize();
  request(ros::request_read_subscriptions);
  worker.start(buffer.data(), ros::header_bytes - 1);
  // A second worker on a proper buffer shows passes are being made.
  std::vector<std::uint32_t> other(8, 0);
  ros2::ros_buffer_worker second;
  second.start(other.data(), other.size() * sizeof(std::uint32_t));
  std::atomic_ref<std::uint32_t>(other[0]).store(ros::request_process_batch, std::memory_order_release);
  ASSERT_TRUE(eventually([&] { return std::atomic_ref<std::uint32_t>(other[0]).load() == answered; }));
  EXPECT_EQ(request_word(), ros::request_read_subscriptions);
  EXPECT_EQ(lib.count("nodegate_read_subscriptions"), 0u);
  worker.stop_and_shut_down();
  second.stop_and_shut_down();
}

TEST_F(BufferThread, AfterASecondOfSilenceARequestIsServedWithinThePollPeriod) {
  initialize();
  worker.start(buffer.data(), bytes());
  std::this_thread::sleep_for(1200ms);  // let the thread become idle
  const auto start = std::chrono::steady_clock::now();
  request(ros::request_read_subscriptions);
  ASSERT_TRUE(eventually([&] { return request_word() == answered; }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
}

}  // namespace
}  // namespace kvt::test
