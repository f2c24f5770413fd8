// The installed-release check: a service executable's answer in the error it causes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "osdir.h"
#include "osthread.h"
#include "osupdate.h"
#include "testenv.h"

namespace fs = std::filesystem;

namespace {

bool onWindows() { return osPathSeparator == '\\'; }

// A batch file (Windows) or shell script printing `lines`, each ended by CR/LF as Windows programs do.
std::string printingCommand(const fs::path& dir, const std::vector<std::string>& lines) {
  const fs::path path = dir / (onWindows() ? "answer.cmd" : "answer.sh");
  std::ofstream f(path, std::ios::binary);
  f << (onWindows() ? "@echo off\r\n" : "#!/bin/sh\n");
  for (const std::string& l : lines) f << (onWindows() ? "echo " + l + "\r\n" : "printf '" + l + "\\r\\n'\n");
  f.close();
  fs::permissions(path, fs::perms::owner_all);
  return path.string();
}

std::string verifyErrors(const std::string& path) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(updateVerifyExecutable(path.c_str(), "2025.1.0-20250129_14"));
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(OsUpdate, AnswersAreShownWithoutLineEndNoise) {
  ASSERT_EQ(osThreadInit(), 0);
  const struct {
    std::vector<std::string> answer;
    const char* message;
    const char* last;  // the error ends with this
  } cases[] = {
      {{"garbage"}, "outputs a garbled response", "response\ngarbage\n"},
      {{"ERROR no licence", "more"}, "reports the following error(s)", "error(s)\nERROR no licence\n\n"},
  };
  for (const auto& c : cases) {
    const std::string err = verifyErrors(printingCommand(testFreshDir("update"), c.answer));
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(err.find('\r'), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with(c.last)) << err;
  }
}
