// String utilities: folding comparisons, wildcards, ${name} expansion,
// number and range parsing, argument lists and text building.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "logging.h"
#include "memory.h"
#include "stringbuf.h"
#include "strutil.h"

namespace {

// Runs fn with the strutil category at `level` and returns what was logged.
template <typename Fn>
std::string captureLog(uint32_t level, Fn fn) {
  uint32_t saved = logLevels[logCatStrUtil];
  logLevels[logCatStrUtil] = level;
  testing::internal::CaptureStderr();
  fn();
  std::string out = testing::internal::GetCapturedStderr();
  logLevels[logCatStrUtil] = saved;
  return out;
}

const char* lookupFixed(const char* name, void* context) {
  (void)context;
  if (strcmp(name, "known") == 0) return "VALUE";
  if (strcmp(name, "loop") == 0) return "${loop}";
  if (strcmp(name, "empty") == 0) return "";
  if (strcmp(name, "nested") == 0) return "<${known}>";
  return nullptr;
}

std::string ant(const char* text) {
  char* out = nullptr;
  EXPECT_EQ(0, strEvaluateAntExpr(text, lookupFixed, nullptr, &out));
  std::string s = out ? out : "<null>";
  memFree(out);
  return s;
}

std::string ksh(const char* text) {
  char* out = nullptr;
  int r = strEvaluateKshExpr(text, lookupFixed, nullptr, nullptr, 0, &out);
  std::string s = r == 0 && out ? out : "<fail>";
  memFree(out);
  return s;
}

}  // namespace

TEST(StrCompare, CaseFoldingTable) {
  EXPECT_EQ(0x61, strCaseFoldTable[0x41]);
  EXPECT_EQ(0x3BC, strCaseFoldTable[0xB5]);
  EXPECT_EQ(0x73, strCaseFoldTable[0x17F]);
  EXPECT_EQ(0x3C3, strCaseFoldTable[0x3C2]);
  EXPECT_EQ(0xFF, strCaseFoldTable[0x178]);
  EXPECT_EQ(0x3C3, strCaseFoldTable[0x3A3]);
  // Status T and F mappings are not simple foldings; later additions stay.
  EXPECT_EQ(0x130, strCaseFoldTable[0x130]);
  EXPECT_EQ(0xDF, strCaseFoldTable[0xDF]);
  EXPECT_EQ(0x370, strCaseFoldTable[0x370]);
  EXPECT_EQ(0x7A, strCaseFoldTable[0x7A]);
}

TEST(StrCompare, EqualsIgnoreCase) {
  EXPECT_TRUE(strEqualsIgnoreCase("Installer", "INSTALLER"));
  EXPECT_TRUE(strEqualsIgnoreCase("\xCE\xA3", "\xCF\x82"));  // capital sigma, final sigma
  EXPECT_TRUE(
      strEqualsIgnoreCase("Stra\xC3\x9F"
                          "e",
                          "STRA\xC3\x9F"
                          "E"));
  EXPECT_TRUE(strEqualsIgnoreCase("\xC3\x84rger", "\xC3\xA4RGER"));  // A and a with diaeresis
  EXPECT_FALSE(strEqualsIgnoreCase("abc", "abd"));
  EXPECT_FALSE(strEqualsIgnoreCase("abc", "ab"));
  EXPECT_FALSE(strEqualsIgnoreCase("a\xFF", "a\xFF"));
  EXPECT_EQ(-1, utf8CaseCmp("a\xFF", "a\xFF"));
  EXPECT_EQ(-1, utf8CaseCmp("\xC3", "\xC3"));  // truncated sequence
  EXPECT_FALSE(strEqualsIgnoreCase(nullptr, "a"));
  EXPECT_FALSE(strEqualsIgnoreCase("a", nullptr));
  EXPECT_TRUE(strCaseEquals("-V", "-v"));
  // Code points from U+1000 compare unfolded.
  EXPECT_FALSE(strEqualsIgnoreCase("\xE1\xB8\x80", "\xE1\xB8\x81"));
}

