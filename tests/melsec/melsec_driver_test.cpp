// The MELSEC driver end to end: "ServerConnect" (protocol 7, the host as
// "127.0.0.1:PORT"), "BindingTables" with descriptors, "ServerStatus", values
// through the signal buffer against the exchange thread, and the simulator
// as the controller.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "melsec/melsec_simulator.hpp"
#include "plc/value_type.hpp"
#include "support/driver_session.hpp"
#include "support/eventually.hpp"

namespace kvt::test {
namespace {

namespace vt = kvt::plc::value_type;
using std::chrono::seconds;

// Device codes of the descriptor.
enum code : std::uint32_t { X = 1, Y = 2, M = 3, TN = 10, CN = 19, D = 23, W = 24, SD = 27 };

std::uint64_t device(std::uint32_t type, std::uint32_t code, std::uint32_t number, std::uint32_t bit = 0) {
  return plc::make_tag(type, static_cast<std::uint64_t>(code) << 31 | static_cast<std::uint64_t>(number) << 4 | bit);
}
std::int32_t bits_of(float f) { return plc::float_to_slot(f); }

class MelsecDriver : public ::testing::Test {
 protected:
  std::string host() const { return "127.0.0.1:" + std::to_string(controller.port()); }
  ::testing::AssertionResult connect_melsec() {
    plc::connection_params p = connection(plc::protocol::melsec, 0);
    p.host = host();
    p.unit_id = 1;
    return session.connect(p);
  }
  ::testing::AssertionResult bind(const std::vector<std::uint64_t>& inputs, const std::vector<std::uint64_t>& outputs) {
    binding_tables t;
    t.host = host();
    t.inputs.tags = inputs;
    t.outputs.tags = outputs;
    return session.bind(t);
  }

  melsec_simulator controller;
  driver_session session{seconds(20)};
};

TEST_F(MelsecDriver, EveryValueTypeAndDeviceKindCrossesBothWays) {
  auto& s = controller;
  s.set_word("D", 10, 0x0008);
  s.set_word("D", 20, 0x12AB);
  s.set_word("W", 0x30, 0xBEEF);  // W and X/Y numbers are read as hexadecimal
  s.set_word("D", 200, 0x5678);   // low word first
  s.set_word("D", 201, 0x1234);
  s.set_word("SD", 5, 0xFF85);
  s.set_word("TN", 3, 250);
  s.set_word("CN", 4, 7);
  s.set_bit("M", 100, true);
  s.set_bit("X", 0x32, true);
  const std::uint32_t real = static_cast<std::uint32_t>(bits_of(-12.5f));
  s.set_word("D", 300, static_cast<std::uint16_t>(real));
  s.set_word("D", 301, static_cast<std::uint16_t>(real >> 16));
  s.set_word("D", 400, 0xFFFF);
  s.set_word("D", 401, 0xFFFF);
  const std::vector<std::uint64_t> outputs = {
      device(vt::boolean, D, 10, 3), device(vt::u8, D, 20),  device(vt::u16, W, 30),  device(vt::u32, D, 200),
      device(vt::s16, SD, 5),        device(vt::s16, TN, 3), device(vt::u16, CN, 4), device(vt::boolean, M, 100),
      device(vt::boolean, X, 32),    device(vt::real, D, 300),
      device(vt::s16, 0, 999),          // not a device: no entry, its slot stays
      device(vt::s32, D, 400),       device(vt::lreal, D, 20)};  // not carried: its slot stays
  ASSERT_TRUE(connect_melsec());
  ASSERT_TRUE(bind({}, outputs));
  EXPECT_TRUE(session.eventually_seen({1, 0xAB, 0xBEEF, 0x12345678, 0xFF85, 250, 7, 1,
                                       1, bits_of(-12.5f), 0, -1, 0}))
      << ::testing::PrintToString(session.view());

  const std::vector<std::uint64_t> inputs = {
      device(vt::boolean, M, 200),  device(vt::boolean, M, 201), device(vt::u8, D, 500),    device(vt::u16, W, 0x40),
      device(vt::u32, D, 510),      device(vt::s8, D, 520),      device(vt::s16, D, 521),   device(vt::s32, D, 530),
      device(vt::real, D, 540),     device(vt::boolean, Y, 16),  device(vt::s16, TN, 9),    device(vt::u16, SD, 100),
      device(vt::boolean, D, 550, 4)};
  ASSERT_TRUE(bind(inputs, {}));
  ASSERT_TRUE(session.deliver({{0, 5},
                               {1, 0},
                               {2, 0x1FF},
                               {3, 0xCAFE},
                               {4, static_cast<std::int32_t>(0xDEADBEEF)},
                               {5, -3},
                               {6, -30000},
                               {7, -7654321},
                               {8, bits_of(2.5f)},
                               {9, 1},
                               {10, 1500},
                               {11, 0xABCD},
                               {12, 1}}));
  // Bits and words may go out in separate requests of one write.
  EXPECT_TRUE(eventually([&] { return s.word("D", 550) == 0x10 && s.bit("M", 200) && s.bit("Y", 0x16); }));
  EXPECT_FALSE(s.bit("M", 201));
  EXPECT_EQ(s.word("D", 500), 0x1FF);  // the slot's low 16 bits
  EXPECT_EQ(s.word("W", 0x64), 0xCAFE);  // number 64 in decimal names W64, word 0x64
  EXPECT_EQ(s.word("D", 510), 0xBEEF);
  EXPECT_EQ(s.word("D", 511), 0xDEAD);
  EXPECT_EQ(s.word("D", 520), 0xFFFD);
  EXPECT_EQ(s.word("D", 521), static_cast<std::uint16_t>(-30000));
  EXPECT_EQ(static_cast<std::uint32_t>(s.word("D", 531)) << 16 | s.word("D", 530), static_cast<std::uint32_t>(-7654321));
  EXPECT_EQ(static_cast<std::uint32_t>(s.word("D", 541)) << 16 | s.word("D", 540),
            static_cast<std::uint32_t>(bits_of(2.5f)));
  EXPECT_EQ(s.word("TN", 9), 1500);
  EXPECT_EQ(s.word("SD", 100), 0xABCD);
}

TEST_F(MelsecDriver, OnlyChangedInputsAreWrittenAndALostControllerReconnects) {
  ASSERT_TRUE(connect_melsec());
  ASSERT_TRUE(bind({device(vt::u16, D, 1), device(vt::u16, D, 2)}, {device(vt::u16, D, 3)}));
  controller.set_word("D", 3, 11);
  ASSERT_TRUE(session.eventually_seen({11}));
  ASSERT_TRUE(eventually([&] { return controller.requests(0x1402) > 0; }));  // the new binding's zeros
  const std::size_t writes = controller.requests(0x1402);
  controller.set_word("D", 2, 77);
  ASSERT_TRUE(session.deliver({{0, 9}}));
  ASSERT_TRUE(eventually([&] { return controller.word("D", 1) == 9; }));
  EXPECT_EQ(controller.word("D", 2), 77);  // not changed, not written
  EXPECT_EQ(controller.requests(0x1402), writes + 1);

  controller.stop();
  EXPECT_TRUE(eventually([&] { return !session.status(host()); }, seconds(20)));
  controller.start();
  controller.set_word("D", 3, 12);
  ASSERT_TRUE(connect_melsec());
  ASSERT_TRUE(bind({}, {device(vt::u16, D, 3)}));
  EXPECT_TRUE(session.eventually_seen({12}));
  EXPECT_TRUE(session.status(host()));
}

}  // namespace
}  // namespace kvt::test
