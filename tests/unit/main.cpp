// Unit test entry: brings up tracked memory and the clock before the tests.
#include <gtest/gtest.h>

#include "memory.h"
#include "osdate.h"

int main(int argc, char** argv) {
  memInit();
  osDateInit();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
