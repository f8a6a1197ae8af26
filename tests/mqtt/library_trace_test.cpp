// The client library's trace reaches standard error only when asked for.
#include <gtest/gtest.h>

#include <string>

#include "plc/mqtt/driver.hpp"
#include "plc/mqtt/library_trace.hpp"

namespace kvt::test {
namespace {

namespace mq = kvt::plc::mqtt;

// A connection attempt to a loopback port where nothing listens; returns
// what went to standard error meanwhile.
std::string stderr_of_refused_connection() {
  mq::driver d;
  plc::connection_params p;
  p.host = "127.0.0.1";
  p.port = 1;
  d.configure(p);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(d.connect());
  return ::testing::internal::GetCapturedStderr();
}

TEST(MqttLibraryTrace, GoesToStandardErrorOnlyWhenAskedFor) {
  mq::set_library_trace(false);
  EXPECT_FALSE(mq::library_trace());
  EXPECT_EQ(stderr_of_refused_connection(), "");

  mq::set_library_trace(true);
  EXPECT_TRUE(mq::library_trace());
  EXPECT_NE(stderr_of_refused_connection().find("mqtt trace"), std::string::npos);

  mq::set_library_trace(false);
  EXPECT_EQ(stderr_of_refused_connection(), "");
}

}  // namespace
}  // namespace kvt::test
