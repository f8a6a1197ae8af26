// main() of the error page's window tests: first a network namespace of the
// program's own with only loopback up, so that name lookups fail here and
// nothing leaves the machine; then the virtual display.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>

#include "support/virtual_display.hpp"

namespace kvt::test {

namespace {
bool network_ready = false;
}  // namespace

bool private_network_ready() { return network_ready; }

}  // namespace kvt::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kvt::test::network_ready =
      ::unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up >/dev/null 2>&1") == 0;
  kvt::test::use_virtual_display();
  return RUN_ALL_TESTS();
}
