// The Modbus TCP driver against real servers on loopback: libmodbus's
// server side and, as an independent peer, pymodbus. The page's side is
// played for real: commands over the command server's WebSocket, values
// through the signal buffer against the exchange thread.
#include <gtest/gtest.h>

#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cmath>
#include <cstring>

#include "demo/controllers/modbus_server.hpp"
#include "plc/modbus/tcp/driver.hpp"
#include "plc/modbus/tcp/tag.hpp"
#include "support/child_process.hpp"
#include "support/driver_session.hpp"
#include "support/exchange_fixture.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

namespace mb = kvt::plc::modbus::tcp;
namespace vt = kvt::plc::value_type;
using mb::encode_tag;

struct binding {
  std::vector<std::uint64_t> inputs;
  std::vector<std::uint64_t> outputs;
};

// A Modbus driver connected through the command server with `b` bound as
// id 1; throws when either command is refused.
mb::driver& add_modbus_driver(driver_session& session, std::uint16_t port, std::int32_t flags, const binding& b,
                              double scan_rate = 0.002) {
  plc::connection_params params = connection(plc::protocol::modbus_tcp, port, scan_rate);
  params.unit_id = 1;
  params.flags = flags;
  if (const auto connected = session.connect(params); !connected) throw std::runtime_error(connected.message());
  if (const auto bound = session.bind(b.inputs, b.outputs); !bound) throw std::runtime_error(bound.message());
  return session.driver<mb::driver>();
}

std::int32_t bits_of(float f) { return plc::float_to_slot(f); }

TEST(ModbusDriver, EveryAreaAndTypeIsReadIntoTheSignalBuffer) {
  modbus_test_server server;
  // Coils 0..: BOOL, 8-bit group at 10, 16-bit at 20, 32-bit at 40.
  server.set_coil(1, true);
  for (int j : {0, 2, 7}) server.set_coil(10 + j, true);  // 0b1000'0101
  for (int j : {1, 15}) server.set_coil(20 + j, true);    // 0x8002
  for (int j : {0, 31}) server.set_coil(40 + j, true);    // 0x80000001
  server.set_discrete_input(5, true);
  server.set_holding_register(100, 0x0010);  // bit 4
  server.set_holding_register(101, 0xABCD);  // 8-bit: low byte 0xCD
  server.set_holding_register(102, 0xFFFE);  // s16 -2
  server.set_holding_register(110, 0x5678);  // u32 low word first
  server.set_holding_register(111, 0x1234);
  std::uint32_t pi_bits;
  const float pi = 3.14159f;
  std::memcpy(&pi_bits, &pi, 4);
  server.set_holding_register(120, static_cast<std::uint16_t>(pi_bits & 0xFFFF));  // REAL low word first
  server.set_holding_register(121, static_cast<std::uint16_t>(pi_bits >> 16));
  server.set_input_register(7, 0x00FF);
  server.set_holding_register(130, 99);  // LREAL is not handled: stays 0

  const binding b{{},
                  {encode_tag(mb::area::coils, 1, vt::boolean), encode_tag(mb::area::coils, 10, vt::u8),
                   encode_tag(mb::area::coils, 20, vt::u16), encode_tag(mb::area::coils, 40, vt::u32),
                   encode_tag(mb::area::discrete_inputs, 5, vt::boolean),
                   encode_tag(mb::area::holding_registers, 100, vt::boolean, 4),
                   encode_tag(mb::area::holding_registers, 101, vt::s8),
                   encode_tag(mb::area::holding_registers, 102, vt::s16),
                   encode_tag(mb::area::holding_registers, 110, vt::u32),
                   encode_tag(mb::area::holding_registers, 120, vt::real),
                   encode_tag(mb::area::input_registers, 7, vt::u16),
                   encode_tag(mb::area::holding_registers, 130, vt::lreal),
                   encode_tag(mb::area::discrete_inputs, 6, vt::u8)}};
  driver_session session;
  auto& d = add_modbus_driver(session, server.port(), 0, b);
  ASSERT_TRUE(wait_reads(d));
  EXPECT_EQ(session.outputs_seen(),
            (std::vector<std::int32_t>{1, 0x85, 0x8002, static_cast<std::int32_t>(0x80000001u), 1, 1, 0xCD, 0xFFFE,
                                       0x12345678, bits_of(pi), 0xFF, 0, 0}));
}

