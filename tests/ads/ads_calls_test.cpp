// libTcAdsDll.so's calls against the ADS device simulator on loopback.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ads/ads_simulator.hpp"
#include "plc/ads/ams/tc_ads_api.h"

namespace {

class AdsCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.load_default_symbols();
    ::setenv("KVT_ADS_TCP_PORT", std::to_string(sim.port()).c_str(), 1);
    port = AdsPortOpen();
    ASSERT_GE(port, 32768);
    ASSERT_EQ(AdsGetLocalAddress(&addr), 0);
    EXPECT_EQ(addr.port, port);
    const auto id = sim.id();
    std::memcpy(addr.netId.b, id.data(), 6);
    addr.port = 851;
  }
  void TearDown() override { EXPECT_EQ(AdsPortClose(), 0); }

  std::int32_t read_dint(long& result) {
    const auto s = sim.symbol("MAIN.nCounter");
    std::int32_t value = 0;
    result = AdsSyncReadReq(&addr, s.group, s.offset, sizeof value, &value);
    return value;
  }

  long read_write_info(const std::string& name, std::vector<std::uint8_t>& out) {
    out.assign(512, 0);
    std::vector<char> write(name.begin(), name.end());
    write.push_back('\0');
    return AdsSyncReadWriteReq(&addr, 0xF009, 0, out.size(), out.data(), write.size(), write.data());
  }

  static std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
  }

  kvt::test::ads_simulator sim;
  long port = 0;
  AmsAddr addr{};
};

TEST_F(AdsCalls, LocalAddressNeedsAnOpenPort) {
  AmsAddr a{};
  EXPECT_EQ(AdsGetLocalAddress(&a), 0);
  const AmsNetId loopback{{127, 0, 0, 1, 1, 1}};
  EXPECT_EQ(std::memcmp(a.netId.b, loopback.b, 6), 0);
  EXPECT_EQ(AdsGetLocalAddress(nullptr), 0x742);
}

TEST_F(AdsCalls, ReadsAValueByGroupAndOffset) {
  sim.set_int("MAIN.nCounter", -123456);
  long result = -1;
  EXPECT_EQ(read_dint(result), -123456);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(sim.requests(2), 1u);
}

TEST_F(AdsCalls, ReadsSymbolInfoByName) {
  std::vector<std::uint8_t> entry;
  ASSERT_EQ(read_write_info("MAIN.fTemperature", entry), 0);
  const auto s = sim.symbol("MAIN.fTemperature");
  EXPECT_GT(u32(entry, 0), 30u);  // entry length
  EXPECT_EQ(u32(entry, 4), s.group);
  EXPECT_EQ(u32(entry, 8), s.offset);
  EXPECT_EQ(u32(entry, 12), 4u);  // size of a REAL
}

TEST_F(AdsCalls, UnknownSymbolGivesTheDevicesError) {
  std::vector<std::uint8_t> entry;
  EXPECT_EQ(read_write_info("MAIN.noSuchThing", entry), 0x710);
}

TEST_F(AdsCalls, UnknownTargetNetIdGivesTheAmsError) {
  AmsAddr other = addr;
  other.netId.b[5] = 9;  // same host, another Net ID
  std::int32_t value = 0;
  EXPECT_EQ(AdsSyncReadReq(&other, 0x4040, 0, 4, &value), 0x7);
}

TEST_F(AdsCalls, ManyThreadsShareOneConnection) {
  sim.set_int("MAIN.nCounter", 77);
  std::vector<std::thread> threads;
  std::vector<long> failures(8, 0);
  for (std::size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        long result = -1;
        if (read_dint(result) != 77 || result != 0) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (const auto f : failures) EXPECT_EQ(f, 0);
  EXPECT_EQ(sim.connections_accepted(), 1u);
  EXPECT_EQ(sim.requests(2), 400u);
}

TEST_F(AdsCalls, DroppedConnectionFailsTheCallAndTheNextOneReconnects) {
  long result = -1;
  read_dint(result);
  ASSERT_EQ(result, 0);
  sim.set_delay_ms(300);
  std::thread dropper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim.drop_connections();
  });
  read_dint(result);
  dropper.join();
  EXPECT_NE(result, 0);
  sim.set_delay_ms(0);
  sim.set_int("MAIN.nCounter", 5);
  EXPECT_EQ(read_dint(result), 5);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(sim.connections_accepted(), 2u);
}

TEST_F(AdsCalls, UnreachableDeviceFailsAndRecoversWhenBack) {
  sim.stop();
  long result = 0;
  read_dint(result);
  EXPECT_EQ(result, 0x7);
  sim.start();
  read_dint(result);
  EXPECT_EQ(result, 0);
}

TEST_F(AdsCalls, MalformedReplyFailsTheCall) {
  sim.inject_fault(kvt::test::ads_simulator::fault::lying_length);
  long result = 0;
  read_dint(result);
  EXPECT_EQ(result, 0x741);
  read_dint(result);
  EXPECT_EQ(result, 0);
}

TEST_F(AdsCalls, SilentDeviceTimesOutAfterFiveSeconds) {
  sim.inject_fault(kvt::test::ads_simulator::fault::silent);
  long result = 0;
  const auto start = std::chrono::steady_clock::now();
  read_dint(result);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result, 0x746);
  EXPECT_GE(took, std::chrono::milliseconds(4900));
  EXPECT_LT(took, std::chrono::milliseconds(7000));
  read_dint(result);
  EXPECT_EQ(result, 0);
}

TEST(AdsPort, CloseWithoutOpenIsAnError) {
  EXPECT_EQ(AdsPortClose(), 0x748);
  AmsAddr a{};
  EXPECT_EQ(AdsGetLocalAddress(&a), 0x748);
}

}  // namespace
