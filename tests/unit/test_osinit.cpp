// OS start-up and shut-down: exit codes, stop requests, the executable's location, the child environment;
// OS error texts and reports: trimming, the per-thread text, the fallback, the gates.

#include <cctype>
#include <cerrno>
#include <cstring>
#include <thread>

#include "build.h"
#include "initprim.h"
#include "logging.h"
#include "osdir.h"
#include "osenv.h"
#include "oserror.h"
#include "osinit.h"
#include "osthread.h"
#include "test_os_helpers.h"
#include "test_text_helpers.h"

namespace {

void nothing(void*) {}

// Each test starts with no thread and no stop request, and leaves none.
class OsInit : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(osThreadInit(), 0);
    specialExitCode = 0;
  }
  void TearDown() override {
    specialExitCode = 0;
    osClearStopRequested();
    envReset();
    osThreadInit();
  }
};

TEST_F(OsInit, ExitCodeMapping) {
  for (int code : {2, -1, 139}) EXPECT_EQ(osExit(code), code);
  for (int code : {140, 200}) EXPECT_EQ(osExit(code), 0) << code;
  // After a thread exists a stop request only records its code.
  ASSERT_EQ(osThreadInit(), 0);
  ASSERT_EQ(osThreadCreate("dummy-thread", nothing, nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(osThreadsExist());
  // 140 is not recorded.
  EXPECT_EQ((std::tuple{osRequestStop(140), specialExitCode, osStopRequested()}), (std::tuple{0, 0, true}));
  EXPECT_EQ((std::tuple{osRequestStop(5), specialExitCode}), (std::tuple{0, 5}));
  for (int code : {0, 2}) EXPECT_EQ(osExit(code), 5) << code;
}

// The first control event requests a stop with code 1; the second ends the process with that code.
TEST_F(OsInit, ControlEventsRequestStopThenEndTheProcess) {
  ASSERT_EQ(osThreadCreate("dummy-thread", nothing, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ((std::tuple{osConsoleCtrlHandler(0), osStopRequested(), specialExitCode, osExit(0)}),
            (std::tuple{1, true, 1, 1}));
  EXPECT_EXIT((osThreadInit(), osThreadCreate("dummy-thread", nothing, nullptr, nullptr, nullptr),
               osConsoleCtrlHandler(0), osConsoleCtrlHandler(2), _Exit(99)),
              ::testing::ExitedWithCode(1), "");
}

TEST_F(OsInit, StartUpSetsLocationAndChildEnvironment) {
  envReset();
  ASSERT_EQ(osInit(0, nullptr), 0);
  const std::string exe = osGetExecutableName(), dir = osGetExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(exe.compare(0, dir.size(), dir), 0);
  EXPECT_STREQ(osGetEnv("QZR_PARENT_EXECUTABLE_NAME"), exe.c_str());
  EXPECT_STREQ(osGetEnv("QZR_BRANCH"), releaseVersion);
  // The installation is two levels above the executable's directory.
  std::string up = dir.substr(0, dir.find_last_of("/\\"));
  up = up.substr(0, up.find_last_of("/\\"));
  EXPECT_EQ(testTakeText(osGetInstallDirectory()), up);
  EXPECT_EQ(testTakeText(osGetNetworkDirectory()), up + std::string(1, exe[dir.size()]) + "net");
  EXPECT_TRUE(osGetHostName(0) && osGetCurrentUser());
  EXPECT_NE(std::string(osGetDescription()).find("processors="), std::string::npos);
  EXPECT_EQ(osExit(0), 0);
}

bool onWindows() { return osPathSeparator == '\\'; }
uint32_t notFound() { return onWindows() ? 2u : (uint32_t)ENOENT; }
uint32_t denied() { return onWindows() ? 5u : (uint32_t)EACCES; }

// Every test runs on a thread the layer knows.
using OsError = OsInit;

}  // namespace

// A function table binds completely or not at all; a bound module is kept on the next call.
TEST_F(OsInit, LoadFunctionsBindsAllOrNothing) {
  const char* library = onWindows() ? "kernel32.dll" : "libc.so.6";
  const char* present = onWindows() ? "GetTickCount" : "strlen";
  void *first = nullptr, *second = nullptr;
  const OsFunctionSlot broken[] = {{present, &first}, {"surelyNoSuchFunction", &second}, {nullptr, nullptr}};
  void* module = nullptr;
  EXPECT_EQ(osLoadFunctions(&module, broken, library), -1);
  EXPECT_EQ((std::vector<void*>{module, first, second}), std::vector<void*>(3)) << "a partial binding must not survive";

  const OsFunctionSlot good[] = {{present, &first}, {nullptr, nullptr}};
  ASSERT_EQ(osLoadFunctions(&module, good, library), 0);
  EXPECT_TRUE(module && first);
  void* kept = module;
  EXPECT_EQ((std::tuple{osLoadFunctions(&module, good, library), module}), (std::tuple{0, kept}));
  osLibraryUnload(module);

  EXPECT_EQ(osLoadFunctions(nullptr, good, library), -1);
  module = nullptr;
  EXPECT_EQ((std::tuple{osLoadFunctions(&module, good, "surely-no-such-library.dll"), module}),
            (std::tuple{-1, (void*)nullptr}));
}

// Codes give a trimmed text; on Windows a Win32-facility result value describes its low 16 bits.
TEST_F(OsError, TextIsTrimmedAndPerThread) {
  for (uint32_t code : {notFound(), 0x2FFFFFFFu}) {
    const std::string t = osErrorText(nullptr, code);
    EXPECT_FALSE(t.empty() || isspace((unsigned char)t.back()) || isspace((unsigned char)t.front())) << t;
    EXPECT_NE(t, "OS error occurred, unable to specify details");
  }
  if (onWindows()) {
    EXPECT_EQ(std::string(osErrorText(nullptr, 0x2FFFFFFFu)), "Windows NT error 805306367 (2fffffff)");
    const std::string plain = osErrorText(nullptr, 5);
    EXPECT_EQ(std::string(osErrorText(nullptr, 0x80070005u)), plain);
  }
  // The next text of the same thread replaces it in the same buffer.
  const char* text = osErrorText(nullptr, notFound());
  const std::string first = text;
  const char* second = osErrorText(nullptr, denied());
  EXPECT_EQ((std::tuple{second, std::string(second) != first}), (std::tuple{text, true}));
  // A thread the layer does not know gets a fixed text.
  std::string seen;
  std::thread foreign([&] { seen = osErrorText(nullptr, notFound()); });
  foreign.join();
  EXPECT_EQ(seen, "OS error occurred, unable to specify details");
}

// A report names the category and joins message, code and text; taking a text keeps the caller's last error.
TEST_F(OsError, ReportJoinsMessageCodeAndText) {
  const std::string description = osErrorText(nullptr, denied());
  TestStderr cap;
  errno = 0;
  osErrorReport(logCatFile, denied(), "Cannot move %s to %s", "a", "b");
  const uint32_t before = osErrorLast();
  osErrorText(nullptr, 3);
  EXPECT_EQ(osErrorLast(), before);
  const std::string want = "Cannot move a to b: " + std::to_string(denied()) + ": " + description + "\n";
  expectText(cap.take(), {want.c_str(), "opsys.file"});
}

TEST_F(OsError, ReportGatesEmptyFormatsAndLogAtLevel) {
  const uint32_t old = logSetCategoryLevel(logCatError, logLevelFatal);
  const uint32_t oldFile = logSetCategoryLevel(logCatFile, logLevelTrace);
  TestStderr cap;
  osErrorReport(logCatFile, denied(), "gated %d", 1);
  logSetCategoryLevel(logCatError, old);
  const char* empty = "";
  osErrorReport(logCatFile, denied(), empty);
  osErrorReport(logCatFile, denied(), nullptr);
  logSetCategoryLevel(logCatFile, logLevelFatal);
  osErrorReport(logCatFile, denied(), "category gated");
  logSetCategoryLevel(logCatFile, oldFile);
  EXPECT_EQ(cap.take(), "");
  // A log at a given level passes even with the error category off.
  const std::string description = osErrorText(nullptr, notFound());
  logSetCategoryLevel(logCatError, logLevelNone);
  TestStderr warned;
  osErrorLog(logLevelWarn, logCatDir, notFound(), "Lookup of %s", "x");
  logSetCategoryLevel(logCatError, old);
  expectText(warned.take(), {"WARN", ("Lookup of x: " + description + "\n").c_str()});
}
