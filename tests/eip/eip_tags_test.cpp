// The tag layer's calls against the EtherNet/IP controller simulator on
// loopback: values of every atomic type both ways, packing of reads started
// together, controllers that refuse packing or the large connection,
// session sharing and closing, fragmented transfers, the symbol listing,
// raw requests on an Omron controller, and failures (unknown tags,
// malformed replies, a controller that goes away and comes back).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "eip/eip_simulator.hpp"
#include "plc/eip/tags/plc_tag.hpp"

namespace kvt::plc::eip {
namespace {

using test::eip_simulator;
using namespace std::chrono_literals;
namespace sim_type = test::cip_type;

std::string plc_of(eip_simulator::flavour f) {
  switch (f) {
    case eip_simulator::flavour::micro800: return "micro800";
    case eip_simulator::flavour::omron: return "omron-njnx";
    default: return "controllogix";
  }
}

std::string attributes(const eip_simulator& sim, const std::string& name, int elem_size = 0, int elem_count = 1) {
  std::string a = "protocol=ab-eip&gateway=127.0.0.1:" + std::to_string(sim.port());
  if (sim.kind() != eip_simulator::flavour::micro800) a += "&path=1,0";
  a += "&plc=" + plc_of(sim.kind());
  if (elem_size > 0) a += "&elem_size=" + std::to_string(elem_size);
  if (elem_count > 1) a += "&elem_count=" + std::to_string(elem_count);
  return a + "&name=" + name;
}

// Polls the status as the driver's readiness wait does, up to `budget`.
int wait_status(std::int32_t tag, std::chrono::milliseconds budget = 8000ms) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  int s = plc_tag_status(tag);
  while (s == status_pending && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20us);
    s = plc_tag_status(tag);
  }
  return s;
}

// Waits for a condition the simulator reports after the fact.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds budget = 3000ms) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A tag destroyed with the test.
class tag {
 public:
  explicit tag(std::int32_t id = 0) : id_(id) {}
  tag(const std::string& attributes, int timeout_ms) : id_(plc_tag_create(attributes.c_str(), timeout_ms)) {}
  ~tag() { reset(); }
  tag(tag&& o) noexcept : id_(std::exchange(o.id_, 0)) {}
  tag& operator=(tag&& o) noexcept {
    reset();
    id_ = std::exchange(o.id_, 0);
    return *this;
  }
  void reset() {
    if (id_ > 0) plc_tag_destroy(id_);
    id_ = 0;
  }
  std::int32_t id() const { return id_; }

 private:
  std::int32_t id_ = 0;
};

// ---- Values --------------------------------------------------------------------

struct atomic_case {
  std::string name;
  std::uint8_t type;
  int size;
  double initial;
  double written;
};

double get_as_double(std::int32_t t, std::uint8_t type) {
  switch (type) {
    case sim_type::boolean: return plc_tag_get_bit(t, 0);
    case sim_type::sint: return plc_tag_get_int8(t, 0);
    case sim_type::usint: return plc_tag_get_uint8(t, 0);
    case sim_type::int_: return plc_tag_get_int16(t, 0);
    case sim_type::uint: return plc_tag_get_uint16(t, 0);
    case sim_type::dint: return plc_tag_get_int32(t, 0);
    case sim_type::udint: return plc_tag_get_uint32(t, 0);
    case sim_type::lint: return static_cast<double>(plc_tag_get_int64(t, 0));
    case sim_type::ulint: return static_cast<double>(plc_tag_get_uint64(t, 0));
    case sim_type::real: return plc_tag_get_float32(t, 0);
    default: return plc_tag_get_float64(t, 0);
  }
}

int set_from_double(std::int32_t t, std::uint8_t type, double v) {
  switch (type) {
    case sim_type::boolean: return plc_tag_set_bit(t, 0, v != 0);
    case sim_type::sint: return plc_tag_set_int8(t, 0, static_cast<std::int8_t>(v));
    case sim_type::usint: return plc_tag_set_uint8(t, 0, static_cast<std::uint8_t>(v));
    case sim_type::int_: return plc_tag_set_int16(t, 0, static_cast<std::int16_t>(v));
    case sim_type::uint: return plc_tag_set_uint16(t, 0, static_cast<std::uint16_t>(v));
    case sim_type::dint: return plc_tag_set_int32(t, 0, static_cast<std::int32_t>(v));
    case sim_type::udint: return plc_tag_set_uint32(t, 0, static_cast<std::uint32_t>(v));
    case sim_type::lint: return plc_tag_set_int64(t, 0, static_cast<std::int64_t>(v));
    case sim_type::ulint: return plc_tag_set_uint64(t, 0, static_cast<std::uint64_t>(v));
    case sim_type::real: return plc_tag_set_float32(t, 0, static_cast<float>(v));
    default: return plc_tag_set_float64(t, 0, v);
  }
}

