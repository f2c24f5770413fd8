// Process launching: quoting, batch refusals, megabytes both ways, exit codes, the wait limit, the
// interpreter. The unit test binary itself plays the child ("--child--" mode).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>

#include "initprim.h"
#include "osdir.h"
#include "osdump.h"
#include "osenv.h"
#include "osinit.h"
#include "osprocess.h"
#include "osscript.h"
#include "processprim.h"
#include "test_os_helpers.h"
#include "testenv.h"

namespace {

std::string toHex(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out.append(1, "0123456789abcdef"[c >> 4]).append(1, "0123456789abcdef"[c & 15]);
  return out;
}

// Pattern byte i of a flood (letters only: no text-mode translation).
char floodByte(size_t i) { return (char)('a' + i % 26); }

}  // namespace

// Child modes, after "--child--":
//   echo-args ARG...  prints each argument in hex on its own line
//   exit N            exits with N
//   flood N           writes N bytes to stdout and stderr, prints "got <bytes> <sum>" of stdin
//   sleep MS          sleeps, exits 0
//   env NAME          prints the variable's value
//   crash DIR         arms crash dumps into DIR and faults
int testChildMain(int, char**) {
  char** args = processOwnArguments();
  if (!args) return 100;
  int start = 0;
  while (args[start] && strcmp(args[start], "--child--") != 0) start++;
  if (!args[start] || !args[start + 1]) return 101;
  const char* mode = args[start + 1];
  char** rest = args + start + 2;
  int code = 0;
  if (strcmp(mode, "echo-args") == 0) {
    for (char** a = rest; *a; a++) printf("%s\n", toHex(*a).c_str());
  } else if (strcmp(mode, "exit") == 0) {
    code = atoi(rest[0]);
  } else if (strcmp(mode, "flood") == 0) {
    const size_t n = strtoul(rest[0], nullptr, 10);
    for (size_t start = 0; start < n; start += 65536)  // the two streams take turns
      for (FILE* f : {stdout, stderr})
        for (size_t i = start; i < n && i < start + 65536; i++) putc(floodByte(i), f);
    fflush(nullptr);
    size_t got = 0;
    unsigned long sum = 0;
    for (int c; (c = getchar()) != EOF; got++) sum += (unsigned char)c;
    printf("got %zu %lu", got, sum);
  } else if (strcmp(mode, "sleep") == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(atoi(rest[0])));
  } else if (strcmp(mode, "env") == 0) {
    const char* v = osGetEnv(rest[0]);  // UTF-8 on every platform
    printf("%s", v ? v : "<unset>");
  } else if (strcmp(mode, "crash") == 0) {
    if (osDumpSetDirectory(rest[0], "crashtest") != 0) return 103;
    // With a victim: links to it wait at this process's dump names of the next seconds.
    for (time_t t = time(nullptr), i = 0; rest[1] && i < 3; i++) {
      char stamp[32];
      strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", gmtime(&(t += i > 0)));
      const std::string at =
          std::string(rest[0]) + "/crashtest-" + stamp + "-" + std::to_string(osProcessId()) + ".dmp";
      std::filesystem::create_symlink(rest[1], at);
    }
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  } else {
    code = 102;
  }
  fflush(stdout);
  processFreeArgv(args);
  return code;
}

namespace {

class OsProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(osProcessInit(), 0);
    char path[1024];
    ASSERT_EQ(exePrimModulePath(path, sizeof path), 0);
    self = path;
  }
  // Runs this binary in a child mode with extra arguments.
  int runChild(std::vector<std::string> args, StringBuffer* input, StringBuffer* output, StringBuffer* errors,
               uint64_t* code) {
    std::vector<const char*> argv = {self.c_str(), "--child--"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return osRunArgv(argv.data(), input, output, errors, code);
  }
  std::string self;
  TestSb outBuf, errBuf, inBuf;
  StringBuffer *out = outBuf.ptr(), *err = errBuf.ptr(), *in = inBuf.ptr();
};

