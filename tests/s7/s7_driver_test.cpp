// The S7 driver against Snap7's server half on loopback. The page's side is
// played for real: "ServerConnect", "BindingTables" and "ServerStatus" over
// the command server's WebSocket, values through the signal buffer against
// the exchange thread. A wire tap between driver and server shows how the
// items were split into requests.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "plc/driver_registry.hpp"
#include "plc/s7/driver.hpp"
#include "plc/s7/tag.hpp"
#include "s7/s7_server.hpp"
#include "s7/s7_wire_tap.hpp"
#include "support/driver_session.hpp"
#include "support/exchange_fixture.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

namespace s7 = kvt::plc::s7;
namespace vt = kvt::plc::value_type;
using s7::encode_tag;
using area = s7_test_server::area;

constexpr const char* host = "127.0.0.1";

std::size_t writes_served(const s7_test_server& server) {
  std::size_t n = 0;
  for (const s7_item_event& e : server.events()) n += e.write ? 1 : 0;
  return n;
}

std::int32_t bits_of(float f) { return plc::float_to_slot(f); }

std::vector<std::uint8_t> big_endian(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v)};
}

// The whole path from the page to a driver made by the command server.
class S7Driver : public ::testing::Test {
 protected:
  ::testing::AssertionResult connect_s7(std::uint16_t port, double scan_rate = 0.002) {
    plc::connection_params p = connection(plc::protocol::s7, port, scan_rate);
    p.type = "s7";
    p.slot = 1;
    return session.connect(p);
  }
  s7::driver& driver() { return session.driver<s7::driver>(); }

  driver_session session{std::chrono::seconds(5)};
};

TEST_F(S7Driver, EveryAreaAndTypeRoundTripsThroughTheSignalBuffer) {
  s7_test_server server;
  server.set_bytes(area::inputs, 0, std::vector<std::uint8_t>{0x04});
  server.set_bytes(area::outputs, 3, std::vector<std::uint8_t>{0xAB});
  server.set_bytes(area::markers, 4, std::vector<std::uint8_t>{0xFE});
  server.set_bytes(area::db5, 20, std::vector<std::uint8_t>{0x12, 0x34, 0xFF, 0xFE});
  server.set_bytes(area::db5, 24, big_endian(0xDEADBEEF));
  server.set_bytes(area::db5, 28, big_endian(0xFFFFFFFD));
  server.set_bytes(area::db5, 32, big_endian(static_cast<std::uint32_t>(bits_of(3.5f))));
  server.set_bytes(area::db5, 50, big_endian(0x11223344));
  server.set_bytes(area::db1, 40, std::vector<std::uint8_t>{0x0B, 0xB8});
  server.set_bytes(area::db9, 40, std::vector<std::uint8_t>{0x11, 0x11});

  const std::vector<std::uint64_t> outputs{
      encode_tag(s7::area::inputs, 0, vt::boolean, 2),       encode_tag(s7::area::outputs, 3, vt::u8),
      encode_tag(s7::area::markers, 4, vt::s8),              encode_tag(s7::area::data_block, 20, vt::u16, 0, 5),
      encode_tag(s7::area::data_block, 22, vt::s16, 0, 5),   encode_tag(s7::area::data_block, 24, vt::u32, 0, 5),
      encode_tag(s7::area::data_block, 28, vt::s32, 0, 5),   encode_tag(s7::area::data_block, 32, vt::real, 0, 5),
      encode_tag(s7::area::v_memory, 40, vt::u16, 0, 9),     // data block 1, not 9
      encode_tag(s7::area::data_block, 50, vt::lreal, 0, 5),  // not carried: stays 0
      encode_tag(s7::area::inputs, 0, vt::boolean, 3)};
  const std::vector<std::uint64_t> inputs{
      encode_tag(s7::area::outputs, 100, vt::boolean, 5),   encode_tag(s7::area::markers, 101, vt::u8),
      encode_tag(s7::area::data_block, 200, vt::s16, 0, 5), encode_tag(s7::area::data_block, 210, vt::u32, 0, 5),
      encode_tag(s7::area::data_block, 220, vt::real, 0, 5), encode_tag(s7::area::v_memory, 230, vt::s8),
      encode_tag(s7::area::data_block, 240, vt::s32, 0, 9), encode_tag(s7::area::inputs, 250, vt::u16),
      encode_tag(s7::area::data_block, 260, vt::lreal, 0, 5)};
  ASSERT_TRUE(connect_s7(server.port()));
  ASSERT_TRUE(session.bind(inputs, outputs));
  EXPECT_TRUE(session.eventually_seen(
      {1, 0xAB, 0xFE, 0x1234, 0xFFFE, static_cast<std::int32_t>(0xDEADBEEF), -3, bits_of(3.5f), 3000, 0, 0}))
      << ::testing::PrintToString(session.view());

  // A BOOL of 2 is still true: the controller looks at bit 0 only.
  ASSERT_TRUE(session.deliver({{0, 2}, {1, 0x1C5}, {2, 0x1234}, {3, static_cast<std::int32_t>(0xCAFEBABE)},
                               {4, bits_of(-1.5f)}, {5, -2}, {6, 7}, {7, 0xBEEF}, {8, 99}}));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::outputs, 100, 1) == std::vector<std::uint8_t>{0x20}; }));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::markers, 101, 1) == std::vector<std::uint8_t>{0xC5}; }));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::db5, 200, 2) == std::vector<std::uint8_t>{0x12, 0x34}; }));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::db5, 210, 4) == big_endian(0xCAFEBABE); }));
  EXPECT_TRUE(eventually([&] {
    return server.bytes(area::db5, 220, 4) == big_endian(static_cast<std::uint32_t>(bits_of(-1.5f)));
  }));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::db1, 230, 1) == std::vector<std::uint8_t>{0xFE}; }));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::db9, 240, 4) == big_endian(7); }));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::inputs, 250, 2) == std::vector<std::uint8_t>{0xBE, 0xEF}; }));
  EXPECT_EQ(server.bytes(area::db5, 260, 4), big_endian(0)) << "LREAL is not written";
  EXPECT_TRUE(session.status());
}