// The controller's value, little-endian, as a double.
double sim_value(const eip_simulator& sim, const std::string& name, std::uint8_t type) {
  const std::vector<std::uint8_t> b = sim.get_bytes(name);
  std::uint64_t raw = 0;
  for (std::size_t i = 0; i < b.size() && i < 8; ++i) raw |= std::uint64_t{b[i]} << (8 * i);
  switch (type) {
    case sim_type::boolean: return b[0] != 0;
    case sim_type::sint: return static_cast<std::int8_t>(raw);
    case sim_type::usint: return static_cast<std::uint8_t>(raw);
    case sim_type::int_: return static_cast<std::int16_t>(raw);
    case sim_type::uint: return static_cast<std::uint16_t>(raw);
    case sim_type::dint: return static_cast<std::int32_t>(raw);
    case sim_type::udint: return static_cast<std::uint32_t>(raw);
    case sim_type::lint: return static_cast<double>(static_cast<std::int64_t>(raw));
    case sim_type::ulint: return static_cast<double>(raw);
    case sim_type::real: return std::bit_cast<float>(static_cast<std::uint32_t>(raw));
    default: return std::bit_cast<double>(raw);
  }
}

TEST(EipTags, ReadsAndWritesEveryAtomicType) {
  eip_simulator sim;
  sim.add_tag("Byte", sim_type::usint);
  sim.set_bytes("Byte", {200});
  sim.add_tag("Word", sim_type::uint);
  sim.set_bytes("Word", {0x34, 0xF2});
  sim.add_tag("Long", sim_type::udint);
  sim.set_bytes("Long", {0x78, 0x56, 0x34, 0xF2});
  sim.add_tag("Big", sim_type::ulint);
  sim.set_bytes("Big", {1, 0, 0, 0, 0, 0, 0, 0x80});
  const std::vector<atomic_case> cases{
      {"Running", sim_type::boolean, 1, 1, 0},
      {"Small", sim_type::sint, 1, -5, 100},
      {"Byte", sim_type::usint, 1, 200, 7},
      {"Level", sim_type::int_, 2, 1200, -31000},
      {"Word", sim_type::uint, 2, 0xF234, 65535},
      {"Counter", sim_type::dint, 4, 0, -2'000'000'000},
      {"Long", sim_type::udint, 4, 0xF2345678u, 4'000'000'000.0},
      {"Huge", sim_type::lint, 8, 1099511627776.0, -1099511627776.0 * 1024},
      {"Big", sim_type::ulint, 8, 9223372036854775808.0 + 1, 4096},
      {"Temperature", sim_type::real, 4, 21.5, -0.125},
      {"Precise", sim_type::lreal, 8, 3.25, 1e300},
      {"Program:Main.Speed", sim_type::real, 4, 1450.5, 99.5},
      {"Arr[3]", sim_type::dint, 4, 30, 31},
      {"Matrix[1,2]", sim_type::int_, 2, 12, -12},
      {"Motor.Starts", sim_type::dint, 4, 0, 17},
  };
  for (const atomic_case& c : cases) {
    SCOPED_TRACE(c.name);
    const tag t(attributes(sim, c.name, c.size), 5000);
    ASSERT_GT(t.id(), 0) << plc_tag_decode_error(t.id());
    EXPECT_EQ(plc_tag_get_size(t.id()), c.size);
    // The creation read already brought the value.
    EXPECT_EQ(get_as_double(t.id(), c.type), c.initial);
    ASSERT_EQ(set_from_double(t.id(), c.type, c.written), status_ok);
    ASSERT_EQ(plc_tag_write(t.id(), 5000), status_ok);
    EXPECT_EQ(sim_value(sim, c.name, c.type), c.written);
    // The next read brings a value changed in the controller.
    sim.set_bytes(c.name, std::vector<std::uint8_t>(static_cast<std::size_t>(c.size), 0));
    ASSERT_EQ(plc_tag_read(t.id(), 5000), status_ok);
    EXPECT_EQ(get_as_double(t.id(), c.type), 0.0);
  }
}

TEST(EipTags, GettersAndSettersStayInsideTheBuffer) {
  eip_simulator sim;
  const tag t(attributes(sim, "Counter", 4), 5000);
  ASSERT_GT(t.id(), 0);
  EXPECT_EQ(plc_tag_set_int32(t.id(), 1, 5), err_out_of_bounds);
  EXPECT_EQ(plc_tag_set_int16(t.id(), -1, 5), err_out_of_bounds);
  EXPECT_EQ(plc_tag_get_int32(t.id(), 1), 0);
  EXPECT_EQ(plc_tag_status(t.id()), err_out_of_bounds);
  EXPECT_EQ(plc_tag_get_bit(t.id(), 32), err_out_of_bounds);
  EXPECT_EQ(plc_tag_set_bit(t.id(), 9, 1), status_ok);
  EXPECT_EQ(plc_tag_get_uint32(t.id(), 0), 0x200u);
  EXPECT_EQ(plc_tag_get_bit(t.id(), 9), 1);
  EXPECT_EQ(plc_tag_set_size(t.id(), 8), 4);
  EXPECT_EQ(plc_tag_get_size(t.id()), 8);
  EXPECT_EQ(plc_tag_get_uint32(t.id(), 4), 0u);
  EXPECT_EQ(plc_tag_read(t.id(), 5000), status_ok);
  EXPECT_EQ(plc_tag_get_size(t.id()), 4) << "a read takes the controller's size";
  EXPECT_EQ(plc_tag_status(t.id()), status_ok);
  EXPECT_EQ(plc_tag_status(123456789), err_not_found);
  EXPECT_EQ(plc_tag_read(123456789, 0), err_not_found);
  EXPECT_EQ(plc_tag_destroy(123456789), err_not_found);
  EXPECT_EQ(plc_tag_create(nullptr, 0), err_null_ptr);
  EXPECT_EQ(plc_tag_create("protocol=ab-eip&gateway=127.0.0.1&plc=controllogix&path=1,0&name=a..b", 0), err_bad_param);
  EXPECT_EQ(plc_tag_create("protocol=ab-eip&gateway=127.0.0.1&plc=slc500&path=1,0&name=A", 0), err_bad_config);
}

// ---- Packing ---------------------------------------------------------------------

std::vector<tag> create_counters(eip_simulator& sim, int n, const std::string& prefix = "Tag") {
  std::vector<tag> tags;
  for (int i = 0; i < n; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%04d", prefix.c_str(), i);
    sim.add_tag(name, sim_type::dint);
    sim.set_int32(name, i * 3);
  }
  for (int i = 0; i < n; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%04d", prefix.c_str(), i);
    tags.emplace_back(attributes(sim, name, 4), 0);
  }
  for (const tag& t : tags) EXPECT_EQ(wait_status(t.id()), status_ok);
  return tags;
}

// Packets sent for work started together: exactly the packed count in a
// release build; a sanitizer build may start its reads slowly enough for
// the session to send one early batch more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t slow_start_packets = 1;
#else
constexpr std::size_t slow_start_packets = 0;
#endif

// One read phase as the driver runs it: every read started, then the
// readiness wait.
void read_all(const std::vector<tag>& tags) {
  for (const tag& t : tags) ASSERT_EQ(plc_tag_read(t.id(), 0), status_pending);
  for (const tag& t : tags) ASSERT_EQ(wait_status(t.id()), status_ok);
}

TEST(EipTags, ReadsStartedTogetherTravelPacked) {
  eip_simulator sim;
  const std::vector<tag> tags = create_counters(sim, 1000);
  // Each read of "TagNNNN" is 14 bytes (service, size, 10-byte path, count)
  // and 2 more for its offset; a packet has 8 bytes of its own; a 4002-byte
  // connection carries 4000 of them.
  const std::size_t per_packet = (4000 - 8) / (14 + 2);
  const std::size_t packets = (1000 + per_packet - 1) / per_packet;
  for (int cycle = 0; cycle < 3; ++cycle) {
    for (int i = 0; i < 1000; i += 7) sim.set_int32("Tag" + std::string(4 - std::to_string(i).size(), '0') +
                                                        std::to_string(i), cycle * 100000 + i);
    const std::size_t msp_before = sim.multiple_service_packets();
    const std::size_t requests_before = sim.unit_data_requests();
    read_all(tags);
    EXPECT_GE(sim.multiple_service_packets() - msp_before, packets);
    EXPECT_LE(sim.multiple_service_packets() - msp_before, packets + slow_start_packets);
    EXPECT_EQ(sim.unit_data_requests() - requests_before, sim.multiple_service_packets() - msp_before)
        << "nothing but the packets";
    for (int i = 0; i < 1000; ++i)
      ASSERT_EQ(plc_tag_get_int32(tags[i].id(), 0), i % 7 == 0 ? cycle * 100000 + i : i * 3) << i;
  }
  EXPECT_EQ(sim.oversized_requests(), 0u);
  EXPECT_LE(sim.largest_cip_request(), 4000u);

  // Writes started together are packed the same way.
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(plc_tag_set_int32(tags[i].id(), 0, -i), status_ok);
  const std::size_t msp_before = sim.multiple_service_packets();
  for (const tag& t : tags) ASSERT_EQ(plc_tag_write(t.id(), 0), status_pending);
  for (const tag& t : tags) ASSERT_EQ(wait_status(t.id()), status_ok);
  // A write of "TagNNNN" takes 20 bytes with its type and value.
  const std::size_t writes_per_packet = (4000 - 8) / (20 + 2);
  const std::size_t write_packets = (1000 + writes_per_packet - 1) / writes_per_packet;
  EXPECT_GE(sim.multiple_service_packets() - msp_before, write_packets);
  EXPECT_LE(sim.multiple_service_packets() - msp_before, write_packets + slow_start_packets);
  EXPECT_EQ(sim.get_int32("Tag0999"), -999);
  EXPECT_EQ(sim.get_int32("Tag0500"), -500);
}

TEST(EipTags, AControllerWithoutPackingGetsOneRequestPerTag) {
  eip_simulator sim;
  sim.set_multiple_service(false);
  const std::vector<tag> tags = create_counters(sim, 20);
  EXPECT_EQ(sim.requests(0x0A), 1u) << "one refused packet, then single requests";
  EXPECT_EQ(sim.multiple_service_packets(), 0u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(plc_tag_get_int32(tags[i].id(), 0), i * 3);
  const std::size_t reads_before = sim.requests(0x4C);
  read_all(tags);
  EXPECT_EQ(sim.requests(0x4C) - reads_before, 20u);
  EXPECT_EQ(sim.requests(0x0A), 1u);
}

// ---- Connections and sessions ------------------------------------------------------------

TEST(EipTags, FallsBackToTheSmallForwardOpen) {
  eip_simulator sim;
  sim.set_large_forward_open(false);
  const std::vector<tag> tags = create_counters(sim, 100);
  EXPECT_EQ(sim.forward_opens(0x5B), 1u);
  EXPECT_EQ(sim.forward_opens(0x54), 1u);
  EXPECT_EQ(sim.last_forward_open().to_size, 504u);
  EXPECT_TRUE(sim.last_forward_open().accepted);
  read_all(tags);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(plc_tag_get_int32(tags[i].id(), 0), i * 3);
  // 100 reads in packets of at most 502 bytes: (502 - 8) / 16 = 30 each.
  EXPECT_EQ(sim.oversized_requests(), 0u);
  EXPECT_LE(sim.largest_cip_request(), 502u);
}

TEST(EipTags, FallsBackWhenTheLargeConnectionIsTooLarge) {
  eip_simulator sim;
  sim.set_max_connection_size(504);  // 0x5B refused with 0x01 / 0x0109
  const tag t(attributes(sim, "Counter", 4), 5000);
  ASSERT_GT(t.id(), 0) << plc_tag_decode_error(t.id());
  EXPECT_EQ(sim.forward_opens(0x5B), 1u);
  EXPECT_EQ(sim.forward_opens(0x54), 1u);
  EXPECT_EQ(sim.forward_opens_accepted(), 1u);
}

TEST(EipTags, TagsOfOneGatewayShareOneSession) {
  eip_simulator sim;
  {
    std::vector<tag> tags;
    for (const char* name : {"Counter", "Level", "Temperature", "Program:Main.Count", "Arr[2]"})
      tags.emplace_back(attributes(sim, name, name[0] == 'L' ? 2 : 4), 0);
    tags.emplace_back(attributes(sim, "@tags"), 0);
    for (const tag& t : tags) ASSERT_EQ(wait_status(t.id()), status_ok);
    EXPECT_EQ(sim.tcp_connections_accepted(), 1u);
    EXPECT_EQ(sim.sessions_registered(), 1u);
    EXPECT_EQ(sim.forward_opens_accepted(), 1u);
    EXPECT_EQ(sim.sessions_open(), 1u);
    // The session's socket is close-on-exec: no process started meanwhile
    // inherits it.
    std::size_t to_controller = 0;
    for (int fd = 3; fd < 1024; ++fd) {
      sockaddr_in peer{};
      socklen_t length = sizeof peer;
      if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET ||
          ntohs(peer.sin_port) != sim.port())
        continue;
      ++to_controller;
      EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;
    }
    EXPECT_EQ(to_controller, 1u);
  }
  // Another route is another session.
  sim.set_slot(2);
  const tag other(std::string("protocol=ab-eip&gateway=127.0.0.1:") + std::to_string(sim.port()) +
                      "&path=1,2&plc=controllogix&elem_size=4&name=Counter",
                  5000);
  ASSERT_GT(other.id(), 0) << plc_tag_decode_error(other.id());
  EXPECT_EQ(sim.sessions_registered(), 2u);
}

TEST(EipTags, TheLastTagClosesTheSession) {
  eip_simulator sim;
  tag a(attributes(sim, "Counter", 4), 5000);
  tag b(attributes(sim, "Level", 2), 5000);
  ASSERT_GT(a.id(), 0);
  ASSERT_GT(b.id(), 0);
  ASSERT_EQ(sim.sessions_open(), 1u);
  a.reset();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sim.sessions_open(), 1u);
  EXPECT_EQ(sim.forward_closes(), 0u);
  EXPECT_EQ(plc_tag_read(b.id(), 5000), status_ok) << "the other tag still reads";
  b.reset();
  EXPECT_TRUE(eventually([&] { return sim.sessions_open() == 0 && sim.connections_open() == 0; }));
  EXPECT_EQ(sim.forward_closes(), 1u);

  // A new tag opens a new session.
  const tag c(attributes(sim, "Counter", 4), 5000);
  ASSERT_GT(c.id(), 0);
  EXPECT_EQ(sim.sessions_registered(), 2u);
}

TEST(EipTags, Micro800HasNoRoute) {
  eip_simulator sim(eip_simulator::flavour::micro800);
  const tag t(attributes(sim, "Counter", 4), 5000);
  ASSERT_GT(t.id(), 0) << plc_tag_decode_error(t.id());
  EXPECT_EQ(sim.last_forward_open().path, (std::vector<std::uint8_t>{0x20, 0x02, 0x24, 0x01}));
  sim.set_int32("Counter", 77);
  ASSERT_EQ(plc_tag_read(t.id(), 5000), status_ok);
  EXPECT_EQ(plc_tag_get_int32(t.id(), 0), 77);
}

// ---- Fragmented transfers ------------------------------------------------------------------

TEST(EipTags, LargeArraysTravelInFragments) {
  eip_simulator sim;
  const tag t(attributes(sim, "Buffer", 4, 1000), 5000);
  ASSERT_GT(t.id(), 0) << plc_tag_decode_error(t.id());
  ASSERT_EQ(plc_tag_get_size(t.id()), 4000);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(plc_tag_get_int32(t.id(), 4 * i), i) << i;
  EXPECT_GE(sim.requests(0x52), 2u);

  for (int i = 0; i < 1000; ++i) ASSERT_EQ(plc_tag_set_int32(t.id(), 4 * i, 5 * i + 1), status_ok);
  ASSERT_EQ(plc_tag_write(t.id(), 5000), status_ok);
  EXPECT_GE(sim.requests(0x53), 2u);
  const std::vector<std::uint8_t> b = sim.get_bytes("Buffer");
  ASSERT_EQ(b.size(), 4000u);
  for (int i = 0; i < 1000; ++i) {
    std::int32_t v = 0;
    std::memcpy(&v, b.data() + 4 * i, 4);
    ASSERT_EQ(v, 5 * i + 1) << i;
  }
  EXPECT_EQ(sim.oversized_requests(), 0u);

  // A tag whose size is not given learns it from the reads.
  const std::size_t fragments = sim.requests(0x52);
  const tag unsized(attributes(sim, "Buffer", 0, 1000), 5000);
  ASSERT_GT(unsized.id(), 0) << plc_tag_decode_error(unsized.id());
  EXPECT_EQ(plc_tag_get_size(unsized.id()), 4000);
  EXPECT_EQ(plc_tag_get_int32(unsized.id(), 4 * 999), 5 * 999 + 1);
  EXPECT_GT(sim.requests(0x52), fragments);
}

TEST(EipTags, FragmentsOverTheSmallConnection) {
  eip_simulator sim;
  sim.set_large_forward_open(false);
  const tag t(attributes(sim, "Buffer", 4, 1000), 5000);
  ASSERT_GT(t.id(), 0) << plc_tag_decode_error(t.id());
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(plc_tag_get_int32(t.id(), 4 * i), i) << i;
  EXPECT_GE(sim.requests(0x52), 8u);
  for (int i = 0; i < 1000; ++i) plc_tag_set_int32(t.id(), 4 * i, -i);
  ASSERT_EQ(plc_tag_write(t.id(), 5000), status_ok);
  EXPECT_GE(sim.requests(0x53), 8u);
  EXPECT_EQ(sim.get_int32("Buffer[999]"), -999);
  EXPECT_EQ(sim.get_int32("Buffer[123]"), -123);
  EXPECT_EQ(sim.oversized_requests(), 0u);
}

// ---- Listing -------------------------------------------------------------------------------------

struct listed {
  std::uint32_t instance;
  std::uint16_t type;
  std::uint16_t elem_size;
  std::uint32_t dims[3];
};

// The listing's entries, read with the getters as the driver reads them.
std::map<std::string, listed> parse_listing(std::int32_t t) {
  std::map<std::string, listed> out;
  const int size = plc_tag_get_size(t);
  int offset = 0;
  while (offset < size) {
    listed e{};
    e.instance = plc_tag_get_uint32(t, offset);
    e.type = plc_tag_get_uint16(t, offset + 4);
    e.elem_size = plc_tag_get_uint16(t, offset + 6);
    for (int d = 0; d < 3; ++d) e.dims[d] = plc_tag_get_uint32(t, offset + 8 + 4 * d);
    const int length = plc_tag_get_string_length(t, offset + 20);
    if (length < 0) {
      ADD_FAILURE() << "unreadable name at " << offset;
      break;
    }
    std::string name(static_cast<std::size_t>(length) + 1, '\0');
    EXPECT_EQ(plc_tag_get_string(t, offset + 20, name.data(), length + 1), status_ok);
    name.resize(static_cast<std::size_t>(length));
    out[name] = e;
    offset += 20 + plc_tag_get_string_total_length(t, offset + 20);
  }
  EXPECT_EQ(offset, size);
  return out;
}

TEST(EipTags, ListsTagsPageByPageAndPerProgram) {
  eip_simulator sim;
  sim.set_large_forward_open(false);  // 502-byte replies: the listing takes pages
  for (int i = 0; i < 60; ++i) sim.add_tag("Listed_tag_with_a_long_name_" + std::to_string(i), sim_type::real);
  const tag listing(attributes(sim, "@tags"), 5000);
  ASSERT_GT(listing.id(), 0) << plc_tag_decode_error(listing.id());
  ASSERT_EQ(plc_tag_read(listing.id(), 5000), status_ok);
  EXPECT_GE(sim.requests(0x55), 3u);
  const auto entries = parse_listing(listing.id());
  ASSERT_TRUE(entries.contains("Counter"));
  EXPECT_EQ(entries.at("Counter").type, 0xC4);
  EXPECT_EQ(entries.at("Counter").elem_size, 4);
  ASSERT_TRUE(entries.contains("Arr"));
  EXPECT_EQ(entries.at("Arr").dims[0], 10u);
  EXPECT_EQ(entries.at("Arr").type & 0x6000, 0x2000);
  ASSERT_TRUE(entries.contains("Matrix"));
  EXPECT_EQ(entries.at("Matrix").dims[1], 3u);
  EXPECT_TRUE(entries.contains("Program:Main"));
  EXPECT_TRUE(entries.contains("Listed_tag_with_a_long_name_59"));
  EXPECT_TRUE(entries.contains("Listed_tag_with_a_long_name_0"));
  EXPECT_FALSE(entries.contains("Speed")) << "program tags are not at the controller scope";
  EXPECT_EQ(entries.size(), 76u);

  // Reading again gives the same listing, not twice as much.
  const int size = plc_tag_get_size(listing.id());
  ASSERT_EQ(plc_tag_read(listing.id(), 5000), status_ok);
  EXPECT_EQ(plc_tag_get_size(listing.id()), size);

  const tag program(attributes(sim, "Program:Main.@tags"), 5000);
  ASSERT_GT(program.id(), 0);
  ASSERT_EQ(plc_tag_read(program.id(), 5000), status_ok);
  const auto main = parse_listing(program.id());
  EXPECT_EQ(main.size(), 3u);
  ASSERT_TRUE(main.contains("Speed"));
  EXPECT_EQ(main.at("Speed").type, 0xCA);
  EXPECT_TRUE(main.contains("Count"));
  EXPECT_TRUE(main.contains("Mode"));
  EXPECT_EQ(plc_tag_write(program.id(), 5000), err_unsupported);
}

// ---- Raw requests and Omron controllers ---------------------------------------------------------------

int raw_request(std::int32_t raw, const std::vector<std::uint8_t>& request) {
  plc_tag_set_size(raw, static_cast<int>(request.size()));
  for (std::size_t i = 0; i < request.size(); ++i) plc_tag_set_uint8(raw, static_cast<int>(i), request[i]);
  return plc_tag_write(raw, 5000);
}

std::vector<std::uint8_t> buffer_of(std::int32_t t) {
  std::vector<std::uint8_t> b(static_cast<std::size_t>(plc_tag_get_size(t)));
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = plc_tag_get_uint8(t, static_cast<int>(i));
  return b;
}

TEST(EipTags, RawRequestsOnAnOmronController) {
  eip_simulator sim(eip_simulator::flavour::omron);
  const tag raw(attributes(sim, "@raw"), 5000);
  ASSERT_GT(raw.id(), 0) << plc_tag_decode_error(raw.id());
  EXPECT_EQ(sim.forward_opens(0x5B), 0u) << "NJ/NX controllers get the small Forward Open";
  EXPECT_EQ(sim.forward_opens(0x54), 1u);

  // Get_Attribute_All on class 0x6A, instance 0.
  ASSERT_EQ(raw_request(raw.id(), {0x01, 0x03, 0x20, 0x6A, 0x25, 0x00, 0x00, 0x00}), status_ok);
  const std::vector<std::uint8_t> reply = buffer_of(raw.id());
  ASSERT_GE(reply.size(), 8u);
  EXPECT_EQ(reply[0], 0x81);
  EXPECT_EQ(reply[2], 0x00) << "general status";
  EXPECT_EQ(reply[4] | reply[5] << 8, 1) << "data revision";
  EXPECT_GT(reply[6] | reply[7] << 8, 0) << "tag instances";

  // A request the controller refuses still comes back as its reply.
  ASSERT_EQ(raw_request(raw.id(), {0x4C, 0x03, 0x91, 0x04, 'N', 'o', 'p', 'e', 0x01, 0x00}), status_ok);
  const std::vector<std::uint8_t> refused = buffer_of(raw.id());
  ASSERT_EQ(refused.size(), 4u);
  EXPECT_EQ(refused[0], 0xCC);
  EXPECT_EQ(refused[2], 0x05);

  // The tags themselves.
  const tag counter(attributes(sim, "Counter", 4), 5000);
  ASSERT_GT(counter.id(), 0);
  EXPECT_EQ(plc_tag_read(raw.id(), 5000), err_unsupported);
  plc_tag_set_size(raw.id(), 0);
  EXPECT_EQ(plc_tag_write(raw.id(), 5000), err_no_data);
}

TEST(EipTags, OmronWithoutConnectedMessagingUsesUnconnectedMessages) {
  eip_simulator sim(eip_simulator::flavour::omron);
  sim.inject_cip_error(0x01, 0x0113);  // the Forward Open: out of connections
  const tag raw(attributes(sim, "@raw"), 5000);
  ASSERT_GT(raw.id(), 0) << plc_tag_decode_error(raw.id());
  ASSERT_EQ(raw_request(raw.id(), {0x01, 0x03, 0x20, 0x6A, 0x25, 0x00, 0x00, 0x00}), status_ok);
  EXPECT_EQ(buffer_of(raw.id())[0], 0x81);
  const std::vector<tag> tags = create_counters(sim, 50);
  read_all(tags);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(plc_tag_get_int32(tags[i].id(), 0), i * 3);
  EXPECT_EQ(sim.unit_data_requests(), 0u);
  EXPECT_GT(sim.unconnected_sends(), 0u) << "carried along the route 1,0";
  EXPECT_GT(sim.multiple_service_packets(), 0u);
}

// ---- Failures ----------------------------------------------------------------------------------------------

TEST(EipTags, AnUnknownTagEndsWithNotFound) {
  eip_simulator sim;
  EXPECT_EQ(plc_tag_create(attributes(sim, "NoSuchTag", 4).c_str(), 5000), err_not_found);
  const tag t(attributes(sim, "NoSuchTag", 4), 0);
  ASSERT_GT(t.id(), 0);
  EXPECT_EQ(wait_status(t.id()), err_not_found);
  // Packed with known tags, it fails alone.
  std::vector<tag> tags = create_counters(sim, 10);
  tags.emplace_back(attributes(sim, "AlsoMissing", 4), 0);
  EXPECT_EQ(wait_status(tags.back().id()), err_not_found);
  tags.pop_back();
  read_all(tags);
}

TEST(EipTags, CipErrorsEndTheOperationAndTheSessionGoesOn) {
  eip_simulator sim;
  const tag t(attributes(sim, "Counter", 4), 5000);
  ASSERT_GT(t.id(), 0);
  sim.inject_cip_error(0xFF, 0x2105);
  EXPECT_EQ(plc_tag_read(t.id(), 5000), err_out_of_bounds);
  sim.inject_cip_error(0x08);
  EXPECT_EQ(plc_tag_write(t.id(), 5000), err_unsupported);
  sim.set_int32("Counter", 5);
  EXPECT_EQ(plc_tag_read(t.id(), 5000), status_ok);
  EXPECT_EQ(plc_tag_get_int32(t.id(), 0), 5);
  EXPECT_EQ(sim.sessions_registered(), 1u);

  // A packet answered with an error fails its tags, and only them.
  const std::vector<tag> tags = create_counters(sim, 10);
  sim.inject_cip_error(0x02);
  for (const tag& x : tags) ASSERT_EQ(plc_tag_read(x.id(), 0), status_pending);
  for (const tag& x : tags) EXPECT_EQ(wait_status(x.id()), err_no_resources);
  read_all(tags);
}

TEST(EipTags, MalformedRepliesEndWithAnErrorAndTheNextOperationReconnects) {
  struct fault_case {
    eip_simulator::fault fault;
    int expected;
  };
  // Each on its own controller, at the same time: two of them wait out the
  // 5 s reply time-out.
  const std::vector<fault_case> cases{
      {eip_simulator::fault::short_header, err_timeout},
      {eip_simulator::fault::lying_length, err_timeout},
      {eip_simulator::fault::close_mid_reply, err_bad_connection},
      {eip_simulator::fault::silent, err_timeout},
  };
  std::vector<std::unique_ptr<eip_simulator>> sims;
  std::vector<tag> tags;
  for (const fault_case& c : cases) {
    sims.push_back(std::make_unique<eip_simulator>());
    tags.emplace_back(attributes(*sims.back(), "Counter", 4), 5000);
    ASSERT_GT(tags.back().id(), 0);
    sims.back()->inject_fault(c.fault);
  }
  const auto started = std::chrono::steady_clock::now();
  for (const tag& t : tags) ASSERT_EQ(plc_tag_read(t.id(), 0), status_pending);
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(wait_status(tags[i].id(), 10000ms), cases[i].expected) << i;
  EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    sims[i]->set_int32("Counter", 40 + static_cast<int>(i));
    EXPECT_EQ(plc_tag_read(tags[i].id(), 5000), status_ok) << i;
    EXPECT_EQ(plc_tag_get_int32(tags[i].id(), 0), 40 + static_cast<int>(i));
    EXPECT_EQ(sims[i]->sessions_registered(), 2u) << "reconnected";
  }
}

