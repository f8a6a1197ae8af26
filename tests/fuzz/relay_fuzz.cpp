// Fuzz target: the binary side of the command server. A sequence of events
// (connections opening and closing, binary messages from any of them with
// well-formed or arbitrary framing, page messages left in the command
// buffer, actions waiting for the page) runs against a client hub and a
// command relay with a command buffer of their own, and every outcome is
// compared with what the protocol prescribes:
// - a message without a whole header, or whose length word exceeds what
//   follows it or the payload area, changes nothing and sends nothing;
// - codes 1, 4, 5, 6 store code, length and payload (2 and 7 without
//   payload) with status 0, and tell the page (only) with the byte 255;
// - code 253 makes the sender the page, runs the waiting actions in order,
//   then tells every remaining client with the byte 253;
// - code 3 loads the named file (paths are swapped for prepared files, so
//   nothing outside them is read): small files through the buffer, larger
//   ones to the page as one message;
// - a page message (status 1) goes, header included, to every client and
//   never to the page, and leaves code 255 with status 0.
// The buffer is a heap block of exactly the buffer's size, so AddressSanitizer
// sees any access beyond it.
//
// Input, read from the front (support/input_reader.hpp): up to 64 steps,
// each a connection slot (0-3), an event (0 open, 1 close, 2 binary message,
// 3 page message, 4 relay step, 5 action waiting for the page) and the
// event's bytes as `make_message` and the loop below read them.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "renderer/page_contract.hpp"
#include "server/client_hub.hpp"
#include "server/command_relay.hpp"
#include "support/check.hpp"
#include "support/input_reader.hpp"
#include "support/recording_connection.hpp"

