// The socket log target: QZR_LOG_PIPE "socket:<host>:<port>" moves the log
// to a TCP listener, after which the log is not switched any more; values
// that do not parse and hosts that do not answer leave the log where it was.

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "logging.h"
#include "logoutput.h"
#include "osinit.h"
#include "test_os_helpers.h"
#include "test_text_helpers.h"
#include "testenv.h"

namespace fs = std::filesystem;

namespace {

// Each test starts logging into a file of its own fresh directory, with a
// listener on 127.0.0.1 at a free port, and leaves logging as it found it.
class LogSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testFreshDir("logsocket");
    logParseLevels("info");
    OsSocketAddress local = {};
    ASSERT_NO_FATAL_FAILURE(testListenLoopback(4, &listener, &local));
    target = "socket:127.0.0.1:" + std::to_string(local.port);
    logFile = (dir / "first.log").string();
    logSetLogFile(logFile.c_str());
    ASSERT_EQ(logSwitchFile(false), 0);
  }
  void TearDown() override {
    logCloseStream();
    logOut.switchAllowed = true;
    testUnsetEnv("QZR_LOG_PIPE");
    logSetLogFile(nullptr);
    logOutputRelease();
    logParseLevels(nullptr);
    iosClose(server);
    iosClose(listener);
    osSocketExit();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // Connects the log to `value` and, when that worked, takes the server's
  // end of the connection.
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
  fs::path dir;
  std::string logFile;
  std::string target;
  std::string received;
  IoStream* listener = nullptr;
  IoStream* server = nullptr;
};

}  // namespace

TEST_F(LogSocket, RecordsArriveAsCompleteLinesWithTheirPrefix) {
  connectLog(target);
  ASSERT_NE(server, nullptr);
  EXPECT_FALSE(logOut.switchAllowed);
  TestSb stack;
  iosDescribeStack(stack.ptr(), logGetStream());
  EXPECT_EQ(stack.str(), "Socket");

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
}

TEST_F(LogSocket, LogIsNotSwitchedOrReopenedAfterwards) {
  connectLog(target);
  ASSERT_NE(server, nullptr);
  std::string other = (dir / "other.log").string();
  logSetLogFile(other.c_str());
  EXPECT_EQ(logSwitchFile(false), -1);
  EXPECT_EQ(logSwitchFile(true), -1);
  EXPECT_EQ(logReopen(), -1);
  EXPECT_FALSE(fs::exists(other));
  logInfo(logCatMain, "still on the socket\n");
  logFlush();
  EXPECT_NE(receiveUntil("still on the socket").find("still on the socket"), std::string::npos);
}

TEST_F(LogSocket, ClosedPortLeavesTheLogWhereItWas) {
  iosClose(listener);
  listener = nullptr;
  connectLog(target);
  EXPECT_TRUE(logOut.switchAllowed);
  logInfo(logCatMain, "after the failed connection\n");
  logFlush();
  expectText(testReadFile(logFile), {"opsys.socket - Cannot connect to 127.0.0.1:",
                                     ("No log connection for " + target).c_str(), "after the failed connection"});
  // The log can still be switched.
  std::string other = (dir / "other.log").string();
  logSetLogFile(other.c_str());
  EXPECT_EQ(logSwitchFile(false), 0);
  EXPECT_TRUE(fs::exists(other));
}

TEST_F(LogSocket, BadValuesLeaveTheLogWhereItWas) {
  connectLog("socket:127.0.0.1:0");
  connectLog("socket:127.0.0.1");
  EXPECT_TRUE(logOut.switchAllowed);
  // Values without the (case-sensitive) prefix are not for this target.
  connectLog("SOCKET:" + target.substr(7));
  connectLog("Y");
  EXPECT_TRUE(logOut.switchAllowed);
  logFlush();
  expectText(testReadFile(logFile),
             {"Invalid socket address 'socket:127.0.0.1:0': port out of range",
              "Invalid socket address 'socket:127.0.0.1': missing port"},
             {"SOCKET:"});
  uint32_t timeout = 20;
  IoStream* none = nullptr;
  logParseLevels("none");
  EXPECT_EQ(iosAccept(&none, listener, &timeout, nullptr), -1);  // nobody connected
}

// A listener that goes away must not take the rest of the log with it: the
// log continues on standard error, starting with the record that found the
// connection broken, and says why.
TEST_F(LogSocket, LostListenerMovesTheLogToStandardError) {
  connectLog(target);
  ASSERT_NE(server, nullptr);
  logInfo(logCatMain, "before the peer left\n");
  logFlush();
  receiveUntil("before the peer left");
  iosClose(server);
  server = nullptr;
  TestStderr cap;
  // The first records may still fit the socket's buffers; one soon finds the
  // connection reset.
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
