// The FINS driver end to end: "ServerConnect", "BindingTables" and
// "ServerStatus" over the command server's WebSocket, values through the
// signal buffer against the exchange thread, and the simulator as the
// controller.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "fins/fins_simulator.hpp"
#include "plc/fins/driver.hpp"
#include "plc/fins/tag.hpp"
#include "support/driver_session.hpp"
#include "support/eventually.hpp"

namespace kvt::test {
namespace {

namespace fins = kvt::plc::fins;
namespace vt = kvt::plc::value_type;
namespace af = kvt::plc::fins::area_field;
using fins::encode_tag;
using sim = fins_simulator;

constexpr const char* host = "127.0.0.1";

std::int32_t bits_of(float f) { return plc::float_to_slot(f); }

// Elements (4 bytes each) of every multiple read the simulator received.
std::vector<std::size_t> read_sizes(const fins_simulator& s) {
  std::vector<std::size_t> sizes;
  for (const auto& r : s.received())
    if (r[10] == 0x01 && r[11] == 0x04) sizes.push_back((r.size() - 12) / 4);
  return sizes;
}

class FinsDriver : public ::testing::Test {
 protected:
  fins_simulator& simulator(std::string model = "CJ2M-CPU31") { return controller.emplace(std::move(model)); }

  ::testing::AssertionResult connect_fins(std::uint16_t port, double scan_rate = 0.002) {
    plc::connection_params p = connection(plc::protocol::fins, port, scan_rate);
    p.local_node = 1;
    p.remote_node = 10;
    return session.connect(p);
  }
  fins::driver& driver() { return session.driver<fins::driver>(); }
  bool eventually_down() {
    return eventually([&] { return !session.status(); }, std::chrono::seconds(20));
  }

  std::optional<fins_simulator> controller;
  // Declared after the simulator, so that the drivers go before it: a scan
  // waiting for a controller that is gone would hold the tear-down for a
  // whole response time-out.
  driver_session session{std::chrono::seconds(30)};
};

TEST_F(FinsDriver, EveryAreaAndTypeRoundTripsThroughTheSignalBuffer) {
  auto& s = simulator();
  s.set_word(sim::cio, 10, 1u << 5);
  s.set_word(sim::w, 3, 0xABCD);
  s.set_word(sim::h, 4, 0xBEEF);
  s.set_word(sim::a, 0, 0x1234);  // auxiliary words below 448 may be read
  s.set_word(sim::dm, 100, 0x5678);  // u32 low word first
  s.set_word(sim::dm, 101, 0x1234);
  s.set_word(sim::dm, 102, 0xFFFD);  // s32 -3
  s.set_word(sim::dm, 103, 0xFFFF);
  const auto pi = static_cast<std::uint32_t>(bits_of(3.5f));
  s.set_word(sim::dm, 104, static_cast<std::uint16_t>(pi));
  s.set_word(sim::dm, 105, static_cast<std::uint16_t>(pi >> 16));
  const auto e = std::bit_cast<std::uint64_t>(2.75);
  for (int i = 0; i < 4; ++i) s.set_word(sim::dm, static_cast<std::uint16_t>(110 + i), static_cast<std::uint16_t>(e >> (16 * i)));
  s.set_word(sim::dm, 120, 300);                                  // s8 clamps to 127
  s.set_word(sim::dm, 121, static_cast<std::uint16_t>(-300));     // and to -128
  s.set_word(sim::dm, 122, 0xFFFE);                               // s16
  s.set_word(sim::dm, 123, 0x1FF);                                // u8 keeps the low byte

  const std::vector<std::uint64_t> outputs{
      encode_tag(af::cio, 10, vt::boolean, 5), encode_tag(af::w, 3, vt::u16),   encode_tag(af::h, 4, vt::u16),
      encode_tag(af::a, 0, vt::u16),           encode_tag(af::dm, 100, vt::u32), encode_tag(af::dm, 102, vt::s32),
      encode_tag(af::dm, 104, vt::real),       encode_tag(af::dm, 110, vt::lreal), encode_tag(af::dm, 120, vt::s8),
      encode_tag(af::dm, 121, vt::s8),         encode_tag(af::dm, 122, vt::s16), encode_tag(af::dm, 123, vt::u8),
      encode_tag(af::cio_alias, 10, vt::boolean, 4)};
  const std::vector<std::uint64_t> inputs{
      encode_tag(af::cio, 20, vt::boolean, 3), encode_tag(af::w, 30, vt::u8),      encode_tag(af::h, 40, vt::s8),
      encode_tag(af::a, 448, vt::u16),         encode_tag(af::dm, 200, vt::s16),   encode_tag(af::dm, 210, vt::u32),
      encode_tag(af::dm, 220, vt::s32),        encode_tag(af::dm, 230, vt::real),  encode_tag(af::dm, 240, vt::lreal),
      encode_tag(af::cio_alias, 21, vt::boolean, 0), encode_tag(af::w, 31, vt::boolean, 15)};
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind(inputs, outputs));
  EXPECT_TRUE(session.eventually_seen(
      {1, 0xABCD, 0xBEEF, 0x1234, 0x12345678, -3, bits_of(3.5f), bits_of(2.75f), 127, 0x80, 0xFFFE, 0xFF, 0}))
      << ::testing::PrintToString(session.view());