namespace {

using namespace kvt;
namespace cb = kvt::page::command;
using fuzz::recording_connection;

constexpr std::size_t slots = 4;

// Files that code-3 messages name instead of whatever path they carried.
struct prepared_file {
  std::string path;
  std::optional<std::string> content;  // none: not a regular file
};
std::vector<prepared_file> files;
std::filesystem::path scratch;

std::string pattern(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

void remove_scratch() {
  std::error_code ec;
  std::filesystem::remove_all(scratch, ec);
}

void prepare_files() {
  scratch = std::filesystem::temp_directory_path() / ("kvt-relay-fuzz-" + std::to_string(getpid()));
  std::filesystem::create_directories(scratch / "folder");
  std::atexit(remove_scratch);
  const auto add = [](const std::string& name, std::size_t size, char seed) {
    const std::string content = pattern(size, seed);
    std::ofstream((scratch / name).string(), std::ios::binary).write(content.data(), static_cast<std::streamsize>(size));
    files.push_back({(scratch / name).string(), content});
  };
  add("empty", 0, 'a');
  add("small.json", 100, 'b');
  add("fits", cb::max_payload_bytes, 'c');
  add("too-large", cb::max_payload_bytes + 1, 'd');
  files.push_back({(scratch / "folder").string(), std::nullopt});
  files.push_back({(scratch / "missing").string(), std::nullopt});
}

std::uint32_t word_at(const std::byte* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void put_word(std::string& s, std::size_t at, std::uint32_t v) { std::memcpy(s.data() + at, &v, sizeof v); }

std::string header(std::uint32_t status, std::uint32_t code, std::uint32_t length) {
  std::string h(cb::header_bytes, '\0');
  put_word(h, cb::status_offset, status);
  put_word(h, cb::code_offset, code);
  put_word(h, cb::length_offset, length);
  return h;
}

const std::string note_page = std::string(1, static_cast<char>(cb::message_register_page));
const std::string note_buffer = std::string(1, static_cast<char>(cb::message_buffer_ready));

class scenario {
 public:
  explicit scenario(std::byte* buffer) : buffer_(buffer), relay_(buffer, hub_) {
    hub_.attach([](server::client_hub::action a) { a(); });
  }
  ~scenario() { hub_.detach(); }

  void open(std::size_t k) {
    if (conn_[k]) return;
    conn_[k] = std::make_shared<recording_connection>();
    hub_.on_open(conn_[k]);
    clients_.push_back(k);
    expect(k, page_ ? std::vector<std::string>{note_page} : std::vector<std::string>{});
    check_delivered();
  }

  void close(std::size_t k) {
    if (!conn_[k]) return;
    hub_.on_close(conn_[k].get());
    std::erase(clients_, k);
    if (page_ == k) page_.reset();
    conn_[k]->open = false;
    conn_[k].reset();
    check_delivered();
  }

  // A binary message from connection `k`.
  // `message` may be rewritten (code 3); its capacity is reused between calls.
  void binary(std::size_t k, std::string& message, fuzz::input_reader& in) {
    if (!conn_[k]) return;
    const std::string before = buffer_header();
    std::uint32_t length = 0;
    bool framed = message.size() >= cb::header_bytes;
    if (framed) {
      std::memcpy(&length, message.data() + cb::length_offset, sizeof length);
      framed = length <= message.size() - cb::header_bytes && length <= cb::max_payload_bytes;
    }
    const auto code = framed ? static_cast<std::uint8_t>(message[cb::code_offset]) : std::uint8_t{0};
    const prepared_file* file = nullptr;
    if (framed && code == cb::code_load_file) {
      file = &files[in.pick<std::size_t>(0, files.size() - 1)];
      length = static_cast<std::uint32_t>(file->path.size());
      message.resize(cb::header_bytes);
      message += file->path;
      put_word(message, cb::length_offset, length);
    }

    relay_.handle_binary(std::as_bytes(std::span(message.data(), message.size())), conn_[k]);

    if (!framed) {
      KVT_FUZZ_CHECK(buffer_header() == before, "a message without a valid header changed the buffer");
      check_delivered();
      return;
    }
    if (code == cb::message_register_page) {
      std::erase(clients_, k);
      page_ = k;
      KVT_FUZZ_CHECK(ran_ == waiting_, "registration ran %zu of %zu waiting actions, or out of order", ran_.size(),
                     waiting_.size());
      for (const std::size_t seen : seen_by_actions_)
        KVT_FUZZ_CHECK(seen == delivered_, "a waiting action ran after the 253 notifications went out");
      waiting_.clear();
      ran_.clear();
      seen_by_actions_.clear();
      for (const std::size_t c : clients_) expect(c, {note_page});
    } else if (code == 1 || code == 4 || code == 5 || code == 6 || code == 2 || code == 7) {
      const bool payload = code != 2 && code != 7;
      check_buffer(code, payload ? length : 0,
                   payload ? std::string_view(message).substr(cb::header_bytes, length) : std::string_view{});
      if (page_) expect(*page_, {note_buffer});
    } else if (file != nullptr) {
      check_load(*file, before);
    } else {
      KVT_FUZZ_CHECK(buffer_header() == before, "code %u changed the buffer", code);
    }
    check_delivered();
  }

  // The page leaves a message in the buffer and sets the status to 1; the
  // server loop relays it.
  void page_message(std::uint32_t code, std::uint32_t length, const std::string& payload) {
    std::memcpy(buffer_ + cb::code_offset, &code, sizeof code);
    std::memcpy(buffer_ + cb::length_offset, &length, sizeof length);
    std::memcpy(buffer_ + cb::payload_offset, payload.data(), std::min(payload.size(), cb::max_payload_bytes));
    const std::uint32_t status = cb::status_page_message;
    std::memcpy(buffer_ + cb::status_offset, &status, sizeof status);
    const std::string sent(reinterpret_cast<const char*>(buffer_),
                           cb::header_bytes + std::min<std::size_t>(length, cb::max_payload_bytes));

    relay_.relay_page_message();

    if (page_ && length <= cb::max_payload_bytes)
      for (const std::size_t c : clients_) expect(c, {sent});
    KVT_FUZZ_CHECK(word_at(buffer_ + cb::code_offset) == cb::code_relayed, "a relayed page message left code %u",
                   word_at(buffer_ + cb::code_offset));
    KVT_FUZZ_CHECK(word_at(buffer_ + cb::status_offset) == cb::status_idle, "a relayed page message left status %u",
                   word_at(buffer_ + cb::status_offset));
    KVT_FUZZ_CHECK(word_at(buffer_ + cb::length_offset) == length, "relaying changed the length word");
    check_delivered();
  }

  // The server loop's relay step while the page has not written anything.
  void idle_relay() {
    const std::string before = buffer_header();
    if (word_at(buffer_ + cb::status_offset) == cb::status_page_message) return;
    relay_.relay_page_message();
    KVT_FUZZ_CHECK(buffer_header() == before, "the relay step changed a buffer the page had not handed over");
    check_delivered();
  }

  void wait_for_page() {
    const std::size_t id = next_action_++;
    if (!page_) waiting_.push_back(id);
    hub_.when_page_connected([this, id] {
      ran_.push_back(id);
      seen_by_actions_.push_back(count_delivered());
    });
    if (page_) {
      KVT_FUZZ_CHECK(ran_.size() == 1 && ran_[0] == id, "an action did not run at once while a page is present");
      ran_.clear();
      seen_by_actions_.clear();
    } else {
      KVT_FUZZ_CHECK(ran_.empty(), "an action ran without a page");
    }
  }

 private:
  std::string buffer_header() const { return std::string(reinterpret_cast<const char*>(buffer_), cb::header_bytes); }

  void check_buffer(std::uint32_t code, std::uint32_t length, std::string_view payload) const {
    KVT_FUZZ_CHECK(word_at(buffer_ + cb::status_offset) == cb::status_idle, "a stored message left status %u",
                   word_at(buffer_ + cb::status_offset));
    KVT_FUZZ_CHECK(word_at(buffer_ + cb::code_offset) == code, "stored code %u, expected %u",
                   word_at(buffer_ + cb::code_offset), code);
    KVT_FUZZ_CHECK(word_at(buffer_ + cb::length_offset) == length, "stored length %u, expected %u",
                   word_at(buffer_ + cb::length_offset), length);
    KVT_FUZZ_CHECK(payload.empty() || std::memcmp(buffer_ + cb::payload_offset, payload.data(), payload.size()) == 0,
                   "the stored payload differs from the message's");
  }

  void check_load(const prepared_file& file, const std::string& before) {
    std::uint32_t old_length;
    std::memcpy(&old_length, before.data() + cb::length_offset, sizeof old_length);
    if (file.content && file.content->size() <= cb::max_payload_bytes) {
      check_buffer(cb::code_load_file, static_cast<std::uint32_t>(file.content->size()), *file.content);
      if (page_) expect(*page_, {note_buffer});
      return;
    }
    check_buffer(cb::code_load_file, old_length, {});
    if (file.content && page_) expect(*page_, {*file.content});
  }

  void expect(std::size_t k, std::vector<std::string> messages) {
    for (auto& m : messages) expected_[k].push_back(std::move(m));
  }

  std::size_t count_delivered() const {
    std::size_t n = 0;
    for (const auto& c : conn_)
      if (c) n += c->binaries.size();
    return n + gone_;
  }

  // Every open connection has received exactly what was expected, in order.
  void check_delivered() {
    for (std::size_t k = 0; k < slots; ++k) {
      if (!conn_[k]) {
        expected_[k].clear();
        continue;
      }
      const auto& got = conn_[k]->binaries;
      const bool same = std::equal(got.begin(), got.end(), expected_[k].begin(), expected_[k].end(),
                                   [](const auto& message, const std::string& want) { return *message == want; });
      KVT_FUZZ_CHECK(same, "connection %zu received %zu binary messages, expected %zu (first: %zu bytes)", k,
                     got.size(), expected_[k].size(), got.empty() ? std::size_t{0} : got.front()->size());
      KVT_FUZZ_CHECK(conn_[k]->texts.empty(), "connection %zu received a text message", k);
      gone_ += conn_[k]->binaries.size();
      conn_[k]->forget();
      expected_[k].clear();
    }
    delivered_ = count_delivered();
  }

  std::byte* buffer_;
  server::client_hub hub_;
  server::command_relay relay_;
  std::array<std::shared_ptr<recording_connection>, slots> conn_;
  std::array<std::vector<std::string>, slots> expected_;
  std::vector<std::size_t> clients_;  // the hub's client list as the protocol has it
  std::optional<std::size_t> page_;
  std::vector<std::size_t> waiting_;          // actions queued for a page, in order
  std::vector<std::size_t> ran_;              // actions run, in order
  std::vector<std::size_t> seen_by_actions_;  // messages delivered when each ran
  std::size_t next_action_ = 0;
  std::size_t gone_ = 0;       // messages already checked and forgotten
  std::size_t delivered_ = 0;  // messages delivered up to the last check
};

// A binary message into `out`: well formed (code, payload and a length word
// near the payload's size), one at the edge of the payload area, or
// arbitrary bytes.
void make_message(fuzz::input_reader& in, std::string& out) {
  switch (in.pick<int>(0, 7)) {
    case 0: out = in.text(64); return;
    case 1: {  // a payload at the edge of the buffer, filled with a pattern
      static const std::string edge = pattern(cb::max_payload_bytes + 1, 'x');
      const std::size_t size = cb::max_payload_bytes - 1 + in.pick<std::size_t>(0, 2);
      out = header(in.word(), in.word(), static_cast<std::uint32_t>(size));
      out.append(edge, 0, size);
      return;
    }
    default: {
      const std::uint32_t status = in.word();
      const auto code = static_cast<std::uint32_t>(in.byte()) | (in.flag() ? in.word() & 0xFFFF'FF00u : 0u);
      const std::string payload = in.text(256);
      const auto length = static_cast<std::uint32_t>(payload.size() + in.pick<int>(-2, 2));
      out = header(status, code, length);
      out += payload;
      return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  prepare_files();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static const auto buffer = std::make_unique<std::byte[]>(cb::buffer_bytes);
  std::memset(buffer.get(), 0, cb::buffer_bytes);
  fuzz::input_reader in(bytes, size);
  scenario s(buffer.get());
  static std::string message;

  for (int step = 0; step < 64 && in.remaining() > 0; ++step) {
    const auto k = in.pick<std::size_t>(0, slots - 1);
    switch (in.pick<int>(0, 5)) {
      case 0: s.open(k); break;
      case 1: s.close(k); break;
      case 2:
        make_message(in, message);
        s.binary(k, message, in);
        break;
      case 3: {
        const auto code = in.word();
        const auto length = in.flag() ? in.word()
                                             : in.pick<std::uint32_t>(0, 300);
        s.page_message(code, length, in.text(300));
        break;
      }
      case 4: s.idle_relay(); break;
      case 5: s.wait_for_page(); break;
    }
  }
  return 0;
}
