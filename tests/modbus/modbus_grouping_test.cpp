// Requests that carry several signals, against libmodbus's server on
// loopback: the values read and written are the same, to the byte, as with
// one request per signal, only the number of requests drops; a server that
// refuses large requests still exchanges every value.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "demo/controllers/modbus_server.hpp"
#include "plc/modbus/tcp/driver.hpp"
#include "plc/modbus/tcp/tag.hpp"
#include "support/driver_session.hpp"
#include "support/exchange_fixture.hpp"

namespace kvt::test {
namespace {

namespace mb = kvt::plc::modbus::tcp;
namespace vt = kvt::plc::value_type;
using mb::encode_tag;

constexpr std::uint32_t coils = mb::area::coils;
constexpr std::uint32_t discrete = mb::area::discrete_inputs;
constexpr std::uint32_t holding = mb::area::holding_registers;
constexpr std::uint32_t input_regs = mb::area::input_registers;

std::int32_t bits_of(float f) { return plc::float_to_slot(f); }
std::uint16_t low(std::int32_t v) { return static_cast<std::uint16_t>(static_cast<std::uint32_t>(v) & 0xFFFF); }
std::uint16_t high(std::int32_t v) { return static_cast<std::uint16_t>(static_cast<std::uint32_t>(v) >> 16); }

// What the server holds before a test: registers and coils by address.
struct seed {
  std::uint32_t area;
  int address;
  std::uint16_t value;  // a register, or 0/1 for a coil
};

void plant(modbus_test_server& server, const std::vector<seed>& seeds) {
  for (const seed& s : seeds) {
    switch (s.area) {
      case coils: server.set_coil(s.address, s.value != 0); break;
      case discrete: server.set_discrete_input(s.address, s.value != 0); break;
      case holding: server.set_holding_register(s.address, s.value); break;
      default: server.set_input_register(s.address, s.value); break;
    }
  }
}

// Coils from `first`, bit j of `value` in coil first + j.
void plant_bits(std::vector<seed>& seeds, std::uint32_t area, int first, int width, std::uint32_t value) {
  for (int j = 0; j < width; ++j) seeds.push_back({area, first + j, static_cast<std::uint16_t>((value >> j) & 1u)});
}

mb::driver& connect_modbus(driver_session& session, std::uint16_t port, std::int32_t flags) {
  plc::connection_params params = connection(plc::protocol::modbus_tcp, port, 0.002);
  params.unit_id = 1;
  params.flags = flags;
  if (const auto connected = session.connect(params); !connected) throw std::runtime_error(connected.message());
  return session.driver<mb::driver>();
}

// Connects again with or without grouping and binds anew while no scan
// runs: every input is dirty once more, the outputs' view and read count
// start over. Returns the server's request count at the restart.
std::uint64_t restart(driver_session& session, mb::driver& d, const modbus_test_server& server, bool grouping,
                      const std::vector<std::uint64_t>& inputs, const std::vector<std::uint64_t>& outputs) {
  d.disconnect();
  d.set_grouping(grouping);
  const std::uint64_t requests = server.requests();
  if (!session.bind(inputs, outputs) || !d.connect()) throw std::runtime_error("no restart");
  return requests;
}

// Requests per read once the scan is stopped, since a restart without
// inputs: every cycle ends with its read phase, and each is counted.
double requests_per_cycle(mb::driver& d, const modbus_test_server& server, std::uint64_t requests_at_restart) {
  d.disconnect();
  const std::uint32_t cycles = d.outputs().read_count.load();
  return cycles == 0 ? 0.0 : static_cast<double>(server.requests() - requests_at_restart) / cycles;
}

struct output_case {
  std::uint64_t tag;
  std::int32_t expected;  // with the low word first
  const char* what;
};

TEST(ModbusGrouping, OutputsReadGroupedAreTheValuesReadOneByOne) {
  std::vector<seed> seeds{
      {holding, 0, 0x1234},  {holding, 1, 0xFFFE}, {holding, 2, 0x8008}, {holding, 3, 0xABCD},
      {holding, 4, 0x00FF},  {holding, 5, 0x5678}, {holding, 6, 0x1234}, {holding, 7, 0xFFFD},
      {holding, 8, 0xFFFF},  {holding, 9, low(bits_of(3.5f))},          {holding, 10, high(bits_of(3.5f))},
      {holding, 11, 0x1111}, {holding, 12, 0x0C0C}, {holding, 13, low(bits_of(-1.25f))},
      {holding, 14, high(bits_of(-1.25f))},         {holding, 20, 99},   {holding, 30, 30},
      {holding, 40, 0xBEEF}, {holding, 41, 0xDEAD}, {input_regs, 0, 7},  {input_regs, 1, 0x0080},
      {input_regs, 2, low(bits_of(2.5f))},          {input_regs, 3, high(bits_of(2.5f))},
      {coils, 0, 1},         {coils, 100, 1},       {coils, 101, 1},     {coils, 102, 0},
      {discrete, 0, 1},      {discrete, 1, 0}};
  plant_bits(seeds, coils, 1, 8, 0x85);
  plant_bits(seeds, coils, 9, 16, 0x8002);
  plant_bits(seeds, coils, 25, 32, 0x80000001u);
  plant_bits(seeds, discrete, 2, 8, 0x81);

  std::vector<output_case> table{
      {encode_tag(holding, 0, vt::u16), 0x1234, "run 0-10: 16-bit"},
      {encode_tag(holding, 1, vt::s16), 0xFFFE, "signed 16-bit"},
      {encode_tag(holding, 2, vt::boolean, 3), 1, "bits in one register"},
      {encode_tag(holding, 2, vt::boolean, 15), 1, ""},
      {encode_tag(holding, 2, vt::boolean, 4), 0, ""},
      {encode_tag(holding, 3, vt::u8), 0xCD, "8-bit: the low byte"},
      {encode_tag(holding, 4, vt::s8), 0xFF, ""},
      {encode_tag(holding, 5, vt::u32), 0x12345678, "two registers"},
      {encode_tag(holding, 7, vt::s32), -3, ""},
      {encode_tag(holding, 9, vt::real), bits_of(3.5f), ""},
      {encode_tag(holding, 12, vt::u16), 0x0C0C, "after a gap at 11: run 12-14"},
      {encode_tag(holding, 13, vt::real), bits_of(-1.25f), ""},
      {encode_tag(holding, 20, vt::lreal), 0, "not carried: no request, stays 0"},
      {encode_tag(holding, 30, vt::u16), 30, "alone"},
      {encode_tag(holding, 40, vt::u32), static_cast<std::int32_t>(0xDEADBEEFu), "overlapping: run 40-41"},
      {encode_tag(holding, 41, vt::u16), 0xDEAD, ""},
      {encode_tag(input_regs, 0, vt::u16), 7, "input registers 0-3"},
      {encode_tag(input_regs, 1, vt::s8), 0x80, ""},
      {encode_tag(input_regs, 2, vt::real), bits_of(2.5f), ""},
      {encode_tag(coils, 0, vt::boolean), 1, "coils 0-56"},
      {encode_tag(coils, 1, vt::u8), 0x85, ""},
      {encode_tag(coils, 9, vt::s16), 0x8002, ""},
      {encode_tag(coils, 25, vt::u32), static_cast<std::int32_t>(0x80000001u), ""},
      {encode_tag(coils, 100, vt::boolean), 1, "coils 100 and 102: a gap between"},
      {encode_tag(coils, 102, vt::boolean), 0, ""},
      {encode_tag(discrete, 0, vt::boolean), 1, "discrete inputs 0-9"},
      {encode_tag(discrete, 1, vt::boolean), 0, ""},
      {encode_tag(discrete, 2, vt::u8), 0x81, ""},
  };
  // 131 registers in a row: more than one request takes.
  for (int a = 200; a <= 330; ++a) {
    seeds.push_back({holding, a, static_cast<std::uint16_t>(3 * a + 1)});
    table.push_back({encode_tag(holding, static_cast<std::uint32_t>(a), vt::u16), 3 * a + 1, "200-330"});
  }
  // Registers 0-10, 12-14, 30, 40-41, 200-324, 325-330; input registers
  // 0-3; coils 0-56, 100, 102; discrete inputs 0-9.
  constexpr double grouped_requests = 11;
  const double single_requests = static_cast<double>(table.size() - 1);

  std::vector<std::uint64_t> outputs;
  std::vector<std::int32_t> expected;
  for (const output_case& c : table) {
    outputs.push_back(c.tag);
    expected.push_back(c.expected);
  }

  for (const std::int32_t flags : {0, mb::flag::high_word_first}) {
    SCOPED_TRACE(flags);
    modbus_test_server server;
    plant(server, seeds);
    driver_session session;
    mb::driver& d = connect_modbus(session, server.port(), flags);

    std::vector<std::int32_t> seen[2];
    double requests[2] = {};
    for (const bool grouping : {true, false}) {
      const std::uint64_t before = restart(session, d, server, grouping, {}, outputs);
      ASSERT_TRUE(wait_reads(d, 3));
      if (flags == 0) {
        EXPECT_TRUE(session.eventually_seen(expected)) << ::testing::PrintToString(session.view());
      } else {
        ASSERT_TRUE(eventually([&] {
          session.outputs_seen();
          return session.view().size() == outputs.size() && session.view()[0] == 0x1234;
        }));
        ASSERT_TRUE(wait_reads(d, 2));
        session.outputs_seen();
      }
      seen[grouping ? 0 : 1] = session.view();
      requests[grouping ? 0 : 1] = requests_per_cycle(d, server, before);
    }
    ASSERT_EQ(seen[0].size(), outputs.size());
    ASSERT_EQ(seen[1].size(), outputs.size());
    EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(std::int32_t)), 0)
        << ::testing::PrintToString(seen[0]) << "\n" << ::testing::PrintToString(seen[1]);
    EXPECT_EQ(requests[0], grouped_requests);
    EXPECT_EQ(requests[1], single_requests);
  }
}