TEST_F(S7Driver, ThirtyRealsGoInAsFewRequestsAsAPduOf240Allows) {
  s7_test_server server(240);
  s7_wire_tap tap(server.port());
  std::vector<std::uint64_t> inputs;
  std::vector<std::uint64_t> outputs;
  for (std::uint32_t i = 0; i < 30; ++i) {
    outputs.push_back(encode_tag(s7::area::data_block, i * 4, vt::real, 0, 5));
    inputs.push_back(encode_tag(s7::area::data_block, i * 4, vt::real, 0, 9));
    server.set_bytes(area::db5, i * 4, big_endian(static_cast<std::uint32_t>(bits_of(static_cast<float>(i) + 0.25f))));
  }
  ASSERT_TRUE(connect_s7(tap.port()));
  EXPECT_EQ(driver().pdu_length(), 240);
  driver().join_items(false);  // one item per signal: how items share requests
  ASSERT_TRUE(session.bind(inputs, outputs));
  std::vector<std::int32_t> expected;
  for (int i = 0; i < 30; ++i) expected.push_back(bits_of(static_cast<float>(i) + 0.25f));
  ASSERT_TRUE(session.eventually_seen(expected));

  // The freshly bound inputs were written once (zeros); now all 30 change.
  ASSERT_TRUE(eventually([&] { return writes_served(server) == 30; }));
  pair_list changes;
  for (std::uint32_t i = 0; i < 30; ++i) changes.emplace_back(i, bits_of(100.0f + static_cast<float>(i)));
  ASSERT_TRUE(session.deliver(changes));
  EXPECT_TRUE(eventually([&] {
    return server.bytes(area::db9, 29 * 4, 4) == big_endian(static_cast<std::uint32_t>(bits_of(129.0f)));
  }));
  for (std::uint32_t i = 0; i < 30; ++i)
    EXPECT_EQ(server.bytes(area::db9, i * 4, 4), big_endian(static_cast<std::uint32_t>(bits_of(100.0f + static_cast<float>(i)))));

  std::vector<std::size_t> reads;
  std::vector<std::size_t> writes;
  std::vector<int> read_addresses;
  std::vector<int> write_addresses;
  for (const wire_request& r : tap.requests()) {
    (r.write ? writes : reads).push_back(r.items.size());
    for (const wire_item& item : r.items) {
      EXPECT_EQ(item.transport, r.write ? 0x06 : 0x08) << "REAL written as a double word";
      EXPECT_EQ(item.area, 0x84);
      EXPECT_EQ(item.db, r.write ? 9 : 5);
      (r.write ? write_addresses : read_addresses).push_back(item.address);
    }
  }
  ASSERT_GE(reads.size(), 6u);
  for (std::size_t i = 0; i + 3 <= reads.size(); i += 3)
    EXPECT_EQ((std::vector<std::size_t>(reads.begin() + static_cast<std::ptrdiff_t>(i), reads.begin() + static_cast<std::ptrdiff_t>(i + 3))),
              (std::vector<std::size_t>{14, 14, 2}))
        << "read cycle at request " << i;
  EXPECT_EQ(writes, (std::vector<std::size_t>{11, 11, 8, 11, 11, 8}));
  // Every item once per cycle, in order (bit addresses of bytes 0, 4, ...).
  for (std::size_t j = 0; j < read_addresses.size(); ++j)
    ASSERT_EQ(read_addresses[j], static_cast<int>(j % 30) * 32) << j;
  ASSERT_EQ(write_addresses.size(), 60u);
  for (std::size_t j = 0; j < write_addresses.size(); ++j) EXPECT_EQ(write_addresses[j], static_cast<int>(j % 30) * 32);

  // The server saw each written item exactly once per write, in order.
  std::vector<int> written_starts;
  for (const s7_item_event& e : server.events())
    if (e.write) written_starts.push_back(e.start);
  ASSERT_EQ(written_starts.size(), 60u);
  for (std::size_t j = 0; j < written_starts.size(); ++j) EXPECT_EQ(written_starts[j], static_cast<int>(j % 30) * 4);
}

