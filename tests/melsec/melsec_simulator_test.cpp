// The MELSEC test controller, frame by frame: the protocol reference's
// worked examples sent over a socket and the replies compared byte for
// byte, the iQ-R subcommands, the end codes of bad requests, and the
// connection switches.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "melsec/melsec_simulator.hpp"
#include "melsec/melsec_test_wire.hpp"
#include "support/eventually.hpp"

namespace kvt::test {
namespace {

using melsec_wire::bytes;
using melsec_wire::request;
using melsec_wire::wire;

// 16 or 32 points of a bit device from `first`, lowest number = bit 0.
void set_bits(melsec_simulator& sim, const char* device, std::uint32_t first, std::uint32_t value, unsigned count) {
  for (unsigned i = 0; i < count; ++i) sim.set_bit(device, first + i, ((value >> i) & 1u) != 0);
}
std::uint32_t bits(const melsec_simulator& sim, const char* device, std::uint32_t first, unsigned count) {
  std::uint32_t v = 0;
  for (unsigned i = 0; i < count; ++i) v |= (sim.bit(device, first + i) ? 1u : 0u) << i;
  return v;
}

// A normal response: subheader, the own-CPU routing, length, end code 0, data.
bytes normal_response(const bytes& data) {
  bytes b{0xD0, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00};
  b.push_back(static_cast<std::uint8_t>(2 + data.size()));
  b.push_back(static_cast<std::uint8_t>((2 + data.size()) >> 8));
  b.push_back(0x00);
  b.push_back(0x00);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

TEST(melsec_simulator, whole_frame_of_the_worked_batch_read) {
  melsec_simulator sim;
  sim.set_word("D", 100, 0x1995);
  sim.set_word("D", 101, 0x1202);
  sim.set_word("D", 102, 0x1130);
  wire w(sim.port());
  ASSERT_TRUE(w.connected());
  // D100..D102 in word units, every byte as the protocol reference's
  // worked example of a 3E binary frame shows it.
  const bytes req{0x50, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x0C, 0x00, 0x10, 0x00,
                  0x01, 0x04, 0x00, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x03, 0x00};
  const bytes want{0xD0, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x08, 0x00, 0x00, 0x00,
                   0x95, 0x19, 0x02, 0x12, 0x30, 0x11};
  EXPECT_EQ(w.exchange(req), want);
  EXPECT_EQ(sim.requests(), 1u);
  EXPECT_EQ(sim.requests(0x0401), 1u);
  EXPECT_EQ(sim.requests(0x1401), 0u);
}

struct example {
  const char* name;
  std::function<void(melsec_simulator&)> prepare;
  bytes body;   // command, subcommand, request data
  bytes reply;  // response data after the end code
  std::function<void(const melsec_simulator&)> check;
};

void PrintTo(const example& e, std::ostream* os) { *os << e.name; }

void none(melsec_simulator&) {}
void nothing(const melsec_simulator&) {}

const std::vector<example>& examples() {
  static const std::vector<example> table{
      // --- the protocol reference's worked examples ----------------------------
      {"batch read, bit device in word units (M100..M131)",
       [](melsec_simulator& s) {
         set_bits(s, "M", 100, 0x1234, 16);
         set_bits(s, "M", 116, 0x0002, 16);
       },
       {0x01, 0x04, 0x00, 0x00, 0x64, 0x00, 0x00, 0x90, 0x02, 0x00},
       {0x34, 0x12, 0x02, 0x00},
       nothing},
      {"batch read in bit units (M100..M107)",
       [](melsec_simulator& s) {
         s.set_bit("M", 103, true);
         s.set_bit("M", 106, true);
         s.set_bit("M", 107, true);
       },
       {0x01, 0x04, 0x01, 0x00, 0x64, 0x00, 0x00, 0x90, 0x08, 0x00},
       {0x00, 0x01, 0x00, 0x11},
       nothing},
      {"batch write in word units (D100..D102)", none,
       {0x01, 0x14, 0x00, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x03, 0x00, 0x95, 0x19, 0x02, 0x12, 0x30, 0x11},
       {},
       [](const melsec_simulator& s) {
         EXPECT_EQ(s.word("D", 100), 0x1995);
         EXPECT_EQ(s.word("D", 101), 0x1202);
         EXPECT_EQ(s.word("D", 102), 0x1130);
       }},
      {"batch write, bit device in word units (M16..M47)", none,
       {0x01, 0x14, 0x00, 0x00, 0x10, 0x00, 0x00, 0x90, 0x02, 0x00, 0x12, 0xAB, 0xCD, 0x34},
       {},
       [](const melsec_simulator& s) {
         EXPECT_EQ(bits(s, "M", 16, 16), 0xAB12u);
         EXPECT_EQ(bits(s, "M", 32, 16), 0x34CDu);
         EXPECT_FALSE(s.bit("M", 15));
         EXPECT_FALSE(s.bit("M", 48));
       }},
      {"batch write in word units (D350, D351)", none,
       {0x01, 0x14, 0x00, 0x00, 0x5E, 0x01, 0x00, 0xA8, 0x02, 0x00, 0xAB, 0x56, 0x0F, 0x17},
       {},
       [](const melsec_simulator& s) {
         EXPECT_EQ(s.word("D", 350), 0x56AB);
         EXPECT_EQ(s.word("D", 351), 0x170F);
       }},
      {"random read in words and double words (D0, T0, M100, X20; D1500, Y160, M1111)",
       [](melsec_simulator& s) {
         s.set_word("D", 0, 0x1995);
         s.set_word("TN", 0, 0x1202);
         set_bits(s, "M", 100, 0x2030, 16);
         set_bits(s, "X", 0x20, 0x0049, 16);
         s.set_word("D", 1500, 0x4F4E);
         s.set_word("D", 1501, 0x4C54);
         set_bits(s, "Y", 0x160, 0xC3DEB9AF, 32);
         set_bits(s, "M", 1111, 0xBADDBCB7, 32);
       },
       {0x03, 0x04, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00, 0x00, 0xA8, 0x00, 0x00, 0x00, 0xC2, 0x64, 0x00, 0x00, 0x90,
        0x20, 0x00, 0x00, 0x9C, 0xDC, 0x05, 0x00, 0xA8, 0x60, 0x01, 0x00, 0x9D, 0x57, 0x04, 0x00, 0x90},
       {0x95, 0x19, 0x02, 0x12, 0x30, 0x20, 0x49, 0x00, 0x4E, 0x4F, 0x54, 0x4C, 0xAF, 0xB9, 0xDE, 0xC3, 0xB7, 0xBC,
        0xDD, 0xBA},
       nothing},
      {"random write in bit units (M50 off, Y2F on)", [](melsec_simulator& s) { s.set_bit("M", 50, true); },
       {0x02, 0x14, 0x01, 0x00, 0x02, 0x32, 0x00, 0x00, 0x90, 0x00, 0x2F, 0x00, 0x00, 0x9D, 0x01},
       {},
       [](const melsec_simulator& s) {
         EXPECT_FALSE(s.bit("M", 50));
         EXPECT_TRUE(s.bit("Y", 0x2F));
       }},
      // --- the same layouts with other values -------------------------------------
      {"random write in words and double words (D0, D1, M100, X20; D1500, Y160, M1111)", none,
       {0x02, 0x14, 0x00, 0x00, 0x04, 0x03,                          // word points 4, double word points 3
        0x00, 0x00, 0x00, 0xA8, 0x50, 0x05, 0x01, 0x00, 0x00, 0xA8, 0x75, 0x05,  // D0, D1
        0x64, 0x00, 0x00, 0x90, 0x40, 0x05, 0x20, 0x00, 0x00, 0x9C, 0x83, 0x05,  // M100, X20
        0xDC, 0x05, 0x00, 0xA8, 0x02, 0x12, 0x39, 0x04,                          // D1500
        0x60, 0x01, 0x00, 0x9D, 0x07, 0x26, 0x75, 0x23,                          // Y160
        0x57, 0x04, 0x00, 0x90, 0xAC, 0x42, 0x75, 0x04},                         // M1111
       {},
       [](const melsec_simulator& s) {
         EXPECT_EQ(s.word("D", 0), 0x0550);
         EXPECT_EQ(s.word("D", 1), 0x0575);
         EXPECT_EQ(bits(s, "M", 100, 16), 0x0540u);
         EXPECT_EQ(bits(s, "X", 0x20, 16), 0x0583u);
         EXPECT_EQ(s.word("D", 1500), 0x1202);
         EXPECT_EQ(s.word("D", 1501), 0x0439);
         EXPECT_EQ(bits(s, "Y", 0x160, 32), 0x23752607u);
         EXPECT_EQ(bits(s, "M", 1111, 32), 0x047542ACu);
       }},
      {"batch write in bit units, odd count (M100..M104)", none,
       {0x01, 0x14, 0x01, 0x00, 0x64, 0x00, 0x00, 0x90, 0x05, 0x00, 0x11, 0x01, 0x10},
       {},
       [](const melsec_simulator& s) {
         EXPECT_EQ(bits(s, "M", 99, 7), 0x36u);  // M100, M101, M103, M104 on; M99 and M105 untouched
       }},
      // --- iQ-R subcommands: 4-byte device numbers, 2-byte device codes ----------
      {"iQ-R batch read in words (D100..D102)",
       [](melsec_simulator& s) {
         s.set_word("D", 100, 0x1995);
         s.set_word("D", 101, 0x1202);
         s.set_word("D", 102, 0x1130);
       },
       {0x01, 0x04, 0x02, 0x00, 0x64, 0x00, 0x00, 0x00, 0xA8, 0x00, 0x03, 0x00},
       {0x95, 0x19, 0x02, 0x12, 0x30, 0x11},
       nothing},
      {"iQ-R batch read in bits (X1F..X21)", [](melsec_simulator& s) { s.set_bit("X", 0x21, true); },
       {0x01, 0x04, 0x03, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x9C, 0x00, 0x03, 0x00},
       {0x00, 0x10},
       nothing},
      {"iQ-R batch write in words (W100, W101)", none,
       {0x01, 0x14, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0xB4, 0x00, 0x02, 0x00, 0x34, 0x12, 0x78, 0x56},
       {},
       [](const melsec_simulator& s) {
         EXPECT_EQ(s.word("W", 0x100), 0x1234);
         EXPECT_EQ(s.word("W", 0x101), 0x5678);
       }},
      {"iQ-R batch read of long timers: value, coil and contact (LTN5, LTN6)",
       [](melsec_simulator& s) {
         s.set_dword("LTN", 5, 0x12345678);
         s.set_bit("LTC", 5, true);
         s.set_dword("LTN", 6, 70000);
         s.set_bit("LTS", 6, true);
       },
       {0x01, 0x04, 0x02, 0x00, 0x05, 0x00, 0x00, 0x00, 0x52, 0x00, 0x02, 0x00},
       {0x78, 0x56, 0x34, 0x12, 0x01, 0x00, 0x00, 0x00, 0x70, 0x11, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00},
       nothing},
      {"iQ-R batch write and read of long counters (LCN1, LCN2)", none,
       {0x01, 0x14, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x56, 0x00, 0x02, 0x00, 0x01, 0x00, 0x01, 0x00, 0xFF, 0xFF,
        0xFF, 0xFF},
       {},
       [](const melsec_simulator& s) {
         EXPECT_EQ(s.dword("LCN", 1), 0x00010001u);
         EXPECT_EQ(s.dword("LCN", 2), 0xFFFFFFFFu);
       }},
      {"iQ-R random read (D7 word; LTN3, LCN4 and D8 double words)",
       [](melsec_simulator& s) {
         s.set_word("D", 7, 0xBEEF);
         s.set_dword("LTN", 3, 0x01020304);
         s.set_dword("LCN", 4, 0xA0B0C0D0);
         s.set_word("D", 8, 0x1111);
         s.set_word("D", 9, 0x2222);
       },
       {0x03, 0x04, 0x02, 0x00, 0x01, 0x03, 0x07, 0x00, 0x00, 0x00, 0xA8, 0x00, 0x03, 0x00, 0x00, 0x00, 0x52,
        0x00, 0x04, 0x00, 0x00, 0x00, 0x56, 0x00, 0x08, 0x00, 0x00, 0x00, 0xA8, 0x00},
       {0xEF, 0xBE, 0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0, 0x11, 0x11, 0x22, 0x22},
       nothing},
      {"iQ-R random write (SD10 word; LTN9 double word)", none,
       {0x02, 0x14, 0x02, 0x00, 0x01, 0x01, 0x0A, 0x00, 0x00, 0x00, 0xA9, 0x00, 0xCD, 0xAB, 0x09, 0x00, 0x00,
        0x00, 0x52, 0x00, 0x80, 0x96, 0x98, 0x00},
       {},
       [](const melsec_simulator& s) {
         EXPECT_EQ(s.word("SD", 10), 0xABCD);
         EXPECT_EQ(s.dword("LTN", 9), 10000000u);
       }},
      {"iQ-R random write in bits (LTS2 on, SM400 on, B1F on)", none,
       {0x02, 0x14, 0x03, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00, 0x51, 0x00, 0x01, 0x00, 0x90, 0x01, 0x00, 0x00,
        0x91, 0x00, 0x01, 0x00, 0x1F, 0x00, 0x00, 0x00, 0xA0, 0x00, 0x01, 0x00},
       {},
       [](const melsec_simulator& s) {
         EXPECT_TRUE(s.bit("LTS", 2));
         EXPECT_TRUE(s.bit("SM", 400));
         EXPECT_TRUE(s.bit("B", 0x1F));
         EXPECT_FALSE(s.bit("LTS", 1));
       }},
  };
  return table;
}

class worked_example : public ::testing::TestWithParam<example> {};

TEST_P(worked_example, reply_and_memory_match) {
  const example& e = GetParam();
  melsec_simulator sim;
  e.prepare(sim);
  wire w(sim.port());
  ASSERT_TRUE(w.connected());
  EXPECT_EQ(w.exchange(request(e.body)), normal_response(e.reply)) << e.name;
  e.check(sim);
}

INSTANTIATE_TEST_SUITE_P(frames, worked_example, ::testing::ValuesIn(examples()),
                         [](const auto& test) { return "example_" + std::to_string(test.index); });

// --- bad requests -------------------------------------------------------------------

struct bad_request {
  const char* name;
  bytes body;  // command, subcommand, request data
  std::uint16_t end_code;
  bytes routing = melsec_wire::own_cpu;
};

void PrintTo(const bad_request& r, std::ostream* os) { *os << r.name; }

// `n` copies of a random access device entry.
bytes repeated(bytes head, const bytes& entry, unsigned n) {
  for (unsigned i = 0; i < n; ++i) head.insert(head.end(), entry.begin(), entry.end());
  return head;
}

const std::vector<bad_request>& bad_requests() {
  static const std::vector<bad_request> table{
      {"unknown command", {0x19, 0x06, 0x00, 0x00}, 0xC059},
      {"unknown subcommand of batch read", {0x01, 0x04, 0x04, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x01, 0x00}, 0xC059},
      {"random read in bit units", {0x03, 0x04, 0x01, 0x00, 0x01, 0x00, 0x64, 0x00, 0x00, 0x90}, 0xC059},
      {"batch read past D's last number", {0x01, 0x04, 0x00, 0x00, 0xFF, 0x2F, 0x00, 0xA8, 0x02, 0x00}, 0xC056},
      {"batch read of M in words past its end", {0x01, 0x04, 0x00, 0x00, 0xF1, 0x1F, 0x00, 0x90, 0x01, 0x00}, 0xC056},
      {"batch read of 961 words", {0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA8, 0xC1, 0x03}, 0xC052},
      {"batch read of no words", {0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA8, 0x00, 0x00}, 0xC052},
      {"batch read of 241 long timers (964 words)",
       {0x01, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x52, 0x00, 0xF1, 0x00}, 0xC052},
      {"batch read of 7169 bits", {0x01, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x90, 0x01, 0x1C}, 0xC051},
      {"batch read of D in bit units", {0x01, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0xA8, 0x01, 0x00}, 0xC05C},
      {"unknown device code", {0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00}, 0xC05B},
      {"long timer with a Q/L subcommand", {0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x52, 0x01, 0x00}, 0xC05B},
      {"batch write to a long timer",
       {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x52, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, 0xC05B},
      {"batch write of 3 words with 2 words of data",
       {0x01, 0x14, 0x00, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00}, 0xC061},
      {"batch read with a byte too many", {0x01, 0x04, 0x00, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x01, 0x00, 0x00}, 0xC061},
      {"batch write in bits with data other than 0 / 1",
       {0x01, 0x14, 0x01, 0x00, 0x64, 0x00, 0x00, 0x90, 0x02, 0x00, 0x12}, 0xC060},
      {"random read of 193 points", repeated({0x03, 0x04, 0x00, 0x00, 0xC1, 0x00}, {0x00, 0x00, 0x00, 0xA8}, 193),
       0xC054},
      {"iQ-R random read of 97 points",
       repeated({0x03, 0x04, 0x02, 0x00, 0x00, 0x61}, {0x00, 0x00, 0x00, 0x00, 0xA8, 0x00}, 97), 0xC054},
      {"random read of no points", {0x03, 0x04, 0x00, 0x00, 0x00, 0x00}, 0xC054},
      {"random read of a long timer in words",
       {0x03, 0x04, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x52, 0x00}, 0xC05B},
      {"random read of D12287 as a double word", {0x03, 0x04, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x2F, 0x00, 0xA8},
       0xC056},
      {"random read with a device missing", {0x03, 0x04, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0xA8}, 0xC061},
      {"random write of 138 double words (1932 > 1920)",
       repeated({0x02, 0x14, 0x00, 0x00, 0x00, 0x8A}, {0x00, 0x00, 0x00, 0xA8, 0, 0, 0, 0}, 138), 0xC054},
      {"iQ-R random write of 81 words (972 > 960)",
       repeated({0x02, 0x14, 0x02, 0x00, 0x51, 0x00}, {0x00, 0x00, 0x00, 0x00, 0xA8, 0x00, 0, 0}, 81), 0xC054},
      {"random write of 189 bits", repeated({0x02, 0x14, 0x01, 0x00, 0xBD}, {0x00, 0x00, 0x00, 0x90, 0x01}, 189),
       0xC053},
      {"iQ-R random write of 95 bits",
       repeated({0x02, 0x14, 0x03, 0x00, 0x5F}, {0x00, 0x00, 0x00, 0x00, 0x90, 0x00, 0x01, 0x00}, 95), 0xC053},
      {"random write in bits to D", {0x02, 0x14, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA8, 0x01}, 0xC05C},
      {"random write in bits with set / reset 2", {0x02, 0x14, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x90, 0x02},
       0xC060},
      {"random write whose second point is past the end",
       {0x02, 0x14, 0x00, 0x00, 0x02, 0x00, 0x05, 0x00, 0x00, 0xA8, 0x01, 0x00, 0x00, 0x30, 0x00, 0xA8, 0x01, 0x00},
       0xC056},
      {"request data too short for a subcommand", {0x01, 0x04}, 0xC061},
      {"another PC number", {0x01, 0x04, 0x00, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x01, 0x00}, 0xC05F,
       {0x00, 0x01, 0xFF, 0x03, 0x00}},
      {"another network", {0x01, 0x04, 0x00, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x01, 0x00}, 0xC05F,
       {0x01, 0xFF, 0xFF, 0x03, 0x00}},
  };
  return table;
}

class refused : public ::testing::TestWithParam<bad_request> {};

TEST_P(refused, with_its_end_code_and_error_information) {
  const bad_request& r = GetParam();
  melsec_simulator sim;
  wire w(sim.port());
  ASSERT_TRUE(w.connected());
  const bytes reply = w.exchange(request(r.body, r.routing));
  // Subheader, the request's routing, length 11, end code, then the
  // routing, command and subcommand again as error information.
  bytes want{0xD0, 0x00};
  want.insert(want.end(), r.routing.begin(), r.routing.end());
  want.insert(want.end(), {0x0B, 0x00, static_cast<std::uint8_t>(r.end_code), static_cast<std::uint8_t>(r.end_code >> 8)});
  want.insert(want.end(), r.routing.begin(), r.routing.end());
  bytes command_and_sub = r.body;
  command_and_sub.resize(4, 0x00);
  want.insert(want.end(), command_and_sub.begin(), command_and_sub.end());
  EXPECT_EQ(reply, want) << r.name;
  // Nothing was written: the memory the requests aim at is still zero.
  EXPECT_EQ(sim.word("D", 5), 0);
  EXPECT_EQ(sim.word("D", 0), 0);
  EXPECT_FALSE(sim.bit("M", 100));
  EXPECT_FALSE(sim.bit("M", 0));
  // The connection stays usable.
  EXPECT_EQ(w.exchange(request({0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA8, 0x01, 0x00})),
            normal_response({0x00, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(frames, refused, ::testing::ValuesIn(bad_requests()),
                         [](const auto& test) { return "case_" + std::to_string(test.index); });

// --- framing and switches ------------------------------------------------------------

TEST(melsec_simulator, two_requests_in_one_segment_are_answered_in_turn) {
  melsec_simulator sim;
  sim.set_word("D", 1, 7);
  wire w(sim.port());
  bytes both = request({0x01, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA8, 0x01, 0x00, 0x2A, 0x00});
  const bytes read = request({0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA8, 0x02, 0x00});
  both.insert(both.end(), read.begin(), read.end());
  ASSERT_TRUE(w.send(both));
  EXPECT_EQ(w.frame(), normal_response({}));
  EXPECT_EQ(w.frame(), normal_response({0x2A, 0x00, 0x07, 0x00}));
  EXPECT_EQ(sim.requests(0x1401), 1u);
  EXPECT_EQ(sim.requests(0x0401), 1u);
}

TEST(melsec_simulator, a_wrong_subheader_closes_the_connection) {
  melsec_simulator sim;
  for (const bytes& frame : {bytes{0x54, 0x00, 0x34, 0x12, 0x00, 0x00}, bytes{0xD0, 0x00, 0x00, 0xFF}}) {
    wire w(sim.port());
    ASSERT_TRUE(w.connected());
    ASSERT_TRUE(w.send(frame));
    EXPECT_TRUE(w.closed());
  }
  EXPECT_EQ(sim.requests(), 0u);
}

TEST(melsec_simulator, dropping_closes_each_request_unanswered) {
  melsec_simulator sim;
  const bytes read = request({0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA8, 0x01, 0x00});
  sim.set_drop_connections(true);
  {
    wire w(sim.port());
    ASSERT_TRUE(w.connected());
    ASSERT_TRUE(w.send(read));
    EXPECT_TRUE(w.closed());
  }
  EXPECT_EQ(sim.requests(), 0u);
  sim.set_drop_connections(false);
  wire w(sim.port());
  EXPECT_EQ(w.exchange(read), normal_response({0x00, 0x00}));
  EXPECT_EQ(sim.requests(), 1u);
  EXPECT_EQ(sim.connections_accepted(), 2u);
}

TEST(melsec_simulator, stop_and_start_keep_the_port_and_the_memory) {
  melsec_simulator sim;
  const std::uint16_t port = sim.port();
  sim.set_word("D", 10, 1234);
  auto w = std::make_unique<wire>(port);
  ASSERT_TRUE(w->connected());
  ASSERT_TRUE(eventually([&] { return sim.connections_open() == 1; }));
  sim.stop();
  EXPECT_EQ(sim.connections_open(), 0u);
  EXPECT_FALSE(sim.running());
  EXPECT_TRUE(w->closed());
  EXPECT_FALSE(wire(port).connected());
  sim.start();
  EXPECT_EQ(sim.port(), port);
  wire again(port);
  ASSERT_TRUE(again.connected());
  EXPECT_EQ(again.exchange(request({0x01, 0x04, 0x00, 0x00, 0x0A, 0x00, 0x00, 0xA8, 0x01, 0x00})),
            normal_response({0xD2, 0x04}));
  EXPECT_EQ(sim.connections_accepted(), 2u);
}

TEST(melsec_simulator, memory_accessors_refuse_unknown_devices_kinds_and_numbers) {
  melsec_simulator sim;
  EXPECT_THROW(sim.set_word("M", 0, 1), std::invalid_argument);
  EXPECT_THROW(sim.set_bit("D", 0, true), std::invalid_argument);
  EXPECT_THROW(sim.word("LTN", 0), std::invalid_argument);
  EXPECT_THROW(sim.dword("D", 0), std::invalid_argument);
  EXPECT_THROW(sim.word("ZR", 0), std::invalid_argument);
  EXPECT_THROW(sim.word("D", 12288), std::invalid_argument);
  EXPECT_THROW(sim.bit("X", 0x2000), std::invalid_argument);
  EXPECT_NO_THROW(sim.set_word("D", 12287, 1));
  EXPECT_NO_THROW(sim.set_bit("X", 0x1FFF, true));
  EXPECT_NO_THROW(sim.set_dword("LCN", 1023, 1));
}

}  // namespace
}  // namespace kvt::test
