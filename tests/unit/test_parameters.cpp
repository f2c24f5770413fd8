// Process parameters: store life cycle, getters, the fill step and the configuration step.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "logging.h"
#include "logoutput.h"
#include "osdir.h"
#include "parameters.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "test_os_helpers.h"
#include "test_text_helpers.h"
#include "testenv.h"

namespace {

// Captures what the parameters category logs at `level` while fn runs.
std::string captureLog(uint32_t level, auto fn) { return testCaptureLog(logCatParameters, level, fn); }

// The text of a possibly null string, to compare it whole.
std::string text(const void* s) { return s ? static_cast<const char*>(s) : "<null>"; }

// A map holding every mandatory parameter that has no default.
SortMap* completeMap(const std::string& root) {
  SortMap* m = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
  EXPECT_EQ(0,
            smLoadText(m,
                       "LogFile=${TraceDirectory}/agent.log\nLogLevel=info\nKeepEmptyFiles=false\nKeepAllFiles=N\n"
                       "KeepErrorFiles=true\nKeepCrashFiles=Y\nMessageInterval=60\nMonitorInterval=-5\nSystemId=SYS\n"
                       "EnvironmentVariables=HOME=${InstallDirectory}\nEnvironmentFile=env.txt\n"
                       "JobFilesDirectory=jobfiles\nProcessServer=ps1\nLogFileSize=1000000\n"));
  smPutCopy(m, "InstallDirectory", root.c_str());
  smPutCopy(m, "DataRootDirectory", (root + "/data/${SystemId}").c_str());
  return m;
}

}  // namespace

TEST(Parameters, InitAndExit) {
  expectText(captureLog(logLevelTrace, [] { parInit(), parExit(); }), {"parExit>", "parExit<"},
             {"double", "parResetDerived"});
  expectText(captureLog(logLevelTrace, [] { parExit(); }), {"parExit< double"});
}

// Without a record the getters give nothing, and configuring names what is
// missing; a map handed over is copied from but configures nothing.
TEST(Parameters, GettersWithoutRecord) {
  parInit();
  EXPECT_EQ((std::tuple{parGetTraceDirectory(), parGetProcessServer(), parGetLogFile(), parCopyParameter("LogFile")}),
            (std::tuple{nullptr, nullptr, nullptr, nullptr}));
  TestSb missing;
  captureLog(logLevelNone, [&] { EXPECT_EQ(-1, parConfigure(missing.ptr())); });
  EXPECT_EQ((std::tuple{missing.str().find("LogFile\n") != std::string::npos, parIsConfigured()}),
            (std::tuple{true, false}));
  SortMap* m = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
  smPutCopy(m, "LogFile", "x.log");
  ASSERT_EQ(0, parSetParameters(m));
  // Handing over a map does not configure the record.
  EXPECT_EQ((std::tuple{testTakeText(parCopyParameter("LogFile")), parCopyParameter("Other"), parGetLogFile()}),
            (std::tuple{"x.log", nullptr, nullptr}));
  parExit();
  EXPECT_EQ(nullptr, parCopyParameter("LogFile"));
}

