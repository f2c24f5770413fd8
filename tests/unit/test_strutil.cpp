// String utilities: folding comparisons, wildcards, ${name} expansion,
// number and range parsing, argument lists and text building.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "memory.h"
#include "strutil.h"
#include "test_os_helpers.h"
#include "test_sb_helpers.h"
#include "test_text_helpers.h"
#include "testenv.h"

namespace {

// Runs fn with the strutil category at `level` and returns what was logged.
template <typename Fn>
std::string captureLog(uint32_t level, Fn fn) {
  return testCaptureLog(logCatStrUtil, level, fn);
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
  return testTakeText(out);
}

std::string ksh(const char* text) {
  char* out = nullptr;
  const int r = strEvaluateKshExpr(text, lookupFixed, nullptr, nullptr, 0, &out);
  return r == 0 && out ? testTakeText(out) : (memFree(out), "<fail>");
}

using Texts = std::vector<std::string>;

}  // namespace

TEST(StrCompare, EqualsIgnoreCaseOrderPrefixesAndSuffixes) {
  static const struct {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"Installer", "INSTALLER", true},
      {"\xCE\xA3", "\xCF\x82", true},            // capital sigma, final sigma
      {"\xC2\xB5", "\xCE\xBC", true},            // micro sign, mu
      {"\xC5\xBF", "S", true},                   // long s
      {"\xC5\xB8", "\xC3\xBF", true},            // Y and y with diaeresis
      {"\xC3\x84rger", "\xC3\xA4RGER", true},    // A and a with diaeresis
      {"Stra\303\237e", "STRA\303\237E", true},  // sharp s has no simple folding (octal escapes)
      {"\xC4\xB0", "i", false},                  // status T mappings are not foldings
      {"\xC3\x9F", "ss", false},
      {"\xCD\xB0", "\xCD\xB1", false},          // later additions stay unfolded
      {"\xE1\xB8\x80", "\xE1\xB8\x81", false},  // from U+1000 compared unfolded
      {"abc", "abd", false},
      {"abc", "ab", false},
      {"a\xFF", "a\xFF", false},  // undecodable bytes never compare equal
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(c.equal, strEqualsIgnoreCase(c.a, c.b));
  }
  // The second: a truncated sequence.
  EXPECT_EQ(std::tuple(utf8CaseCmp("a\xFF", "a\xFF"), utf8CaseCmp("\xC3", "\xC3")), std::tuple(-1, -1));
  EXPECT_EQ(std::tuple(strEqualsIgnoreCase(nullptr, "a"), strEqualsIgnoreCase("a", nullptr), strCaseEquals("-V", "-v")),
            std::tuple(false, false, true));
  // Signs of comparisons: a shorter text orders first even against non-ASCII continuations, and the total order also
  // places undecodable bytes consistently.
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  EXPECT_EQ(std::tuple(sign(utf8CaseCmp("apple", "Banana")), sign(utf8CaseCmp("b", "A")),
                       sign(utf8CaseCmp("ab", "abc")), sign(utf8CaseCmp("abc", "AB")), utf8CaseCmp("", ""),
                       sign(utf8CaseCmp("a", "a\xC3\xA9")), sign(utf8CaseCmp("a\xC3\xA9", "a"))),
            std::tuple(-1, 1, -1, 1, 0, -1, 1));
  EXPECT_EQ(std::tuple(utf8CaseOrder("x\xFF", "X\xFF"), sign(utf8CaseOrder("x\xC3\xA9", "x\xFF")),
                       sign(utf8CaseOrder("x\xFF", "x\xC3\xA9")), sign(utf8CaseOrder("x", "x\xFF"))),
            std::tuple(0, -1, 1, -1));
  EXPECT_EQ(std::tuple(strEquals("a", "a"), strEquals("a", "A"), strEquals(nullptr, nullptr)),
            std::tuple(true, false, false));
  EXPECT_EQ(std::tuple(strnEquals("abcdef", "abcxyz", 3), strnEquals("abcdef", "abcxyz", 4)), std::tuple(true, false));
  EXPECT_EQ(std::tuple(strStartsWith("--loglevel", "--log"), strStartsWith("--lo", "--log")), std::tuple(true, false));
  EXPECT_EQ(std::tuple(strStartsWithIgnoreCase("TRUE ", "true"), strStartsWithIgnoreCase("ISO-8859-1", "iso-8859-"),
                       strStartsWithIgnoreCase("tru", "true"), strStartsWithIgnoreCase("\303\204b", "\303\244")),
            std::tuple(true, true, false, true));
  EXPECT_EQ(std::tuple(strEndsWith("setup.exe", ".exe"), strEndsWith("exe", "setup.exe"),
                       strEndsWith("setup.exe", ".EXE"), strEndsWith(nullptr, "")),
            std::tuple(true, false, false, false));
  EXPECT_EQ(std::tuple(strEndsWithIgnoreCase("install.LOG", ".log"), strEndsWithIgnoreCase("log", "x.log")),
            std::tuple(true, false));
}

