// Snap7 as built by the set-up script: its server half answers its client half.
#include <gtest/gtest.h>

#include <snap7.h>

#include <array>
#include <cstdint>

namespace {

constexpr std::uint16_t test_port = 10102;

TEST(Snap7, ClientReadsAByteFromALoopbackServer) {
  S7Object server = Srv_Create();
  std::array<std::uint8_t, 16> db{};
  db[3] = 0x5A;
  ASSERT_EQ(Srv_RegisterArea(server, srvAreaDB, 1, db.data(), static_cast<int>(db.size())), 0);
  std::uint16_t port = test_port;
  ASSERT_EQ(Srv_SetParam(server, p_u16_LocalPort, &port), 0);
  ASSERT_EQ(Srv_StartTo(server, "127.0.0.1"), 0);

  S7Object client = Cli_Create();
  ASSERT_EQ(Cli_SetParam(client, p_u16_RemotePort, &port), 0);
  ASSERT_EQ(Cli_ConnectTo(client, "127.0.0.1", 0, 1), 0);
  std::uint8_t value = 0;
  EXPECT_EQ(Cli_DBRead(client, 1, 3, 1, &value), 0);
  EXPECT_EQ(value, 0x5A);

  Cli_Disconnect(client);
  Cli_Destroy(&client);
  Srv_Stop(server);
  Srv_Destroy(&server);
}

}  // namespace
