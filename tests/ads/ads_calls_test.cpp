// libTcAdsDll.so's calls against the ADS device simulator on loopback.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ads/ads_simulator.hpp"
#include "plc/ads/ams/tc_ads_api.h"

namespace {

namespace fs = std::filesystem;
using fault = kvt::test::ads_simulator::fault;

// The library reads its route file once per process, on first need, so the
// file is written before the first call and serves every test: this
// machine's Net ID, a line it must skip, and a made-up Net ID routed to a
// device of its own. The Net ID's first four bytes are a loopback address
// nobody listens on, so a route that is not taken fails (0x7) without a
// packet leaving the machine.
const AmsNetId local_id{{10, 11, 12, 13, 1, 1}};
const kvt::test::ads_simulator::net_id routed_id{127, 0, 0, 9, 1, 1};

struct routed_setup {
  routed_setup() {
    device.load_default_symbols();
    device.set_net_id(routed_id);
    std::string pattern = (fs::temp_directory_path() / "kvt-ads-routes-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder = pattern;
    std::ofstream(folder / "ads-routes") << "# test routes\n"
                                         << "local 10.11.12.13.1.1\n"
                                         << "this line is no route\n"
                                         << "127.0.0.9.1.1 127.0.0.1:" << device.port() << "  # the routed device\n";
    ::setenv("KVT_ADS_ROUTES", (folder / "ads-routes").c_str(), 1);
    ::unsetenv("KVT_ADS_LOCAL_NET_ID");
  }
  ~routed_setup() {
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
  kvt::test::ads_simulator device;
  fs::path folder;
};

routed_setup& routed() {
  static routed_setup setup;
  return setup;
}

class AdsCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    routed();
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

TEST_F(AdsCalls, LocalAddressIsTheRouteFilesLocalNetId) {
  AmsAddr a{};
  EXPECT_EQ(AdsGetLocalAddress(&a), 0);
  EXPECT_EQ(std::memcmp(a.netId.b, local_id.b, 6), 0);
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

TEST_F(AdsCalls, RouteTakesAMadeUpNetIdToItsHostAndPort) {
  auto& device = routed().device;
  device.set_int("MAIN.nCounter", 4242);
  AmsAddr to{};
  std::memcpy(to.netId.b, routed_id.data(), 6);
  to.port = 851;
  const auto s = device.symbol("MAIN.nCounter");
  std::int32_t value = 0;
  EXPECT_EQ(AdsSyncReadReq(&to, s.group, s.offset, sizeof value, &value), 0);
  EXPECT_EQ(value, 4242);
  EXPECT_EQ(sim.connections_accepted(), 0u);
}

// Sum read and sum write replies must be whole; other replies may be short.
TEST_F(AdsCalls, SumRepliesMustHoldExactlyTheReadLength) {
  struct row {
    const char* what;
    std::uint32_t group;
    std::optional<fault> spoil;
    long expected;
  };
  const std::vector<row> rows = {
      {"sum read", 0xF080, std::nullopt, 0},
      {"sum read, a byte short", 0xF080, fault::short_data, 0x705},
      {"sum read, a byte long", 0xF080, fault::long_data, 0x705},
      {"sum write", 0xF081, std::nullopt, 0},
      {"sum write, a byte short", 0xF081, fault::short_data, 0x705},
      {"sum write, a byte long", 0xF081, fault::long_data, 0x705},
      {"%I read write, a byte short", 0xF020, fault::short_data, 0},
      {"%I read write, a byte long", 0xF020, fault::long_data, 0x741},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    // One item: 4 bytes of %I at offset 0.
    std::vector<std::uint8_t> write;
    std::uint32_t read_length = 4;
    const bool sum = r.group != 0xF020;
    if (sum) {
      for (const std::uint32_t v : {0xF020U, 0U, 4U})
        for (int shift = 0; shift < 32; shift += 8) write.push_back(static_cast<std::uint8_t>(v >> shift));
      if (r.group == 0xF081) write.insert(write.end(), {1, 2, 3, 4});
      if (r.group == 0xF080) read_length = 8;  // result code and data
    }
    if (r.spoil) sim.inject_fault(*r.spoil);
    std::vector<std::uint8_t> read(read_length + 1, 0);
    EXPECT_EQ(AdsSyncReadWriteReq(&addr, r.group, sum ? 1 : 0, read_length, read.data(), write.size(), write.data()),
              r.expected);
  }
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
