#include "plc/melsec/mc/frames.hpp"

namespace kvt::plc::melsec::mc {
namespace {

void put8(std::vector<std::uint8_t>& out, std::uint32_t v) { out.push_back(static_cast<std::uint8_t>(v)); }

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put8(out, v);
  put8(out, v >> 8);
}

void put24(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v);
  put8(out, v >> 16);
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v);
  put16(out, v >> 16);
}

void put_device(std::vector<std::uint8_t>& out, const device_address& d, bool extended) {
  if (extended) {
    put32(out, d.number);
    put16(out, d.code);
  } else {
    put24(out, d.number);
    put8(out, d.code);
  }
}

std::uint16_t get16(std::span<const std::uint8_t> b, std::size_t at) noexcept {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t get32(std::span<const std::uint8_t> b, std::size_t at) noexcept {
  return static_cast<std::uint32_t>(get16(b, at)) | (static_cast<std::uint32_t>(get16(b, at + 2)) << 16);
}

std::uint16_t word_subcommand(bool extended) {
  return extended ? subcommand::word_units_extended : subcommand::word_units;
}
std::uint16_t bit_subcommand(bool extended) { return extended ? subcommand::bit_units_extended : subcommand::bit_units; }

}  // namespace

std::vector<std::uint8_t> request_frame(std::uint16_t command, std::uint16_t subcommand,
                                        std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out;
  out.reserve(request_fixed_size + data.size());
  put16(out, 0x0050);  // subheader 50 00
  put8(out, 0x00);     // network no.
  put8(out, 0xFF);     // PC no.
  put16(out, 0x03FF);  // request destination module I/O no.
  put8(out, 0x00);     // request destination module station no.
  put16(out, static_cast<std::uint32_t>(6 + data.size()));
  put16(out, monitoring_timer);
  put16(out, command);
  put16(out, subcommand);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::vector<std::uint8_t> random_read_request(std::span<const device_address> words,
                                              std::span<const device_address> dwords, bool extended) {
  std::vector<std::uint8_t> data;
  put8(data, static_cast<std::uint32_t>(words.size()));
  put8(data, static_cast<std::uint32_t>(dwords.size()));
  for (const auto& d : words) put_device(data, d, extended);
  for (const auto& d : dwords) put_device(data, d, extended);
  return request_frame(command::random_read, word_subcommand(extended), data);
}

std::vector<std::uint8_t> batch_read_request(const device_address& head, std::uint16_t points, bool bit_units,
                                             bool extended) {
  std::vector<std::uint8_t> data;
  put_device(data, head, extended);
  put16(data, points);
  return request_frame(command::batch_read, bit_units ? bit_subcommand(extended) : word_subcommand(extended), data);
}

std::vector<std::uint8_t> random_write_words_request(std::span<const word_value> words,
                                                     std::span<const dword_value> dwords, bool extended) {
  std::vector<std::uint8_t> data;
  put8(data, static_cast<std::uint32_t>(words.size()));
  put8(data, static_cast<std::uint32_t>(dwords.size()));
  for (const auto& w : words) {
    put_device(data, w.device, extended);
    put16(data, w.value);
  }
  for (const auto& d : dwords) {
    put_device(data, d.device, extended);
    put32(data, d.value);
  }
  return request_frame(command::random_write, word_subcommand(extended), data);
}

std::vector<std::uint8_t> random_write_bits_request(std::span<const bit_value> bits, bool extended) {
  std::vector<std::uint8_t> data;
  put8(data, static_cast<std::uint32_t>(bits.size()));
  for (const auto& b : bits) {
    put_device(data, b.device, extended);
    if (extended)
      put16(data, b.on ? 1 : 0);
    else
      put8(data, b.on ? 1 : 0);
  }
  return request_frame(command::random_write, bit_subcommand(extended), data);
}

std::vector<std::uint8_t> batch_write_words_request(const device_address& head, std::span<const std::uint16_t> values,
                                                    bool extended) {
  std::vector<std::uint8_t> data;
  put_device(data, head, extended);
  put16(data, static_cast<std::uint32_t>(values.size()));
  for (const std::uint16_t v : values) put16(data, v);
  return request_frame(command::batch_write, word_subcommand(extended), data);
}

std::optional<std::size_t> response_data_length(std::span<const std::uint8_t> header) noexcept {
  if (header.size() < header_size || header[0] != 0xD0 || header[1] != 0x00) return std::nullopt;
  const std::uint16_t length = get16(header, 7);
  if (length < 2 || length > max_response_data) return std::nullopt;
  return length;
}

reply decode_reply(std::span<const std::uint8_t> frame) noexcept {
  reply r;
  if (frame.size() < header_size + 2) return r;  // short_header
  if (frame[0] != 0xD0 || frame[1] != 0x00) {
    r.status = reply_status::bad_subheader;
    return r;
  }
  if (get16(frame, 7) != frame.size() - header_size) {
    r.status = reply_status::length_mismatch;
    return r;
  }
  r.end_code = get16(frame, header_size);
  if (r.end_code != 0) {
    r.status = reply_status::end_code;
    return r;
  }
  r.status = reply_status::ok;
  r.data = frame.subspan(header_size + 2);
  return r;
}

bool decode_random_read(std::span<const std::uint8_t> data, std::span<std::uint16_t> words,
                        std::span<std::uint32_t> dwords) noexcept {
  if (data.size() != 2 * words.size() + 4 * dwords.size()) return false;
  std::size_t at = 0;
  for (auto& w : words) {
    w = get16(data, at);
    at += 2;
  }
  for (auto& d : dwords) {
    d = get32(data, at);
    at += 4;
  }
  return true;
}

bool decode_words(std::span<const std::uint8_t> data, std::span<std::uint16_t> words) noexcept {
  return decode_random_read(data, words, {});
}

bool decode_bits(std::span<const std::uint8_t> data, std::span<std::uint8_t> bits) noexcept {
  if (data.size() != (bits.size() + 1) / 2) return false;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::uint8_t high = data[i] >> 4;
    const std::uint8_t low = data[i] & 0x0F;
    const bool has_second = 2 * i + 1 < bits.size();
    if (high > 1 || low > 1 || (!has_second && low != 0)) return false;
    bits[2 * i] = high;
    if (has_second) bits[2 * i + 1] = low;
  }
  return true;
}

}  // namespace kvt::plc::melsec::mc
