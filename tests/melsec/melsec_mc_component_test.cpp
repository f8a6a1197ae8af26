// The communication component's five calls against the MELSEC simulator on
// loopback: every device name both ways, hexadecimal numbers, long values,
// splitting, refusals before sending, end codes, drops and reconnection,
// stop/start, time-out against a silent listener, two threads.
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <algorithm>
#include <atomic>
#include <memory>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "melsec/melsec_simulator.hpp"
#include "plc/melsec/mc/component.hpp"

namespace {

namespace mc = kvt::plc::melsec::mc;
using kvt::test::melsec_simulator;

class component_test : public testing::Test {
 protected:
  void SetUp() override {
    std::int32_t result = -1;
    ASSERT_EQ(c.open(result), mc::s_ok);
    ASSERT_EQ(result, 0);
  }

  std::int16_t read_one(const std::string& entry) {
    std::int16_t v = -99;
    std::int32_t result = -1;
    EXPECT_EQ(c.read_device_random(entry + "\n", 1, &v, result), mc::s_ok) << entry;
    EXPECT_EQ(result, 0) << entry;
    return v;
  }

  void write_one(const std::string& entry, std::int16_t value) {
    std::int32_t result = -1;
    EXPECT_EQ(c.write_device_random(entry + "\n", 1, &value, result), mc::s_ok) << entry;
    EXPECT_EQ(result, 0) << entry;
  }