// The server's coils 0-99 and holding registers 0-299, for comparing.
struct server_image {
  std::vector<std::uint16_t> registers;
  std::vector<bool> coil_states;
  bool operator==(const server_image&) const = default;
};

server_image image_of(const modbus_test_server& server) {
  server_image m;
  for (int a = 0; a < 300; ++a) m.registers.push_back(server.holding_register(a));
  for (int a = 0; a < 100; ++a) m.coil_states.push_back(server.coil(a));
  return m;
}

struct input_case {
  std::uint64_t tag;
  std::int32_t value;  // delivered to every input at once
  const char* what;
};

TEST(ModbusGrouping, InputsWrittenGroupedLeaveTheServerAsWrittenOneByOne) {
  std::vector<input_case> table{
      {encode_tag(holding, 0, vt::u16), 0xA001, "run 0-9"},
      {encode_tag(holding, 1, vt::s16), -2, ""},
      {encode_tag(holding, 2, vt::u8), 0x1C5, "8-bit: the high byte becomes 0"},
      {encode_tag(holding, 3, vt::s8), -3, ""},
      {encode_tag(holding, 4, vt::u32), 0x12345678, "two registers"},
      {encode_tag(holding, 6, vt::s32), -7, ""},
      {encode_tag(holding, 8, vt::real), bits_of(-1.5f), ""},
      {encode_tag(holding, 11, vt::u16), 0x0B0B, "after a gap at 10"},
      {encode_tag(holding, 20, vt::boolean, 3), 1, "bits of one register: read-modify-write, alone"},
      {encode_tag(holding, 20, vt::boolean, 9), 0, ""},
      {encode_tag(holding, 21, vt::u16), 0x2121, "next to the bits' register: alone"},
      {encode_tag(holding, 30, vt::lreal), bits_of(1.0f), "not carried: never written"},
      {encode_tag(input_regs, 5, vt::u16), 55, "read-only: never written"},
      {encode_tag(coils, 0, vt::boolean), 7, "coils 0-56"},
      {encode_tag(coils, 1, vt::u8), 0x85, ""},
      {encode_tag(coils, 9, vt::u16), 0x8001, ""},
      {encode_tag(coils, 25, vt::u32), static_cast<std::int32_t>(0xC0000003u), ""},
      {encode_tag(coils, 58, vt::boolean), 1, "after a gap at 57: coils 58-59"},
      {encode_tag(coils, 59, vt::boolean), 0, ""},
      {encode_tag(discrete, 3, vt::boolean), 1, "read-only: never written"},
  };
  for (int a = 100; a < 230; ++a)
    table.push_back({encode_tag(holding, static_cast<std::uint32_t>(a), vt::u16), 5 * a, "100-229"});
  // Registers 0-9, 11, 21, 100-222, 223-229; the bits a read and a write
  // each; coils 0-56, 58-59.
  constexpr std::uint64_t grouped_requests = 11;
  constexpr std::uint64_t single_requests = 7 + 1 + 4 + 1 + 130 + 4 + 2;

  // Set by the server around and between the inputs; writes must leave them.
  const std::vector<seed> neighbours{{holding, 10, 0x5A5A}, {holding, 20, 0x0101}, {holding, 22, 0x2222},
                                     {holding, 99, 0x9999}, {holding, 230, 0x2300}, {coils, 57, 1},
                                     {coils, 60, 1}};

  std::vector<std::uint64_t> inputs;
  pair_list all;
  for (std::uint32_t i = 0; i < table.size(); ++i) {
    inputs.push_back(table[i].tag);
    all.push_back({i, table[i].value});
  }

  modbus_test_server server;
  driver_session session;
  mb::driver& d = connect_modbus(session, server.port(), 0);
  server_image after[2];
  std::uint64_t requests[2] = {};
  std::uint64_t partial_requests[2] = {};
  for (const bool grouping : {true, false}) {
    SCOPED_TRACE(grouping);
    for (int a = 0; a < 300; ++a) server.set_holding_register(a, 0);
    for (int a = 0; a < 100; ++a) server.set_coil(a, false);
    plant(server, neighbours);
    restart(session, d, server, grouping, inputs, {});
    ASSERT_TRUE(wait_reads(d, 2)) << "every new binding written once";

    std::uint64_t before = server.requests();
    ASSERT_TRUE(session.deliver(all));
    ASSERT_TRUE(wait_reads(d, 2));
    requests[grouping ? 0 : 1] = server.requests() - before;

    // Part of a run: the inputs in between keep what the server put there.
    server.set_holding_register(1, 0x4444);
    server.set_holding_register(103, 0x1030);
    for (int c = 1; c <= 8; ++c) server.set_coil(c, c % 2 == 0);
    before = server.requests();
    ASSERT_TRUE(session.deliver({{0, 0x0A0A}, {2, 0x22}, {13, 0}, {15, 0x7FFF}, {20, 1}, {21, 2}, {22, 3}}));
    ASSERT_TRUE(wait_reads(d, 2));
    partial_requests[grouping ? 0 : 1] = server.requests() - before;
    EXPECT_EQ(server.holding_register(0), 0x0A0A);
    EXPECT_EQ(server.holding_register(1), 0x4444);
    EXPECT_EQ(server.holding_register(2), 0x22);
    EXPECT_EQ(server.holding_register(102), 3);
    EXPECT_EQ(server.holding_register(103), 0x1030);
    EXPECT_FALSE(server.coil(0));
    for (int c = 1; c <= 8; ++c) EXPECT_EQ(server.coil(c), c % 2 == 0) << c;
    EXPECT_TRUE(server.coil(9));
    EXPECT_FALSE(server.coil(24));

    after[grouping ? 0 : 1] = image_of(server);
    EXPECT_TRUE(d.connected());
  }

  EXPECT_TRUE(after[0] == after[1]) << "grouped and one by one leave the same registers and coils";
  const server_image& m = after[0];
  EXPECT_EQ(m.registers[3], 0x00FD) << "an 8-bit value clears the high byte";
  EXPECT_EQ(m.registers[4], 0x5678);
  EXPECT_EQ(m.registers[5], 0x1234);
  EXPECT_EQ(m.registers[8], low(bits_of(-1.5f)));
  EXPECT_EQ(m.registers[9], high(bits_of(-1.5f)));
  EXPECT_EQ(m.registers[20], 0x0109) << "bit 3 set, bit 9 cleared, bit 0 and 8 kept";
  EXPECT_EQ(m.registers[229], 5 * 229);
  EXPECT_EQ(m.registers[30], 0);
  for (const seed& n : neighbours) {
    if (n.area == holding && n.address != 20) {
      EXPECT_EQ(m.registers[static_cast<std::size_t>(n.address)], n.value);
    }
  }
  EXPECT_TRUE(m.coil_states[57] && m.coil_states[60] && m.coil_states[58] && !m.coil_states[59]);
  EXPECT_TRUE(m.coil_states[25] && m.coil_states[26] && m.coil_states[56] && !m.coil_states[27]);

  EXPECT_EQ(requests[0], grouped_requests);
  EXPECT_EQ(requests[1], single_requests);
  EXPECT_EQ(partial_requests[0], 5u) << "registers 100-102 in one request, the rest alone";
  EXPECT_EQ(partial_requests[1], 7u);
}