TEST(StrWildcard, Matching) {
  static const struct {
    const char* pattern;
    const char* text;
    bool caseSensitive;
    bool match;
  } cases[] = {
      {"*.EXE", "setup.exe", false, true},
      {"*.EXE", "setup.exe", true, false},
      {"a?c", "abc", false, true},
      {"a?c", "ac", false, false},
      {"??", "\xC3\xA9", false, true},  // '?' takes exactly one byte
      {"\\*", "*", false, true},
      {"\\*", "a", false, false},
      {"*", "", false, true},
      {"", "", false, true},
      {"", "a", false, false},
      {"abc", "abcd", false, false},
      {"a*b*c", "aXbYbZc", false, true},
      {"a*b*c", "aXbYbZ", false, false},
      {"installer*.*", "installer.cmd", false, true},  // a star may match nothing
      {"installer*.*", "installer_de.properties", false, true},
      {"installer*.*", "install.cmd", false, false},
      {"2025_1/bin/*", "2025_1/bin/sub/x.exe", false, true},
      {"**a**", "xxaxx", false, true},
      {"*ab", "aaab", false, true},
      {"[a-c]x", "bx", false, true},
      {"[a-c]x", "dx", false, false},
      {"[!a]", "b", false, true},
      {"[!a]", "a", false, false},
      {"[!a-c]", "B", false, false},
      {"[A-C]", "b", false, true},
      {"[A-C]", "b", true, false},
      {"[xyz]1", "Y1", false, true},
      {"[\\]]", "]", false, true},
      {"*[a-", "xa", false, false},  // a range without its upper end fails even where a star could retry
      {"[abc", "a", false, false},   // a set without its closing bracket matches nothing
      {"*[abc", "xa", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.text);
    EXPECT_EQ(c.match, strMatchWildcard(c.pattern, c.text, c.caseSensitive));
  }
  EXPECT_FALSE(strMatchWildcard(nullptr, "a", false));
  EXPECT_FALSE(strMatchWildcard("a", nullptr, false));
}

// Each text's expansion. The ant form does not scan values again and the first '}' ends a name; an unclosed reference
// is copied as it stands. The ksh form expands values again and knows the :+ and :- forms.
TEST(StrExpand, AntAndKshExpressions) {
  EXPECT_EQ(testEach(ant, {"a=${known} b=${unknown} c=${}", "plain", "", "${known}${known}", "${loop}", "${nested}",
                           "${a${known}}", "x ${known} ${known", "[${empty}]"}),
            (Texts{"a=VALUE b=${unknown} c=${}", "plain", "", "VALUEVALUE", "${loop}", "<${known}>", "${a${known}}",
                   "x VALUE ${known", "[]"}));
  char* out = nullptr;
  EXPECT_EQ((std::tuple{strEvaluateAntExpr(nullptr, lookupFixed, nullptr, &out), out}), std::tuple(-1, nullptr));
  EXPECT_EQ(testEach(ksh, {"${known}", "${nested}", "${unknown}", "${known:+yes}", "${unknown:+yes}",
                           "${known:-fallback}", "${unknown:-fallback}", "${empty:-fallback}", "${unknown:-${known}}"}),
            (Texts{"VALUE", "<VALUE>", "${unknown}", "yes", "", "VALUE", "fallback", "fallback", "VALUE"}));
  expectText(captureLog(logLevelWarn, [] { EXPECT_EQ("<fail>", ksh("${loop}")); }),
             {"Script contains recursive include or variable."});
}