  ASSERT_TRUE(session.deliver({{0, 1}, {1, 0x1C5}, {2, -2}, {3, 0xBEEF}, {4, -5}, {5, 0x12345678}, {6, -7},
                               {7, bits_of(-1.5f)}, {8, bits_of(6.25f)}, {9, 1}, {10, 1}}));
  EXPECT_TRUE(eventually([&] { return s.bit(sim::cio, 20, 3); }));
  EXPECT_TRUE(eventually([&] { return s.word(sim::w, 30) == 0xC5; }));
  EXPECT_TRUE(eventually([&] { return s.word(sim::h, 40) == 0xFFFE; })) << "signed 8-bit is sign-extended";
  EXPECT_TRUE(eventually([&] { return s.word(sim::a, 448) == 0xBEEF; }));
  EXPECT_TRUE(eventually([&] { return s.word(sim::dm, 200) == 0xFFFB; }));
  EXPECT_TRUE(eventually([&] { return s.word(sim::dm, 210) == 0x5678 && s.word(sim::dm, 211) == 0x1234; }));
  EXPECT_TRUE(eventually([&] { return s.word(sim::dm, 220) == 0xFFF9 && s.word(sim::dm, 221) == 0xFFFF; }));
  const auto neg = static_cast<std::uint32_t>(bits_of(-1.5f));
  EXPECT_TRUE(eventually([&] {
    return s.word(sim::dm, 230) == static_cast<std::uint16_t>(neg) && s.word(sim::dm, 231) == (neg >> 16);
  }));
  const auto d = std::bit_cast<std::uint64_t>(6.25);
  EXPECT_TRUE(eventually([&] {
    for (int i = 0; i < 4; ++i)
      if (s.word(sim::dm, static_cast<std::uint16_t>(240 + i)) != static_cast<std::uint16_t>(d >> (16 * i))) return false;
    return true;
  }));
  EXPECT_TRUE(eventually([&] { return s.bit(sim::cio, 21, 0) && s.bit(sim::w, 31, 15); }));
  EXPECT_TRUE(session.status());
}

TEST_F(FinsDriver, OutputsAreReadTwentyFourToARequest) {
  auto& s = simulator();
  std::vector<std::uint64_t> outputs;
  std::vector<std::int32_t> expected;
  // A word apart each: no run of words to read at once.
  for (std::uint32_t i = 0; i < 25; ++i) {
    outputs.push_back(encode_tag(af::dm, 1000 + 2 * i, vt::u16));
    s.set_word(sim::dm, static_cast<std::uint16_t>(1000 + 2 * i), static_cast<std::uint16_t>(7 * i));
    expected.push_back(static_cast<std::int32_t>(7 * i));
  }
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind({}, outputs));
  ASSERT_TRUE(session.eventually_seen(expected));
  auto sizes = read_sizes(s);
  ASSERT_GE(sizes.size(), 2u);
  for (std::size_t i = 0; i + 1 < sizes.size(); i += 2) {
    EXPECT_EQ(sizes[i], 24u);
    EXPECT_EQ(sizes[i + 1], 1u);
  }