  melsec_simulator sim;
  mc::component c{std::string("127.0.0.1:") + std::to_string(sim.port())};
};

struct device_case {
  const char* name;
  const char* number_text;
  std::uint32_t number;
};

class every_device : public component_test, public testing::WithParamInterface<device_case> {};

// Each device read after the simulator sets it and written for the
// simulator to see, with its neighbours left alone.
TEST_P(every_device, reads_and_writes_one_point) {
  const device_case& d = GetParam();
  const std::string entry = std::string(d.name) + d.number_text;
  const std::string name = d.name;
  static const std::vector<std::string> bits{"X",  "Y",  "M",   "L",   "B",   "F",  "SB", "TS", "TC",
                                             "STS", "STC", "LTS", "LTC", "CS", "CC", "LCS", "LCC", "SM"};
  const bool is_bit = std::find(bits.begin(), bits.end(), name) != bits.end();
  if (is_bit) {
    sim.set_bit(name, d.number, true);
    EXPECT_EQ(read_one(entry), 1);
    sim.set_bit(name, d.number, false);
    // Neighbours in the same 16-point word (the last number of a range has
    // none above it).
    const bool upper = (d.number & 0xF) != 0xF;
    const bool lower = (d.number & 0xF) != 0;
    if (upper) sim.set_bit(name, d.number + 1, true);
    if (lower) sim.set_bit(name, d.number - 1, true);
    EXPECT_EQ(read_one(entry), 0);
    write_one(entry, 7);  // any non-zero value is "on"
    EXPECT_TRUE(sim.bit(name, d.number));
    write_one(entry, 0);
    EXPECT_FALSE(sim.bit(name, d.number));
    if (upper) {
      EXPECT_TRUE(sim.bit(name, d.number + 1));
    }
    if (lower) {
      EXPECT_TRUE(sim.bit(name, d.number - 1));
    }
  } else if (name == "LTN" || name == "LCN") {
    sim.set_dword(name, d.number, 0x1234'5678);
    EXPECT_EQ(read_one(entry), 0x5678);  // the low 16 bits
    sim.set_dword(name, d.number, 0x0001'8000);
    EXPECT_EQ(read_one(entry), static_cast<std::int16_t>(0x8000));
    write_one(entry, -1);  // zero-extended
    EXPECT_EQ(sim.dword(name, d.number), 0x0000'FFFFu);
    write_one(entry, 42);
    EXPECT_EQ(sim.dword(name, d.number), 42u);
  } else {
    sim.set_word(name, d.number, 0xBEEF);
    sim.set_word(name, d.number + 1, 0x1111);
    EXPECT_EQ(read_one(entry), static_cast<std::int16_t>(0xBEEF));
    write_one(entry, -2);
    EXPECT_EQ(sim.word(name, d.number), 0xFFFE);
    EXPECT_EQ(sim.word(name, d.number + 1), 0x1111);
  }
}

INSTANTIATE_TEST_SUITE_P(
    devices, every_device,
    testing::Values(device_case{"X", "1F", 0x1F}, device_case{"Y", "2A", 0x2A}, device_case{"M", "100", 100},
                    device_case{"L", "17", 17}, device_case{"B", "1A", 0x1A}, device_case{"F", "9", 9},
                    device_case{"SB", "1F", 0x1F}, device_case{"TS", "5", 5}, device_case{"TC", "6", 6},
                    device_case{"TN", "7", 7}, device_case{"STS", "8", 8}, device_case{"STC", "9", 9},
                    device_case{"STN", "10", 10}, device_case{"LTS", "11", 11}, device_case{"LTC", "12", 12},
                    device_case{"LTN", "13", 13}, device_case{"CS", "14", 14}, device_case{"CC", "15", 15},
                    device_case{"CN", "16", 16}, device_case{"LCS", "17", 17}, device_case{"LCC", "18", 18},
                    device_case{"LCN", "19", 19}, device_case{"D", "100", 100}, device_case{"W", "1A0", 0x1A0},
                    device_case{"SW", "1F", 0x1F}, device_case{"SM", "400", 400}, device_case{"SD", "20", 20},
                    device_case{"M", "8191", 8191}, device_case{"X", "1FFF", 0x1FFF}),
    [](const testing::TestParamInfo<device_case>& p) {
      return std::string(p.param.name) + "_" + p.param.number_text;
    });

TEST_F(component_test, mixed_list_reads_every_entry_in_order) {
  sim.set_word("D", 100, 1234);
  sim.set_bit("X", 0x1F, true);
  sim.set_word("W", 0x1A0, 0x0A0B);
  sim.set_dword("LTN", 3, 70000);
  sim.set_bit("LCS", 4, true);
  sim.set_bit("M", 5, true);
  std::int16_t v[7] = {};
  std::int32_t result = -1;
  ASSERT_EQ(c.read_device_random("D100\nX1F\nW1A0\nLTN3\nLCS4\nM5\nM6", 7, v, result), mc::s_ok);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(v[0], 1234);
  EXPECT_EQ(v[1], 1);
  EXPECT_EQ(v[2], 0x0A0B);
  EXPECT_EQ(v[3], static_cast<std::int16_t>(70000 & 0xFFFF));
  EXPECT_EQ(v[4], 1);
  EXPECT_EQ(v[5], 1);
  EXPECT_EQ(v[6], 0);
}

TEST_F(component_test, long_lists_are_split_within_the_limits) {
  // 250 scattered words: two random reads (192 + 58); 250 bits scattered
  // over as many words: two random writes in bit units (188 + 62).
  std::string words, bits;
  std::vector<std::int16_t> values;
  for (int i = 0; i < 250; ++i) {
    words += "D";
    words += std::to_string(3 * i);
    words += '\n';
    bits += "M";
    bits += std::to_string(16 * i + (i % 16));
    bits += '\n';
    sim.set_word("D", static_cast<std::uint32_t>(3 * i), static_cast<std::uint16_t>(i * 7));
    values.push_back(static_cast<std::int16_t>(i % 3 == 0));
  }
  const std::size_t reads = sim.requests(0x0403);
  std::vector<std::int16_t> got(250);
  std::int32_t result = -1;
  ASSERT_EQ(c.read_device_random(words, 250, got.data(), result), mc::s_ok);
  EXPECT_EQ(sim.requests(0x0403) - reads, 2u);
  for (int i = 0; i < 250; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)], i * 7) << i;

  const std::size_t writes = sim.requests(0x1402);
  ASSERT_EQ(c.write_device_random(bits, 250, values.data(), result), mc::s_ok);
  EXPECT_EQ(sim.requests(0x1402) - writes, 2u);
  for (int i = 0; i < 250; ++i)
    EXPECT_EQ(sim.bit("M", static_cast<std::uint32_t>(16 * i + (i % 16))), i % 3 == 0) << i;

  // 1000 consecutive words: one batch read of 960 words and one of 40.
  std::string run;
  for (int i = 0; i < 1000; ++i) {
    run += "D";
    run += std::to_string(2000 + i);
    run += '\n';
    sim.set_word("D", static_cast<std::uint32_t>(2000 + i), static_cast<std::uint16_t>(i));
  }
  const std::size_t batches = sim.requests(0x0401);
  got.assign(1000, 0);
  ASSERT_EQ(c.read_device_random(run, 1000, got.data(), result), mc::s_ok);
  EXPECT_EQ(sim.requests(0x0401) - batches, 2u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(got[static_cast<std::size_t>(i)], i) << i;
  std::vector<std::int16_t> out(1000);
  for (int i = 0; i < 1000; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(-i);
  const std::size_t batch_writes = sim.requests(0x1401);
  ASSERT_EQ(c.write_device_random(run, 1000, out.data(), result), mc::s_ok);
  EXPECT_EQ(sim.requests(0x1401) - batch_writes, 2u);
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(sim.word("D", static_cast<std::uint32_t>(2000 + i)), static_cast<std::uint16_t>(-i)) << i;
}

struct refusal_case {
  const char* list;
  std::int32_t count;
  const char* message;
};

class refusals : public component_test, public testing::WithParamInterface<refusal_case> {};

TEST_P(refusals, fail_before_anything_is_sent) {
  const refusal_case& r = GetParam();
  const std::size_t before = sim.requests();
  std::vector<std::int16_t> v(8, 3);
  std::int32_t result = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(c.read_device_random(r.list, r.count, v.data(), result), mc::e_invalid_arg);
  EXPECT_EQ(result, mc::code::bad_device_list);
  EXPECT_EQ(c.write_device_random(r.list, r.count, v.data(), result), mc::e_invalid_arg);
  EXPECT_EQ(result, mc::code::bad_device_list);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(std::string("MELSEC: ") + r.message), std::string::npos) << said;
  EXPECT_EQ(sim.requests(), before);
  EXPECT_EQ(v, std::vector<std::int16_t>(8, 3));
}

INSTANTIATE_TEST_SUITE_P(lists, refusals,
                         testing::Values(refusal_case{"D0\nQ5\n", 2, "device 'Q5' is not known"},
                                         refusal_case{"D0\nD1\n", 3, "device list holds 2 devices, count says 3"},
                                         refusal_case{"X1G\n", 1, "device 'X1G' has a bad number"},
                                         refusal_case{"D99999999\n", 1, "device 'D99999999' is out of range"},
                                         refusal_case{"D0\n\n", 2, "device list line 2 is empty"}),
                         [](const testing::TestParamInfo<refusal_case>& p) {
                           std::string name = "c";
                           name += std::to_string(p.index);
                           return name;
                         });

TEST_F(component_test, end_code_fails_the_call_and_keeps_the_connection) {
  testing::internal::CaptureStderr();
  std::int16_t v = 0;
  std::int32_t result = 0;
  EXPECT_EQ(c.read_device_random("D20000\n", 1, &v, result), mc::e_fail);  // past the simulator's D range
  EXPECT_EQ(result, 0xC056);
  v = 1;
  EXPECT_EQ(c.write_device_random("D20000\n", 1, &v, result), mc::e_fail);
  EXPECT_EQ(result, 0xC056);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("MELSEC: end code 0xC056 for random read"), std::string::npos) << said;
  EXPECT_NE(said.find("MELSEC: end code 0xC056 for random write"), std::string::npos) << said;
  sim.set_word("D", 1, 11);
  EXPECT_EQ(read_one("D1"), 11);
}

TEST_F(component_test, a_drop_fails_the_call_and_the_next_call_reconnects) {
  sim.set_word("D", 0, 77);
  EXPECT_EQ(read_one("D0"), 77);
  sim.set_drop_connections(true);
  std::int16_t v = 0;
  std::int32_t result = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(c.read_device_random("D0\n", 1, &v, result), mc::e_fail);
  EXPECT_EQ(result, mc::code::connection_lost);
  EXPECT_EQ(c.write_device_random("D0\n", 1, &v, result), mc::e_fail);
  EXPECT_EQ(result, mc::code::connection_lost);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("MELSEC: "), std::string::npos);
  sim.set_drop_connections(false);
  EXPECT_EQ(read_one("D0"), 77);
}

TEST_F(component_test, stop_and_start_of_the_controller) {
  sim.set_word("D", 5, 55);
  EXPECT_EQ(read_one("D5"), 55);
  sim.stop();
  std::int16_t v = 0;
  std::int32_t result = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(c.read_device_random("D5\n", 1, &v, result), mc::e_fail);
  EXPECT_TRUE(result == mc::code::connection_lost || result == mc::code::connect_failed) << result;
  EXPECT_EQ(c.read_device_random("D5\n", 1, &v, result), mc::e_fail);
  EXPECT_EQ(result, mc::code::connect_failed);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(std::string("MELSEC: cannot connect to 127.0.0.1:") + std::to_string(sim.port())), std::string::npos)
      << said;
  sim.start();
  EXPECT_EQ(read_one("D5"), 55);
}