TEST(ModbusDriver, HighWordFirstReadsAndWritesTheOtherOrder) {
  modbus_test_server server;
  server.set_input_register(0, 0x1234);  // REAL in two input registers, high word first
  server.set_input_register(1, 0x5678);
  const binding b{{encode_tag(mb::area::holding_registers, 10, vt::s32)},
                  {encode_tag(mb::area::input_registers, 0, vt::real)}};
  driver_session session;
  auto& d = add_modbus_driver(session, server.port(), mb::flag::high_word_first, b);
  ASSERT_TRUE(wait_reads(d));
  EXPECT_EQ(session.outputs_seen(), (std::vector<std::int32_t>{0x12345678}));
  ASSERT_TRUE(session.deliver({{0, static_cast<std::int32_t>(0xCAFEBABEu)}}));
  EXPECT_TRUE(eventually([&] { return server.holding_register(10) == 0xCAFE && server.holding_register(11) == 0xBABE; }));
}

TEST(ModbusDriver, InputsAreWrittenToCoilsAndHoldingRegisters) {
  modbus_test_server server;
  server.set_holding_register(10, 0x0101);
  server.set_holding_register(11, 0xFFFF);
  server.set_holding_register(12, 0xFF00);
  server.set_input_register(3, 5);
  const binding b{{encode_tag(mb::area::holding_registers, 10, vt::boolean, 3),  // read-modify-write
                   encode_tag(mb::area::holding_registers, 11, vt::boolean, 0),  // cleared bit
                   encode_tag(mb::area::holding_registers, 12, vt::u8),          // high byte becomes 0
                   encode_tag(mb::area::holding_registers, 13, vt::s16),
                   encode_tag(mb::area::holding_registers, 14, vt::real),        // low word first
                   encode_tag(mb::area::coils, 0, vt::boolean),
                   encode_tag(mb::area::coils, 8, vt::u16),
                   encode_tag(mb::area::input_registers, 3, vt::u16),            // read-only: never written
                   encode_tag(mb::area::discrete_inputs, 3, vt::boolean)},
                  {}};
  driver_session session;
  auto& d = add_modbus_driver(session, server.port(), 0, b);
  ASSERT_TRUE(wait_reads(d));
  ASSERT_TRUE(session.deliver(
      {{0, 1}, {1, 0}, {2, 0x1AB}, {3, -3}, {4, bits_of(-1.5f)}, {5, 7}, {6, 0x8001}, {7, 1234}, {8, 1}}));
  EXPECT_TRUE(eventually([&] { return server.holding_register(10) == 0x0109; })) << server.holding_register(10);
  EXPECT_TRUE(eventually([&] { return server.holding_register(11) == 0xFFFE; }));
  EXPECT_TRUE(eventually([&] { return server.holding_register(12) == 0x00AB; }));
  EXPECT_TRUE(eventually([&] { return server.holding_register(13) == 0xFFFD; }));
  std::uint32_t bits;
  const float f = -1.5f;
  std::memcpy(&bits, &f, 4);
  EXPECT_TRUE(eventually([&] {
    return server.holding_register(14) == (bits & 0xFFFF) && server.holding_register(15) == (bits >> 16);
  }));
  EXPECT_TRUE(eventually([&] { return server.coil(0) && server.coil(8) && server.coil(23) && !server.coil(9); }));
  EXPECT_TRUE(d.connected()) << "inputs bound to read-only areas are skipped, not failures";
}

TEST(ModbusDriver, MaskWriteChangesOnlyItsBit) {
  modbus_test_server server;
  server.set_holding_register(10, 0x00F0);
  const binding b{{encode_tag(mb::area::holding_registers, 10, vt::boolean, 3),
                   encode_tag(mb::area::holding_registers, 10, vt::boolean, 4)},
                  {}};
  driver_session session;
  auto& d = add_modbus_driver(session, server.port(), mb::flag::mask_write, b);
  ASSERT_TRUE(wait_reads(d));
  // Freshly bound inputs are written once even though they are 0: bit 4 clears.
  EXPECT_TRUE(eventually([&] { return server.holding_register(10) == 0x00E0; })) << server.holding_register(10);
  ASSERT_TRUE(session.deliver({{0, 1}}));
  EXPECT_TRUE(eventually([&] { return server.holding_register(10) == 0x00E8; })) << server.holding_register(10);
}

