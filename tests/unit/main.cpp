// Unit test entry: brings up tracked memory and the clock before the tests.
#include <gtest/gtest.h>

#include <cstring>

#include "memory.h"
#include "osdate.h"

// Child-process mode of the process tests (test_osprocess.cpp): the binary
// plays the child it starts.
int testChildMain(int argc, char** argv);

int main(int argc, char** argv) {
  memInit();
  osDateInit();
  if (argc > 1 && strcmp(argv[1], "--child--") == 0) return testChildMain(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
