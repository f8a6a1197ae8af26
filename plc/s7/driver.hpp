// S7 driver on the Snap7 client: writes the changed inputs and reads every
// output once per scan period with multi-variable requests, as few as the
// negotiated PDU length allows. Signals whose bytes touch share one item
// (see read_plan.hpp and write_plan.hpp), which delivers the same values in
// fewer requests. A lost link does not end the scan: the scan reconnects by
// itself and carries on with the same bindings.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "plc/driver.hpp"
#include "plc/s7/client.hpp"

namespace kvt::plc::s7 {

class item_list;
class read_plan;
class write_plan;

class driver final : public plc::driver<void> {
 public:
  static constexpr std::int32_t default_port = 102;
  static constexpr std::uint16_t local_tsap = 0x0300;

  driver();
  ~driver() override;

  std::int32_t protocol() const noexcept override;
  const std::string& host() const noexcept override { return host_; }
  void configure(const connection_params& params) override;
  connection_params parameters() const override;
  bool connected() const noexcept override { return link_up_.load(); }
  bool connect() override;
  void disconnect() override;
  void scan() override;

  // The PDU length negotiated with the controller; 0 while not connected.
  std::int32_t pdu_length() const noexcept { return pdu_length_.load(); }
  // Read and write requests sent since construction, answered or not.
  std::uint64_t requests_sent() const noexcept { return requests_.load(); }

  // Whether signals whose bytes touch or overlap share one item (the
  // default), or every signal is read and written with an item of its own.
  // The values exchanged are the same either way; takes effect with the next
  // cycle.
  void join_items(bool on) noexcept { join_.store(on); }
  bool joins_items() const noexcept { return join_.load(); }

 private:
  // The scan thread's steps; each uses the client only from that thread.
  bool link_alive() const noexcept;
  void reconnect();
  void write_phase();
  void read_phase();
  // Sends `list` in consecutive requests; returns how many leading items
  // the controller acknowledged. Drops the link on a transport failure.
  std::size_t send(item_list& list, bool write);
  // Reads the negotiated PDU length; false (and the link closed) when there
  // is none a request could use.
  bool take_pdu_length();
  void drop_link() noexcept;

  // Written by the command thread while no scan runs; the scan reads the
  // atomics once when it starts.
  std::string host_;
  std::atomic<std::int32_t> rack_{0};
  std::atomic<std::int32_t> slot_{1};
  std::atomic<std::int32_t> port_{0};
  std::atomic<double> scan_rate_{0.05};

  // Used by the command thread only while no scan thread runs (`connect`
  // and `disconnect` stop it first), otherwise by the scan thread alone.
  client client_;
  std::unique_ptr<read_plan> read_plan_;
  std::unique_ptr<write_plan> write_plan_;
  std::uint64_t links_made_ = 0;  // plans are made again for each new link

  std::atomic<std::int32_t> pdu_length_{0};
  std::atomic<bool> link_up_{false};
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<bool> join_{true};
};

}  // namespace kvt::plc::s7