TEST_F(S7Driver, OneByteInputsLeaveRoomForTheirFillBytes) {
  // Twenty BOOL writes at a PDU of 240: 13 items would need 245 bytes once
  // each odd item is padded, so the requests hold 12 and 8.
  s7_test_server server(240);
  s7_wire_tap tap(server.port());
  std::vector<std::uint64_t> inputs;
  for (std::uint32_t i = 0; i < 20; ++i) inputs.push_back(encode_tag(s7::area::markers, i, vt::boolean, 0));
  ASSERT_TRUE(connect_s7(tap.port()));
  ASSERT_TRUE(session.bind(inputs, {}));
  ASSERT_TRUE(eventually([&] { return writes_served(server) == 20; })) << "the fresh bindings' zeros";
  pair_list on;
  for (std::uint32_t i = 0; i < 20; ++i) on.emplace_back(i, 1);
  ASSERT_TRUE(session.deliver(on));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::markers, 0, 20) == std::vector<std::uint8_t>(20, 1); }));
  std::vector<std::size_t> writes;
  for (const wire_request& r : tap.requests())
    if (r.write) writes.push_back(r.items.size());
  EXPECT_EQ(writes, (std::vector<std::size_t>{12, 8, 12, 8}));
}

// The bytes of every area after `fill_areas`: no two neighbours alike.
std::uint8_t pattern_byte(area a, std::size_t offset) {
  return static_cast<std::uint8_t>(offset * 37 + static_cast<std::size_t>(a) * 71 + 5);
}

void fill_areas(s7_test_server& server) {
  for (const area a : {area::inputs, area::outputs, area::markers, area::db1, area::db5, area::db9}) {
    std::vector<std::uint8_t> bytes(s7_test_server::area_bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = pattern_byte(a, i);
    server.set_bytes(a, 0, bytes);
  }
}

// What an output shows after `fill_areas`, decoded here on its own: 0 for a
// signal the server refuses (a data block it lacks, bytes past the end) or
// S7 does not carry.
std::int32_t filled_value(std::uint64_t tag) {
  const s7::tag_fields f = s7::decode_tag(tag);
  area a = area::inputs;
  switch (f.area) {
    case s7::area::inputs: a = area::inputs; break;
    case s7::area::outputs: a = area::outputs; break;
    case s7::area::markers: a = area::markers; break;
    case s7::area::v_memory: a = area::db1; break;
    default:
      if (f.db_number == 1) a = area::db1;
      else if (f.db_number == 5) a = area::db5;
      else if (f.db_number == 9) a = area::db9;
      else return 0;
  }
  std::size_t size = 0;
  switch (f.type) {
    case vt::boolean:
    case vt::u8:
    case vt::s8: size = 1; break;
    case vt::u16:
    case vt::s16: size = 2; break;
    case vt::u32:
    case vt::s32:
    case vt::real: size = 4; break;
    default: return 0;
  }
  if (f.byte_offset + size > s7_test_server::area_bytes) return 0;
  if (f.type == vt::boolean) return (pattern_byte(a, f.byte_offset) >> f.bit) & 1;
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < size; ++i) v = v << 8 | pattern_byte(a, f.byte_offset + i);
  return static_cast<std::int32_t>(v);
}

