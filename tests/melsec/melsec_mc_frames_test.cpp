// The component's pure parts: device-list reading, 3E request bytes, reply
// decoding (malformed replies fail cleanly) and the split into requests.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "plc/melsec/mc/devices.hpp"
#include "plc/melsec/mc/frames.hpp"
#include "plc/melsec/mc/plan.hpp"

namespace {

namespace mc = kvt::plc::melsec::mc;
using bytes = std::vector<std::uint8_t>;

// A test name from a case's text: letters and digits kept, the rest '_',
// prefixed with the case's index (names stay unique and stable).
std::string case_name(std::size_t index, const char* text) {
  std::string name = "c";
  name += std::to_string(index);
  name += '_';
  for (const char* c = text; *c != 0; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
}

// The fixed 3E request head for `data_length` bytes after the monitoring timer.
bytes head(std::size_t after_timer) {
  const auto n = static_cast<std::uint8_t>(after_timer + 2);
  return {0x50, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, n, 0x00, 0x10, 0x00};
}

bytes cat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// --- device lists ------------------------------------------------------------

struct device_case {
  const char* entry;
  const char* name;  // nullptr: refused
  std::uint32_t number;
  const char* error;  // part of the message when refused
};

class device_parse : public testing::TestWithParam<device_case> {};

TEST_P(device_parse, reads_or_refuses) {
  const device_case& c = GetParam();
  mc::device_ref ref;
  std::string error;
  const bool ok = mc::parse_device(c.entry, ref, error);
  if (c.name == nullptr) {
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    return;
  }
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(ref.type->name, c.name);
  EXPECT_EQ(ref.number, c.number);
}

INSTANTIATE_TEST_SUITE_P(
    entries, device_parse,
    testing::Values(device_case{"D100", "D", 100, ""}, device_case{"X1F", "X", 0x1F, ""},
                    device_case{"x1F", nullptr, 0, "device 'x1F' is not known"},
                    device_case{"Y7fF", "Y", 0x7FF, ""}, device_case{"W1A0", "W", 0x1A0, ""},
                    device_case{"B0", "B", 0, ""}, device_case{"BA0", "B", 0xA0, ""},
                    device_case{"SB1F", "SB", 0x1F, ""}, device_case{"SW10", "SW", 0x10, ""},
                    device_case{"SM400", "SM", 400, ""}, device_case{"SD10", "SD", 10, ""},
                    device_case{"M8000", "M", 8000, ""}, device_case{"L5", "L", 5, ""},
                    device_case{"F7", "F", 7, ""}, device_case{"TS1", "TS", 1, ""}, device_case{"TC2", "TC", 2, ""},
                    device_case{"TN3", "TN", 3, ""}, device_case{"STS4", "STS", 4, ""},
                    device_case{"STC5", "STC", 5, ""}, device_case{"STN6", "STN", 6, ""},
                    device_case{"LTS7", "LTS", 7, ""}, device_case{"LTC8", "LTC", 8, ""},
                    device_case{"LTN9", "LTN", 9, ""}, device_case{"CS10", "CS", 10, ""},
                    device_case{"CC11", "CC", 11, ""}, device_case{"CN12", "CN", 12, ""},
                    device_case{"LCS13", "LCS", 13, ""}, device_case{"LCC14", "LCC", 14, ""},
                    device_case{"LCN15", "LCN", 15, ""}, device_case{"D007", "D", 7, ""},
                    device_case{"D16777215", "D", 16777215, ""}, device_case{"XFFFFFF", "X", 0xFFFFFF, ""},
                    device_case{"Q5", nullptr, 0, "device 'Q5' is not known"},
                    device_case{"T5", nullptr, 0, "is not known"}, device_case{"ZR10", nullptr, 0, "is not known"},
                    device_case{"d100", nullptr, 0, "is not known"}, device_case{"", nullptr, 0, "is not known"},
                    device_case{"D", nullptr, 0, "device 'D' has no number"},
                    device_case{"D1A", nullptr, 0, "D numbers are decimal"},
                    device_case{"X1G", nullptr, 0, "X numbers are hexadecimal"},
                    device_case{"D 1", nullptr, 0, "bad number"}, device_case{"D-1", nullptr, 0, "bad number"},
                    device_case{"D1\r", nullptr, 0, "bad number"},
                    device_case{"D16777216", nullptr, 0, "out of range"},
                    device_case{"X1000000", nullptr, 0, "out of range"},
                    device_case{"D99999999999999999999", nullptr, 0, "out of range"}),
    [](const testing::TestParamInfo<device_case>& p) { return case_name(p.index, p.param.entry); });

struct list_case {
  const char* text;
  std::int32_t count;
  std::size_t entries;  // 0: refused
  const char* error;
};

class device_list : public testing::TestWithParam<list_case> {};

TEST_P(device_list, counts_entries_strictly) {
  const list_case& c = GetParam();
  std::vector<mc::device_ref> out;
  std::string error;
  const bool ok = mc::parse_device_list(c.text, c.count, out, error);
  if (c.entries == 0) {
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  } else {
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(out.size(), c.entries);
  }
}

INSTANTIATE_TEST_SUITE_P(
    lists, device_list,
    testing::Values(list_case{"D0\nM1\nX1F\n", 3, 3, ""}, list_case{"D0\nM1\nX1F", 3, 3, ""},
                    list_case{"D0\n", 1, 1, ""}, list_case{"D0\nM1\n", 3, 0, "holds 2 devices, count says 3"},
                    list_case{"D0\nM1\n", 1, 0, "holds 2 devices, count says 1"},
                    list_case{"", 0, 0, "count 0"}, list_case{"D0\n", -1, 0, "count -1"},
                    list_case{"D0\n\nM1\n", 2, 0, "line 2 is empty"}, list_case{"\n", 1, 0, "line 1 is empty"},
                    list_case{"D0\nQ5\n", 2, 0, "device 'Q5' is not known"}),
    [](const testing::TestParamInfo<list_case>& p) { return case_name(p.index, p.param.text); });

// --- requests ----------------------------------------------------------------

struct frame_case {
  const char* what;
  bytes built;
  bytes expected;
};

class request_bytes : public testing::TestWithParam<frame_case> {};

TEST_P(request_bytes, match_the_reference_layout) { EXPECT_EQ(GetParam().built, GetParam().expected); }

const mc::device_address d0{0xA8, 0}, tn0{0xC2, 0}, m100{0x90, 100}, x20{0x9C, 0x20}, d1500{0xA8, 1500},
    y160{0x9D, 0x160}, m1111{0x90, 1111};
const std::vector<mc::device_address> reference_words{d0, tn0, m100, x20};
const std::vector<mc::device_address> reference_dwords{d1500, y160, m1111};
const std::vector<mc::bit_value> two_bits{{{0x90, 10}, true}, {{0x9D, 0x2F}, false}};
const std::vector<mc::bit_value> long_coil{{{0x50, 3}, true}};
const std::vector<mc::word_value> one_word{{{0xA8, 0}, 0x1234}};
const std::vector<mc::dword_value> one_long{{{0x52, 2}, 0x0000FFFF}};
const std::vector<std::uint16_t> two_values{1, 2};

INSTANTIATE_TEST_SUITE_P(
    frames, request_bytes,
    testing::Values(
        // The reference's random read example (Q/L subcommand): D0, T0, M100,
        // X20 by word access; D1500, Y160, M1111 by double word access.
        frame_case{"reference random read", mc::random_read_request(reference_words, reference_dwords, false),
                   cat(head(34), {0x03, 0x04, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00, 0x00, 0xA8, 0x00, 0x00,
                                  0x00, 0xC2, 0x64, 0x00, 0x00, 0x90, 0x20, 0x00, 0x00, 0x9C, 0xDC, 0x05,
                                  0x00, 0xA8, 0x60, 0x01, 0x00, 0x9D, 0x57, 0x04, 0x00, 0x90})},
        frame_case{"batch read D100 x3", mc::batch_read_request({0xA8, 100}, 3, false, false),
                   cat(head(10), {0x01, 0x04, 0x00, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x03, 0x00})},
        frame_case{"batch read LTS5 x2 in bits", mc::batch_read_request({0x51, 5}, 2, true, true),
                   cat(head(12), {0x01, 0x04, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00, 0x51, 0x00, 0x02, 0x00})},
        frame_case{"random read LTN7 dword", mc::random_read_request({}, std::vector<mc::device_address>{{0x52, 7}}, true),
                   cat(head(12), {0x03, 0x04, 0x02, 0x00, 0x00, 0x01, 0x07, 0x00, 0x00, 0x00, 0x52, 0x00})},
        frame_case{"random write bits M10 on, Y2F off", mc::random_write_bits_request(two_bits, false),
                   cat(head(15), {0x02, 0x14, 0x01, 0x00, 0x02, 0x0A, 0x00, 0x00, 0x90, 0x01, 0x2F, 0x00, 0x00,
                                  0x9D, 0x00})},
        frame_case{"random write bits LTC3 on", mc::random_write_bits_request(long_coil, true),
                   cat(head(13), {0x02, 0x14, 0x03, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x50, 0x00, 0x01, 0x00})},
        frame_case{"random write D0", mc::random_write_words_request(one_word, {}, false),
                   cat(head(12), {0x02, 0x14, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xA8, 0x34, 0x12})},
        frame_case{"random write LTN2", mc::random_write_words_request({}, one_long, true),
                   cat(head(16), {0x02, 0x14, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x52, 0x00, 0xFF,
                                  0xFF, 0x00, 0x00})},
        frame_case{"batch write D10 1,2", mc::batch_write_words_request({0xA8, 10}, two_values, false),
                   cat(head(14), {0x01, 0x14, 0x00, 0x00, 0x0A, 0x00, 0x00, 0xA8, 0x02, 0x00, 0x01, 0x00, 0x02,
                                  0x00})}),
    [](const testing::TestParamInfo<frame_case>& p) { return case_name(p.index, p.param.what); });

// --- replies -----------------------------------------------------------------

struct reply_case {
  const char* what;
  bytes frame;
  mc::reply_status status;
  std::uint16_t end_code;
  std::size_t data_size;
};

class reply_decoding : public testing::TestWithParam<reply_case> {};

TEST_P(reply_decoding, fails_cleanly_on_malformed_frames) {
  const reply_case& c = GetParam();
  const mc::reply r = mc::decode_reply(c.frame);
  EXPECT_EQ(r.status, c.status) << c.what;
  EXPECT_EQ(r.end_code, c.end_code) << c.what;
  EXPECT_EQ(r.data.size(), c.data_size) << c.what;
}

const bytes ok_head{0xD0, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00};

INSTANTIATE_TEST_SUITE_P(
    replies, reply_decoding,
    testing::Values(
        reply_case{"empty", {}, mc::reply_status::short_header, 0, 0},
        reply_case{"header only", cat(ok_head, {0x02, 0x00}), mc::reply_status::short_header, 0, 0},
        reply_case{"one end code byte", cat(ok_head, {0x02, 0x00, 0x00}), mc::reply_status::short_header, 0, 0},
        reply_case{"request subheader", bytes{0x50, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00},
                   mc::reply_status::bad_subheader, 0, 0},
        reply_case{"4E subheader", bytes{0xD4, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00},
                   mc::reply_status::bad_subheader, 0, 0},
        reply_case{"length above bytes", cat(ok_head, {0x04, 0x00, 0x00, 0x00, 0x01}), mc::reply_status::length_mismatch,
                   0, 0},
        reply_case{"length below bytes", cat(ok_head, {0x02, 0x00, 0x00, 0x00, 0x01, 0x02}),
                   mc::reply_status::length_mismatch, 0, 0},
        reply_case{"end code with error information",
                   cat(ok_head, {0x0B, 0x00, 0x56, 0xC0, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x03, 0x04, 0x00, 0x00}),
                   mc::reply_status::end_code, 0xC056, 0},
        reply_case{"end code alone", cat(ok_head, {0x02, 0x00, 0x59, 0xC0}), mc::reply_status::end_code, 0xC059, 0},
        reply_case{"two words", cat(ok_head, {0x06, 0x00, 0x00, 0x00, 0x34, 0x12, 0x78, 0x56}), mc::reply_status::ok, 0,
                   4},
        reply_case{"write done", cat(ok_head, {0x02, 0x00, 0x00, 0x00}), mc::reply_status::ok, 0, 0}),
    [](const testing::TestParamInfo<reply_case>& p) { return case_name(p.index, p.param.what); });

TEST(reply_header, refuses_what_cannot_be_a_response) {
  EXPECT_EQ(mc::response_data_length(cat(ok_head, {0x06, 0x00})), 6u);
  EXPECT_FALSE(mc::response_data_length(cat(ok_head, {0x06})));
  EXPECT_FALSE(mc::response_data_length(bytes{0x50, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x06, 0x00}));
  EXPECT_FALSE(mc::response_data_length(cat(ok_head, {0x01, 0x00})));
  EXPECT_FALSE(mc::response_data_length(cat(ok_head, {0x00, 0x00})));
  EXPECT_FALSE(mc::response_data_length(cat(ok_head, {0x01, 0x20})));  // 8193
}

TEST(reply_data, must_hold_exactly_the_points_asked_for) {
  std::vector<std::uint16_t> words(2);
  std::vector<std::uint32_t> dwords(1);
  EXPECT_TRUE(mc::decode_random_read(bytes{0x34, 0x12, 0x78, 0x56, 0x01, 0x02, 0x03, 0x04}, words, dwords));
  EXPECT_EQ(words, (std::vector<std::uint16_t>{0x1234, 0x5678}));
  EXPECT_EQ(dwords[0], 0x04030201u);
  EXPECT_FALSE(mc::decode_random_read(bytes{0x34, 0x12, 0x78, 0x56, 0x01, 0x02, 0x03}, words, dwords));
  EXPECT_FALSE(mc::decode_random_read(bytes{0x34, 0x12, 0x78, 0x56, 0x01, 0x02, 0x03, 0x04, 0x05}, words, dwords));
  EXPECT_FALSE(mc::decode_words(bytes{0x34}, words));

  std::vector<std::uint8_t> bits(3);
  EXPECT_TRUE(mc::decode_bits(bytes{0x10, 0x10}, bits));
  EXPECT_EQ(bits, (std::vector<std::uint8_t>{1, 0, 1}));
  EXPECT_FALSE(mc::decode_bits(bytes{0x10}, bits));              // short
  EXPECT_FALSE(mc::decode_bits(bytes{0x10, 0x10, 0x00}, bits));  // long
  EXPECT_FALSE(mc::decode_bits(bytes{0x20, 0x10}, bits));        // not 0/1
  EXPECT_FALSE(mc::decode_bits(bytes{0x10, 0x11}, bits));        // padding set
}

// --- planning ----------------------------------------------------------------

std::vector<mc::device_ref> parse(const std::string& text) {
  std::vector<mc::device_ref> out;
  std::string error;
  std::int32_t count = 0;
  for (const char c : text) count += c == '\n';
  EXPECT_TRUE(mc::parse_device_list(text, count, out, error)) << error;
  return out;
}

std::uint16_t command_of(const bytes& request) { return static_cast<std::uint16_t>(request[11] | request[12] << 8); }
std::uint16_t subcommand_of(const bytes& request) {
  return static_cast<std::uint16_t>(request[13] | request[14] << 8);
}

TEST(read_plan, bits_come_from_the_aligned_word_and_share_it) {
  const auto entries = parse("D100\nM5\nX1F\nM7\n");
  const auto steps = mc::plan_read(entries);
  ASSERT_EQ(steps.size(), 1u);
  // D100, M0 (for M5 and M7), X10 (for X1F).
  EXPECT_EQ(steps[0].request, cat(head(18), {0x03, 0x04, 0x00, 0x00, 0x03, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x00, 0x00,
                                             0x00, 0x90, 0x10, 0x00, 0x00, 0x9C}));
  std::vector<std::int16_t> values(4, -7);
  // D100 = 0x8001, M0..15 = 0x00A0 (M5, M7 on), X10..1F = 0x8000 (X1F on).
  ASSERT_TRUE(mc::apply_read(steps[0], bytes{0x01, 0x80, 0xA0, 0x00, 0x00, 0x80}, values));
  EXPECT_EQ(values, (std::vector<std::int16_t>{static_cast<std::int16_t>(0x8001), 1, 1, 1}));
  ASSERT_TRUE(mc::apply_read(steps[0], bytes{0x01, 0x80, 0x5F, 0xFF, 0xFF, 0x7F}, values));
  EXPECT_EQ(values, (std::vector<std::int16_t>{static_cast<std::int16_t>(0x8001), 0, 0, 0}));
  EXPECT_FALSE(mc::apply_read(steps[0], bytes{0x01, 0x80, 0x5F, 0xFF, 0xFF}, values));
}

struct split_case {
  const char* what;
  std::string list;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> requests;  // command, subcommand in order
};

class read_split : public testing::TestWithParam<split_case> {};

std::string numbered(const char* name, int first, int count, int step) {
  std::string s;
  for (int i = 0; i < count; ++i) {
    s += name;
    s += std::to_string(first + i * step);
    s += '\n';
  }
  return s;
}

TEST_P(read_split, uses_the_fewest_requests_within_the_limits) {
  const auto entries = parse(GetParam().list);
  const auto steps = mc::plan_read(entries);
  std::vector<std::pair<std::uint16_t, std::uint16_t>> got;
  std::size_t targets = 0;
  for (const auto& s : steps) {
    got.emplace_back(command_of(s.request), subcommand_of(s.request));
    targets += s.targets.size();
  }
  EXPECT_EQ(got, GetParam().requests);
  EXPECT_EQ(targets, entries.size());
}

INSTANTIATE_TEST_SUITE_P(
    lists, read_split,
    testing::Values(
        split_case{"scattered_100", numbered("D", 0, 100, 2), {{0x0403, 0}}},
        split_case{"scattered_192", numbered("D", 0, 192, 2), {{0x0403, 0}}},
        split_case{"scattered_193", numbered("D", 0, 193, 2), {{0x0403, 0}, {0x0403, 0}}},
        split_case{"scattered_400", numbered("D", 0, 400, 2), {{0x0403, 0}, {0x0403, 0}, {0x0403, 0}}},
        split_case{"consecutive_150", numbered("D", 0, 150, 1), {{0x0403, 0}}},
        split_case{"consecutive_200", numbered("D", 0, 200, 1), {{0x0401, 0}}},
        split_case{"consecutive_1000", numbered("D", 0, 1000, 1), {{0x0401, 0}, {0x0401, 0}}},
        split_case{"bits_in_16_words", numbered("M", 0, 256, 1), {{0x0403, 0}}},
        split_case{"long_values", numbered("LTN", 0, 100, 1), {{0x0403, 2}, {0x0403, 2}}},
        split_case{"long_contacts", "LTS1\nLTS2\nLTS3\nLCC9\n", {{0x0401, 3}, {0x0401, 3}}},
        split_case{"mixed", "D0\nLTN1\nLTS2\nM3\n", {{0x0403, 0}, {0x0403, 2}, {0x0401, 3}}}),
    [](const testing::TestParamInfo<split_case>& p) { return std::string(p.param.what); });

TEST(write_plan, sends_each_kind_with_its_command) {
  const auto entries = parse("D0\nM1\nLTN2\nLTS3\nD0\n");
  const std::vector<std::int16_t> values{5, 9, -1, 1, 6};
  const auto requests = mc::plan_write(entries, values);
  ASSERT_EQ(requests.size(), 4u);
  // D0 once, with its last value 6.
  EXPECT_EQ(requests[0], cat(head(12), {0x02, 0x14, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xA8, 0x06, 0x00}));
  EXPECT_EQ(requests[1], cat(head(10), {0x02, 0x14, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x90, 0x01}));
  EXPECT_EQ(requests[2], cat(head(13), {0x02, 0x14, 0x03, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x51, 0x00, 0x01, 0x00}));
  EXPECT_EQ(requests[3], cat(head(16), {0x02, 0x14, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x52, 0x00, 0xFF,
                                        0xFF, 0x00, 0x00}));
}

TEST(write_plan, splits_by_the_reference_limits) {
  const auto count_of = [](const std::string& list) {
    const auto entries = parse(list);
    const std::vector<std::int16_t> values(entries.size(), 1);
    std::vector<std::uint16_t> commands;
    for (const auto& r : mc::plan_write(entries, values)) commands.push_back(command_of(r));
    return commands;
  };
  EXPECT_EQ(count_of(numbered("D", 0, 160, 2)), (std::vector<std::uint16_t>{0x1402}));
  EXPECT_EQ(count_of(numbered("D", 0, 161, 2)), (std::vector<std::uint16_t>{0x1402, 0x1402}));
  EXPECT_EQ(count_of(numbered("D", 0, 300, 1)), (std::vector<std::uint16_t>{0x1401}));
  EXPECT_EQ(count_of(numbered("M", 0, 188, 1)), (std::vector<std::uint16_t>{0x1402}));
  EXPECT_EQ(count_of(numbered("M", 0, 189, 1)), (std::vector<std::uint16_t>{0x1402, 0x1402}));
  EXPECT_EQ(count_of(numbered("LTS", 0, 95, 1)), (std::vector<std::uint16_t>{0x1402, 0x1402}));
  EXPECT_EQ(count_of(numbered("LCN", 0, 68, 1)), (std::vector<std::uint16_t>{0x1402}));
  EXPECT_EQ(count_of(numbered("LCN", 0, 69, 1)), (std::vector<std::uint16_t>{0x1402, 0x1402}));
}

}  // namespace
