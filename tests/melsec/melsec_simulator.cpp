#include "melsec/melsec_simulator.hpp"

#include <stdexcept>

namespace kvt::test {

struct melsec_simulator::state {
  std::uint16_t port = 0;
};

melsec_simulator::melsec_simulator(std::uint16_t port) : state_(std::make_unique<state>()) { state_->port = port; }
melsec_simulator::~melsec_simulator() = default;
std::uint16_t melsec_simulator::port() const { return state_->port; }
void melsec_simulator::stop() {}
void melsec_simulator::start() {}
void melsec_simulator::set_drop_connections(bool) {}
std::uint16_t melsec_simulator::word(std::string_view, std::uint32_t) const { return 0; }
void melsec_simulator::set_word(std::string_view, std::uint32_t, std::uint16_t) {}
bool melsec_simulator::bit(std::string_view, std::uint32_t) const { return false; }
void melsec_simulator::set_bit(std::string_view, std::uint32_t, bool) {}
std::uint32_t melsec_simulator::dword(std::string_view, std::uint32_t) const { return 0; }
void melsec_simulator::set_dword(std::string_view, std::uint32_t, std::uint32_t) {}
std::size_t melsec_simulator::requests() const { return 0; }
std::size_t melsec_simulator::requests(std::uint16_t) const { return 0; }

}  // namespace kvt::test
