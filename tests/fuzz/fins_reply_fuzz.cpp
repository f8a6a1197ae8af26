// Fuzz target: FINS responses as the client reads them. The client talks
// over UDP on loopback to a controller of this target that answers each
// request with a response built from the fuzz input: a well-formed frame for
// that request (end code, data length and header bytes open to change) or
// arbitrary bytes, possibly after datagrams from another socket. The client
// runs controller data reads, multiple memory reads and the writes.
// Checked for every operation that sent requests:
// - it succeeds exactly when every response was the answer to its request
//   (addresses, service id and command echoed), with end code 0 once the
//   flag bits are removed and exactly the data length the request asks for
//   (controller data: at least the end code and the model); a long write
//   may also stop at an address beyond the area after correct responses;
// - a matching response with another end code fails with that code (or, past
//   the error limit, with too_many_errors);
// - read values are the response's data as the FINS reference lays it out,
//   and the model is the first 20 data bytes without trailing blanks.
//
// Input, read from the front (support/input_reader.hpp) by the target and
// the controller in turn: node addresses and error limit; then operations
// (the first is a controller data read), each followed by the controller's
// choice for every request it sends: decoys, kind of response, end code and
// data.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "plc/fins/client.hpp"
#include "support/check.hpp"
#include "support/input_reader.hpp"

