// Secure library binding against the stand-ins of tests/securelib: bound, and missing a mandatory entry.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "initprim.h"
#include "osdir.h"
#include "osinit.h"
#include "secure.h"
#include "testenv.h"

namespace {

// <unit test binary dir>/securelib/<variant>/<file>.
std::string stubPath(const char* variant) {
  char self[1024];
  EXPECT_EQ(exePrimModulePath(self, sizeof self), 0);
  const std::string dir(self, strrchr(self, osPathSeparator)), sep = osPathSeparatorString;
  return dir + sep + "securelib" + sep + variant + sep + (osPathSeparator == '\\' ? "secure.dll" : "libsecure.so");
}

TEST(SecureBinding, BindsAndForwards) {
  secureUnload();
  ASSERT_EQ(osLibraryBind(stubPath("good").c_str(), true), 0);
  EXPECT_TRUE(secureIsBound());
  EXPECT_EQ(secureBind(secureBindReport), 0);  // already bound: nothing to do
  // Each call reaches the library's entry, in this order; secureSftp's entry is absent (3).
  EXPECT_EQ((std::vector<int>{secureUsage(1), secureGetProtocolName(2), secureGetCertificateInfo(nullptr),
                              secureSsh(0, nullptr), secureSftp(0, nullptr), secureWrapIoStream(nullptr)}),
            (std::vector<int>{0, 1002, 42, 5, 3, 0}));
  secureExit();
  secureUnload();
  EXPECT_FALSE(secureIsBound());
}

TEST(SecureBinding, MissingMandatoryEntryLeavesItUnbound) {
  secureUnload();
  EXPECT_EQ(osLibraryBind(stubPath("nocert").c_str(), true), -1);
  EXPECT_FALSE(secureIsBound());
}

// A library that another user could have put there or can change is not loaded: one in a directory everybody may
// write to, and one everybody may write; the same file where only its owner may change it is.
TEST(SecureBinding, LibraryOthersCanChangeIsNotLoaded) {
  if (osPathSeparator == '\\') GTEST_SKIP() << "access lists are not judged";
  secureUnload();
  for (const auto& [dirMode, fileMode, bound] :
       {std::tuple(0755, 0755, 0), std::tuple(0777, 0755, -1), std::tuple(0755, 0666, -1)}) {
    const std::filesystem::path dir = testFreshDir("secure"), lib = dir / "libsecure.so";
    std::filesystem::copy_file(stubPath("good"), lib);
    std::filesystem::permissions(lib, (std::filesystem::perms)fileMode);
    std::filesystem::permissions(dir, (std::filesystem::perms)dirMode);
    const int rc = osLibraryBind(lib.string().c_str(), true);
    EXPECT_EQ(std::pair(rc, secureIsBound()), std::pair(bound, bound == 0));
    secureUnload();
  }
}

TEST(SecureBinding, TableHasEveryRow) {
  for (const SecureSymbol& s : secureSymbols) {
    EXPECT_EQ(s.reserved, 0u);
    EXPECT_TRUE(s.pointer || std::string(s.name) == "memCallocPtr" || std::string(s.name) == "memFreePtr") << s.name;
  }
}

}  // namespace