TEST(StrCompare, Order) {
  EXPECT_LT(utf8CaseCmp("apple", "Banana"), 0);
  EXPECT_GT(utf8CaseCmp("b", "A"), 0);
  EXPECT_LT(utf8CaseCmp("ab", "abc"), 0);
  EXPECT_GT(utf8CaseCmp("abc", "AB"), 0);
  EXPECT_EQ(0, utf8CaseCmp("", ""));
  // A shorter text orders first even against non-ASCII continuations.
  EXPECT_LT(utf8CaseCmp("a", "a\xC3\xA9"), 0);
  EXPECT_GT(utf8CaseCmp("a\xC3\xA9", "a"), 0);
  // The total order also places undecodable bytes consistently.
  EXPECT_EQ(0, utf8CaseOrder("x\xFF", "X\xFF"));
  EXPECT_LT(utf8CaseOrder("x\xC3\xA9", "x\xFF"), 0);
  EXPECT_GT(utf8CaseOrder("x\xFF", "x\xC3\xA9"), 0);
  EXPECT_LT(utf8CaseOrder("x", "x\xFF"), 0);
}

TEST(StrCompare, PrefixesAndSuffixes) {
  EXPECT_TRUE(strEquals("a", "a"));
  EXPECT_FALSE(strEquals("a", "A"));
  EXPECT_FALSE(strEquals(nullptr, nullptr));
  EXPECT_TRUE(strnEquals("abcdef", "abcxyz", 3));
  EXPECT_FALSE(strnEquals("abcdef", "abcxyz", 4));
  EXPECT_TRUE(strStartsWith("--loglevel", "--log"));
  EXPECT_FALSE(strStartsWith("--lo", "--log"));
  EXPECT_TRUE(strStartsWithIgnoreCase("TRUE ", "true"));
  EXPECT_TRUE(strStartsWithIgnoreCase("ISO-8859-1", "iso-8859-"));
  EXPECT_FALSE(strStartsWithIgnoreCase("tru", "true"));
  EXPECT_TRUE(
      strStartsWithIgnoreCase("\xC3\x84"
                              "b",
                              "\xC3\xA4"));
  EXPECT_TRUE(strEndsWith("setup.exe", ".exe"));
  EXPECT_FALSE(strEndsWith("exe", "setup.exe"));
  EXPECT_FALSE(strEndsWith("setup.exe", ".EXE"));
  EXPECT_TRUE(strEndsWithIgnoreCase("install.LOG", ".log"));
  EXPECT_FALSE(strEndsWithIgnoreCase("log", "x.log"));
  EXPECT_FALSE(strEndsWith(nullptr, ""));
}

TEST(StrWildcard, Basics) {
  EXPECT_TRUE(strMatchWildcard("*.EXE", "setup.exe", false));
  EXPECT_FALSE(strMatchWildcard("*.EXE", "setup.exe", true));
  EXPECT_TRUE(strMatchWildcard("a?c", "abc", false));
  EXPECT_FALSE(strMatchWildcard("a?c", "ac", false));
  EXPECT_TRUE(strMatchWildcard("[a-c]x", "bx", false));
  EXPECT_FALSE(strMatchWildcard("[a-c]x", "dx", false));
  EXPECT_TRUE(strMatchWildcard("\\*", "*", false));
  EXPECT_FALSE(strMatchWildcard("\\*", "a", false));
  EXPECT_TRUE(strMatchWildcard("*", "", false));
  EXPECT_TRUE(strMatchWildcard("a*b*c", "aXbYbZc", false));
  EXPECT_FALSE(strMatchWildcard("a*b*c", "aXbYbZ", false));
  EXPECT_TRUE(strMatchWildcard("", "", false));
  EXPECT_FALSE(strMatchWildcard("", "a", false));
  EXPECT_FALSE(strMatchWildcard("abc", "abcd", false));
  EXPECT_FALSE(strMatchWildcard(nullptr, "a", false));
  EXPECT_FALSE(strMatchWildcard("a", nullptr, false));
}

TEST(StrWildcard, SetsStarsAndBacktracking) {
  EXPECT_TRUE(strMatchWildcard("installer*.*", "installer.cmd", false));
  EXPECT_TRUE(strMatchWildcard("installer*.*", "installer_de.properties", false));
  EXPECT_FALSE(strMatchWildcard("installer*.*", "install.cmd", false));
  EXPECT_TRUE(strMatchWildcard("2025_1/bin/*", "2025_1/bin/sub/x.exe", false));
  EXPECT_TRUE(strMatchWildcard("**a**", "xxaxx", false));
  EXPECT_TRUE(strMatchWildcard("*ab", "aaab", false));
  EXPECT_TRUE(strMatchWildcard("[!a]", "b", false));
  EXPECT_FALSE(strMatchWildcard("[!a]", "a", false));
  EXPECT_FALSE(strMatchWildcard("[!a-c]", "B", false));
  EXPECT_TRUE(strMatchWildcard("[A-C]", "b", false));
  EXPECT_FALSE(strMatchWildcard("[A-C]", "b", true));
  EXPECT_TRUE(strMatchWildcard("[xyz]1", "Y1", false));
  EXPECT_TRUE(strMatchWildcard("[\\]]", "]", false));
  // A range without its upper end fails even where a star could retry.
  EXPECT_FALSE(strMatchWildcard("*[a-", "xa", false));
  // A set without its closing bracket matches nothing.
  EXPECT_FALSE(strMatchWildcard("[abc", "a", false));
  EXPECT_FALSE(strMatchWildcard("*[abc", "xa", false));
  // '?' takes exactly one byte.
  EXPECT_TRUE(strMatchWildcard("??", "\xC3\xA9", false));
}

