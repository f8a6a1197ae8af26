#include "fins/fins_simulator.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace kvt::test {

namespace {

int loopback_socket(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) throw std::runtime_error("simulator socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("simulator bind");
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  timeval tv{0, 20'000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// Words per area on a CJ2M: CIO 6144, W 512, H 512, A 960, DM 32768.
std::uint32_t words_in(std::uint8_t word_code) {
  switch (word_code) {
    case 0xB0: return 6144;
    case 0xB1:
    case 0xB2: return 512;
    case 0xB3: return 960;
    case 0x82: return 32768;
    default: return 0;
  }
}

// The word-area code for a bit-area code, or the code itself.
std::uint8_t word_code_of(std::uint8_t code) {
  switch (code) {
    case 0x30: return 0xB0;
    case 0x31: return 0xB1;
    case 0x32: return 0xB2;
    case 0x33: return 0xB3;
    case 0x02: return 0x82;
    default: return code;
  }
}

bool is_bit_code(std::uint8_t code) { return word_code_of(code) != code; }

}  // namespace

fins_simulator::fins_simulator(std::string model) : model_(std::move(model)) {
  for (const std::uint8_t code : {cio, w, h, a, dm}) memory_[code].assign(words_in(code), 0);
  fd_ = loopback_socket(port_);
  std::uint16_t unused = 0;
  decoy_fd_ = loopback_socket(unused);
  thread_ = std::thread([this] { serve(); });
}

fins_simulator::~fins_simulator() {
  stop_.store(true);
  thread_.join();
  ::close(fd_);
  ::close(decoy_fd_);
}

std::uint16_t fins_simulator::word(area ar, std::uint16_t address) const {
  std::lock_guard lock(mutex_);
  return memory_of(ar).at(address);
}

void fins_simulator::set_word(area ar, std::uint16_t address, std::uint16_t value) {
  std::lock_guard lock(mutex_);
  memory_of(ar).at(address) = value;
}

bool fins_simulator::bit(area ar, std::uint16_t address, unsigned b) const { return (word(ar, address) >> b) & 1u; }

std::size_t fins_simulator::requests(std::uint16_t command) const {
  std::lock_guard lock(mutex_);
  const auto it = counts_.find(command);
  return it == counts_.end() ? 0 : it->second;
}

std::vector<std::vector<std::uint8_t>> fins_simulator::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::uint16_t>& fins_simulator::memory_of(std::uint8_t code) { return memory_.at(word_code_of(code)); }
const std::vector<std::uint16_t>& fins_simulator::memory_of(std::uint8_t code) const {
  return memory_.at(word_code_of(code));
}

std::uint16_t fins_simulator::check_access(std::uint8_t code, std::uint32_t address, std::uint32_t count,
                                           bool write) const {
  const std::uint32_t size = words_in(word_code_of(code));
  if (size == 0) return 0x1101;                         // no such area
  if (address + count > size) return 0x1103;            // address range exceeded
  if (write && word_code_of(code) == 0xB3 && address < 448) return 0x2101;  // read-only auxiliary words
  return 0;
}

void fins_simulator::serve() {
  std::vector<std::uint8_t> buffer(4096);
  while (!stop_.load()) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 12) continue;
    std::vector<std::uint8_t> request(buffer.begin(), buffer.begin() + n);
    std::vector<std::uint8_t> reply;
    {
      std::lock_guard lock(mutex_);
      if (received_.size() < 10000) received_.push_back(request);  // the first requests are enough to inspect
      ++counts_[static_cast<std::uint16_t>(request[10] << 8 | request[11])];
      reply = answer(request);
    }
    if (silent_.load()) continue;
    if (const unsigned ms = delay_ms_.load(); ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (decoy_.load()) {
      std::vector<std::uint8_t> fake = reply;
      for (std::size_t i = 14; i < fake.size(); ++i) fake[i] = 0xEE;
      ::sendto(decoy_fd_, fake.data(), fake.size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
    }
    ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
    sent_.fetch_add(1);
  }
}

// The caller holds the mutex.
std::vector<std::uint8_t> fins_simulator::answer(const std::vector<std::uint8_t>& req) {
  // Response header: ICF with the response bit, source and destination
  // swapped, the request's SID and command code.
  std::vector<std::uint8_t> out{0xC0,   0x00,   0x02,   req[6], req[7], req[8],
                                req[3], req[4], req[5], static_cast<std::uint8_t>(req[9] + sid_offset_.load()),
                                req[10], req[11]};
  const std::uint16_t command = static_cast<std::uint16_t>(req[10] << 8 | req[11]);
  const auto end = [&](std::uint16_t code) {
    out.push_back(static_cast<std::uint8_t>(code >> 8));
    out.push_back(static_cast<std::uint8_t>(code));
  };

  if (command == controller_data_read) {
    end(0);
    std::string name = model_;
    name.resize(20, ' ');
    out.insert(out.end(), name.begin(), name.end());
    std::string version = "02.00";
    version.resize(20, ' ');
    out.insert(out.end(), version.begin(), version.end());
    out.resize(12 + controller_data_length_.load(), 0);  // system area, area data, status: zero
    return out;
  }
  if (const std::uint16_t forced = end_code_.load(); forced != 0) {
    end(forced);
    return out;
  }

  if (command == memory_area_write) {
    if (req.size() < 18) {
      end(0x1001);  // command too short
      return out;
    }
    const std::uint8_t code = req[12];
    const std::uint32_t address = static_cast<std::uint32_t>(req[13] << 8 | req[14]);
    const unsigned first_bit = req[15];
    const std::uint32_t count = static_cast<std::uint32_t>(req[16] << 8 | req[17]);
    const bool bits = is_bit_code(code);
    const std::size_t data_bytes = bits ? count : 2 * count;
    if (req.size() != 18 + data_bytes) {
      end(0x1002);  // data length does not match the count
      return out;
    }
    const std::uint32_t words = bits ? (first_bit + count + 15) / 16 : count;
    if (const std::uint16_t e = check_access(code, address, words, true); e != 0) {
      end(e);
      return out;
    }
    auto& mem = memory_of(code);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (bits) {
        const std::uint32_t at = first_bit + i;
        auto& wd = mem[address + at / 16];
        const auto mask = static_cast<std::uint16_t>(1u << (at % 16));
        wd = req[18 + i] != 0 ? static_cast<std::uint16_t>(wd | mask) : static_cast<std::uint16_t>(wd & ~mask);
      } else {
        mem[address + i] = static_cast<std::uint16_t>(req[18 + 2 * i] << 8 | req[19 + 2 * i]);
      }
    }
    end(0);
    return out;
  }

  if (command == memory_area_read) {
    if (req.size() != 18) {
      end(req.size() < 18 ? 0x1001 : 0x1002);  // command too short or too long
      return out;
    }
    const std::uint8_t code = req[12];
    const std::uint32_t address = static_cast<std::uint32_t>(req[13] << 8 | req[14]);
    const unsigned first_bit = req[15];
    const std::uint32_t count = static_cast<std::uint32_t>(req[16] << 8 | req[17]);
    const bool bits = is_bit_code(code);
    // A CPU unit answers at most 999 words (or bits) of data per read.
    if (count == 0 || count > 999 || (bits && first_bit > 15)) {
      end(0x1103);
      return out;
    }
    const std::uint32_t words = bits ? (first_bit + count + 15) / 16 : count;
    if (const std::uint16_t e = check_access(code, address, words, false); e != 0) {
      end(e);
      return out;
    }
    const auto& mem = memory_of(code);
    end(0);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (bits) {
        const std::uint32_t at = first_bit + i;
        out.push_back(static_cast<std::uint8_t>((mem[address + at / 16] >> (at % 16)) & 1u));
      } else {
        out.push_back(static_cast<std::uint8_t>(mem[address + i] >> 8));
        out.push_back(static_cast<std::uint8_t>(mem[address + i]));
      }
    }
    const std::size_t cut = std::min(short_by_.load(), out.size());
    out.resize(out.size() - cut);
    return out;
  }

