#include "plc/melsec/mc/component.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "plc/melsec/mc/devices.hpp"
#include "plc/melsec/mc/frames.hpp"
#include "plc/melsec/mc/plan.hpp"

namespace kvt::plc::melsec::mc {
namespace {

void report(const std::string& line) { std::fprintf(stderr, "MELSEC: %s\n", line.c_str()); }

std::int32_t fail(std::int32_t& result, std::int32_t code, const std::string& line) {
  report(line);
  result = code;
  return code == code::bad_device_list || code == code::bad_argument ? e_invalid_arg : e_fail;
}

struct host_port {
  std::string host;
  std::uint16_t port = default_port;
  bool ok = true;
};

// "host" or "host:port"; a text with several colons (an IPv6 address) is a
// host alone, and "[v6]:port" names one with a port.
host_port split_host(const std::string& text) {
  host_port hp{text, default_port, !text.empty()};
  std::size_t colon = std::string::npos;
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return {text, default_port, false};
    hp.host = text.substr(1, close - 1);
    if (close + 1 == text.size()) return hp;
    if (text[close + 1] != ':') return {text, default_port, false};
    colon = close + 1;
  } else {
    colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) return hp;
    hp.host = text.substr(0, colon);
  }
  const std::string digits = text.substr(colon + 1);
  unsigned long port = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9' || port > 65535) return {text, default_port, false};
    port = port * 10 + static_cast<unsigned long>(c - '0');
  }
  if (digits.empty() || port == 0 || port > 65535 || hp.host.empty()) return {text, default_port, false};
  hp.port = static_cast<std::uint16_t>(port);
  return hp;
}

const char* command_name(std::uint16_t command, std::uint16_t subcommand) {
  switch (command) {
    case command::random_read: return "random read";
    case command::batch_read:
      return subcommand == subcommand::bit_units || subcommand == subcommand::bit_units_extended
                 ? "batch read in bit units"
                 : "batch read";
    case command::random_write:
      return subcommand == subcommand::bit_units || subcommand == subcommand::bit_units_extended
                 ? "random write in bit units"
                 : "random write";
    case command::batch_write: return "batch write";
    default: return "request";
  }
}

const char* describe(reply_status s) {
  switch (s) {
    case reply_status::short_header: return "is too short";
    case reply_status::bad_subheader: return "has a wrong subheader";
    case reply_status::length_mismatch: return "has a data length that disagrees with its bytes";
    default: return "is malformed";
  }
}

}  // namespace

component::component(std::string host)
    : host_(std::move(host)), client_(split_host(host_).host, split_host(host_).port) {
  const host_port hp = split_host(host_);
  host_ok_ = hp.ok;
  port_ = hp.port;
  if (!hp.ok) host_error_ = "host '" + host_ + "' is not \"host\" or \"host:port\"";
}

component::~component() = default;

std::int32_t component::set_station(std::int32_t station) {
  std::lock_guard lock(mutex_);
  if (station < 0) {
    report("station number " + std::to_string(station) + " is negative");
    return e_invalid_arg;
  }
  station_ = station;
  return s_ok;
}

std::int32_t component::station() const {
  std::lock_guard lock(mutex_);
  return station_;
}

void component::set_timeout(std::chrono::milliseconds timeout) {
  std::lock_guard lock(mutex_);
  client_.set_timeout(timeout);
}

std::int32_t component::ensure_connected(const char* what) {
  if (!host_ok_) {
    report(host_error_ + " (" + what + ")");
    return code::bad_host;
  }
  std::string error;
  const std::int32_t r = client_.connect(error);
  if (r != code::ok) report(error + " (" + what + ")");
  return r;
}

std::int32_t component::open(std::int32_t& result) {
  std::lock_guard lock(mutex_);
  result = ensure_connected("open");
  if (result != code::ok) return e_fail;
  open_ = true;
  return s_ok;
}