TEST(StrParse, Boolean) {
  static const struct {
    const char* text;
    int rc;
    uint8_t value;  // 7: left alone
  } cases[] = {{"  TRUE  ", 0, 1}, {"false", 0, 0},  {"y", 0, 1}, {"N", 0, 0},
               {"yes", -1, 7},     {"truex", -1, 7}, {"", -1, 7}, {"1", -1, 7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t f = 7;
    EXPECT_EQ((std::tuple{strParseBoolean(c.text, &f), f}), std::tuple(c.rc, c.value));
  }
  uint8_t f = 7;
  expectText(captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseBooleanLogged("maybe", &f)); }), {"maybe"});
  EXPECT_EQ(0, f);
}

// One case of a number parser: the text, the range, and the outcome (on
// failure `value` is what the output holds afterwards, from a start of 5).
template <typename T>
struct ParseCase {
  const char* text;
  T minimum, maximum;
  int rc;
  T value;
};

template <typename T, size_t N>
void checkParse(int (*parse)(const char*, T*, T, T), const ParseCase<T> (&cases)[N]) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    T v = 5;
    EXPECT_EQ((std::tuple{parse(c.text, &v, c.minimum, c.maximum), v}), std::tuple(c.rc, c.value));
  }
}

TEST(StrParse, UnsignedAndSigned) {
  static const ParseCase<uint64_t> u64[] = {
      {"1234", 0, UINT64_MAX, 0, 1234},
      {"18446744073709551615\r\n", 0, UINT64_MAX, 0, UINT64_MAX},
      {"18446744073709551616", 0, UINT64_MAX, -1, 0},
      {"", 0, 10, -1, 0},
  };
  checkParse(strParseUInt64, u64);
  static const ParseCase<uint64_t> hex[] = {
      {"0x1F", 0, UINT64_MAX, 0, 0x1F}, {"ffffffffffffffff\n", 0, UINT64_MAX, 0, UINT64_MAX}, {"fg", 0, 100, -1, 0}};
  checkParse(strParseHex64, hex);
  static const ParseCase<uint32_t> u32[] = {{"4294967295", 0, UINT32_MAX, 0, UINT32_MAX},
                                            {"4294967296", 0, UINT32_MAX, -1, 0}};
  checkParse(strParseUInt32, u32);
  static const ParseCase<uint16_t> u16[] = {{"8080", 1, 65535, 0, 8080}, {"65536", 1, 65535, -1, 0}};
  checkParse(strParseUInt16, u16);
  uint64_t v = 5;
  expectText(captureLog(logLevelDebug, [&] { EXPECT_EQ(-1, strParseUInt64("11", &v, 0, 10)); }),
             {"Value 11 outside range 0 to 10"});
  expectText(captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseUInt64("12a", &v, 0, 100)); }),
             {"Found unknown character 'a' in string '12a' whilst scanning for numeric value"});
  expectText(captureLog(logLevelDebug, [&] { EXPECT_EQ(-1, strParseHex64("ff", &v, 0, 0x10)); }),
             {"Value ff outside range 0 to 10"});
  static const ParseCase<int64_t> i64[] = {
      {" -42 ", INT64_MIN, INT64_MAX, 0, -42},
      {"-9223372036854775808", INT64_MIN, INT64_MAX, 0, INT64_MIN},
      {"+9223372036854775807", INT64_MIN, INT64_MAX, 0, INT64_MAX},
      {"12 3", INT64_MIN, INT64_MAX, -1, 5},
      {"-", INT64_MIN, INT64_MAX, -1, 5},
      {"", INT64_MIN, INT64_MAX, -1, 5},
  };
  checkParse(strParseInt64, i64);
  static const ParseCase<int32_t> i32[] = {{"-2147483648", INT32_MIN, INT32_MAX, 0, INT32_MIN},
                                           {"2147483648", INT32_MIN, INT32_MAX, -1, 5}};
  checkParse(strParseInt32, i32);
  int64_t sv = 5;
  expectText(captureLog(logLevelError,
                        [&] { EXPECT_EQ(-1, strParseInt64("9223372036854775808", &sv, INT64_MIN, INT64_MAX)); }),
             {"does not contain (only) an integer value"});
  expectText(captureLog(logLevelDebug, [&] { EXPECT_EQ(-1, strParseInt64("-3", &sv, 0, 10)); }),
             {"Value -3 outside range 0 to 10"});
}

