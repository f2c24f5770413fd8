// Level syntax, logInit's option scan and the record prefix.

#include <cstring>
#include <utility>

#include "logging.h"
#include "test_os_helpers.h"
#include "test_text_helpers.h"
#include "testenv.h"

namespace {

uint32_t level(const char* name) {
  for (uint32_t i = 0; i < logCatCount; i++)
    if (strcmp(logCategoryNames[i], name) == 0) return logLevels[i];
  ADD_FAILURE() << "no category " << name;
  return 99;
}

struct LevelGuard {
  LevelGuard() { testUnsetEnv("QZR_ERR_LOGLEVEL"); }
  ~LevelGuard() { logParseLevels(nullptr); }
};

}  // namespace

TEST(LogLevels, NamesMatchWholeAndCaseless) {
  EXPECT_EQ(logLevelFromName("info", 4), 4);
  EXPECT_EQ(logLevelFromName("INFO", 4), 4);
  EXPECT_EQ(logLevelFromName("Trace", 5), 8);
  EXPECT_EQ(logLevelFromName("inf", 3), -1);
  EXPECT_EQ(logLevelFromName("infos", 5), -1);
}

// One level setting: categories with the level they get, and the setting
// as it reads back (null: not checked).
struct LevelCase {
  const char* setting;
  std::vector<std::pair<const char*, uint32_t>> levels;
  const char* readBack;
};

TEST(LogLevels, Settings) {
  LevelGuard g;
  const LevelCase cases[] = {
      {"debug,common.zip=trace", {{"common.zip", 8}, {"sfx.main", 6}}, "DEBUG,common.zip=TRACE"},
      {"common.zip=trace", {{"common.zip", 8}, {"opsys.file", 4}}, "INFO,common.zip=TRACE"},
      {"info,error", {{"opsys.file", 2}}, "INFO,ERROR"},
      {"error", {{"common.zip", 4}}, "INFO"},  // the first bare level only raises
      {"*=error", {{"common.zip", 2}, {"unknown", 2}}, nullptr},
      {"sfx.main=debug", {{"sfx.main", 4}}, "INFO,sfx.main=DEBUG"},  // "sfx" is the process, "main" no category
      {"*.sfx.main=debug", {{"sfx.main", 6}}, nullptr},
      {"sfx.sfx.main=debug", {{"sfx.main", 6}}, nullptr},
      {"utilix.sfx.main=debug", {{"sfx.main", 4}}, nullptr},  // another process: no effect
      {"common.*=debug", {{"common.zip", 6}, {"common.aes", 6}, {"opsys.file", 4}}, nullptr},
      {"*=trace", {{"opsys.file", 8}, {"unknown.unknown", 8}}, nullptr},
      {"common.zip=verbose", {{"common.zip", 4}}, "INFO"},
      {"a,,b,debug", {{"common.zip", 6}}, nullptr},
      // An unknown element resets to the last bare level.
      {"debug,x,common.zip=trace", {{"common.zip", 8}, {"opsys.dir", 6}}, nullptr},
      {"buf=4096,warn", {{"opsys.dir", 3}}, "WARN,buf=4096,WARN"},  // the final default leads
  };
  for (const LevelCase& c : cases) {
    SCOPED_TRACE(c.setting);
    logParseLevels(c.setting);
    for (auto& [category, expected] : c.levels) EXPECT_EQ(level(category), expected) << category;
    if (c.readBack) {
      EXPECT_STREQ(logGetLevelSpec(), c.readBack);
    }
  }
}

// The level handed to child processes is the level name, with the elements
// meant for children when this process is an agent or a manager.
TEST(LogLevels, ChildLevelDefaultsToTheLevelName) {
  LevelGuard g;
  const struct {
    uint32_t type;
    const char* setting;
    const char* child;
  } cases[] = {
      {processTypeSfx, "debug", "DEBUG"},
      {processTypeSfx, "common.zip=trace", "INFO"},
      {processTypeSfx, nullptr, "INFO"},
      {1, "debug,runner.common.zip=trace", "DEBUG,runner.common.zip=trace"},
  };
  const uint32_t saved = processType;
  for (const auto& c : cases) {
    processType = c.type;
    logParseLevels(c.setting);
    const char* child = logGetChildLevel();
    EXPECT_STREQ(child, c.child) << (c.setting ? c.setting : "<null>");
  }
  processType = saved;
}

TEST(LogLevels, EnvironmentDefault) {
  testSetEnv("QZR_ERR_LOGLEVEL", "debug");
  logParseLevels("error");
  EXPECT_EQ(level("common.zip"), 6u);
  EXPECT_STREQ(logGetLevelSpec(), "DEBUG");
  testSetEnv("QZR_ERR_LOGLEVEL", "nonsense");
  logParseLevels(nullptr);
  EXPECT_EQ(level("common.zip"), 4u);
  testUnsetEnv("QZR_ERR_LOGLEVEL");
  logParseLevels(nullptr);
}

TEST(LogInit, ConsumesOptionsUpToDoubleDash) {
  LevelGuard g;
  TestArgv a = {"sfx", "-L", "debug", "--x", "--", "-l", "trace"};
  logInit(&a.argc, &a.argv);
  EXPECT_EQ(std::vector<std::string>(a.argv + 1, a.argv + a.argc),
            (std::vector<std::string>{"--x", "--", "-l", "trace"}));
  EXPECT_EQ(a.argv[a.argc], nullptr);
  EXPECT_STREQ(logGetLevelSetting(), "debug");
  EXPECT_EQ(level("common.zip"), 6u);
  logSetLogLevel(nullptr);
}

TEST(LogPrefix, Layout) {
  char buf[1024];
  logFormatPrefix(buf, sizeof buf, logLevelInfo, logCatSfx);
  EXPECT_EQ(std::string(buf).rfind("INFO  ", 0), 0u) << buf;
  expectText(buf, {" Etc/GMT", "-sfx] sfx.main - "});
  logFormatPrefix(buf, sizeof buf, logLevelTrace, 5000);
  EXPECT_NE(std::string(buf).find("] unknown.unknown - "), std::string::npos);
}