// The first output record of driver 1: after a binding, the first that
// carries the values of a complete read.
output_record first_record(driver_session& session) {
  output_record found;
  found.id = -1;
  eventually([&] {
    if (const auto records = session.page().request_outputs())
      for (const output_record& r : *records)
        if (r.id == 1) {
          found = r;
          return true;
        }
    return false;
  });
  return found;
}

// Read requests per cycle while nothing is written, over 50 cycles.
std::uint64_t read_requests_per_cycle(const s7::driver& d) {
  const std::uint32_t c0 = d.outputs().read_count.load();
  const std::uint64_t r0 = d.requests_sent();
  if (!eventually([&] { return d.outputs().read_count.load() >= c0 + 50; }, std::chrono::seconds(30))) return 0;
  const std::uint64_t r1 = d.requests_sent();
  const std::uint32_t c1 = d.outputs().read_count.load();
  return (r1 - r0 + (c1 - c0) / 2) / (c1 - c0);
}

TEST_F(S7Driver, JoinedItemsDeliverTheValuesOfOneItemPerSignalInFewerRequests) {
  s7_test_server server(240);
  fill_areas(server);
  const std::vector<std::uint64_t> outputs = [] {
    std::vector<std::uint64_t> t{
        // A run of every value type, then two bytes after a gap.
        encode_tag(s7::area::data_block, 0, vt::u16, 0, 5), encode_tag(s7::area::data_block, 2, vt::s16, 0, 5),
        encode_tag(s7::area::data_block, 4, vt::u32, 0, 5), encode_tag(s7::area::data_block, 8, vt::s32, 0, 5),
        encode_tag(s7::area::data_block, 12, vt::real, 0, 5), encode_tag(s7::area::data_block, 20, vt::u8, 0, 5),
        encode_tag(s7::area::data_block, 21, vt::s8, 0, 5),
        // Bits of one byte, and one in the next byte.
        encode_tag(s7::area::data_block, 30, vt::boolean, 0, 5),
        encode_tag(s7::area::data_block, 30, vt::boolean, 3, 5),
        encode_tag(s7::area::data_block, 31, vt::boolean, 1, 5),
        encode_tag(s7::area::data_block, 30, vt::boolean, 7, 5),
        // Alone; overlapping; odd starts and lengths; a signal bound twice.
        encode_tag(s7::area::data_block, 40, vt::u16, 0, 5), encode_tag(s7::area::data_block, 50, vt::u32, 0, 5),
        encode_tag(s7::area::data_block, 52, vt::u16, 0, 5), encode_tag(s7::area::data_block, 53, vt::u8, 0, 5),
        encode_tag(s7::area::data_block, 61, vt::s16, 0, 5), encode_tag(s7::area::data_block, 63, vt::u8, 0, 5),
        encode_tag(s7::area::data_block, 60, vt::s8, 0, 5), encode_tag(s7::area::data_block, 0, vt::u16, 0, 5),
        // Other areas: five marker bytes and a REAL, input bits and a byte,
        // an output word at an odd address and a lone bit, V memory.
        encode_tag(s7::area::markers, 10, vt::real), encode_tag(s7::area::inputs, 0, vt::boolean, 2),
        encode_tag(s7::area::inputs, 1, vt::u8), encode_tag(s7::area::inputs, 0, vt::boolean, 3),
        encode_tag(s7::area::outputs, 3, vt::s16), encode_tag(s7::area::outputs, 5, vt::boolean, 0),
        encode_tag(s7::area::v_memory, 40, vt::u16, 0, 9), encode_tag(s7::area::v_memory, 42, vt::s16, 0, 9),
        // The end of data block 9: the double word runs past it and is
        // refused, its neighbours are not. A data block the server lacks.
        encode_tag(s7::area::data_block, 8187, vt::u8, 0, 9), encode_tag(s7::area::data_block, 8188, vt::u16, 0, 9),
        encode_tag(s7::area::data_block, 8190, vt::u32, 0, 9), encode_tag(s7::area::data_block, 0, vt::u8, 0, 7),
        encode_tag(s7::area::data_block, 1, vt::u8, 0, 7),
        // Not carried by S7.
        encode_tag(s7::area::data_block, 70, vt::lreal, 0, 5)};
    for (std::uint32_t i = 0; i < 5; ++i) t.push_back(encode_tag(s7::area::markers, i, vt::u8));
    // Sixty REALs: longer than one request can carry.
    for (std::uint32_t i = 0; i < 60; ++i) t.push_back(encode_tag(s7::area::data_block, 100 + 4 * i, vt::real, 0, 1));
    return t;
  }();

  ASSERT_TRUE(connect_s7(server.port()));
  // The first record after connecting carries every signal, later bindings'
  // first records those that are not 0: alike for the two compared here.
  driver().join_items(false);
  ASSERT_TRUE(session.bind({.outputs = {.tags = outputs, .version = 1}}));
  ASSERT_NE(first_record(session).id, -1);

  ASSERT_TRUE(session.bind({.outputs = {.tags = outputs, .version = 2}}));
  const output_record alone = first_record(session);
  const std::uint64_t alone_requests = read_requests_per_cycle(driver());

  driver().join_items(true);
  ASSERT_TRUE(session.bind({.outputs = {.tags = outputs, .version = 3}}));
  const output_record joined = first_record(session);
  const std::uint64_t joined_requests = read_requests_per_cycle(driver());

  ASSERT_FALSE(alone.pairs.empty());
  EXPECT_EQ(joined.pairs, alone.pairs);
  std::vector<std::int32_t> values(outputs.size());
  for (const auto& [index, value] : alone.pairs) values.at(index) = value;
  for (std::size_t i = 0; i < outputs.size(); ++i) EXPECT_EQ(values[i], filled_value(outputs[i])) << "output " << i;

  // At a PDU of 240: 97 items of their own take 7 requests; joined, 16
  // items and the REALs' 240 bytes (cut between two REALs to fill the first
  // request) take 3.
  EXPECT_EQ(alone_requests, 7u);
  EXPECT_EQ(joined_requests, 3u);
}