TEST(StrExpand, AntExpression) {
  EXPECT_EQ("a=VALUE b=${unknown} c=${}", ant("a=${known} b=${unknown} c=${}"));
  EXPECT_EQ("plain", ant("plain"));
  EXPECT_EQ("", ant(""));
  EXPECT_EQ("VALUEVALUE", ant("${known}${known}"));
  // Values are not scanned again; the first '}' ends a name.
  EXPECT_EQ("${loop}", ant("${loop}"));
  EXPECT_EQ("<${known}>", ant("${nested}"));
  EXPECT_EQ("${a${known}}", ant("${a${known}}"));
  // An unclosed reference is copied as it stands.
  EXPECT_EQ("x VALUE ${known", ant("x ${known} ${known"));
  EXPECT_EQ("[]", ant("[${empty}]"));
  char* out = nullptr;
  EXPECT_EQ(-1, strEvaluateAntExpr(nullptr, lookupFixed, nullptr, &out));
  EXPECT_EQ(nullptr, out);
}

TEST(StrExpand, KshExpression) {
  EXPECT_EQ("VALUE", ksh("${known}"));
  EXPECT_EQ("<VALUE>", ksh("${nested}"));  // values are expanded again
  EXPECT_EQ("${unknown}", ksh("${unknown}"));
  EXPECT_EQ("yes", ksh("${known:+yes}"));
  EXPECT_EQ("", ksh("${unknown:+yes}"));
  EXPECT_EQ("VALUE", ksh("${known:-fallback}"));
  EXPECT_EQ("fallback", ksh("${unknown:-fallback}"));
  EXPECT_EQ("fallback", ksh("${empty:-fallback}"));
  EXPECT_EQ("VALUE", ksh("${unknown:-${known}}"));
  std::string log;
  log = captureLog(logLevelWarn, [] { EXPECT_EQ("<fail>", ksh("${loop}")); });
  EXPECT_NE(std::string::npos, log.find("Script contains recursive include or variable.")) << log;
}

TEST(StrParse, Boolean) {
  uint8_t f = 7;
  EXPECT_EQ(0, strParseBoolean("  TRUE  ", &f));
  EXPECT_EQ(1, f);
  EXPECT_EQ(0, strParseBoolean("false", &f));
  EXPECT_EQ(0, f);
  EXPECT_EQ(0, strParseBoolean("y", &f));
  EXPECT_EQ(1, f);
  EXPECT_EQ(0, strParseBoolean("N", &f));
  EXPECT_EQ(0, f);
  f = 7;
  EXPECT_EQ(-1, strParseBoolean("yes", &f));
  EXPECT_EQ(-1, strParseBoolean("truex", &f));
  EXPECT_EQ(-1, strParseBoolean("", &f));
  EXPECT_EQ(-1, strParseBoolean("1", &f));
  EXPECT_EQ(7, f);
  std::string log = captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseBooleanLogged("maybe", &f)); });
  EXPECT_EQ(0, f);
  EXPECT_NE(std::string::npos, log.find("maybe")) << log;
}

