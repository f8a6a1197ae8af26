// The FINS client against the simulator on loopback: service ids, error
// accounting, foreign and late datagrams, long writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "fins/fins_simulator.hpp"
#include "plc/fins/client.hpp"
#include "support/eventually.hpp"

namespace kvt::test {
namespace {

namespace fins = kvt::plc::fins;
using sim = fins_simulator;

std::unique_ptr<fins::client> open_client(const fins_simulator& s, std::string_view host = "127.0.0.1",
                                          std::uint32_t timeout_ms = 2000) {
  fins::client_settings settings;
  settings.host = host;
  settings.port = s.port();
  settings.nodes = {.dna = 0, .da1 = 10, .sna = 0, .sa1 = 1};
  settings.timeout_ms = timeout_ms;
  fins::result_code r = 0;
  auto c = fins::client::open(settings, r);
  EXPECT_EQ(r, fins::code::ok);
  return c;
}

TEST(FinsClient, LearnsTheModelAndFamily) {
  // CS/CJ controllers answer the controller data read with 160 bytes, C/CV
  // ones with 161; an answer too short for the model is refused.
  const struct {
    const char* model;
    std::size_t length;
    fins::result_code result;
    fins::family family;
  } cases[] = {
      {"CJ2M-CPU31", 160, fins::code::ok, fins::family::cs_cj},
      {"CV1000", 161, fins::code::ok, fins::family::cv},
      {"CJ2M-CPU31", 21, fins::code::bad_response_length, fins::family::unknown},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.length);
    fins_simulator s(k.model);
    s.set_controller_data_length(k.length);
    auto c = open_client(s);
    ASSERT_EQ(c->read_controller_data(), k.result);
    if (k.result == fins::code::ok) {
      EXPECT_EQ(c->model(), k.model);
    }
    EXPECT_EQ(c->family(), k.family);
    EXPECT_EQ(c->next_sid(), 1);
  }
}

TEST(FinsClient, AnEmptyHostGivesNoClientAndANameFailsTheFirstExchange) {
  fins_simulator s;
  fins::client_settings settings;
  fins::result_code r = 0;
  EXPECT_EQ(fins::client::open(settings, r), nullptr);
  EXPECT_EQ(r, fins::code::no_host);
  auto c = open_client(s, "localhost");
  EXPECT_EQ(c->read_controller_data(), fins::code::host_not_resolvable);
  EXPECT_FALSE(c->is_open());
  EXPECT_EQ(s.requests(sim::controller_data_read), 0u);
}

TEST(FinsClient, AWrongServiceIdFailsAndTheSecondFailureClosesTheSocket) {
  fins_simulator s;
  s.set_sid_offset(1);
  auto c = open_client(s);
  EXPECT_EQ(c->read_controller_data(), fins::code::response_mismatch);
  EXPECT_TRUE(c->is_open());
  EXPECT_EQ(c->read_controller_data(), fins::code::too_many_errors);
  EXPECT_FALSE(c->is_open());
  EXPECT_EQ(c->read_controller_data(), fins::code::not_connected);
  EXPECT_EQ(s.requests(sim::controller_data_read), 2u);
}

TEST(FinsClient, ASuccessResetsTheFailureCount) {
  fins_simulator s;
  auto c = open_client(s);
  ASSERT_EQ(c->read_controller_data(), fins::code::ok);
  s.set_end_code(0x0401);
  std::vector<fins::read_item> items(1);
  std::snprintf(items[0].address, sizeof items[0].address, "DM1.0");
  EXPECT_EQ(c->read_multiple(items), 0x0401);
  s.set_end_code(0);
  EXPECT_EQ(c->read_multiple(items), fins::code::ok);
  s.set_end_code(0x1103);
  EXPECT_EQ(c->read_multiple(items), 0x1103) << "one failure again, not two in a row";
  EXPECT_TRUE(c->is_open());
}

TEST(FinsClient, AnswersFromAnotherSocketAreIgnored) {
  fins_simulator s;
  s.set_word(sim::dm, 5, 0x1234);
  s.set_decoy(true);
  auto c = open_client(s);
  ASSERT_EQ(c->read_controller_data(), fins::code::ok);
  EXPECT_EQ(c->model(), "CJ2M-CPU31") << "the decoy's model bytes were 0xEE";
  std::vector<fins::read_item> items(1);
  std::snprintf(items[0].address, sizeof items[0].address, "DM5.0");
  ASSERT_EQ(c->read_multiple(items), fins::code::ok);
  EXPECT_EQ(items[0].raw, 0x1234u);
}

TEST(FinsClient, ALateAnswerIsNotTakenForTheNextOne) {
  fins_simulator s;
  s.set_word(sim::dm, 7, 77);
  auto c = open_client(s, "127.0.0.1", 100);
  ASSERT_EQ(c->read_controller_data(), fins::code::ok);
  std::vector<fins::read_item> items(1);
  std::snprintf(items[0].address, sizeof items[0].address, "DM7.0");
  s.set_delay_ms(300);
  EXPECT_GE(c->read_multiple(items), fins::code::io_error) << "time-out";
  s.set_delay_ms(0);
  // Let the late answer arrive before the next request goes out.
  ASSERT_TRUE(eventually([&] { return s.answers_sent() == 2; }));
  EXPECT_EQ(c->read_multiple(items), fins::code::ok);
  EXPECT_EQ(items[0].raw, 77u);
}

TEST(FinsClient, ShortAnswersAreRejected) {
  fins_simulator s;
  auto c = open_client(s);
  ASSERT_EQ(c->read_controller_data(), fins::code::ok);
  s.set_short_by(1);
  std::vector<fins::read_item> items(2);
  std::snprintf(items[0].address, sizeof items[0].address, "DM1.0");
  std::snprintf(items[1].address, sizeof items[1].address, "DM2.0");
  items[1].kind = fins::read_kind::f64;
  EXPECT_EQ(c->read_multiple(items), fins::code::bad_response_length);
}

TEST(FinsClient, BadAddressesFailBeforeAnythingIsSent) {
  fins_simulator s;
  auto c = open_client(s);
  ASSERT_EQ(c->read_controller_data(), fins::code::ok);
  std::vector<fins::read_item> items(2);
  std::snprintf(items[0].address, sizeof items[0].address, "DM1.0");
  std::snprintf(items[1].address, sizeof items[1].address, "W512.0");
  EXPECT_EQ(c->read_multiple(items), fins::code::no_read_area);
  std::snprintf(items[1].address, sizeof items[1].address, "Q1");
  EXPECT_EQ(c->read_multiple(items), fins::code::no_read_area);
  std::snprintf(items[1].address, sizeof items[1].address, "1");
  EXPECT_EQ(c->read_multiple(items), fins::code::bad_read_address);
  const std::uint16_t w = 1;
  EXPECT_EQ(c->write_words("A447", std::span(&w, 1)), fins::code::no_write_area);
  EXPECT_EQ(c->write_words("DM1x", std::span(&w, 1)), fins::code::bad_write_address);
  EXPECT_EQ(s.requests(sim::multiple_read) + s.requests(sim::memory_area_write), 0u);
}

TEST(FinsClient, LongWritesAreSplitAt267Elements) {
  fins_simulator s;
  auto c = open_client(s);
  ASSERT_EQ(c->read_controller_data(), fins::code::ok);
  std::vector<std::uint16_t> words(300);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(1000 + i);
  ASSERT_EQ(c->write_words("DM100", words), fins::code::ok);
  EXPECT_EQ(s.requests(sim::memory_area_write), 2u);
  EXPECT_EQ(s.word(sim::dm, 100), 1000);
  EXPECT_EQ(s.word(sim::dm, 366), 1266);
  EXPECT_EQ(s.word(sim::dm, 367), 1267);
  EXPECT_EQ(s.word(sim::dm, 399), 1299);

  std::vector<std::uint8_t> bits(270, 1);
  ASSERT_EQ(c->write_bits("W10.4", bits), fins::code::ok);
  EXPECT_EQ(s.requests(sim::memory_area_write), 4u);
  EXPECT_FALSE(s.bit(sim::w, 10, 3));
  EXPECT_TRUE(s.bit(sim::w, 10, 4));
  EXPECT_TRUE(s.bit(sim::w, 27, 1)) << "bit 4 + 269 = word 10 + 16, bit 17 - 16";
  EXPECT_FALSE(s.bit(sim::w, 27, 2));

  std::vector<std::uint32_t> values(134, 0x00010002);
  ASSERT_EQ(c->write_dwords("H0", values), fins::code::ok);
  EXPECT_EQ(s.requests(sim::memory_area_write), 6u) << "133 values per request";
  EXPECT_EQ(s.word(sim::h, 266), 2);
  EXPECT_EQ(s.word(sim::h, 267), 1);
}

TEST(FinsClient, LongWordReadsAreSplitAt998Words) {
  fins_simulator s;
  for (std::uint16_t w = 0; w < 2000; ++w) s.set_word(sim::dm, static_cast<std::uint16_t>(100 + w), w ^ 0x5A5A);
  auto c = open_client(s);
  ASSERT_EQ(c->read_controller_data(), fins::code::ok);
  std::vector<std::uint16_t> words(2000);
  ASSERT_EQ(c->read_words({0x82, 100, 0}, words.size(), words), fins::code::ok);
  EXPECT_EQ(s.requests(sim::memory_area_read), 3u) << "998 + 998 + 4";
  for (std::uint16_t w = 0; w < 2000; ++w) ASSERT_EQ(words[w], w ^ 0x5A5A) << w;
  s.set_short_by(1);
  EXPECT_EQ(c->read_words({0x82, 100, 0}, 4, words), fins::code::bad_response_length);
}

}  // namespace
}  // namespace kvt::test