std::int32_t component::close(std::int32_t& result) {
  std::lock_guard lock(mutex_);
  client_.disconnect();
  open_ = false;
  result = code::ok;
  return s_ok;
}

std::int32_t component::read_device_random(std::string_view device_list, std::int32_t count, std::int16_t* values,
                                           std::int32_t& result) {
  std::vector<device_ref> entries;
  std::string error;
  if (values == nullptr) return fail(result, code::bad_argument, "random read: no place for the values");
  if (!parse_device_list(device_list, count, entries, error))
    return fail(result, code::bad_device_list, error + " (random read)");
  const std::vector<read_step> steps = plan_read(entries);
  std::vector<std::int16_t> read(entries.size());

  std::lock_guard lock(mutex_);
  if (!open_) return fail(result, code::not_open, "random read before open()");
  if (const std::int32_t r = ensure_connected("random read"); r != code::ok) {
    result = r;
    return e_fail;
  }
  std::vector<std::uint8_t> response;
  for (const read_step& step : steps) {
    const std::uint16_t cmd = static_cast<std::uint16_t>(step.request[11] | step.request[12] << 8);
    const std::uint16_t sub = static_cast<std::uint16_t>(step.request[13] | step.request[14] << 8);
    const char* name = command_name(cmd, sub);
    if (const std::int32_t r = client_.exchange(step.request, response, error); r != code::ok)
      return fail(result, r, error + " (" + name + ")");
    const reply rep = decode_reply(response);
    if (rep.status == reply_status::end_code) {
      char text[80];
      std::snprintf(text, sizeof text, "end code 0x%04X for %s", rep.end_code, name);
      return fail(result, rep.end_code, text);
    }
    if (rep.status != reply_status::ok) {
      client_.disconnect();
      return fail(result, code::bad_response, std::string("the response to a ") + name + " " + describe(rep.status));
    }
    if (!apply_read(step, rep.data, read)) {
      client_.disconnect();
      return fail(result, code::bad_response,
                  std::string("the response to a ") + name + " does not hold the points asked for");
    }
  }
  std::copy(read.begin(), read.end(), values);
  result = code::ok;
  return s_ok;
}

std::int32_t component::write_device_random(std::string_view device_list, std::int32_t count,
                                            const std::int16_t* values, std::int32_t& result) {
  std::vector<device_ref> entries;
  std::string error;
  if (values == nullptr) return fail(result, code::bad_argument, "random write: no values given");
  if (!parse_device_list(device_list, count, entries, error))
    return fail(result, code::bad_device_list, error + " (random write)");
  const auto requests = plan_write(entries, std::span(values, entries.size()));

  std::lock_guard lock(mutex_);
  if (!open_) return fail(result, code::not_open, "random write before open()");
  if (const std::int32_t r = ensure_connected("random write"); r != code::ok) {
    result = r;
    return e_fail;
  }
  std::vector<std::uint8_t> response;
  for (const auto& request : requests) {
    const std::uint16_t cmd = static_cast<std::uint16_t>(request[11] | request[12] << 8);
    const std::uint16_t sub = static_cast<std::uint16_t>(request[13] | request[14] << 8);
    const char* name = command_name(cmd, sub);
    if (const std::int32_t r = client_.exchange(request, response, error); r != code::ok)
      return fail(result, r, error + " (" + name + ")");
    const reply rep = decode_reply(response);
    if (rep.status == reply_status::end_code) {
      char text[80];
      std::snprintf(text, sizeof text, "end code 0x%04X for %s", rep.end_code, name);
      return fail(result, rep.end_code, text);
    }
    if (rep.status != reply_status::ok || !decode_empty(rep.data)) {
      client_.disconnect();
      return fail(result, code::bad_response, std::string("the response to a ") + name + " " +
                                                  (rep.status == reply_status::ok ? "carries unexpected data"
                                                                                   : describe(rep.status)));
    }
  }
  result = code::ok;
  return s_ok;
}

}  // namespace kvt::plc::melsec::mc
