#include "devices/private_network.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>

namespace kvt::test {

namespace {

private_network state;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

const private_network& network() { return state; }

void set_up_private_network() {
  if (::unshare(CLONE_NEWNET) != 0) {
    state.reason = "cannot make a private network namespace (needs root)";
    return;
  }
  state.peer_netns = "kvt-eip-" + std::to_string(::getpid());
  state.device_ip = "10.77.0.2";
  const std::string ns = state.peer_netns;
  const bool ok = run("ip link set lo up") && run("ip netns add " + ns) &&
                  run("ip link add kvt-eip0 type veth peer name kvt-eip1 netns " + ns) &&
                  run("ip addr add 10.77.0.1/24 dev kvt-eip0") && run("ip link set kvt-eip0 up") &&
                  // The limited broadcast needs a route; this namespace has no other.
                  run("ip route add default dev kvt-eip0") && run("ip -n " + ns + " link set lo up") &&
                  run("ip -n " + ns + " addr add " + state.device_ip + "/24 dev kvt-eip1") &&
                  run("ip -n " + ns + " link set kvt-eip1 up");
  if (!ok) {
    state.reason = "cannot set up the test network (ip from iproute2, root)";
    tear_down_private_network();
    return;
  }
  state.ready = true;
}

void tear_down_private_network() {
  if (!state.peer_netns.empty()) run("ip netns del " + state.peer_netns);
}

bool enter_peer_namespace() {
  const std::string path = "/var/run/netns/" + state.peer_netns;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::setns(fd, CLONE_NEWNET) == 0;
  ::close(fd);
  return ok;
}

}  // namespace kvt::test