const std::vector<std::string> trickyElements = {"plain",
                                                 "",
                                                 "with space",
                                                 "two  spaces and\ttab",
                                                 "quote\"inside",
                                                 "\"",
                                                 "trailing\\",
                                                 "trailing two\\\\",
                                                 "\\\\server\\share\\dir\\",
                                                 "back\\\"quote",
                                                 "a\\\\\"b",
                                                 "x^\"y",
                                                 "&echo x",
                                                 "%PATH%",
                                                 "a\"&echo x",
                                                 "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"};

TEST(OsQuote, ParserRulesAndBatchRefusals) {
  // Doubled quotes inside quotes, unquoted backslashes, program name rules.
  char** argv = processSplitCommandLine("\"C:\\a b\\p.exe\" a\\\\b \"x\"\"y\" \\\\\\\"z  \"\"");
  EXPECT_EQ(testStrings(argv), (TestNames{"C:\\a b\\p.exe", "a\\\\b", "x\"y", "\\\"z", ""}));
  processFreeArgv(argv);
  // Batch targets refuse what the interpreter would read.
  struct Case {
    const char* element;
    bool accepted;
  } cases[] = {{"&echo x", true},  // inside quotes & is plain text for the interpreter
               {"a b", true},          {"trailing\\", true},  {"C:\\dir with space\\", true},
               {"%PATH%", false},      {"a\"&echo x", false}, {"x^\"y", false},
               {"line\nbreak", false}, {"cr\rx", false},      {"100%", false}};
  for (const Case& c : cases) {
    TestSb line;
    EXPECT_EQ(osQuoteBatchArgument(line.ptr(), c.element) == 0, c.accepted) << c.element;
    // The interpreter has no escapes: %~1 is the text between the quotes.
    EXPECT_EQ(line.str(), c.accepted ? "\"" + std::string(c.element) + "\"" : line.str());
  }
}

TEST_F(OsProcess, ArgumentsArriveExactly) {
  uint64_t code = 99;
  ASSERT_EQ(runChild({"echo-args"}, nullptr, out, err, &code), 0);  // no elements
  std::vector<std::string> args = {"echo-args"};
  args.insert(args.end(), trickyElements.begin(), trickyElements.end());
  sbEmpty(out);
  ASSERT_EQ((std::tuple{runChild(args, nullptr, out, err, &code), code}), (std::tuple{0, 0u})) << sbGet(err);
  std::string expected;
  for (const std::string& e : trickyElements) expected += toHex(e) + "\n";
  std::string got = sbGet(out);
  std::erase(got, '\r');  // text-mode output may carry \r before each line end
  EXPECT_EQ(got, expected);
}

TEST_F(OsProcess, MegabytesBothWaysWithoutDeadlock) {
  const size_t n = 3 * 1024 * 1024;
  std::string data(n, 0);
  unsigned long sum = 0;
  for (size_t i = 0; i < n; i++) sum += (unsigned char)(data[i] = (char)('A' + i % 23));
  sbAppendData(in, data.data(), (uint32_t)n);
  uint64_t code = 99;
  ASSERT_EQ((std::tuple{runChild({"flood", std::to_string(n)}, in, out, err, &code), code}), (std::tuple{0, 0u}));
  std::string tail = "got " + std::to_string(n) + " " + std::to_string(sum);
  ASSERT_EQ((std::tuple{sbGetLength(out), sbGetLength(err)}), (std::tuple{n + tail.size(), n}));
  size_t bad = 0;
  for (size_t i = 0; i < n; i++) bad += (sbGet(out)[i] != floodByte(i)) + (sbGet(err)[i] != floodByte(i));
  EXPECT_EQ(std::tuple(bad, std::string(sbGet(out) + n)), std::tuple(0u, tail));
  // Without an error buffer the child's standard error joins its output.
  sbEmpty(out);
  ASSERT_EQ(runChild({"flood", "1000"}, nullptr, out, nullptr, &code), 0);
  EXPECT_EQ(sbGetLength(out), 2000u + strlen("got 0 0"));
}