  outputs.pop_back();
  expected.pop_back();
  ASSERT_TRUE(session.bind({}, outputs));
  const std::size_t before = read_sizes(s).size();
  ASSERT_TRUE(eventually([&] { return read_sizes(s).size() >= before + 4; }));
  sizes = read_sizes(s);
  // The request in flight at the rebinding may still be of the old list.
  for (std::size_t i = before + 2; i < sizes.size(); ++i) EXPECT_EQ(sizes[i], 24u) << i;
}

TEST_F(FinsDriver, WideOutputsTakeTheirElementsAndSkippedTypesKeepTheirSlots) {
  auto& s = simulator();
  s.set_word(sim::dm, 0, 11);
  s.set_word(sim::dm, 1, 22);
  s.set_word(sim::dm, 10, 0x3FF0);  // LREAL 1.0 ends in its fourth word
  s.set_word(sim::dm, 13, 0x3FF0);
  const std::vector<std::uint64_t> outputs{encode_tag(af::dm, 0, 0), encode_tag(af::dm, 0, vt::u16),
                                           encode_tag(af::dm, 1, 10), encode_tag(af::dm, 10, vt::lreal),
                                           encode_tag(af::dm, 1, vt::u16)};
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind({}, outputs));
  EXPECT_TRUE(session.eventually_seen({0, 11, 0, bits_of(1.0f), 22})) << ::testing::PrintToString(session.view());
  const auto sizes = read_sizes(s);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.back(), 6u) << "1 + 4 + 1 elements, nothing for the skipped types";
}

TEST_F(FinsDriver, UnchangedInputsAreNotSentAgain) {
  auto& s = simulator();
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind({encode_tag(af::dm, 50, vt::u16), encode_tag(af::dm, 51, vt::u16)},
                           {encode_tag(af::dm, 0, vt::u16)}));
  ASSERT_TRUE(eventually([&] { return s.requests(sim::memory_area_write) == 2; })) << "each new binding once";
  ASSERT_TRUE(session.deliver({{0, 5}}));
  ASSERT_TRUE(eventually([&] { return s.word(sim::dm, 50) == 5; }));
  const std::size_t reads = s.requests(sim::multiple_read);
  ASSERT_TRUE(eventually([&] { return s.requests(sim::multiple_read) >= reads + 5; }));
  EXPECT_EQ(s.requests(sim::memory_area_write), 3u);
}

TEST_F(FinsDriver, AnErrorEndCodeDisconnectsAndANewConnectRecovers) {
  auto& s = simulator();
  s.set_word(sim::dm, 9, 99);
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind({}, {encode_tag(af::dm, 9, vt::u16)}));
  ASSERT_TRUE(session.eventually_seen({99}));
  s.set_end_code(0x1103);
  EXPECT_TRUE(eventually_down());
  s.set_end_code(0);
  s.set_word(sim::dm, 9, 100);
  EXPECT_FALSE(session.status()) << "a driver that disconnected itself stays so";
  ASSERT_TRUE(connect_fins(s.port()));
  EXPECT_TRUE(session.status());
  EXPECT_TRUE(session.eventually_seen({100})) << "bindings survive the disconnection";
}