TEST(StrParse, ScaledNumbers) {
  static const ParseCase<int64_t> cases[] = {
      {"10K", 0, INT64_MAX, 0, 10000},
      {"10Ki", 0, INT64_MAX, 0, 10240},
      {"0x10", 0, INT64_MAX, 0, 16},
      {"x10", 0, INT64_MAX, 0, 16},
      {"10 kb", 0, INT64_MAX, 0, 10},
      {"3g", 0, INT64_MAX, 0, 3000000000},
      {"2Ti", 0, INT64_MAX, 0, 2LL << 40},
      {"-5M", INT64_MIN, INT64_MAX, 0, -5000000},
      {"0X1fMi", 0, INT64_MAX, 0, 31LL << 20},
      {"1K", 0, 1000, 0, 1000},
      {"10Kb", 0, INT64_MAX, -1, 5},
      // The range applies to the scaled value; the product never overflows.
      {"9223372036854775807Ti", INT64_MIN, INT64_MAX, -1, 5},
  };
  checkParse(strParseScaledInt64, cases);
  int64_t v = 1;
  expectText(captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseScaledInt64("10Q", &v, 0, INT64_MAX)); }),
             {"Found unknown ending 'Q' in string '10Q' whilst scanning for value"});
  expectText(captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseScaledInt64("K", &v, 0, INT64_MAX)); }),
             {"Illegal number: K"});
  expectText(captureLog(logLevelDebug, [&] { EXPECT_EQ(-1, strParseScaledInt64("2K", &v, 0, 1999)); }),
             {"Value 2K outside range 0 to 1999"});
}