TEST(ModbusGrouping, AServerThatRefusesLargeRequestsStillExchangesEveryValue) {
  modbus_test_server server;
  server.refuse_beyond(4);
  std::vector<std::uint64_t> outputs;
  std::vector<std::int32_t> expected;
  for (int a = 0; a < 10; ++a) {
    server.set_holding_register(a, static_cast<std::uint16_t>(100 + a));
    outputs.push_back(encode_tag(holding, static_cast<std::uint32_t>(a), vt::u16));
    expected.push_back(100 + a);
  }
  server.set_coil(50, true);
  server.set_coil(51, true);
  outputs.push_back(encode_tag(coils, 50, vt::boolean));  // small enough: grouped
  outputs.push_back(encode_tag(coils, 51, vt::boolean));
  expected.push_back(1);
  expected.push_back(1);
  std::vector<std::uint64_t> inputs;
  pair_list values;
  for (std::uint32_t i = 0; i < 8; ++i) {
    inputs.push_back(encode_tag(holding, 20 + i, vt::u16));
    values.push_back({i, static_cast<std::int32_t>(200 + i)});
  }

  ::testing::internal::CaptureStderr();
  driver_session session;
  mb::driver& d = connect_modbus(session, server.port(), 0);
  ASSERT_TRUE(session.bind(inputs, outputs));
  EXPECT_TRUE(session.eventually_seen(expected)) << ::testing::PrintToString(session.view());
  ASSERT_TRUE(session.deliver(values));
  EXPECT_TRUE(eventually([&] {
    for (int i = 0; i < 8; ++i)
      if (server.holding_register(20 + i) != 200 + i) return false;
    return true;
  }));
  EXPECT_EQ(server.refused(), 2u) << "the read of registers 0-9 and the write of 20-27, once each";
  ASSERT_TRUE(wait_reads(d, 10));
  EXPECT_EQ(server.refused(), 2u) << "those signals now go one by one";

  // Every cycle: 10 registers one by one and the two coils together; once,
  // the refused read and write; the inputs written one by one twice (bound,
  // then delivered).
  d.disconnect();
  const std::uint64_t cycles = d.outputs().read_count.load();
  EXPECT_EQ(server.requests(), 11 * cycles + 2 + 2 * 8);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("refused"), std::string::npos) << said;
  EXPECT_EQ(said.find("refused"), said.rfind("refused")) << "said once per connection: " << said;
}

}  // namespace
}  // namespace kvt::test