TEST(StrParse, Unsigned) {
  uint64_t v = 5;
  EXPECT_EQ(0, strParseUInt64("1234", &v, 0, UINT64_MAX));
  EXPECT_EQ(1234u, v);
  EXPECT_EQ(0, strParseUInt64("18446744073709551615\r\n", &v, 0, UINT64_MAX));
  EXPECT_EQ(UINT64_MAX, v);
  EXPECT_EQ(-1, strParseUInt64("18446744073709551616", &v, 0, UINT64_MAX));
  EXPECT_EQ(-1, strParseUInt64("", &v, 0, 10));
  EXPECT_EQ(0u, v);
  std::string log = captureLog(logLevelDebug, [&] { EXPECT_EQ(-1, strParseUInt64("11", &v, 0, 10)); });
  EXPECT_NE(std::string::npos, log.find("Value 11 outside range 0 to 10")) << log;
  log = captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseUInt64("12a", &v, 0, 100)); });
  EXPECT_NE(std::string::npos,
            log.find("Found unknown character 'a' in string '12a' whilst scanning for numeric value"))
      << log;
  EXPECT_EQ(0, strParseHex64("0x1F", &v, 0, UINT64_MAX));
  EXPECT_EQ(0x1Fu, v);
  EXPECT_EQ(0, strParseHex64("ffffffffffffffff\n", &v, 0, UINT64_MAX));
  EXPECT_EQ(UINT64_MAX, v);
  log = captureLog(logLevelDebug, [&] { EXPECT_EQ(-1, strParseHex64("ff", &v, 0, 0x10)); });
  EXPECT_NE(std::string::npos, log.find("Value ff outside range 0 to 10")) << log;
  EXPECT_EQ(-1, strParseHex64("fg", &v, 0, UINT64_MAX));
  uint32_t v32 = 1;
  EXPECT_EQ(0, strParseUInt32("4294967295", &v32, 0, UINT32_MAX));
  EXPECT_EQ(UINT32_MAX, v32);
  EXPECT_EQ(-1, strParseUInt32("4294967296", &v32, 0, UINT32_MAX));
  uint16_t v16 = 1;
  EXPECT_EQ(0, strParseUInt16("8080", &v16, 1, 65535));
  EXPECT_EQ(8080, v16);
  EXPECT_EQ(-1, strParseUInt16("65536", &v16, 1, 65535));
}

TEST(StrParse, Signed) {
  int64_t v = 5;
  EXPECT_EQ(0, strParseInt64(" -42 ", &v, INT64_MIN, INT64_MAX));
  EXPECT_EQ(-42, v);
  EXPECT_EQ(0, strParseInt64("-9223372036854775808", &v, INT64_MIN, INT64_MAX));
  EXPECT_EQ(INT64_MIN, v);
  EXPECT_EQ(0, strParseInt64("+9223372036854775807", &v, INT64_MIN, INT64_MAX));
  EXPECT_EQ(INT64_MAX, v);
  v = 5;
  std::string log =
      captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseInt64("9223372036854775808", &v, INT64_MIN, INT64_MAX)); });
  EXPECT_NE(std::string::npos, log.find("does not contain (only) an integer value")) << log;
  EXPECT_EQ(-1, strParseInt64("12 3", &v, INT64_MIN, INT64_MAX));
  EXPECT_EQ(-1, strParseInt64("-", &v, INT64_MIN, INT64_MAX));
  EXPECT_EQ(-1, strParseInt64("", &v, INT64_MIN, INT64_MAX));
  EXPECT_EQ(5, v);
  log = captureLog(logLevelDebug, [&] { EXPECT_EQ(-1, strParseInt64("-3", &v, 0, 10)); });
  EXPECT_NE(std::string::npos, log.find("Value -3 outside range 0 to 10")) << log;
  int32_t v32 = 0;
  EXPECT_EQ(0, strParseInt32("-2147483648", &v32, INT32_MIN, INT32_MAX));
  EXPECT_EQ(INT32_MIN, v32);
  EXPECT_EQ(-1, strParseInt32("2147483648", &v32, INT32_MIN, INT32_MAX));
}