TEST(StrParse, RangeAndRangeList) {
  static const struct {
    const char* text;
    int rc;
    int64_t low, high;  // 11, 12: left alone
  } cases[] = {
      {"", 0, 1, 99},       {nullptr, 0, 1, 99}, {"5", 0, 5, 5},      {"5-", 0, 5, 99},  {"-7", 0, 1, 7},
      {" 3 - 7 ", 0, 3, 7}, {"7-3", 0, 7, 3},    {"3 4", -1, 11, 12}, {"a", -1, 11, 12}, {"1-2-3", -1, 11, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    StrRange r = {11, 12};
    EXPECT_EQ((std::tuple{strParseRange(c.text, &r, 1, 99), r.low, r.high}), std::tuple(c.rc, c.low, c.high));
  }
  StrRange r = {11, 12};
  expectText(captureLog(logLevelError, [&] { EXPECT_EQ(-1, strParseRange("3-x", &r, 1, 99)); }),
             {"Unable to parse '3-x' as a range of values between 1 and 99"});
  StrRangeList list;
  ASSERT_EQ((std::tuple{strParseRangeList("1-3, 7 ,10-", &list, 0, 20), list.count}), std::tuple(0, 3u));
  EXPECT_EQ(std::tuple(strRangeListContains(&list, 2), strRangeListContains(&list, 7), strRangeListContains(&list, 20),
                       strRangeListContains(&list, 5)),
            std::tuple(true, true, true, false));
  strFreeRangeList(&list);
  EXPECT_EQ(
      (std::tuple{strParseRangeList("", &list, 5, 9), strRangeListContains(&list, 9), strRangeListContains(&list, 4)}),
      std::tuple(0, true, false));
  strFreeRangeList(&list);
  EXPECT_EQ((std::tuple{strParseRangeList("none", &list, 5, 9), strRangeListContains(&list, 5)}), std::tuple(0, false));
  strFreeRangeList(&list);
  EXPECT_EQ((std::tuple{strParseRangeList("1-30", &list, 0, 20), strParseRangeList("5-3", &list, 0, 20),
                        strParseRangeList("1,,2", &list, 0, 20), list.count}),
            std::tuple(-1, -1, -1, 0u));
}

TEST(StrArgs, RemoveArgs) {
  char a0[] = "a0", a1[] = "a1", a2[] = "a2", a3[] = "a3";
  char* args[] = {a0, a1, a2, a3, nullptr};
  int count = 4;
  EXPECT_EQ((std::tuple{strRemoveArgs(&count, args, 1, 2), count, args[0], args[1]}), std::tuple(0, 2, a0, a3));
  char* more[] = {a0, a1, a2, a3, nullptr};
  count = 4;
  expectText(captureLog(logLevelError, [&] { EXPECT_EQ(-1, strRemoveArgs(&count, more, 2, 3)); }),
             {"Cannot remove arguments 2..5 from list of 4 arguments."});
  EXPECT_EQ(std::tuple(count, more[2]), std::tuple(4, a2));
  EXPECT_EQ((std::tuple{strRemoveArgs(&count, more, 4, 0), strRemoveArgs(&count, more, 0, 4), count}),
            std::tuple(0, 0, 0));
}

TEST(StrText, BuildingTrimmingAndNumbers) {
  char* text = nullptr;
  uint32_t len = 0;
  EXPECT_EQ((std::tuple{strPrintfAlloc(&text, &len, "%s-%u-%d.tmp", "installer", 42u, 7), std::string(text), len}),
            std::tuple(0, "installer-42-7.tmp", 18u));
  char** list = memNewArray(char*, 3);
  list[0] = text;
  list[1] = memStrDup("second");
  strFreeList(list, 0);
  const char** counted = memNewArray(const char*, 2);
  counted[1] = memStrDup("only the second");
  strFreeList(counted, 2);

  char a[] = "path\\\\//", b[] = "////", c[] = "name.tmp";
  EXPECT_EQ((Texts{strTrimRightChars(a, "\\/"), strTrimRightChars(b, "/"), strRemoveSuffix(c, ".tmp"),
                   strRemoveSuffix(c, ".tmp")}),
            (Texts{"path", "/", "name", "name"}));
  Sb sb;
  EXPECT_EQ((std::tuple{sbAppendUriComponent(&sb, "a b/c~d_e.f-g\xC3\xA9%"), sbAppendUriComponent(&sb, nullptr)}),
            std::tuple(0, 0));
  EXPECT_EQ("a%20b%2Fc~d_e.f-g%C3%A9%25", sbText(&sb));
  char buf[72];
  auto digits = [&buf](int base, int64_t v) { return std::string(strFromInt64(buf, base, v)); };
  EXPECT_EQ((Texts{digits(10, 0), digits(10, -123), digits(16, 255), digits(36, -1295), digits(10, INT64_MIN),
                   digits(2, INT64_MIN), digits(16, INT64_MAX)}),
            (Texts{"0", "-123", "ff", "-zz", "-9223372036854775808",
                   "-1000000000000000000000000000000000000000000000000000000000000000", "7fffffffffffffff"}));
}

TEST(StrText, BuiltinVariables) {
  char* value = nullptr;
  ASSERT_EQ((std::tuple{strResolveVariable("GUIDv4", &value), strlen(value)}), std::tuple(0, 36u));
  EXPECT_EQ(std::tuple(value[14], strchr("89ab", value[19]) != nullptr,
                       strMatchWildcard("*?-*?-4*?-[89ab]*?-*?", value, true)),
            std::tuple('4', true, true));
  memFree(value);
  EXPECT_EQ((std::tuple{strResolveVariable("LISTALL", &value), value && strstr(value, "GUIDv4")}), std::tuple(0, true));
  memFree(value);
  EXPECT_EQ((std::tuple{strResolveVariable("NoSuchName", &value), value}), std::tuple(-1, nullptr));
}
