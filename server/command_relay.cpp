#include "server/command_relay.hpp"

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "platform/regular_file.hpp"
#include "renderer/page_contract.hpp"

namespace kvt::server {

namespace cb = kvt::page::command;

namespace {

std::uint32_t read_word(const std::byte* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void write_word(std::byte* p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }

std::atomic_ref<std::uint32_t> status_word(std::byte* buffer) {
  return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(buffer + cb::status_offset));
}

// Relayed codes with a payload, and without.
bool carries_payload(std::uint8_t code) { return code == 1 || code == 4 || code == 5 || code == 6; }
bool carries_nothing(std::uint8_t code) { return code == 2 || code == 7; }

}  // namespace

void command_relay::handle_binary(std::span<const std::byte> message, const connection_ptr& sender) {
  if (message.size() < cb::header_bytes) return;
  const auto code = static_cast<std::uint8_t>(message[cb::code_offset]);
  const std::uint32_t length = read_word(message.data() + cb::length_offset);
  if (length > message.size() - cb::header_bytes || length > cb::max_payload_bytes) return;
  const auto payload = message.subspan(cb::header_bytes, length);

  if (code == cb::message_register_page) {
    hub_.register_page(sender);
    return;
  }
  if (buffer_ == nullptr) return;
  if (carries_payload(code)) {
    store_message(code, payload);
    notify_page();
  } else if (carries_nothing(code)) {
    store_message(code, {});
    notify_page();
  } else if (code == cb::code_load_file) {
    load_file(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
  }
}

void command_relay::store_message(std::uint8_t code, std::span<const std::byte> payload) {
  write_word(buffer_ + cb::code_offset, code);
  write_word(buffer_ + cb::length_offset, static_cast<std::uint32_t>(payload.size()));
  if (!payload.empty()) std::memcpy(buffer_ + cb::payload_offset, payload.data(), payload.size());
  status_word(buffer_).store(cb::status_idle, std::memory_order_release);
}

void command_relay::notify_page() {
  if (const auto& page = hub_.page()) page->send_binary(std::string(1, static_cast<char>(cb::message_buffer_ready)));
}

void command_relay::relay_page_message() {
  if (buffer_ == nullptr) return;
  if (status_word(buffer_).load(std::memory_order_acquire) != cb::status_page_message) return;
  const std::uint32_t length = read_word(buffer_ + cb::length_offset);
  if (hub_.page() && length <= cb::max_payload_bytes && !hub_.clients().empty()) {
    const auto message = std::make_shared<const std::string>(reinterpret_cast<const char*>(buffer_),
                                                             cb::header_bytes + length);
    for (const auto& client : hub_.clients()) client->send_binary(message);
  }
  write_word(buffer_ + cb::code_offset, cb::code_relayed);
  status_word(buffer_).store(cb::status_idle, std::memory_order_release);
}

void command_relay::load_file(std::string_view path) {
  if (buffer_ == nullptr) return;
  write_word(buffer_ + cb::code_offset, cb::code_load_file);
  status_word(buffer_).store(cb::status_idle, std::memory_order_release);

  // Regular files only: no FIFOs or devices that never end.
  platform::regular_file file;
  if (!file.open(std::string(path))) return;
  const std::uint64_t size = file.size();

  if (size > cb::max_payload_bytes) {
    const auto& page = hub_.page();
    if (!page) return;
    std::string bytes;
    try {
      bytes.resize(size);
    } catch (const std::bad_alloc&) {
      return;  // larger than this process can hold: not delivered
    }
    if (!file.read_exact(bytes.data(), bytes.size())) return;
    page->send_binary(std::move(bytes));
    return;
  }
  if (!file.read_exact(buffer_ + cb::payload_offset, static_cast<std::size_t>(size))) return;
  write_word(buffer_ + cb::length_offset, static_cast<std::uint32_t>(size));
  notify_page();
}

}  // namespace kvt::server