TEST(EipTags, AStoppedControllerGivesErrorsAndARestartedOneWorksAgain) {
  eip_simulator sim;
  const std::vector<tag> tags = create_counters(sim, 5);
  sim.stop();
  for (const tag& t : tags) ASSERT_EQ(plc_tag_read(t.id(), 0), status_pending);
  for (const tag& t : tags) {
    const int s = wait_status(t.id());
    EXPECT_TRUE(s == err_bad_connection || s == err_bad_gateway) << plc_tag_decode_error(s);
  }
  // Still down: the next attempt fails again, without waiting long.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(plc_tag_read(tags[0].id(), 5000), err_bad_gateway);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  sim.start();
  sim.set_int32("Tag0004", 444);
  read_all(tags);
  EXPECT_EQ(plc_tag_get_int32(tags[4].id(), 0), 444);
}

TEST(EipTags, NoCallWaitsOnTheNetworkWithoutATimeOut) {
  eip_simulator sim;
  const tag t(attributes(sim, "Counter", 4), 5000);
  ASSERT_GT(t.id(), 0);
  sim.set_delay_ms(300);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(plc_tag_read(t.id(), 0), status_pending);
  EXPECT_EQ(plc_tag_read(t.id(), 0), err_busy);
  EXPECT_EQ(plc_tag_status(t.id()), status_pending);
  const tag other(attributes(sim, "Level", 2), 0);
  EXPECT_EQ(plc_tag_status(other.id()), status_pending);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 100ms);
  EXPECT_EQ(wait_status(t.id()), status_ok);
  EXPECT_EQ(wait_status(other.id()), status_ok);
  // A blocking read that runs out of time ends with err_timeout.
  sim.set_delay_ms(1000);
  EXPECT_EQ(plc_tag_read(t.id(), 100), err_timeout);
  EXPECT_EQ(plc_tag_status(t.id()), err_timeout);
  sim.set_delay_ms(0);
  EXPECT_EQ(plc_tag_read(t.id(), 5000), status_ok);
  // Abort and destroy with work on its way.
  sim.set_delay_ms(200);
  ASSERT_EQ(plc_tag_read(t.id(), 0), status_pending);
  EXPECT_EQ(plc_tag_abort(t.id()), status_ok);
  EXPECT_EQ(plc_tag_status(t.id()), err_abort);
  tag doomed(attributes(sim, "Counter", 4), 0);
  doomed.reset();
}

