// Level syntax, logInit's option scan and the record prefix.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "logging.h"
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

TEST(LogLevels, Examples) {
  LevelGuard g;
  logParseLevels("debug,common.zip=trace");
  EXPECT_EQ(level("common.zip"), 8u);
  EXPECT_EQ(level("sfx.main"), 6u);
  EXPECT_STREQ(logGetLevelSpec(), "DEBUG,common.zip=TRACE");

  logParseLevels("common.zip=trace");
  EXPECT_EQ(level("common.zip"), 8u);
  EXPECT_EQ(level("opsys.file"), 4u);
  EXPECT_STREQ(logGetLevelSpec(), "INFO,common.zip=TRACE");

  logParseLevels("info,error");
  EXPECT_EQ(level("opsys.file"), 2u);
  EXPECT_STREQ(logGetLevelSpec(), "INFO,ERROR");
}

// The level handed to child processes is the level name, with the elements
// meant for children when this process is an agent or a manager.
TEST(LogLevels, ChildLevelDefaultsToTheLevelName) {
  LevelGuard g;
  const struct {
    uint32_t type;
    const char* spec;
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
    logParseLevels(c.spec);
    const char* child = logGetChildLevel();
    EXPECT_STREQ(child, c.child) << (c.spec ? c.spec : "<null>");
  }
  processType = saved;
}

TEST(LogLevels, FirstBareLevelOnlyRaises) {
  LevelGuard g;
  logParseLevels("error");
  EXPECT_EQ(level("common.zip"), 4u);
  EXPECT_STREQ(logGetLevelSpec(), "INFO");
  logParseLevels("*=error");
  EXPECT_EQ(level("common.zip"), 2u);
  EXPECT_EQ(level("unknown"), 2u);
}

TEST(LogLevels, ProcessPrefix) {
  LevelGuard g;
  logParseLevels("sfx.main=debug");  // "sfx" is the process, "main" no category
  EXPECT_EQ(level("sfx.main"), 4u);
  EXPECT_STREQ(logGetLevelSpec(), "INFO,sfx.main=DEBUG");
  logParseLevels("*.sfx.main=debug");
  EXPECT_EQ(level("sfx.main"), 6u);
  logParseLevels("sfx.sfx.main=debug");
  EXPECT_EQ(level("sfx.main"), 6u);
  logParseLevels("utilix.sfx.main=debug");  // another process: no effect
  EXPECT_EQ(level("sfx.main"), 4u);
}

TEST(LogLevels, WildcardsAndUnrecognised) {
  LevelGuard g;
  logParseLevels("common.*=debug");
  EXPECT_EQ(level("common.zip"), 6u);
  EXPECT_EQ(level("common.aes"), 6u);
  EXPECT_EQ(level("opsys.file"), 4u);
  logParseLevels("*=trace");
  EXPECT_EQ(level("opsys.file"), 8u);
  EXPECT_EQ(level("unknown.unknown"), 8u);
  logParseLevels("common.zip=verbose");
  EXPECT_EQ(level("common.zip"), 4u);
  EXPECT_STREQ(logGetLevelSpec(), "INFO");
  logParseLevels("a,,b,debug");
  EXPECT_EQ(level("common.zip"), 6u);
  logParseLevels("debug,x,common.zip=trace");  // unknown element resets to the last bare level
  EXPECT_EQ(level("common.zip"), 8u);
  EXPECT_EQ(level("opsys.dir"), 6u);
  logParseLevels("buf=4096,warn");
  EXPECT_STREQ(logGetLevelSpec(), "WARN,buf=4096,WARN");  // the final default leads
  EXPECT_EQ(level("opsys.dir"), 3u);
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
  const char* in[] = {"sfx", "-L", "debug", "--x", "--", "-l", "trace", nullptr};
  char* v[8];
  memcpy(v, in, sizeof in);
  char** argv = v;
  int argc = 7;
  logInit(&argc, &argv);
  ASSERT_EQ(argc, 5);
  EXPECT_STREQ(argv[1], "--x");
  EXPECT_STREQ(argv[2], "--");
  EXPECT_STREQ(argv[3], "-l");
  EXPECT_STREQ(argv[4], "trace");
  EXPECT_EQ(argv[5], nullptr);
  EXPECT_STREQ(logGetLevelSetting(), "debug");
  EXPECT_EQ(level("common.zip"), 6u);
  logSetLogLevel(nullptr);
}

TEST(LogPrefix, Layout) {
  char buf[1024];
  logFormatPrefix(buf, sizeof buf, logLevelInfo, logCatSfx);
  std::string p(buf);
  EXPECT_EQ(p.rfind("INFO  ", 0), 0u) << p;
  EXPECT_NE(p.find(" Etc/GMT"), std::string::npos) << p;
  EXPECT_NE(p.find("-sfx] sfx.main - "), std::string::npos) << p;
  logFormatPrefix(buf, sizeof buf, logLevelTrace, 5000);
  EXPECT_NE(std::string(buf).find("] unknown.unknown - "), std::string::npos);
}
