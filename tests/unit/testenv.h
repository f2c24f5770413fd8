// Test helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "logging.h"
#include "osenv.h"
#include "osinit.h"

inline void testSetEnv(const char* name, const char* value) { osSetEnv(name, value); }
inline void testUnsetEnv(const char* name) { osSetEnv(name, nullptr); }

// A fresh, empty directory for the running test under SFX_TEST_SCRATCH (else
// the system temp dir), named after the test, `tag` and the process, and new
// on every call.
inline std::filesystem::path testFreshDir(const std::string& tag) {
  static std::atomic<int> counter{0};
  const char* env = getenv("SFX_TEST_SCRATCH");
  std::filesystem::path root = env && *env ? std::filesystem::path(env) : std::filesystem::temp_directory_path();
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::filesystem::path dir = root / (tag + "-" + info->test_suite_name() + "-" + info->name() + "-" +
                                      std::to_string(osProcessId()) + "-" + std::to_string(counter++));
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir);
  return dir;
}

// Makes a symbolic link at `link` leading to `target` (`make`: std::filesystem::create_symlink or
// create_directory_symlink), else skips the test: some Windows hosts forbid links.
#define TEST_LINK_OR_SKIP(make, target, link)                              \
  if (std::error_code linkError; make(target, link, linkError), linkError) \
  GTEST_SKIP() << "symbolic links are not available here"

// What `category` logs (to stderr) at `level` while fn runs.
template <typename Fn>
std::string testCaptureLog(uint32_t category, uint32_t level, Fn fn) {
  uint32_t saved = logLevels[category];
  logLevels[category] = level;
  testing::internal::CaptureStderr();
  fn();
  std::string out = testing::internal::GetCapturedStderr();
  logLevels[category] = saved;
  return out;
}

// Everything written to stderr (where log records go) while it lives, with
// `category` at `level`; take() ends the capture early.
struct TestLogCapture {
  uint32_t category, oldLevel;
  bool taken = false;
  TestLogCapture(uint32_t cat, uint32_t level) : category(cat), oldLevel(logLevels[cat]) {
    logLevels[category] = level;
    testing::internal::CaptureStderr();
  }
  std::string take() {
    std::string s = testing::internal::GetCapturedStderr();
    logLevels[category] = oldLevel;
    taken = true;
    return s;
  }
  ~TestLogCapture() {
    if (!taken) take();
  }
};

// Another process's step, for osTestBeforeCall: `from` is renamed to `away`
// (when given), and a link to `target` is put at `from`.
struct TestSwap {
  std::filesystem::path from, away, target;
};
inline void testSwapForLink(void* context) {
  const TestSwap* s = static_cast<const TestSwap*>(context);
  std::error_code ec;
  if (!s->away.empty()) std::filesystem::rename(s->from, s->away, ec);
  if (ec) return;
  if (std::filesystem::is_directory(s->target))
    std::filesystem::create_directory_symlink(s->target, s->from, ec);
  else
    std::filesystem::create_symlink(s->target, s->from, ec);
}