TEST(ModbusDriver, AnExceptionAnswerOrALostServerDisconnects) {
  modbus_test_server server(100);
  {
    driver_session session;
    auto& d =
        add_modbus_driver(session, server.port(), 0, {{}, {encode_tag(mb::area::holding_registers, 500, vt::u16)}});
    EXPECT_TRUE(eventually([&] { return !d.connected(); })) << "illegal data address ends the scan";
    EXPECT_EQ(d.outputs().read_count.load(), 0u);
  }
  driver_session session;
  auto& d = add_modbus_driver(session, server.port(), 0, {{}, {encode_tag(mb::area::holding_registers, 5, vt::u16)}});
  ASSERT_TRUE(wait_reads(d));
  server.stop();
  EXPECT_TRUE(eventually([&] { return !d.connected(); }));
  EXPECT_FALSE(d.connect()) << "nothing listens";
  server.start();
  server.set_holding_register(5, 4242);
  ASSERT_TRUE(d.connect()) << "the same port again, bindings kept";
  ASSERT_TRUE(wait_reads(d));
  EXPECT_EQ(session.outputs_seen(), (std::vector<std::int32_t>{4242}));
}

TEST(ModbusDriver, ClosedPortsAndBadHostsRefuseTheConnection) {
  mb::driver d;
  plc::connection_params p;
  p.host = "127.0.0.1";
  p.port = free_port();
  d.configure(p);
  EXPECT_FALSE(d.connect());
  EXPECT_FALSE(d.connected());
  p.host = "no such host name.invalid";
  d.configure(p);
  EXPECT_FALSE(d.connect());
  const plc::connection_params back = d.parameters();
  EXPECT_EQ(back.protocol, plc::protocol::modbus_tcp);
  EXPECT_EQ(back.host, p.host);
  EXPECT_EQ(back.port, p.port);
}

TEST(ModbusDriver, WorksWithPymodbusAsTheServer) {
  const auto port = free_port();
  child_process server({"/usr/bin/python3", std::string(KVT_SOURCE_DIR) + "/tests/peers/pymodbus_server.py",
                        std::to_string(port)});
  driver_session session;
  const binding b{{encode_tag(mb::area::holding_registers, 20, vt::u32), encode_tag(mb::area::coils, 7, vt::boolean)},
                  {encode_tag(mb::area::holding_registers, 10, vt::u32), encode_tag(mb::area::input_registers, 5, vt::s16),
                   encode_tag(mb::area::coils, 3, vt::boolean), encode_tag(mb::area::discrete_inputs, 4, vt::boolean),
                   encode_tag(mb::area::holding_registers, 20, vt::u32), encode_tag(mb::area::coils, 7, vt::boolean)}};
  mb::driver* d = nullptr;
  ASSERT_TRUE(eventually(
      [&] {
        try {
          d = &add_modbus_driver(session, port, 0, b);
          return true;
        } catch (const std::exception&) {
          return false;
        }
      },
      std::chrono::seconds(15)))
      << server.stderr_text();
  ASSERT_TRUE(wait_reads(*d));
  ASSERT_TRUE(session.deliver({{0, 0x00C0FFEE}, {1, 1}}));
  EXPECT_TRUE(session.eventually_seen({0x56781234, 777, 1, 1, 0x00C0FFEE, 1}))
      << ::testing::PrintToString(session.view());
}

TEST(ModbusDriver, TheLinkHasNagleOff) {
  // libmodbus sets TCP_NODELAY on its sockets; without it small requests
  // would wait for the peer's delayed acknowledgement.
  modbus_test_server server;
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", server.port());
  ASSERT_EQ(modbus_connect(ctx), 0);
  int on = 0;
  socklen_t len = sizeof on;
  ASSERT_EQ(getsockopt(modbus_get_socket(ctx), IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
  EXPECT_NE(on, 0);
  modbus_close(ctx);
  modbus_free(ctx);
}

}  // namespace
}  // namespace kvt::test