TEST_F(S7Driver, WritingPartOfARunLeavesTheBytesOfUnchangedNeighboursAsThePeerSetThem) {
  s7_test_server server;
  s7_wire_tap tap(server.port());
  const std::vector<std::uint64_t> inputs{
      encode_tag(s7::area::data_block, 0, vt::u16, 0, 9),      encode_tag(s7::area::data_block, 2, vt::real, 0, 9),
      encode_tag(s7::area::data_block, 6, vt::u8, 0, 9),       encode_tag(s7::area::data_block, 7, vt::s16, 0, 9),
      encode_tag(s7::area::data_block, 9, vt::u32, 0, 9),      encode_tag(s7::area::data_block, 20, vt::boolean, 0, 9),
      encode_tag(s7::area::data_block, 20, vt::boolean, 1, 9), encode_tag(s7::area::data_block, 20, vt::boolean, 2, 9)};
  ASSERT_TRUE(connect_s7(tap.port()));
  ASSERT_TRUE(session.bind(inputs, {}));
  // The fresh bindings' zeros: bytes 0 to 12 in one item, the bits alone.
  ASSERT_TRUE(eventually([&] { return writes_served(server) == 4; }));

  server.set_bytes(area::db9, 6, std::vector<std::uint8_t>{0x66, 0x7F, 0xFE});
  server.set_bytes(area::db9, 20, std::vector<std::uint8_t>{0x02});
  tap.clear();
  ASSERT_TRUE(
      session.deliver({{0, 0x1234}, {1, bits_of(2.5f)}, {4, static_cast<std::int32_t>(0xCAFEBABE)}, {5, 1}, {7, 1}}));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::db9, 9, 4) == big_endian(0xCAFEBABE); }));

  std::vector<std::uint8_t> expected{0x12, 0x34};
  for (const std::uint8_t b : big_endian(static_cast<std::uint32_t>(bits_of(2.5f)))) expected.push_back(b);
  for (const std::uint8_t b : {0x66, 0x7F, 0xFE, 0xCA, 0xFE, 0xBA, 0xBE}) expected.push_back(b);
  EXPECT_EQ(server.bytes(area::db9, 0, 13), expected);
  EXPECT_EQ(server.bytes(area::db9, 20, 1), std::vector<std::uint8_t>{0x07}) << "bit 1 as the peer set it";

  // The bits as bit writes, inputs 0 and 1 as one item of six bytes, 4 alone.
  std::vector<std::tuple<int, int, int>> written;  // transport, amount, bit address
  for (const wire_request& r : tap.requests())
    if (r.write)
      for (const wire_item& item : r.items) written.emplace_back(item.transport, item.amount, item.address);
  EXPECT_EQ(written,
            (std::vector<std::tuple<int, int, int>>{{0x01, 1, 160}, {0x01, 1, 162}, {0x02, 6, 0}, {0x06, 1, 72}}));
}