TEST_F(FinsDriver, ASilentControllerDisconnectsAndRecoversOnConnect) {
  auto& s = simulator();
  s.set_word(sim::dm, 3, 33);
  ASSERT_TRUE(connect_fins(s.port()));
  driver().set_response_timeout(std::chrono::milliseconds(200));
  ASSERT_TRUE(connect_fins(s.port())) << "the shorter time-out applies from this connection";
  ASSERT_TRUE(session.bind({encode_tag(af::dm, 4, vt::u16)}, {encode_tag(af::dm, 3, vt::u16)}));
  ASSERT_TRUE(session.eventually_seen({33}));
  s.set_silent(true);
  ASSERT_TRUE(session.deliver({{0, 44}}));
  EXPECT_TRUE(eventually_down());
  s.set_silent(false);
  s.set_word(sim::dm, 3, 34);
  ASSERT_TRUE(connect_fins(s.port()));
  EXPECT_TRUE(session.eventually_seen({34}));
  EXPECT_TRUE(eventually([&] { return s.word(sim::dm, 4) == 44; })) << "the input that failed is written again";
}

TEST_F(FinsDriver, AShortAnswerDisconnectsWithoutStoringValues) {
  auto& s = simulator();
  s.set_word(sim::dm, 3, 33);
  s.set_short_by(1);
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind({}, {encode_tag(af::dm, 3, vt::u16)}));
  EXPECT_TRUE(eventually_down());
  EXPECT_EQ(driver().outputs().read_count.load(), 0u);
}

TEST_F(FinsDriver, UnwritableOrUnknownAddressesDisconnect) {
  auto& s = simulator();
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind({encode_tag(af::a, 447, vt::boolean, 1)}, {}));
  EXPECT_TRUE(eventually_down()) << "auxiliary word 447 is read-only";
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind({}, {encode_tag(af::w, 512, vt::u16)}));
  EXPECT_TRUE(eventually_down()) << "W has 512 words";
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind({}, {encode_tag(7, 1, vt::u16)}));
  EXPECT_TRUE(eventually_down()) << "area 7 names no area";
  EXPECT_EQ(s.requests(sim::memory_area_write) + s.requests(sim::multiple_read), 0u);
  // Good addresses are bound before the reconnection: a scan started over the
  // bad table would fail again before a later binding arrived.
  ASSERT_TRUE(session.bind({encode_tag(af::a, 448, vt::boolean, 1)}, {encode_tag(af::a, 0, vt::u16)}));
  ASSERT_TRUE(connect_fins(s.port()));
  EXPECT_TRUE(eventually([&] { return s.requests(sim::multiple_read) >= 3; }));
  EXPECT_TRUE(session.status());
}

TEST_F(FinsDriver, AnUnknownModelConnectsButCannotAddressTags) {
  auto& s = simulator("C200HX");
  ASSERT_TRUE(connect_fins(s.port()));
  ASSERT_TRUE(session.bind({}, {}));
  ASSERT_TRUE(eventually([&] { return driver().outputs().read_count.load() >= 3; })) << "no tags: scanning";
  EXPECT_TRUE(session.status());
  ASSERT_TRUE(session.bind({}, {encode_tag(af::dm, 1, vt::u16)}));
  EXPECT_TRUE(eventually_down());
}

TEST_F(FinsDriver, AHostNameIsRefusedAndParametersComeBack) {
  auto& s = simulator();
  plc::connection_params by_name = connection(plc::protocol::fins, s.port(), 0.01);
  by_name.host = "localhost";
  EXPECT_FALSE(session.connect(by_name));
  EXPECT_EQ(s.requests(sim::controller_data_read), 0u);
  ASSERT_TRUE(connect_fins(s.port(), 0.25));
  const plc::connection_params p = driver().parameters();
  EXPECT_EQ(p.protocol, plc::protocol::fins);
  EXPECT_EQ(p.host, host);
  EXPECT_EQ(p.port, s.port());
  EXPECT_EQ(p.local_node, 1);
  EXPECT_EQ(p.remote_node, 10);
  EXPECT_EQ(p.scan_rate, 0.25);
  const auto req = s.received().front();
  EXPECT_EQ(req[4], 10) << "DA1";
  EXPECT_EQ(req[7], 1) << "SA1";
}

}  // namespace
}  // namespace kvt::test