TEST_F(component_test, close_then_calls_fail_until_open) {
  std::int32_t result = -1;
  EXPECT_EQ(c.close(result), mc::s_ok);
  EXPECT_EQ(result, 0);
  std::int16_t v = 0;
  const std::size_t before = sim.requests();
  testing::internal::CaptureStderr();
  EXPECT_EQ(c.read_device_random("D0\n", 1, &v, result), mc::e_fail);
  EXPECT_EQ(result, mc::code::not_open);
  EXPECT_EQ(c.write_device_random("D0\n", 1, &v, result), mc::e_fail);
  EXPECT_EQ(result, mc::code::not_open);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(sim.requests(), before);
  ASSERT_EQ(c.open(result), mc::s_ok);
  EXPECT_EQ(read_one("D0"), 0);
}

TEST_F(component_test, null_values_and_negative_station_are_refused) {
  std::int32_t result = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(c.read_device_random("D0\n", 1, nullptr, result), mc::e_invalid_arg);
  EXPECT_EQ(result, mc::code::bad_argument);
  EXPECT_EQ(c.write_device_random("D0\n", 1, nullptr, result), mc::e_invalid_arg);
  EXPECT_EQ(c.set_station(-1), mc::e_invalid_arg);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(c.set_station(3), mc::s_ok);
  EXPECT_EQ(c.station(), 3);
  EXPECT_EQ(read_one("D0"), 0);  // the station number does not change the frames
}