TEST(StrParse, ScaledNumbers) {
  int64_t v = 0;
  EXPECT_EQ(0, strParseScaledInt64("10K", &v, 0, INT64_MAX));
  EXPECT_EQ(10000, v);
  EXPECT_EQ(0, strParseScaledInt64("10Ki", &v, 0, INT64_MAX));
  EXPECT_EQ(10240, v);
  EXPECT_EQ(0, strParseScaledInt64("0x10", &v, 0, INT64_MAX));
  EXPECT_EQ(16, v);
  EXPECT_EQ(0, strParseScaledInt64("x10", &v, 0, INT64_MAX));
  EXPECT_EQ(16, v);
  EXPECT_EQ(0, strParseScaledInt64("10 kb", &v, 0, INT64_MAX));
  EXPECT_EQ(10, v);
  EXPECT_EQ(0, strParseScaledInt64("3g", &v, 0, INT64_MAX));
  EXPECT_EQ(3000000000, v);
  EXPECT_EQ(0, strParseScaledInt64("2Ti", &v, 0, INT64_MAX));
  EXPECT_EQ(2LL << 40, v);
  EXPECT_EQ(0, strParseScaledInt64("-5M", &v, INT64_MIN, INT64_MAX));
  EXPECT_EQ(-5000000, v);
  EXPECT_EQ(0, strParseScaledInt64("0X1fMi", &v, 0, INT64_MAX));
  EXPECT_EQ(31LL << 20, v);
  v = 1;
  std::string log = captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseScaledInt64("10Q", &v, 0, INT64_MAX)); });
  EXPECT_NE(std::string::npos, log.find("Found unknown ending 'Q' in string '10Q' whilst scanning for value")) << log;
  log = captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseScaledInt64("K", &v, 0, INT64_MAX)); });
  EXPECT_NE(std::string::npos, log.find("Illegal number: K")) << log;
  EXPECT_EQ(-1, strParseScaledInt64("10Kb", &v, 0, INT64_MAX));
  // The range applies to the scaled value; the product never overflows.
  log = captureLog(logLevelDebug, [&] { EXPECT_EQ(-1, strParseScaledInt64("2K", &v, 0, 1999)); });
  EXPECT_NE(std::string::npos, log.find("Value 2K outside range 0 to 1999")) << log;
  EXPECT_EQ(-1, strParseScaledInt64("9223372036854775807Ti", &v, INT64_MIN, INT64_MAX));
  EXPECT_EQ(0, strParseScaledInt64("1K", &v, 0, 1000));
  EXPECT_EQ(1000, v);
}

TEST(StrParse, Range) {
  StrRange r = {0, 0};
  EXPECT_EQ(0, strParseRange("", &r, 1, 99));
  EXPECT_EQ(1, r.low);
  EXPECT_EQ(99, r.high);
  EXPECT_EQ(0, strParseRange(nullptr, &r, 2, 98));
  EXPECT_EQ(2, r.low);
  EXPECT_EQ(0, strParseRange("5", &r, 1, 99));
  EXPECT_EQ(5, r.low);
  EXPECT_EQ(5, r.high);
  EXPECT_EQ(0, strParseRange("5-", &r, 1, 99));
  EXPECT_EQ(5, r.low);
  EXPECT_EQ(99, r.high);
  EXPECT_EQ(0, strParseRange("-7", &r, 1, 99));
  EXPECT_EQ(1, r.low);
  EXPECT_EQ(7, r.high);
  EXPECT_EQ(0, strParseRange(" 3 - 7 ", &r, 1, 99));
  EXPECT_EQ(3, r.low);
  EXPECT_EQ(7, r.high);
  EXPECT_EQ(0, strParseRange("7-3", &r, 1, 99));
  EXPECT_EQ(7, r.low);
  EXPECT_EQ(3, r.high);
  r = {11, 12};
  std::string log = captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseRange("3-x", &r, 1, 99)); });
  EXPECT_NE(std::string::npos, log.find("Unable to parse '3-x' as a range of values between 1 and 99")) << log;
  EXPECT_EQ(-1, strParseRange("3 4", &r, 1, 99));
  EXPECT_EQ(-1, strParseRange("a", &r, 1, 99));
  EXPECT_EQ(-1, strParseRange("1-2-3", &r, 1, 99));
  EXPECT_EQ(11, r.low);
  EXPECT_EQ(12, r.high);
}

TEST(StrParse, RangeList) {
  StrRangeList list;
  ASSERT_EQ(0, strParseRangeList("1-3, 7 ,10-", &list, 0, 20));
  ASSERT_EQ(3u, list.count);
  EXPECT_TRUE(strRangeListContains(&list, 2));
  EXPECT_TRUE(strRangeListContains(&list, 7));
  EXPECT_TRUE(strRangeListContains(&list, 20));
  EXPECT_FALSE(strRangeListContains(&list, 5));
  strFreeRangeList(&list);
  ASSERT_EQ(0, strParseRangeList("", &list, 5, 9));
  EXPECT_TRUE(strRangeListContains(&list, 9));
  EXPECT_FALSE(strRangeListContains(&list, 4));
  strFreeRangeList(&list);
  ASSERT_EQ(0, strParseRangeList("none", &list, 5, 9));
  EXPECT_FALSE(strRangeListContains(&list, 5));
  strFreeRangeList(&list);
  EXPECT_EQ(-1, strParseRangeList("1-30", &list, 0, 20));
  EXPECT_EQ(-1, strParseRangeList("5-3", &list, 0, 20));
  EXPECT_EQ(-1, strParseRangeList("1,,2", &list, 0, 20));
  EXPECT_EQ(0u, list.count);
}