  if (command == multiple_read) {
    const std::size_t params = req.size() - 12;
    if (params == 0 || params % 4 != 0) {
      end(0x1003);
      return out;
    }
    std::vector<std::uint8_t> data;
    for (std::size_t at = 12; at < req.size(); at += 4) {
      const std::uint8_t code = req[at];
      const std::uint32_t address = static_cast<std::uint32_t>(req[at + 1] << 8 | req[at + 2]);
      const unsigned b = req[at + 3];
      if (const std::uint16_t e = check_access(code, address, 1, false); e != 0 || (is_bit_code(code) && b > 15)) {
        end(e != 0 ? e : 0x1103);
        return out;
      }
      const std::uint16_t wd = memory_of(code)[address];
      data.push_back(code);
      if (is_bit_code(code)) {
        data.push_back(static_cast<std::uint8_t>((wd >> b) & 1u));
      } else {
        data.push_back(static_cast<std::uint8_t>(wd >> 8));
        data.push_back(static_cast<std::uint8_t>(wd));
      }
    }
    end(0);
    out.insert(out.end(), data.begin(), data.end());
    const std::size_t cut = std::min(short_by_.load(), out.size());
    out.resize(out.size() - cut);
    return out;
  }
  end(0x0401);  // command not supported
  return out;
}

}  // namespace kvt::test