TEST_F(S7Driver, ABoolAtDataBlock5Byte10Bit3IsABitItemStartingAt83) {
  s7_test_server server;
  s7_wire_tap tap(server.port());
  server.set_bytes(area::db5, 10, std::vector<std::uint8_t>{0x08});
  ASSERT_TRUE(connect_s7(tap.port()));
  ASSERT_TRUE(session.bind({}, {encode_tag(s7::area::data_block, 10, vt::boolean, 3, 5)}));
  ASSERT_TRUE(session.eventually_seen({1}));
  const auto requests = tap.requests();
  ASSERT_FALSE(requests.empty());
  ASSERT_EQ(requests.front().items.size(), 1u);
  const wire_item item = requests.front().items.front();
  EXPECT_EQ(item.area, 0x84);
  EXPECT_EQ(item.db, 5);
  EXPECT_EQ(item.transport, 0x01);
  EXPECT_EQ(item.amount, 1);
  EXPECT_EQ(item.address, 83);
  // The server reports its events from a thread of its own, after answering.
  ASSERT_TRUE(eventually([&] { return !server.events().empty(); }));
  const s7_item_event e = server.events().front();
  EXPECT_EQ(e.area, 0x84);
  EXPECT_EQ(e.db, 5);
  EXPECT_EQ(e.start, 10);
  EXPECT_EQ(e.size, 1);
}

TEST_F(S7Driver, AStoppedServerShowsAsDisconnectedAndTheExchangeResumesWithTheSameBindings) {
  s7_test_server server;
  server.set_bytes(area::db5, 0, std::vector<std::uint8_t>{0x01, 0x02});
  ASSERT_TRUE(connect_s7(server.port()));
  ASSERT_TRUE(session.bind({encode_tag(s7::area::data_block, 100, vt::u16, 0, 5)},
                           {encode_tag(s7::area::data_block, 0, vt::u16, 0, 5)}));
  ASSERT_TRUE(session.eventually_seen({0x0102}));
  EXPECT_TRUE(session.status());

  server.stop();
  EXPECT_TRUE(eventually([&] { return !session.status(); }));
  // A value the page sends while the controller is away is written once it is back.
  ASSERT_TRUE(session.deliver({{0, 0x4243}}));
  server.set_bytes(area::db5, 0, std::vector<std::uint8_t>{0x03, 0x04});
  EXPECT_FALSE(session.status());

  server.start();
  EXPECT_TRUE(eventually([&] { return session.status(); }));
  EXPECT_TRUE(session.eventually_seen({0x0304}));
  EXPECT_TRUE(eventually([&] { return server.bytes(area::db5, 100, 2) == std::vector<std::uint8_t>{0x42, 0x43}; }));
}

TEST_F(S7Driver, AnItemTheControllerRefusesKeepsItsValueAndTheRestIsRead) {
  s7_test_server server;
  server.set_bytes(area::db5, 0, std::vector<std::uint8_t>{0x11});
  ASSERT_TRUE(connect_s7(server.port()));
  ASSERT_TRUE(session.bind(
      {}, {encode_tag(s7::area::data_block, 0, vt::u8, 0, 5), encode_tag(s7::area::data_block, 0, vt::u8, 0, 7),
           encode_tag(s7::area::data_block, 0, vt::u8, 0, 5)}));
  EXPECT_TRUE(session.eventually_seen({0x11, 0, 0x11}));
  ASSERT_TRUE(plc::registry().size() == 1 && wait_reads(driver()));
  EXPECT_TRUE(session.status()) << "a data block the controller lacks is not a broken link";
}

// The driver on its own, without the command server.
struct S7DriverAlone : ::testing::Test {
  plc::connection_params params(std::uint16_t port) const {
    plc::connection_params p;
    p.protocol = plc::protocol::s7;
    p.host = host;
    p.port = port;
    p.rack = 0;
    p.slot = 2;
    p.scan_rate = 0.01;
    return p;
  }
};

