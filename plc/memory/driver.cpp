#include "plc/memory/driver.hpp"

#include <utility>

namespace kvt::plc::memory {

driver::driver(std::string host, std::shared_ptr<controller> target)
    : host_(std::move(host)), controller_(std::move(target)) {}

driver::~driver() {
  halt();
  connected_.store(0);
}

void driver::configure(const connection_params& params) {
  // A running scan keeps its period until the next `connect` restarts it.
  scan_rate_.store(params.scan_rate);
  period_us_.store(scan_period_us(params.scan_rate));
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = protocol_code;
  p.host = host_;
  p.scan_rate = scan_rate_.load();
  return p;
}

bool driver::connect() {
  halt();
  if (connected()) disconnect();
  if (!controller_->online()) return false;
  connected_.store(1);
  start();
  return true;
}

void driver::disconnect() {
  connected_.store(0);
  stop();
}

void driver::scan() {
  run_scan_loop(
      period_us_.load(),
      [this](const write_batch<void>& batch) {
        return controller_->write(batch.tags, batch.values) ? phase_result::ok : phase_result::failed;
      },
      [this](read_batch<void>& batch) {
        return controller_->read(batch.tags, batch.slots) ? phase_result::ok : phase_result::failed;
      });
}

}  // namespace kvt::plc::memory
