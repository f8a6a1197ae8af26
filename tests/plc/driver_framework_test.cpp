// The driver framework: registry, thread control, the common scan loop and
// its failure path, through in-memory drivers.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <system_error>
#include <thread>

#include "plc/driver.hpp"
#include "plc/driver_registry.hpp"
#include "plc/memory/driver.hpp"
#include "plc/scan_pacing.hpp"
#include "support/exchange_fixture.hpp"

namespace kvt::test {
namespace {

using std::chrono::milliseconds;

std::unique_ptr<plc::memory::driver> make_driver(const std::string& host, std::size_t registers = 16) {
  return std::make_unique<plc::memory::driver>(host, std::make_shared<plc::memory::controller>(registers));
}

std::vector<std::string> hosts(const plc::driver_registry& registry) {
  std::vector<std::string> out;
  auto lock = registry.lock();
  for (const auto& d : registry.drivers()) out.push_back(d->host());
  return out;
}

TEST(DriverRegistry, RemovalMovesTheLastDriverIntoTheGap) {
  plc::driver_registry registry;
  auto* first = registry.insert(make_driver("first"));
  registry.insert(make_driver("second"));
  registry.insert(make_driver("third"));
  registry.remove(first);
  EXPECT_EQ(hosts(registry), (std::vector<std::string>{"third", "second"}));
  EXPECT_EQ(registry.size(), 2u);
}

TEST(DriverRegistry, FindMatchesTheHostExactlyAndRemoveIgnoresStrangers) {
  plc::driver_registry registry;
  auto* a = registry.insert(make_driver("10.0.0.1"));
  registry.insert(make_driver("PLC-A"));
  EXPECT_EQ(registry.find("10.0.0.1"), a);
  EXPECT_EQ(registry.find("plc-a"), nullptr);
  EXPECT_EQ(registry.find("10.0.0.1 "), nullptr);
  auto stranger = make_driver("elsewhere");
  registry.remove(stranger.get());
  EXPECT_EQ(registry.size(), 2u);
  EXPECT_TRUE(registry.contains(a));
  EXPECT_FALSE(registry.contains(stranger.get()));
}

TEST(DriverRegistry, RemovedDriversAreDestroyedOutsideTheRegistryLock) {
  plc::driver_registry registry;
  auto target = std::make_shared<plc::memory::controller>(4);
  auto owned = std::make_unique<plc::memory::driver>("x", target);
  plc::bind(owned->outputs(), tags_from(0, 1), 1);
  ASSERT_TRUE(owned->connect());
  auto* d = registry.insert(std::move(owned));
  ASSERT_TRUE(wait_reads(*d));

  // While removal destroys the driver it joins the scan thread, which is
  // inside a read that needs the registry lock. Were the lock still held,
  // this would never finish.
  std::atomic<bool> armed{true};
  std::atomic<bool> in_read{false};
  target->set_read_hook([&] {
    if (!armed.exchange(false)) return;
    in_read.store(true);
    std::this_thread::sleep_for(milliseconds(50));
    auto lock = registry.lock();
  });
  ASSERT_TRUE(eventually([&] { return in_read.load(); }));
  registry.remove(d);
  EXPECT_EQ(registry.size(), 0u);
  const auto reads = target->reads();
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(target->reads(), reads) << "the scan thread outlived its driver";
}

// A driver whose scan tries to stop its own thread.
class self_stopping_driver final : public plc::driver<void> {
 public:
  ~self_stopping_driver() override { halt(); }
  std::int32_t protocol() const noexcept override { return 0; }
  const std::string& host() const noexcept override { return host_; }
  void configure(const plc::connection_params&) override {}
  plc::connection_params parameters() const override { return {}; }
  bool connected() const noexcept override { return scanning(); }
  bool connect() override {
    start();
    return true;
  }
  void disconnect() override { stop(); }
  void scan() override {
    try {
      stop();
    } catch (const std::system_error& e) {
      error = e.code();
    }
    done.store(true);
  }

  std::error_code error;
  std::atomic<bool> done{false};

