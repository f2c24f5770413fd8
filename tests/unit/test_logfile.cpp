// Log targets: file name patterns, opening and switching, regeneration of an existing name, numbered rotation, removal
// of old logs, the log pipe, and the socket target (QZR_LOG_PIPE "socket:<host>:<port>").

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "logging.h"
#include "logoutput.h"
#include "osdate.h"
#include "osdir.h"
#include "osinit.h"
#include "ostest.h"
#include "osthread.h"
#include "test_os_helpers.h"
#include "test_text_helpers.h"
#include "testenv.h"

namespace fs = std::filesystem;

namespace {

// The text of a log file without byte-order mark and "\r".
std::string logText(const std::string& path) {
  std::string s = testReadFile(path);
  if (s.rfind("\xEF\xBB\xBF", 0) == 0) s.erase(0, 3);
  std::erase(s, '\r');
  return s;
}

std::string expand(const char* pattern, bool wildcard) {
  char* out = nullptr;
  const int rc = logExpandPattern(pattern, wildcard, &out);
  const std::string text = testTakeText(out);
  return rc == 0 ? text : "<failed>";
}

// Each test gets a fresh directory and leaves logging as it found it: no stream, no file setting, no limits.
class LogFiles : public ::testing::Test {
 protected:
  // Waits (for a new time stamp in a taken name) only advance the test clock.
  void SetUp() override {
    dir = testFreshDir("logfiles");
    logParseLevels("info");
    clock.now = osDateNow();
    osTestSetClock(&clock);
  }
  void TearDown() override {
    osTestSetClock(nullptr);
    logStopPipe();
    logSetPipeRequested(false);
    logCloseStream();
    logSetLogFile(nullptr);
    logSetKeepCount(0);
    logOut.maxSize = 0;
    logOutputRelease();
    logSetEnabled(true);
    logParseLevels(nullptr);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string path(const char* name) const { return (dir / name).string(); }
  // Logs to `name` in the test's directory; its path.
  std::string openLog(const char* name) {
    const std::string file = path(name);
    logSetLogFile(file.c_str());
    EXPECT_EQ(logSwitchFile(false), 0);
    return file;
  }
  fs::path dir;
  OsTestClock clock = {};
};

// Expects each of `has` in the log file and none of `lacks`.
void expectLines(const std::string& file, std::initializer_list<const char*> has,
                 std::initializer_list<const char*> lacks = {}) {
  expectText(logText(file), has, lacks);
}

}  // namespace

TEST_F(LogFiles, PatternVariables) {
  const std::string pid = std::to_string(osProcessId()), sep(1, osPathSeparator);
  // No parameters are loaded in this program: ${TraceDirectory} and ${ProcessServer} cannot be expanded.
  EXPECT_EQ(
      testEach([](const char* p) { return expand(p, false); },
               {"x-${ProcessId}.log", "${ProcessName}", "a${FileSeparator}b", "${ProcessType}", "plain.log",
                "${TraceDirectory}/x.log", "${Nope}"}),
      (TestNames{"x-" + pid + ".log", "sfx", "a" + sep + "b", "standalone", "plain.log", "<failed>", "<failed>"}));
  EXPECT_EQ(testEach([](const char* p) { return expand(p, true); },
                     {"x-${processid}.log", "${PROCESSNAME}", "a${FileSeparator}b", "${ProcessType}", "${TimeStamp}",
                      "${ProcessServer}"}),
            (TestNames{"x-*.log", "*", "a" + sep + "b", "*", "*", "<failed>"}));
  std::string ts = expand("${TimeStamp}", false);
  EXPECT_TRUE(std::regex_match(ts, std::regex(R"(\d{14})"))) << ts;
  // A pattern that cannot be expanded logs to standard error.
  openLog("${Nope}.log");
  EXPECT_STREQ(logOut.currentFile, "stderr");
  EXPECT_STREQ(logGetErrLevelEnvName(), "QZR_ERR_LOGLEVEL");
  EXPECT_FALSE(fs::exists(dir / "${Nope}.log"));
}

// A reopen of the same name continues the file; a new name is announced in the old file and the new one.
TEST_F(LogFiles, ReopenContinuesAndANewNameIsAnnouncedInBoth) {
  const std::string file = openLog("x.log"), b = path("b.log");
  logInfo(logCatSfx, "hello %d\n", 42);
  logDebug(logCatSfx, "not at info\n");
  EXPECT_EQ(logReopen(), 0);
  logInfo(logCatSfx, "after reopen\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  logSetLogFile(b.c_str());
  ASSERT_EQ(logReopen(), 0);
  logInfo(logCatSfx, "in b\n");
  logCloseStream();
  EXPECT_EQ(testReadFile(file).rfind("\xEF\xBB\xBF", 0), 0u) << "a new log starts with a byte-order mark";
  expectLines(file,
              {"sfx.main - hello 42", "common.logging - Continuing logging in ", "Logging at level INFO",
               "sfx.main - after reopen", "Switching log to "},
              {"not at info", "in b"});
  expectLines(b, {"Closed logfile ", "in b"});
}

// A name that exists is made again a second later: a fixed name is then
// appended to; a time stamp differs and the taken file stays as it is.
TEST_F(LogFiles, ExistingNameIsRegeneratedOnce) {
  testWriteFile(path("fixed.log"), "earlier run\n");
  const std::string fixed = openLog("fixed.log");
  logInfo(logCatSfx, "appended\n");
  EXPECT_EQ(std::vector<uint32_t>(clock.waits, clock.waits + clock.waitCount), std::vector<uint32_t>{1000})
      << "one second's wait for a new name";
  const std::string taken = expand(path("t-${TimeStamp}.log").c_str(), false);
  testWriteFile(taken, "taken\n");
  openLog("t-${TimeStamp}.log");
  std::string now = logOut.currentFile;
  logCloseStream();
  EXPECT_EQ(logText(fixed).rfind("earlier run\n", 0), 0u);
  expectLines(fixed, {"appended", "Regenerating logfile name to be unique"});
  EXPECT_NE(now, taken) << "one second later the time stamp differs";
  EXPECT_EQ(testReadFile(taken), "taken\n");
}

TEST_F(LogFiles, RotationKeepsTwoNumberedFiles) {
  testWriteFile(path("sfx-1.log"), "old one\n");
  testWriteFile(path("sfx-2.log"), "old two\n");
  logSetKeepCount(2);
  const std::string file = openLog("sfx.log");
  logOut.maxSize = 3000;
  for (int i = 0; i < 40; i++) logInfo(logCatSfx, "record %02d with some text to fill the file\n", i);
  logCloseStream();
  EXPECT_EQ(testReadFile(path("sfx-2.log")), "old one\n");
  EXPECT_FALSE(fs::exists(dir / "sfx-3.log"));
  expectLines(file, {"record 39 "}, {"record 00 "});
  // Every record is in exactly one of the files, the first in the older.
  const std::string one = logText(path("sfx-1.log")), cur = logText(file);
  for (int i = 0; i < 40; i++) {
    const std::string tag = (i < 10 ? "record 0" : "record ") + std::to_string(i) + " ";
    EXPECT_NE(one.find(tag) == std::string::npos, cur.find(tag) == std::string::npos) << tag;
  }
  logSetKeepCount(0);  // nothing to keep: every file goes
  logRotateFile(file.c_str(), file.c_str(), 1);
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(LogFiles, CleanupKeepsTheNewestByTime) {
  uint64_t base = osDateNow() - 100000000;
  // Name order differs from time order on purpose; a larger age is newer.
  const struct {
    const char* name;
    int age;
    bool kept;
  } files[] = {{"app-1.log", 2, false}, {"app-2.log", 4, true}, {"app-3.log", 1, false}, {"app-4.log", 3, true},
               {"a.dmp", 3, true},      {"b.dmp", 1, false},    {"c.dmp", 2, true},      {"other.txt", 0, true}};
  for (auto& f : files) {
    testWriteFile(path(f.name), "x");
    ASSERT_EQ(osFileSetTimes(path(f.name).c_str(), (int64_t)(base + f.age * 1000000), 0, 0), 0);
  }
  logSetLogFile(path("app-${ProcessId}.log").c_str());
  logSetKeepCount(2);
  logCleanupOldLogs();
  for (auto& f : files) EXPECT_EQ(fs::exists(dir / f.name), f.kept) << f.name;
}

namespace {

std::atomic<int> pipeWritersDone{0};
constexpr int pipeThreads = 4;
constexpr int pipeLines = 400;

void pipeWriter(void* arg) {
  int id = (int)(intptr_t)arg;
  for (int i = 0; i < pipeLines; i++) {
    if (i % 50 == 0)
      logInfo(logCatSfx, "T%d line %04d %0*d\n", id, i, 300, 0);
    else
      logDebug(logCatSfx, "T%d line %04d\n", id, i);
  }
  pipeWritersDone.fetch_add(1);
}

}  // namespace

TEST_F(LogFiles, PipeModeLosesAndInterleavesNothing) {
  osTestSetClock(nullptr);  // the test clock is for one thread
  ASSERT_EQ(osThreadInit(), 0);
  logSetLogLevel("debug");
  const std::string file = openLog("pipe.log");
  logSetPipeRequested(true);
  osThreadLogStartPipe = logStartPipe;
  osThreadLogStopPipe = logStopPipe;
  pipeWritersDone = 0;
  for (int t = 0; t < pipeThreads; t++)
    ASSERT_EQ(osThreadCreate("worker", pipeWriter, (void*)(intptr_t)t, nullptr, nullptr), 0);
  while (pipeWritersDone.load() < pipeThreads) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_NE(logOut.pipe, nullptr);
  // A re-open travels through the pipe in order with the lines.
  std::string second = path("second.log");
  logInfo(logCatSfx, "before the switch\n");
  logSetLogFile(second.c_str());
  EXPECT_EQ(logReopen(), 0);
  logInfo(logCatSfx, "after the switch\n");
  logStopPipe();
  EXPECT_FALSE(logOut.pipeActive.load());
  logInfo(logCatSfx, "after the pipe\n");
  logCloseStream();
  EXPECT_EQ(osThreadStopAll(), 0);
  osClearStopRequested();
  logSetLogLevel(nullptr);

  std::regex line(R"(^(INFO |DEBUG) \S+ \S+ \S+ \[\d+-worker #[0-9a-f]+\] sfx\.main - T(\d) line (\d{4})( 0{300})?$)");
  std::map<std::pair<int, int>, int> seen;
  std::istringstream lines(logText(file));
  for (std::string l; std::getline(lines, l);) {
    if (l.find("] sfx.main - T") == std::string::npos) continue;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << "mangled line: " << l.substr(0, 200);
    seen[{std::stoi(m[2]), std::stoi(m[3])}]++;
  }
  EXPECT_EQ(seen.size(), (size_t)(pipeThreads * pipeLines));
  for (auto& [key, count] : seen) EXPECT_EQ(count, 1) << "T" << key.first << " line " << key.second;
  expectLines(file, {"before the switch"}, {"after the switch"});
  expectLines(second, {"after the switch", "after the pipe"});
}

// A log file that cannot be opened leaves standard error in use, with the
// levels asked for, and says so once as a warning.
TEST_F(LogFiles, OpenFailureKeepsTheLevelsAndWarnsOnce) {
  logOut.openFailureWarned = false;
  logSetLogFile(path("missing/dir/x.log").c_str());
  logSetLogLevel("debug");
  TestStderr cap;
  EXPECT_EQ(logSwitchFile(false), -1);
  logDebug(logCatSfx, "debug record\n");
  EXPECT_EQ(logSwitchFile(false), -1);
  const std::string err = cap.take();
  logSetLogLevel(nullptr);
  EXPECT_NE(err.find("sfx.main - debug record"), std::string::npos) << err;
  auto count = [&](const char* pattern) {
    const std::regex re(pattern);
    return std::distance(std::sregex_iterator(err.begin(), err.end(), re), std::sregex_iterator());
  };
  EXPECT_EQ(count("Failed to switch log to"), 2) << err;
  EXPECT_EQ(count("WARN [^\n]*Failed to switch log to"), 1) << err;
}

// The open log may be read by others, but not written or deleted (Windows share modes; other systems have none).
TEST_F(LogFiles, OpenLogIsSharedForReadingOnly) {
  if (osPathSeparator != '\\') GTEST_SKIP() << "no share modes";
  const std::string file = openLog("x.log");
  TestStderr cap;
  for (const uint32_t mode : {osFileModeRead, osFileModeAppend}) {
    IoStream* s = osFileOpen(file.c_str(), mode, osFileTypePlain, nullptr, true, false);
    EXPECT_EQ(s != nullptr, mode == osFileModeRead) << mode;
    iosClose(s);
  }
}

namespace {

// Each test starts logging into a file of its own fresh directory, with a
// listener on 127.0.0.1 at a free port, and leaves logging as it found it.
class LogSocket : public LogFiles {
 protected:
  void SetUp() override {
    LogFiles::SetUp();
    osTestSetClock(nullptr);  // connections wait on the real clock
    OsSocketAddress local = {};
    ASSERT_NO_FATAL_FAILURE(testListenLoopback(4, &listener, &local));
    target = "socket:127.0.0.1:" + std::to_string(local.port);
    logFile = openLog("first.log");
  }
  void TearDown() override {
    LogFiles::TearDown();
    logOut.switchAllowed = true;
    testUnsetEnv("QZR_LOG_PIPE");
    iosClose(server);
    iosClose(listener);
    osSocketExit();
  }
  // Connects the log to `value` and, when that worked, takes the server's end of the connection.
  void connectLog(const std::string& value) {
    testSetEnv("QZR_LOG_PIPE", value.c_str());
    logConnectSocket();
    if (logOut.switchAllowed) return;
    uint32_t timeout = 5000;
    ASSERT_EQ(iosAccept(&server, listener, &timeout, nullptr), 0);
  }
  // What the listener received until `needle` arrived (or 10 s passed).
  std::string receiveUntil(const std::string& needle) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (received.find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (iosCanRead(server, 100) != 0) continue;
      char buf[4096];
      uint32_t n = 0;
      if (iosRead(server, buf, sizeof buf, &n) != 0 || n == 0) break;
      received.append(buf, n);
    }
    return received;
  }
  std::string logFile;
  std::string target;
  std::string received;
  IoStream* listener = nullptr;
  IoStream* server = nullptr;
};

}  // namespace

TEST_F(LogSocket, RecordsArriveAsCompleteLinesAndTheLogStaysThere) {
  connectLog(target);
  ASSERT_NE(server, nullptr);
  TestSb stack;
  iosDescribeStack(stack.ptr(), logGetStream());
  EXPECT_EQ((std::tuple{logOut.switchAllowed, stack.str()}), (std::tuple{false, "Socket"}));

  logInfo(logCatMain, "over the wire\n");
  logWarn(logCatZip, "first\nsecond\n");
  logFlush();
  std::string text = receiveUntil("second");
  std::regex line(std::string(R"(INFO  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \S+ \[\d+-[^\]]+\] )") +
                  logCategoryNames[logCatMain] + R"( - over the wire\r?\n)");
  EXPECT_TRUE(std::regex_search(text, line)) << text;
  // A record of two lines gives two lines, each with the whole prefix.
  EXPECT_TRUE(std::regex_search(
      text, std::regex(R"(WARN  [^\n]* common\.zip - first\r?\nWARN  [^\n]* common\.zip - second\r?\n)")))
      << text;
  // The file logged where the log went, and nothing after that.
  expectText(testReadFile(logFile), {("Switching log to " + target).c_str()}, {"over the wire"});
  // Afterwards the log is neither switched nor reopened.
  std::string other = path("other.log");
  logSetLogFile(other.c_str());
  EXPECT_EQ((std::tuple{logSwitchFile(false), logSwitchFile(true), logReopen(), fs::exists(other)}),
            (std::tuple{-1, -1, -1, false}));
  logInfo(logCatMain, "still on the socket\n");
  logFlush();
  EXPECT_NE(receiveUntil("still on the socket").find("still on the socket"), std::string::npos);
}

// Values that do not parse or are not for this target, and a port nobody
// listens on, leave the log where it was, and it can still be switched.
TEST_F(LogSocket, BadValuesAndClosedPortsLeaveTheLogWhereItWas) {
  connectLog("socket:127.0.0.1:0");
  connectLog("socket:127.0.0.1");
  // Values without the (case-sensitive) prefix are not for this target.
  connectLog("SOCKET:" + target.substr(7));
  connectLog("Y");
  EXPECT_TRUE(logOut.switchAllowed);
  uint32_t timeout = 20;
  IoStream* none = nullptr;
  logParseLevels("none");
  EXPECT_EQ(iosAccept(&none, listener, &timeout, nullptr), -1);  // nobody connected
  logParseLevels("info");
  iosClose(std::exchange(listener, nullptr));
  connectLog(target);
  EXPECT_TRUE(logOut.switchAllowed);
  logInfo(logCatMain, "after the failed connection\n");
  logFlush();
  expectText(testReadFile(logFile),
             {"Invalid socket address 'socket:127.0.0.1:0': port out of range",
              "Invalid socket address 'socket:127.0.0.1': missing port", "opsys.socket - Cannot connect to 127.0.0.1:",
              ("No log connection for " + target).c_str(), "after the failed connection"},
             {"SOCKET:"});
  std::string other = path("other.log");
  logSetLogFile(other.c_str());
  EXPECT_EQ((std::tuple{logSwitchFile(false), fs::exists(other)}), (std::tuple{0, true}));
}

// A listener that goes away must not take the rest of the log with it: the log continues on standard error, starting
// with the record that found the connection broken, and says why.
TEST_F(LogSocket, LostListenerMovesTheLogToStandardError) {
  connectLog(target);
  ASSERT_NE(server, nullptr);
  logInfo(logCatMain, "before the peer left\n");
  logFlush();
  receiveUntil("before the peer left");
  iosClose(std::exchange(server, nullptr));
  TestStderr cap;
  // The first records may still fit the socket's buffers; one soon finds the connection reset.
  for (int i = 0; i < 200 && logGetStream()->ops == &osSocketStreamOps; i++) {
    logInfo(logCatMain, "record %d after the peer left\n", i);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  logInfo(logCatMain, "a record after the switch\n");
  logFlush();
  const std::string err = cap.take();
  expectText(
      err, {"The log connection failed; the log continues on standard error", "main.main - a record after the switch"});
  EXPECT_TRUE(std::regex_search(err, std::regex("main.main - record \\d+ after the peer left"))) << err;
  EXPECT_EQ(logReopen(), -1) << "the target chosen by the environment still holds";
}
