// Log records and levels: lines and prefixes, dumps, error-buffer modes, record filtering, the level syntax and
// logInit's option scan.

#include <cstring>
#include <regex>
#include <sstream>
#include <tuple>
#include <utility>

#include "logging.h"
#include "logoutput.h"
#include "osthread.h"
#include "test_ios_helpers.h"
#include "test_os_helpers.h"
#include "test_text_helpers.h"
#include "testenv.h"

namespace {

const std::regex prefixRe(
    R"(^(INFO |ERROR|WARN |DEBUG|FATAL|TRACE) \d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \S+ \[\d+-[^\]]+\] sfx\.main - )");

// The text of a line after its prefix; fails when the prefix is malformed.
std::string body(const std::string& line) {
  std::smatch m;
  if (!std::regex_search(line, m, prefixRe)) {
    ADD_FAILURE() << "bad prefix: " << line.substr(0, 120);
    return "";
  }
  return line.substr(m.length(0));
}

// Points the log at an in-memory stream for the life of the fixture.
class LogCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = std::exchange(logOut.stream, stream = iosNewLevel(&sink, &iostest::mockOutOps));
    logParseLevels("info");
  }
  void TearDown() override {
    logEnableErrorBuffer(0);
    logOut.stream = saved;
    iosClose(stream);
    logParseLevels(nullptr);
  }
  std::vector<std::string> lines() const {
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "unterminated line";
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  // The text of each line after its prefix.
  std::vector<std::string> bodies() const {
    std::vector<std::string> out;
    for (const std::string& line : lines()) out.push_back(body(line));
    return out;
  }
  iostest::Mock sink;
  std::string& text = sink.out;  // what the log wrote
  IoStream* stream = nullptr;
  IoStream* saved = nullptr;
};

std::string dump(bool hex, const void* data, uint32_t len) {
  TestSb sb;
  logHexDump(sb.ptr(), hex, data, len);
  return sb.str();
}

}  // namespace

// Records below their category's level, and empty ones, write nothing; a
// record of three lines gives three, each with the whole prefix.
TEST_F(LogCapture, GateAndLinesWithTheirPrefix) {
  logDebug(logCatSfx, "hidden\n");
  logAt(logLevelDebug, logCatSfx, "hidden too\n");
  logInfo(logCatSfx, "%s", "");
  EXPECT_EQ(text, "");
  logInfo(logCatSfx, "one\ntwo\nthree\n");
  EXPECT_EQ((std::tuple{bodies(), text.substr(0, 6)}), (std::tuple{TestNames{"one", "two", "three"}, "INFO  "}));
  // A record without a final "\n" gets one.
  text.clear();
  logParseLevels("sfx.sfx.main=debug");
  logDebug(logCatSfx, "no end");
  EXPECT_EQ((std::tuple{bodies(), text.substr(0, 6)}), (std::tuple{TestNames{"no end"}, "DEBUG "}));
}

TEST_F(LogCapture, LongLineIsCutAfter1023Bytes) {
  std::string big;
  for (int i = 0; i < 3000; i++) big.push_back((char)('a' + i % 26));
  logInfo(logCatSfx, "%s\n", big.c_str());
  auto l = lines();
  ASSERT_GE(l.size(), 3u);
  std::string joined;
  for (size_t i = 0; i < l.size(); i++) {  // every line but the last is full
    EXPECT_TRUE(i + 1 < l.size() ? l[i].size() == 1023 : l[i].size() <= 1023) << "line " << i << ": " << l[i].size();
    joined += body(l[i]);
  }
  EXPECT_EQ(joined, big);
}