TEST(Parameters, FillStep) {
  SortMap* m = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
  smPutCopy(m, "LogFileSize", "2147483647");
  smPutCopy(m, "LowVolume", " TRUE ");
  smPutCopy(m, "SystemId", "SYS");
  ParameterRecord record = {};
  TestSb missing;
  std::string log = captureLog(logLevelDebug, [&] { EXPECT_EQ(-1, parFill(m, &record, missing.ptr())); });
  expectText(
      log,
      {"Server did not set mandatory parameter LogFile\n", "Server did not set optional parameter LogFileRetention\n"},
      {"parameter SystemId\n", "parameter DataRootDirectory"});
  std::string list = missing.str();
  EXPECT_EQ(0u, list.find("LogFile\nLogLevel\nKeepEmptyFiles\n")) << list;
  EXPECT_EQ(std::string::npos, list.find("SystemId")) << list;
  // Defaults go into the map and the record; values are typed.
  EXPECT_EQ((std::tuple{text(smGet(m, "FileInUseCommand")), text(record.workingDirectory), text(record.systemId),
                        record.logFileSize, record.lowVolume, record.endPoint}),
            (std::tuple{"<not-required/>", "${InstallDirectory}", "SYS", 2147483647, 1, nullptr}));
  parFreeRecord(&record);
  EXPECT_EQ(nullptr, record.systemId);

  // A complete map fills; then out of the 32-bit range, and not a boolean.
  SortMap* full = completeMap("/r");
  ASSERT_EQ(0, parFill(full, &record, nullptr));
  EXPECT_EQ((std::tuple{record.monitorInterval, record.keepCrashFiles, record.keepAllFiles}), (std::tuple{-5, 1, 0}));
  parFreeRecord(&record);
  const uint32_t savedStr = std::exchange(logLevels[logCatStrUtil], logLevelNone);
  const char* const bad[][2] = {{"LogFileSize", "2147483648"}, {"KeepAllFiles", "perhaps"}};
  for (const auto& b : bad) {
    smPutCopy(full, "LogFileSize", "5");
    smPutCopy(full, b[0], b[1]);
    captureLog(logLevelNone, [&] { EXPECT_EQ(-1, parFill(full, &record, nullptr)) << b[0]; });
    parFreeRecord(&record);
  }
  logLevels[logCatStrUtil] = savedStr;
  smDestroy(full);
  smDestroy(m);
}

TEST(Parameters, Configure) {
  std::filesystem::path dir = testFreshDir("parameters");
  std::string root = dir.string();
  parInit();
  ASSERT_EQ(0, parSetParameters(completeMap(root)));
  TestSb missing;
  ASSERT_EQ((std::tuple{parConfigure(missing.ptr()), missing.str(), parIsConfigured()}), (std::tuple{0, "", true}));
  std::filesystem::path dataRoot = dir / "data" / "SYS";
  for (const char* sub : {"jobs", "trc", "pchannel", "fevents", "checks", "cache"})
    EXPECT_TRUE(std::filesystem::is_directory(dataRoot / sub)) << sub;
  EXPECT_TRUE(std::filesystem::exists(dataRoot / "config.map"));
  std::string trace = testTakeText(parGetTraceDirectory());
  EXPECT_EQ(std::string::npos, trace.find("${")) << trace;
  EXPECT_TRUE(std::filesystem::equivalent(dataRoot / "trc", trace)) << trace;
  const std::string env = testTakeText(parGetEnvironmentVariables());
  EXPECT_EQ((std::tuple{testTakeText(parGetProcessServer()), testTakeText(parGetJobWorkingDirectory()),
                        env.find("HOME="), env.find("${"), parGetServerUUID()}),
            (std::tuple{"ps1", "jobfiles", 0u, std::string::npos, nullptr}));

  // The saved map can be found again from a log file in the trace directory.
  std::string logName = trace + osPathSeparatorString + "agent.log";
  char* savedLog = std::exchange(logOut.currentFile, logName.data());
  SortMap* loaded = nullptr;
  int r = parLoadConfigMap(&loaded);
  logOut.currentFile = savedLog;
  ASSERT_EQ(0, r);
  EXPECT_EQ((std::tuple{text(smGet(loaded, "SystemId")), text(smGet(loaded, "SwitchUserCommand"))}),
            (std::tuple{"SYS", "<not-required/>"}));
  smDestroy(loaded);
  parExit();

  // Another installation may not take over the same data root.
  parInit();
  SortMap* other = completeMap((dir / "other").string());
  smPutCopy(other, "DataRootDirectory", (root + "/data/${SystemId}").c_str());
  parSetParameters(other);
  expectText(captureLog(logLevelError, [] { EXPECT_EQ(-1, parConfigure(nullptr)); }),
             {"is already in use by a different instance"});
  EXPECT_FALSE(parIsConfigured());
  parExit();
  std::filesystem::remove_all(dir);
}