TEST_F(OsProcess, ExitCodes) {
  uint64_t code = 99;
  const char* missing[] = {"/surely/not/here/prog", nullptr};
  const char* batch[] = {"surely-missing-installer.cmd", "ok", "%PATH%", nullptr};  // an unsafe element: never started
  // uint64_t{code} copies the code when it is set: a plain `code` would be read after the last call.
  EXPECT_EQ((std::tuple{runChild({"exit", "0"}, nullptr, out, nullptr, &code), uint64_t{code},
                        runChild({"exit", "3"}, nullptr, out, nullptr, &code), uint64_t{code},
                        runChild({"exit", "141"}, nullptr, out, nullptr, nullptr),
                        osRunArgv(batch, nullptr, out, nullptr, &code), uint64_t{code},
                        osRunArgv(missing, nullptr, out, nullptr, &code)}),
            (std::tuple{0, 0u, -1, 3u, -1, -1, 3u, -1}));
}

TEST_F(OsProcess, WaitLimitKillsChild) {
  uint64_t saved = osRunCommandTimeout;
  osRunCommandTimeout = 300;
  uint64_t code = 0;
  auto begin = std::chrono::steady_clock::now();
  int rc = runChild({"sleep", "30000"}, nullptr, out, nullptr, &code);
  auto took = std::chrono::steady_clock::now() - begin;
  osRunCommandTimeout = saved;
  EXPECT_EQ((std::tuple{rc, code}), (std::tuple{-1, 258u}));
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(took).count(), 20);
}

// A variable set, changed and removed: this process and a child agree.
TEST_F(OsProcess, ChildSeesEnvironmentChanges) {
  envReset();  // with the cache on, whatever ran before
  for (const char* value : {"one", "value \xc3\xa9", (const char*)nullptr}) {
    ASSERT_EQ(osSetEnv("QZR_TEST_CHILD_VAR", value), 0);
    EXPECT_STREQ(osGetEnv("QZR_TEST_CHILD_VAR"), value);
    sbEmpty(out);
    ASSERT_EQ(runChild({"env", "QZR_TEST_CHILD_VAR"}, nullptr, out, nullptr, nullptr), 0);
    EXPECT_STREQ(sbGet(out), value ? value : "<unset>");
  }
}

TEST_F(OsProcess, InterpreterRunsCommandTextAndHandlesOutMeanNoWait) {
  EXPECT_EQ((std::tuple{osRunShellCommand("echo hello-from-shell", nullptr, out),
                        strstr(sbGet(out), "hello-from-shell") != nullptr, osRunShellCommand("exit 4", nullptr, out)}),
            (std::tuple{0, true, -1}));
  OsProcessHandles h = {};
  EXPECT_EQ((std::tuple{osRunCommand(("\"" + self + "\" --child-- exit 0").c_str(), nullptr, out, nullptr, nullptr, &h),
                        h.processId != 0, testTakeText(osGetProcessDescription())}),
            (std::tuple{0, true, "standalone"}));
}

// A shell script held open after its check is what runs, with its path as $0: not a file renamed over its name
// since. (Windows starts .cmd scripts itself, and nobody may rename over a held one there.)
TEST_F(OsProcess, HeldScriptIsWhatRuns) {
  if (osPathSeparator == '\\') GTEST_SKIP() << "no shell scripts";
  const std::string dir = testFreshDir("script").string(), path = dir + "/installer.sh", other = dir + "/other.sh";
  std::ofstream(path) << "echo \"checked $0 $1\"\n";
  std::ofstream(other) << "echo planted\n";
  IoStream* held = osFileOpenStream(path.c_str(), osFileModeReadHeld, 0, nullptr);
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
  OsScriptCommand command;
  osScriptCommand(path.c_str(), held, &command);
  std::vector<const char*> argv(command.words, command.words + command.count);
  argv.insert(argv.end(), {path.c_str(), "-f", nullptr});
  EXPECT_EQ(osRunArgv(argv.data(), nullptr, out, nullptr, nullptr), 0);
  EXPECT_EQ(testTakeText(sbTakeString(out)), "checked " + path + " -f\n");
  iosClose(held);
}

}  // namespace