namespace {

namespace fins = kvt::plc::fins;

constexpr std::size_t header = 12;
constexpr std::size_t max_decoys = 16;  // datagrams from others a client reads through

// One request and what the controller sent back.
struct exchange_record {
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> response;
  std::size_t decoys = 0;
  bool answered = true;
};

bool is_bit_area(std::uint8_t code) {
  return code == 0x00 || code == 0x02 || (code >= 0x30 && code <= 0x33);
}

std::uint16_t command_of(const std::vector<std::uint8_t>& request) {
  return static_cast<std::uint16_t>(request[10] << 8 | request[11]);
}

// The data length (end code included) of a usual correct response to
// `request`: CS/CJ controller data is 160 bytes (C/CV controllers send 161).
std::size_t expected_length(const std::vector<std::uint8_t>& request) {
  const std::uint16_t command = command_of(request);
  if (command == 0x0501) return 160;
  if (command == 0x0104) {
    std::size_t n = 2;
    for (std::size_t at = header; at + 4 <= request.size(); at += 4) n += is_bit_area(request[at]) ? 2 : 3;
    return n;
  }
  return 2;
}

bool echoes(const std::vector<std::uint8_t>& request, const std::vector<std::uint8_t>& response) {
  return response.size() >= header && response[0] == (request[0] | 0x40) && response[1] == 0 &&
         response[3] == request[6] && response[4] == request[7] && response[5] == request[8] &&
         response[6] == request[3] && response[7] == request[4] && response[8] == request[5] &&
         std::equal(request.begin() + 9, request.begin() + 12, response.begin() + 9);
}

std::uint16_t masked_end_code(const std::vector<std::uint8_t>& response) {
  return static_cast<std::uint16_t>((response[header] & 0x7F) << 8 | (response[header + 1] & 0x3F));
}

bool read_through(const exchange_record& e) {
  return e.answered && e.decoys <= max_decoys && e.response.size() <= fins::max_datagram && echoes(e.request, e.response) &&
         e.response.size() >= header + 2;
}

// Controller data is taken whatever its length once it holds the end code and
// the 20-byte model; every other response has exactly the expected length.
bool correct(const exchange_record& e) {
  if (!read_through(e) || masked_end_code(e.response) != 0) return false;
  const std::size_t length = e.response.size() - header;
  return command_of(e.request) == 0x0501 ? length >= 2 + fins::model_length : length == expected_length(e.request);
}

class controller {
 public:
  controller() {
    fd_ = bound_socket();
    decoy_fd_ = bound_socket();
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~controller() {
    stop_.store(true);
    thread_.join();
    ::close(fd_);
    ::close(decoy_fd_);
  }

  std::uint16_t port() const { return port_; }

  void begin(kvt::fuzz::input_reader* in) {
    std::lock_guard lock(mutex_);
    in_ = in;
    log_.clear();
  }
  // The fuzz input, shared with the serving thread: consumed under the lock.
  template <class F>
  auto with_input(F&& f) {
    std::lock_guard lock(mutex_);
    return f(*in_);
  }
  std::vector<exchange_record> take_log() {
    std::lock_guard lock(mutex_);
    return std::exchange(log_, {});
  }

 private:
  static int bound_socket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    timeval tv{0, 100'000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
  }

  void serve() {
    std::vector<std::uint8_t> buffer(4096);
    while (!stop_.load()) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < static_cast<ssize_t>(header)) continue;
      exchange_record e;
      e.request.assign(buffer.begin(), buffer.begin() + n);
      {
        std::lock_guard lock(mutex_);
        if (in_ == nullptr) continue;
        answer(*in_, e);
        log_.push_back(e);
      }
      const std::string decoy(e.response.empty() ? 1 : e.response.size(), '\xEE');
      for (std::size_t i = 0; i < e.decoys; ++i)
        ::sendto(decoy_fd_, decoy.data(), decoy.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      if (e.answered)
        ::sendto(fd_, e.response.data(), e.response.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  static void answer(kvt::fuzz::input_reader& in, exchange_record& e) {
    const std::vector<std::uint8_t>& q = e.request;
    e.decoys = in.pick<int>(0, 15) == 0 ? in.pick<std::size_t>(0, max_decoys + 1) : 0;
    e.answered = e.decoys <= max_decoys;  // a flood ends the exchange: the answer would only come late
    const int kind = in.pick<int>(0, 9);
    if (kind == 0) {
      const std::string raw = in.text(2100);
      e.response.assign(raw.begin(), raw.end());
      return;
    }
    // The answer to this request: ICF with the response bit, addresses swapped.
    e.response = {static_cast<std::uint8_t>(q[0] | 0x40), 0x00, 0x02, q[6], q[7], q[8], q[3], q[4], q[5],
                  q[9], q[10], q[11]};
    if (kind == 1) e.response[in.pick<std::size_t>(0, header - 1)] ^= in.byte();
    std::uint8_t main = 0, sub = 0;
    if (kind <= 3) {
      main = in.byte();
      sub = in.byte();
    } else if (in.flag()) {  // relay and controller error flags only
      main = 0x80;
      sub = 0xC0;
    }
    e.response.push_back(main);
    e.response.push_back(sub);
    std::size_t data = expected_length(q) - 2;
    if (kind == 4) data = in.pick<std::size_t>(0, data + 4);
    for (std::size_t i = 0; i < data; ++i) e.response.push_back(in.byte());
  }

  int fd_ = -1;
  int decoy_fd_ = -1;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  kvt::fuzz::input_reader* in_ = nullptr;
  std::vector<exchange_record> log_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

controller* the_controller = nullptr;

std::string make_address(kvt::fuzz::input_reader& in) {
  static constexpr std::array<const char*, 9> areas{"CIO", "W", "H", "A", "DM", "dm", "D", "X", ""};
  std::string a = areas[in.pick<std::size_t>(0, areas.size() - 1)];
  if (in.pick<int>(0, 7) == 0) a += ' ';
  a += std::to_string(in.flag() ? in.pick<int>(0, 20) : in.pick<int>(0, 70000));
  if (in.flag()) a += "." + std::to_string(in.pick<int>(0, 17));
  return a;
}

fins::read_kind make_kind(kvt::fuzz::input_reader& in) {
  static constexpr std::array kinds{fins::read_kind::s16, fins::read_kind::s32, fins::read_kind::u16,
                                    fins::read_kind::u32, fins::read_kind::f32, fins::read_kind::f64,
                                    fins::read_kind::bit};
  return kinds[in.pick<std::size_t>(0, kinds.size() - 1)];
}

// The raw value of one item from a response's data (after the end code).
std::uint64_t decode(const std::vector<std::uint8_t>& data, std::size_t& pos, fins::read_kind kind) {
  if (kind == fins::read_kind::bit) {
    const std::uint64_t v = data[pos + 1] & 1u;
    pos += 2;
    return v;
  }
  const std::size_t words = kind == fins::read_kind::f64 ? 4
                            : kind == fins::read_kind::s16 || kind == fins::read_kind::u16 ? 1
                                                                                          : 2;
  std::uint64_t v = 0;
  for (std::size_t w = 0; w < words; ++w, pos += 3) v |= std::uint64_t{data[pos + 1]} << 8 << (16 * w) |
                                                     std::uint64_t{data[pos + 2]} << (16 * w);
  return v;
}

void check_outcome(const char* what, fins::result_code result, const std::vector<exchange_record>& log) {
  if (log.empty()) return;
  bool all_correct = true;
  for (const exchange_record& e : log) all_correct = all_correct && correct(e);
  // A long write checks each request's address only when it comes to it, so
  // after correct responses it may still stop at an address outside the area.
  const bool address_error = result == fins::code::no_write_area || result == fins::code::bad_write_address;
  KVT_FUZZ_CHECK(result == fins::code::ok ? all_correct : !all_correct || address_error,
                 "%s returned 0x%04X after %zu exchanges whose responses were %s", what, result, log.size(),
                 all_correct ? "all correct" : "not all correct");
  const exchange_record& last = log.back();
  if (read_through(last) && masked_end_code(last.response) != 0)
    KVT_FUZZ_CHECK(result == masked_end_code(last.response) || result == fins::code::too_many_errors,
                   "%s returned 0x%04X for end code 0x%04X", what, result, masked_end_code(last.response));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  static controller c;
  the_controller = &c;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  kvt::fuzz::input_reader in(bytes, size);
  controller& plc = *the_controller;
  plc.begin(&in);

  fins::client_settings settings;
  settings.host = "127.0.0.1";
  settings.port = plc.port();
  settings.timeout_ms = 2000;
  plc.with_input([&](kvt::fuzz::input_reader& p) {
    settings.nodes = {p.byte(), p.byte(), 0,
                      p.byte(), p.byte(), 0};
    settings.error_limit = p.pick<std::uint32_t>(0, 3);
    return 0;
  });
  fins::result_code opened = 0;
  const auto client = fins::client::open(settings, opened);
  KVT_FUZZ_CHECK(client && opened == fins::code::ok, "the client could not open its socket (0x%04X)", opened);

  for (int op = 0; op < 8 && plc.with_input([](kvt::fuzz::input_reader& p) { return p.remaining(); }) > 0; ++op) {
    const int which = op == 0 ? 0 : plc.with_input([](kvt::fuzz::input_reader& p) { return p.pick<int>(0, 4); });
    if (which == 0) {
      const fins::result_code r = client->read_controller_data();
      const auto log = plc.take_log();
      check_outcome("controller data read", r, log);
      if (r == fins::code::ok) {
        const std::vector<std::uint8_t>& resp = log.back().response;
        std::size_t n = fins::model_length;
        const auto blank = [](std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0; };
        while (n > 0 && blank(resp[header + 2 + n - 1])) --n;
        const std::string model(reinterpret_cast<const char*>(resp.data()) + header + 2, n);
        KVT_FUZZ_CHECK(client->model() == std::string_view(model.c_str()), "model \"%.*s\" read as \"%s\"",
                       static_cast<int>(client->model().size()), client->model().data(), model.c_str());
      }
    } else if (which == 1) {
      std::vector<fins::read_item> items(
          plc.with_input([](kvt::fuzz::input_reader& p) { return p.pick<std::size_t>(0, 30); }));
      for (fins::read_item& item : items) {
        plc.with_input([&](kvt::fuzz::input_reader& p) {
          const std::string a = make_address(p);
          std::strncpy(item.address, a.c_str(), sizeof item.address - 1);
          item.kind = make_kind(p);
          return 0;
        });
      }
      const fins::result_code r = client->read_multiple(items);
      const auto log = plc.take_log();
      check_outcome("multiple read", r, log);
      if (r == fins::code::ok) {
        for (std::size_t first = 0; first < items.size(); first += fins::max_read_items) {
          const std::vector<std::uint8_t>& resp = log[first / fins::max_read_items].response;
          const std::vector<std::uint8_t> data(resp.begin() + header + 2, resp.end());
          std::size_t pos = 0;
          for (std::size_t i = first; i < std::min(items.size(), first + fins::max_read_items); ++i) {
            const std::uint64_t expected = decode(data, pos, items[i].kind);
            KVT_FUZZ_CHECK(items[i].raw == expected, "item %zu (%s) read as 0x%llX, the response holds 0x%llX", i,
                           items[i].address, static_cast<unsigned long long>(items[i].raw),
                           static_cast<unsigned long long>(expected));
          }
        }
      }
    } else {
      const std::string address = plc.with_input([](kvt::fuzz::input_reader& p) { return make_address(p); });
      const auto count = plc.with_input([](kvt::fuzz::input_reader& p) { return p.pick<std::size_t>(0, 300); });
      fins::result_code r = 0;
      if (which == 2) {
        const std::vector<std::uint16_t> words(count, 0x1234);
        r = client->write_words(address, words);
      } else if (which == 3) {
        const std::vector<std::uint8_t> bits(count, 1);
        r = client->write_bits(address, bits);
      } else {
        const std::vector<std::uint32_t> dwords(count / 2, 0x89ABCDEFu);
        r = client->write_dwords(address, dwords);
      }
      check_outcome("write", r, plc.take_log());
    }
  }
  plc.begin(nullptr);
  return 0;
}
