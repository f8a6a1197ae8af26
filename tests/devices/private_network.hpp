// A network of the test's own: the test process moves into a new network
// namespace (only its loopback is up), and a second namespace joined by a
// veth pair holds the simulated devices. Broadcasts go there and nowhere
// else. Needs root (or CAP_SYS_ADMIN and CAP_NET_ADMIN); without it the
// tests that need it are skipped.
#pragma once

#include <string>

namespace kvt::test {

struct private_network {
  bool ready = false;
  std::string reason;        // why not, when not ready
  std::string peer_netns;    // name of the devices' namespace
  std::string device_ip;     // the devices' address there
};

// Set up once by main() before any thread starts.
const private_network& network();
void set_up_private_network();
void tear_down_private_network();

// Moves the calling thread into the devices' namespace.
bool enter_peer_namespace();

}  // namespace kvt::test