TEST_F(LogCapture, DumpVariantsAndLargeBlocks) {
  logInfoStr(logCatSfx, "data", "a%b\n", 0);
  logInfoStr(logCatSfx, "-raw", "\x01\xff", 2);
  EXPECT_EQ(bodies(), (std::vector<std::string>{"data 4 bytes: a%25b\\n", "raw 2 bytes: 01ff"}));
  // The dump text on its own: escapes, hexadecimal, no data.
  EXPECT_EQ(dump(false, "a%b\n", 0), "4 bytes: a%25b\\n\n");
  EXPECT_EQ(dump(false, "\t\v\f\r\\\x7f\x1f~ ", 9), "9 bytes: \\t\\v\\f\\r\\\\%7f%1f~ \n");
  EXPECT_EQ(dump(true, "\x00\xab\x10", 3), "3 bytes: 00ab10\n");
  EXPECT_EQ(dump(true, nullptr, 7), "0 bytes: \n");
  std::string data(5000, 'x');
  for (size_t i = 0; i < data.size(); i++) data[i] = (char)('A' + (i / 100) % 26);
  EXPECT_EQ(dump(false, data.data(), 5000), "5000 bytes (904 skipped): " + data.substr(0, 2048) +
                                                " ... <skipped> ... " + data.substr(5000 - 2048) + "\n");
  // Exactly 4096 bytes are shown in full.
  const std::string whole = dump(true, data.data(), 4096);
  EXPECT_EQ((std::tuple{whole.substr(0, 16), whole.find("skipped")}),
            (std::tuple{"4096 bytes: 4141", std::string::npos}));
}

TEST_F(LogCapture, ErrorBufferModes) {
  // Mode 4: logged and kept.
  logEnableErrorBuffer(4);
  logError(logCatSfx, "first %d\n", 1);
  logWarn(logCatSfx, "second\n");
  logInfo(logCatSfx, "third\n");
  // Taking the buffer sets the mode back to 0.
  EXPECT_EQ((std::tuple{lines().size(), testTakeText(logGetErrorBuffer()), logGetErrorBuffer()}),
            (std::tuple{3u, "first 1\nsecond\n", nullptr}));

  // Mode 5: only kept.
  text.clear();
  logEnableErrorBuffer(5);
  logError(logCatSfx, "quiet error\n");
  logInfo(logCatSfx, "quiet info\n");
  logDebug(logCatSfx, "not at this level\n");
  EXPECT_EQ(text, "");
  TestSb took;
  logTakeErrorBuffer(took.ptr());
  logError(logCatSfx, "back to the log\n");
  EXPECT_EQ((std::tuple{took.str(), lines().size()}), (std::tuple{"quiet error\nquiet info\n", 1u}));

  // Mode 3: errors go to the (empty) forwarding hook, the rest is dropped.
  text.clear();
  logEnableErrorBuffer(3);
  logError(logCatSfx, "to server\n");
  logInfo(logCatSfx, "dropped\n");
  EXPECT_EQ(text, "");

  // Mode 2: errors are marked in the prefix; warnings are plain.
  logEnableErrorBuffer(2);
  logError(logCatSfx, "marked\n");
  logWarn(logCatSfx, "plain\n");
  EXPECT_EQ(bodies(), (std::vector<std::string>{"Sending following error to server: marked", "plain"}));

  // Above 5 everything up to INFO is dropped.
  text.clear();
  logEnableErrorBuffer(6);
  logError(logCatSfx, "gone\n");
  EXPECT_EQ(text, "");
}

TEST_F(LogCapture, ErrorServerPicksTheTextByMode) {
  logErrorServer(logCatSfx, "log %d\n", "server %d\n", 7);
  EXPECT_EQ(bodies(), std::vector<std::string>{"log 7"});
  text.clear();
  logEnableErrorBuffer(2);
  logErrorServer(logCatSfx, "log %d\n", "server %d\n", 8);
  EXPECT_EQ(bodies(), std::vector<std::string>{"log 8"});  // the server text went to the hook only
  memFree(logGetErrorBuffer());                            // mode 2 is still set afterwards
}

// The records at `level` or above of `input` ("<none>" when none is).
std::string filtered(const char* input, uint32_t level) {
  TestSb in, out;
  sbAppendString(in.ptr(), input);
  return logFilterLines(out.ptr(), in.ptr(), level) == 0 ? out.str() : "<none>";
}

TEST(LogFilter, PicksRecordsBySeverity) {
  const char* log = "ERROR a\nINFO  b\nWARN c\ncontinued\nFATAL d\nerror e\nDEBUG f";
  EXPECT_EQ(filtered(log, logLevelWarn), "ERROR a\nWARN c\nFATAL d\n");
  EXPECT_EQ(filtered(log, logLevelTrace), "ERROR a\nINFO  b\nWARN c\nFATAL d\nDEBUG f\n");
  EXPECT_EQ(filtered("INFO x\n", logLevelError), "<none>");
  EXPECT_EQ(filtered("ERR", logLevelTrace), "<none>");  // too short to be examined
}

