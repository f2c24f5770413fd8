// Crash dumps: a child faulting after arming leaves one dump named as the old-log clean-up trims
// ("*.dmp") in the directory it was given, and still ends with a failure status.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "initprim.h"
#include "osdump.h"
#include "osfs.h"
#include "osprocess.h"
#include "test_os_helpers.h"

namespace {

class OsDump : public OsFsTest {};

TEST_F(OsDump, FaultLeavesOneDumpInTheDirectory) {
  if (!osDumpSupported()) GTEST_SKIP() << "the sanitizer reports faults in this build";
  ASSERT_EQ(osProcessInit(), 0);
  char self[1024];
  ASSERT_EQ(exePrimModulePath(self, sizeof self), 0);
  std::string target = path("dumps dir");
  std::filesystem::create_directories(target);
  const char* argv[] = {self, "--child--", "crash", target.c_str(), nullptr};
  TestSb out, err;
  uint64_t code = 0;
  osRunArgv(argv, nullptr, out.ptr(), err.ptr(), &code);
  EXPECT_NE(code, 0u);
  EXPECT_NE(code, 103u) << "the child could not arm the handler";

  const std::vector<std::filesystem::directory_entry> dumps{std::filesystem::directory_iterator(target), {}};
  ASSERT_EQ(dumps.size(), 1u);
  std::string name = dumps[0].path().filename().string();
  EXPECT_TRUE(std::regex_match(name, std::regex("crashtest-[0-9]{8}-[0-9]{6}-[0-9]+\\.dmp"))) << name;
  const std::string content = readText(dumps[0].path().string());
  EXPECT_EQ(content.rfind(onWindows() ? "MDMP" : "Fatal signal ", 0), 0u) << content.substr(0, 200);
  // A link someone planted at the dump's name is not written through.
  if (onWindows()) return;
  const std::string victim = path("victim");
  writeText(victim, "precious");
  const char* planted[] = {self, "--child--", "crash", target.c_str(), victim.c_str(), nullptr};
  osRunArgv(planted, nullptr, out.ptr(), err.ptr(), &code);
  EXPECT_EQ(readText(victim), "precious");
}

TEST_F(OsDump, PrefixJoinsDirectoryAndName) {
  std::string sep(1, osPathSeparator);
  auto prefix = [](const char* d, const char* name) {
    return osDumpSetDirectory(d, name) == 0 ? std::string(osDumpPrefix()) : "<fail>";
  };
  EXPECT_EQ(prefix((dir + sep).c_str(), "sfx"), dir + sep + "sfx") << "no doubled separator";
  EXPECT_EQ(prefix(dir.c_str(), nullptr), dir + sep + "sfx");
  EXPECT_EQ(prefix(nullptr, "agent"), "agent");
  EXPECT_EQ(osDumpSetDirectory(std::string(2000, 'x').c_str(), "sfx"), -1);
}

}  // namespace