TEST_F(S7DriverAlone, DisconnectKeepsTheConnectionParameters) {
  s7_test_server server;
  s7::driver d;
  const plc::connection_params p = params(server.port());
  d.configure(p);
  ASSERT_TRUE(d.connect());
  EXPECT_TRUE(d.connected());
  EXPECT_GT(d.pdu_length(), 0);
  plc::connection_params expected = p;
  expected.type = "s7";
  EXPECT_EQ(d.parameters(), expected);

  d.disconnect();
  EXPECT_FALSE(d.connected());
  EXPECT_FALSE(d.scanning());
  EXPECT_EQ(d.pdu_length(), 0);
  EXPECT_EQ(d.host(), host) << "the registry still finds the driver by its host";
  EXPECT_EQ(d.parameters(), expected);
  d.disconnect();  // safe when not connected

  ASSERT_TRUE(d.connect()) << "reconnects at the first attempt";
  EXPECT_TRUE(d.connected());
  ASSERT_TRUE(d.connect()) << "connect on a connected driver starts over";
  EXPECT_TRUE(d.scanning());
}

TEST_F(S7DriverAlone, HostsRacksAndSlotsThatAddressNoControllerAreRefused) {
  s7_test_server server;
  s7::driver d;
  plc::connection_params p = params(server.port());
  p.host = "a-controller-name-much-longer-than-sixteen.invalid";
  d.configure(p);
  EXPECT_FALSE(d.connect());
  p = params(server.port());
  p.rack = 8;
  d.configure(p);
  EXPECT_FALSE(d.connect());
  p = params(server.port());
  p.slot = 32;
  d.configure(p);
  EXPECT_FALSE(d.connect());
  p = params(free_port());
  d.configure(p);
  EXPECT_FALSE(d.connect()) << "nothing listens";
  EXPECT_FALSE(d.connected());
  EXPECT_FALSE(d.scanning());
  p = params(server.port());
  p.host = "localhost";  // names are resolved to an address
  d.configure(p);
  EXPECT_TRUE(d.connect());
}

// The descriptors of this process's TCP connections to `port` on loopback.
std::vector<int> connections_to(std::uint16_t port) {
  std::vector<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = -1;
    try {
      fd = std::stoi(entry.path().filename().string());
    } catch (const std::exception&) {
      continue;
    }
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == port)
      found.push_back(fd);
  }
  return found;
}

TEST_F(S7DriverAlone, TheConnectionToTheControllerIsNotInheritedByProgramsStarted) {
  s7_test_server server;
  s7::driver d;
  d.configure(params(server.port()));
  ASSERT_TRUE(d.connect());
  const std::vector<int> fds = connections_to(server.port());
  ASSERT_EQ(fds.size(), 1u);
  EXPECT_NE(::fcntl(fds.front(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(S7DriverAlone, MoreThan4096SignalsAreReadAndWritten) {
  s7_test_server server;
  constexpr std::uint32_t n = 4200;
  std::vector<std::uint64_t> outputs;
  std::vector<std::uint64_t> inputs;
  std::vector<std::uint8_t> pattern(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    outputs.push_back(encode_tag(s7::area::data_block, i, vt::u8, 0, 9));
    inputs.push_back(encode_tag(s7::area::data_block, i, vt::u8, 0, 5));
    pattern[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  server.set_bytes(area::db9, 0, pattern);
  s7::driver d;
  d.configure(params(server.port()));
  plc::bind(d.inputs(), inputs, 1);
  {
    std::lock_guard lock(d.inputs().mutex);
    for (std::uint32_t i = 0; i < n; ++i) d.inputs().values[i] = static_cast<std::int32_t>(i * 3 + 5);
  }
  plc::bind(d.outputs(), outputs, 1);
  ASSERT_TRUE(d.connect());
  ASSERT_TRUE(eventually([&] { return d.outputs().read_count.load() >= 1; }, std::chrono::seconds(60)));
  {
    std::lock_guard lock(d.outputs().mutex);
    for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(d.outputs().values[i], pattern[i]) << i;
  }
  const auto written = server.bytes(area::db5, 0, n);
  for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(written[i], static_cast<std::uint8_t>(i * 3 + 5)) << i;
}

}  // namespace
}  // namespace kvt::test