TEST(EipTags, CallsFromManyThreadsAtOnce) {
  eip_simulator sim;
  const std::vector<tag> shared = create_counters(sim, 50);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 4; ++w) {
    threads.emplace_back([&, w] {
      for (int round = 0; round < 20; ++round) {
        // Each thread's own tags, created, written, read and destroyed.
        const tag mine(attributes(sim, "Arr[" + std::to_string(w) + "]", 4), 0);
        if (wait_status(mine.id()) != status_ok) ++failures;
        plc_tag_set_int32(mine.id(), 0, w * 1000 + round);
        if (plc_tag_write(mine.id(), 5000) != status_ok) ++failures;
        if (plc_tag_read(mine.id(), 5000) != status_ok || plc_tag_get_int32(mine.id(), 0) != w * 1000 + round)
          ++failures;
        // Shared tags: reads may find another thread's read running.
        for (int i = w; i < 50; i += 4) {
          const int r = plc_tag_read(shared[i].id(), 0);
          if (r != status_pending && r != err_busy) ++failures;
        }
        for (int i = w; i < 50; i += 4)
          if (wait_status(shared[i].id()) != status_ok) ++failures;
        for (int i = 0; i < 50; ++i) (void)plc_tag_get_int32(shared[i].id(), 0);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(sim.sessions_registered(), 1u);
}

}  // namespace
}  // namespace kvt::plc::eip
