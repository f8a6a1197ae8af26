// main() of the discovery tests: the whole test process runs in a private
// network namespace, made before any thread starts.
#include <gtest/gtest.h>

#include "devices/private_network.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kvt::test::set_up_private_network();
  const int result = RUN_ALL_TESTS();
  kvt::test::tear_down_private_network();
  return result;
}