 private:
  std::string host_ = "self";
};

TEST(DriverThreads, AScanThreadStoppingItselfIsReportedAsDeadlock) {
  self_stopping_driver d;
  d.connect();
  ASSERT_TRUE(eventually([&] { return d.done.load(); }));
  d.disconnect();
  EXPECT_EQ(d.error, std::make_error_code(std::errc::resource_deadlock_would_occur));
  EXPECT_FALSE(d.scanning());
}

TEST(DriverThreads, ConnectAndDisconnectMayBeRepeatedInAnyState) {
  auto d = make_driver("again");
  plc::bind(d->outputs(), tags_from(0, 2), 1);
  d->disconnect();  // never connected
  EXPECT_FALSE(d->connected());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(d->connect());  // connected or not, a new scan thread runs
    EXPECT_TRUE(d->connected());
    EXPECT_TRUE(d->scanning());
    ASSERT_TRUE(wait_reads(*d, 1));
  }
  d->disconnect();
  d->disconnect();
  EXPECT_FALSE(d->connected());
  EXPECT_FALSE(d->scanning());
}

TEST(DriverThreads, AFailingScanDisconnectsInTheBackgroundAndKeepsUnsentInputs) {
  auto target = std::make_shared<plc::memory::controller>(8);
  plc::memory::driver d("flaky", target);
  plc::bind(d.inputs(), tags_from(0, 2), 1);
  plc::bind(d.outputs(), tags_from(4, 1), 1);
  ASSERT_TRUE(d.connect());
  ASSERT_TRUE(wait_reads(d));

  target->set_online(false);
  {
    std::lock_guard lock(d.inputs().mutex);
    d.inputs().values[1] = 31;
    d.inputs().dirty[1] = true;
  }
  ASSERT_TRUE(eventually([&] { return !d.connected() && !d.scanning(); }));
  {
    // The value the controller never received is still waiting to be written.
    std::lock_guard lock(d.inputs().mutex);
    EXPECT_TRUE(d.inputs().dirty[1]);
  }
  EXPECT_FALSE(d.connect()) << "an offline controller refuses the connection";

  target->set_online(true);
  ASSERT_TRUE(d.connect());
  EXPECT_TRUE(eventually([&] { return target->get(1) == 31; }));
}

TEST(DriverThreads, DestroyingADriverWaitsForItsBackgroundDisconnect) {
  for (int round = 0; round < 20; ++round) {
    auto target = std::make_shared<plc::memory::controller>(4);
    auto d = std::make_unique<plc::memory::driver>("short-lived", target);
    plc::bind(d->outputs(), tags_from(0, 1), 1);
    ASSERT_TRUE(d->connect());
    target->set_online(false);  // the scan fails and starts a background disconnect
    d.reset();                  // must not free the driver under that thread
  }
}

TEST(DriverParameters, MemoryDriverReturnsItsOwnCopyWithDefaultsElsewhere) {
  auto d = make_driver("params");
  plc::connection_params in;
  in.protocol = plc::protocol::modbus_tcp;
  in.host = "ignored";
  in.port = 502;
  in.scan_rate = 0.25;
  d->configure(in);
  const plc::connection_params out = d->parameters();
  plc::connection_params expected;
  expected.protocol = plc::memory::protocol_code;
  expected.host = "params";
  expected.scan_rate = 0.25;
  EXPECT_EQ(out, expected);
}

TEST(ScanPacing, PeriodIsTheScanRateInWholeMicroseconds) {
  EXPECT_EQ(plc::scan_period_us(0.05), 50'000u);
  EXPECT_EQ(plc::scan_period_us(0.0000019), 1u);
  EXPECT_EQ(plc::scan_period_us(0), 0u);
  EXPECT_EQ(plc::scan_period_us(-1), 0u);
  EXPECT_EQ(plc::scan_period_us(std::numeric_limits<double>::quiet_NaN()), 0u);
  EXPECT_EQ(plc::scan_wait_us(0, 10, 20), -30);
  EXPECT_EQ(plc::scan_wait_us(1000, 100, 200), 700);
}

}  // namespace
}  // namespace kvt::test