TEST(component, open_fails_without_a_controller_and_for_bad_hosts) {
  std::uint16_t free_port = 0;
  {
    melsec_simulator gone;
    free_port = gone.port();
  }
  std::int32_t result = 0;
  testing::internal::CaptureStderr();
  mc::component refused(std::string("127.0.0.1:") + std::to_string(free_port));
  EXPECT_EQ(refused.open(result), mc::e_fail);
  EXPECT_EQ(result, mc::code::connect_failed);
  for (const char* host : {"", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:70000", "127.0.0.1:50x", ":5007"}) {
    mc::component bad(host);
    EXPECT_EQ(bad.open(result), mc::e_fail) << host;
    EXPECT_EQ(result, mc::code::bad_host) << host;
  }
  testing::internal::GetCapturedStderr();
}

// "localhost" comes from the hosts file.
TEST(component, host_names_are_resolved) {
  melsec_simulator sim;
  sim.set_word("D", 4, 44);
  std::string host = "localhost:";
  host += std::to_string(sim.port());
  mc::component c(host);
  std::int32_t result = -1;
  ASSERT_EQ(c.open(result), mc::s_ok);
  std::int16_t v = 0;
  ASSERT_EQ(c.read_device_random("D4\n", 1, &v, result), mc::s_ok);
  EXPECT_EQ(v, 44);
  // (No unknown name is looked up here: that would ask the DNS server.)
}

TEST(component, host_without_port_uses_5007) {
  std::unique_ptr<melsec_simulator> sim;
  try {
    sim = std::make_unique<melsec_simulator>(mc::default_port);
  } catch (const std::exception&) {
    GTEST_SKIP() << "port 5007 is in use here";
  }
  sim->set_word("D", 9, 99);
  mc::component c("127.0.0.1");
  std::int32_t result = -1;
  ASSERT_EQ(c.open(result), mc::s_ok);
  std::int16_t v = 0;
  ASSERT_EQ(c.read_device_random("D9\n", 1, &v, result), mc::s_ok);
  EXPECT_EQ(v, 99);
}

// A peer that accepts connections (the kernel completes them) and never
// answers: each request fails after the time-out instead of hanging.
TEST(component, a_silent_peer_times_out) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor silent(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  mc::component c(std::string("127.0.0.1:") + std::to_string(silent.local_endpoint().port()));
  c.set_timeout(std::chrono::milliseconds(300));
  std::int32_t result = -1;
  ASSERT_EQ(c.open(result), mc::s_ok);
  std::int16_t v = 0;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 2; ++i) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(c.read_device_random("D0\n", 1, &v, result), mc::e_fail);
    EXPECT_EQ(result, mc::code::timed_out);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
  }
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("MELSEC: no response within 300 ms (random read)"), std::string::npos) << said;
}

TEST_F(component_test, two_threads_share_one_component) {
  for (std::uint32_t i = 0; i < 10; ++i) sim.set_word("D", i, static_cast<std::uint16_t>(100 + i));
  std::atomic<int> failures{0};
  std::thread reader([&] {
    std::int16_t v[10];
    for (int n = 0; n < 200; ++n) {
      std::int32_t result = -1;
      if (c.read_device_random("D0\nD1\nD2\nD3\nD4\nD5\nD6\nD7\nD8\nD9\n", 10, v, result) != mc::s_ok) ++failures;
      for (int i = 0; i < 10; ++i) {
        if (v[i] != 100 + i) ++failures;
      }
    }
  });
  std::thread writer([&] {
    for (std::int16_t n = 0; n < 200; ++n) {
      const std::int16_t w[2] = {n, static_cast<std::int16_t>(n % 2)};
      std::int32_t result = -1;
      if (c.write_device_random("D500\nM3\n", 2, w, result) != mc::s_ok) ++failures;
    }
  });
  reader.join();
  writer.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(sim.word("D", 500), 199);
  EXPECT_TRUE(sim.bit("M", 3));
}

}  // namespace