namespace {

uint32_t level(const char* name) {
  for (uint32_t i = 0; i < logCatCount; i++)
    if (strcmp(logCategoryNames[i], name) == 0) return logLevels[i];
  ADD_FAILURE() << "no category " << name;
  return 99;
}

struct LevelGuard {
  LevelGuard() { testUnsetEnv("QZR_ERR_LOGLEVEL"); }
  ~LevelGuard() { testUnsetEnv("QZR_ERR_LOGLEVEL"), logParseLevels(nullptr); }
};

}  // namespace

// One level setting: categories with the level they get, and the setting as it reads back (null: not checked).
struct LevelCase {
  const char* setting;
  std::vector<std::pair<const char*, uint32_t>> levels;
  const char* readBack;
};

TEST(LogLevels, SettingsAndChildLevel) {
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
      {"Trace", {{"common.zip", 8}}, nullptr},  // level names are whole and caseless
      {"debu", {{"common.zip", 4}}, nullptr},
      {"debugs", {{"common.zip", 4}}, nullptr},
      {"a,,b,debug", {{"common.zip", 6}}, nullptr},
      // An unknown element resets to the last bare level.
      {"debug,x,common.zip=trace", {{"common.zip", 8}, {"opsys.dir", 6}}, nullptr},
      {"buf=4096,warn", {{"opsys.dir", 3}}, "WARN,buf=4096,WARN"},  // the final default leads
  };
  for (const LevelCase& c : cases) {
    SCOPED_TRACE(c.setting);
    logParseLevels(c.setting);
    for (auto& [category, expected] : c.levels) EXPECT_EQ(level(category), expected) << category;
    EXPECT_STREQ(c.readBack ? logGetLevelSpec() : nullptr, c.readBack);
  }
  // QZR_ERR_LOGLEVEL overrides a setting; one it cannot parse is ignored.
  testSetEnv("QZR_ERR_LOGLEVEL", "debug");
  logParseLevels("error");
  EXPECT_EQ((std::tuple{level("common.zip"), std::string(logGetLevelSpec())}), (std::tuple{6u, "DEBUG"}));
  testSetEnv("QZR_ERR_LOGLEVEL", "nonsense");
  logParseLevels(nullptr);
  EXPECT_EQ(level("common.zip"), 4u);
  // The level handed to child processes is the level name, with the elements meant for children when this process is an
  // agent or a manager.
  const struct {
    uint32_t type;
    const char* setting;
    const char* child;
  } childCases[] = {{processTypeSfx, "debug", "DEBUG"},
                    {processTypeSfx, "common.zip=trace", "INFO"},
                    {processTypeSfx, nullptr, "INFO"},
                    {1, "debug,runner.common.zip=trace", "DEBUG,runner.common.zip=trace"}};
  const uint32_t saved = processType;
  for (const auto& c : childCases) {
    processType = c.type;
    logParseLevels(c.setting);
    EXPECT_STREQ(logGetChildLevel(), c.child) << (c.setting ? c.setting : "<null>");
  }
  processType = saved;
}

TEST(LogInit, ConsumesOptionsUpToDoubleDash) {
  LevelGuard g;
  TestArgv a = {"sfx", "-L", "debug", "--x", "--", "-l", "trace"};
  logInit(&a.argc, &a.argv);
  EXPECT_EQ(std::vector<std::string>(a.argv + 1, a.argv + a.argc),
            (std::vector<std::string>{"--x", "--", "-l", "trace"}));
  EXPECT_EQ((std::tuple{a.argv[a.argc], std::string(logGetLevelSetting()), level("common.zip")}),
            (std::tuple{nullptr, "debug", 6u}));
  // logInit opened the log and plugged in the pipe: the tests after this one capture standard error themselves.
  logSetLogLevel(nullptr);
  logCloseStream();
  osThreadLogStartPipe = nullptr;
  osThreadLogStopPipe = nullptr;
}

TEST(LogPrefix, Layout) {
  char buf[1024];
  logFormatPrefix(buf, sizeof buf, logLevelInfo, logCatSfx);
  EXPECT_EQ(std::string(buf).rfind("INFO  ", 0), 0u) << buf;
  expectText(buf, {" Etc/GMT", "-sfx] sfx.main - "});
  logFormatPrefix(buf, sizeof buf, logLevelTrace, 5000);
  EXPECT_NE(std::string(buf).find("] unknown.unknown - "), std::string::npos);
}
