// Without libTcAdsDll.so where the driver looks (this executable has no run
// path to it): connecting fails and the symbol listing answers "Server
// function failed", and the command server carries on.
#include <gtest/gtest.h>

#include <string>

#include "support/driver_session.hpp"

namespace kvt::test {
namespace {

TEST(AdsWithoutLibrary, ConnectAndListingFailCleanly) {
  driver_session session;
  plc::connection_params p = connection(plc::protocol::ads, 851);
  p.host = "127.0.0.1.1.1";
  EXPECT_FALSE(session.connect(p));
  const std::string listed =
      session.ask("ListTags", R"({"protocol":3,"type":"","host":"127.0.0.1.1.1","port":851,"dataArea":true})");
  EXPECT_EQ(listed, "{\"id\":" + std::to_string(session.last_id()) + ",\"data\":null,\"error\":\"Server function failed\"}");
  EXPECT_FALSE(session.status("127.0.0.1.1.1"));
}

}  // namespace
}  // namespace kvt::test
