// Test helpers for the file and directory layer: a fresh directory per test
// under the scratch folder (SFX_TEST_SCRATCH, else the system temp dir), and
// small file helpers that do not go through the code under test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "osdir.h"
#include "osinit.h"
#include "ostest.h"
#include "test_os_helpers.h"
#include "testenv.h"

class OsFsTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = testFreshDir("os").string(); }
  void TearDown() override {
    osTestFailAfter(0, 0);
    osTestFailCall(nullptr, 0);
    osTestSetClock(nullptr);
    std::error_code ec;
    // Read-only files would stop the clean-up on Windows.
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                   ec);
    std::filesystem::remove_all(dir, ec);
  }
  // The path of `name` inside the test's directory.
  std::string path(const std::string& name) const { return dir + osPathSeparator + name; }
  static void writeText(const std::string& p, const std::string& text) { testWriteFile(p, text); }
  static std::string readText(const std::string& p) { return testReadFile(p); }
  static bool exists(const std::string& p) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(p, ec));
  }
  static bool onWindows() { return osPathSeparator == '\\'; }
  // The name of a system call in the backend's table: the POSIX or the
  // Windows one.
  static const char* call(const char* posix, const char* windows) { return onWindows() ? windows : posix; }
  // Runs the OS layer on a test clock: waits return at once and are recorded.
  void useTestClock() {
    clock = {};
    clock.now = 1700000000000ull;
    osTestSetClock(&clock);
  }
  // The waits recorded on the test clock.
  std::vector<uint32_t> waits() const {
    return std::vector<uint32_t>(clock.waits, clock.waits + (clock.waitCount < 32 ? clock.waitCount : 32));
  }

  std::string dir;
  OsTestClock clock = {};
};