TEST(StrArgs, RemoveArgs) {
  char a0[] = "a0", a1[] = "a1", a2[] = "a2", a3[] = "a3";
  char* args[] = {a0, a1, a2, a3, nullptr};
  int count = 4;
  EXPECT_EQ(0, strRemoveArgs(&count, args, 1, 2));
  EXPECT_EQ(2, count);
  EXPECT_EQ(a0, args[0]);
  EXPECT_EQ(a3, args[1]);
  char* more[] = {a0, a1, a2, a3, nullptr};
  count = 4;
  std::string log = captureLog(logLevelError, [&] { EXPECT_EQ(-1, strRemoveArgs(&count, more, 2, 3)); });
  EXPECT_NE(std::string::npos, log.find("Cannot remove arguments 2..5 from list of 4 arguments.")) << log;
  EXPECT_EQ(4, count);
  EXPECT_EQ(a2, more[2]);
  EXPECT_EQ(0, strRemoveArgs(&count, more, 4, 0));
  EXPECT_EQ(0, strRemoveArgs(&count, more, 0, 4));
  EXPECT_EQ(0, count);
}

TEST(StrText, BuildingAndTrimming) {
  char* text = nullptr;
  uint32_t len = 0;
  EXPECT_EQ(0, strPrintfAlloc(&text, &len, "%s-%u-%d.tmp", "installer", 42u, 7));
  EXPECT_STREQ("installer-42-7.tmp", text);
  EXPECT_EQ(18u, len);
  char** list = memNewArray(char*, 3);
  list[0] = text;
  list[1] = memStrDup("second");
  strFreeList(list, 0);
  const char** counted = memNewArray(const char*, 2);
  counted[1] = memStrDup("only the second");
  strFreeList(counted, 2);

  char buf[32];
  strcpy(buf, "path\\\\//");
  EXPECT_STREQ("path", strTrimRightChars(buf, "\\/"));
  strcpy(buf, "////");
  EXPECT_STREQ("/", strTrimRightChars(buf, "/"));
  strcpy(buf, "name.tmp");
  EXPECT_STREQ("name", strRemoveSuffix(buf, ".tmp"));
  EXPECT_STREQ("name", strRemoveSuffix(buf, ".tmp"));
}

TEST(StrText, FromInt64) {
  char buf[72];
  EXPECT_STREQ("0", strFromInt64(buf, 10, 0));
  EXPECT_STREQ("-123", strFromInt64(buf, 10, -123));
  EXPECT_STREQ("ff", strFromInt64(buf, 16, 255));
  EXPECT_STREQ("-zz", strFromInt64(buf, 36, -1295));
  EXPECT_STREQ("-9223372036854775808", strFromInt64(buf, 10, INT64_MIN));
  EXPECT_STREQ("-1000000000000000000000000000000000000000000000000000000000000000", strFromInt64(buf, 2, INT64_MIN));
  EXPECT_STREQ("7fffffffffffffff", strFromInt64(buf, 16, INT64_MAX));
}

TEST(StrText, UriComponent) {
  StringBuffer sb;
  sbInitHere(&sb);
  EXPECT_EQ(0, sbAppendUriComponent(&sb, "a b/c~d_e.f-g\xC3\xA9%"));
  EXPECT_STREQ("a%20b%2Fc~d_e.f-g%C3%A9%25", sbGet(&sb));
  EXPECT_EQ(0, sbAppendUriComponent(&sb, nullptr));
  EXPECT_EQ(26u, sbGetLength(&sb));
  sbClean(&sb);
}

TEST(StrText, BuiltinVariables) {
  char* value = nullptr;
  ASSERT_EQ(0, strResolveVariable("GUIDv4", &value));
  ASSERT_EQ(36u, strlen(value));
  EXPECT_EQ('4', value[14]);
  EXPECT_TRUE(strchr("89ab", value[19]) != nullptr);
  EXPECT_TRUE(strMatchWildcard("*?-*?-4*?-[89ab]*?-*?", value, true));
  memFree(value);
  ASSERT_EQ(0, strResolveVariable("LISTALL", &value));
  EXPECT_NE(nullptr, strstr(value, "GUIDv4"));
  memFree(value);
  EXPECT_EQ(-1, strResolveVariable("NoSuchName", &value));
  EXPECT_EQ(nullptr, value);
}
