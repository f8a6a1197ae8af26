// main() of test programs that run the program's window: a virtual display
// for the whole run.
#include <gtest/gtest.h>

#include "support/virtual_display.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kvt::test::use_virtual_display();
  return RUN_ALL_TESTS();
}
