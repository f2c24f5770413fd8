// StringBuffer: growth, validity states, editing, appending and escaping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "memory.h"
#include "stringbuf.h"
#include "test_sb_helpers.h"

namespace {

// One edit: the text before, what is done, its result and the text after.
struct EditCase {
  const char* before;
  int (*edit)(StringBuffer*);
  int rc;
  std::string after;
};

void checkEdits(std::initializer_list<EditCase> cases) {
  for (const EditCase& c : cases) {
    Sb sb(c.before);
    EXPECT_EQ((std::tuple{c.edit(&sb), sbText(&sb)}), std::tuple(c.rc, c.after)) << c.before;
  }
}

}  // namespace

TEST(StringBufGrowth, CapacityDoublesFrom64AndLimitsRefuseWithoutDamage) {
  Sb sb;
  ASSERT_EQ((std::tuple{sbAppendChar(&sb, 'a'), sb.b.capacity}), std::tuple(0, 64u));
  char* block = sb.b.data;
  for (int i = 1; i < 62; i++) ASSERT_EQ(sbAppendChar(&sb, 'a'), 0);
  EXPECT_EQ(std::tuple(sbGetLength(&sb), sb.b.capacity, sb.b.data), std::tuple(62u, 64u, block));
  ASSERT_EQ(sbAppendChar(&sb, 'a'), 0);
  EXPECT_EQ(std::tuple(sb.b.capacity, sb.b.data[63], sb.b.dataCheck),
            std::tuple(128u, 0, (uint32_t)(uintptr_t)sb.b.data));
  EXPECT_EQ((std::tuple{sbEnsureCapacity(&sb, 1000), sb.b.capacity, sbGetLength(&sb)}), std::tuple(0, 1024u, 63u));
  Sb keep("keep");
  EXPECT_EQ((std::tuple{sbEnsureCapacity(&keep, sbMaxCapacity), sbEnsureCapacity(&keep, 0xFFFFFFFFu),
                        sbAppendData(&keep, "x", 0xFFFFFFF0u), sbText(&keep), sbIsGrowable(&keep)}),
            std::tuple(-1, -1, -1, "keep", true));
}

TEST(StringBufStates, CleanedOrMismatchedBufferIsInvalidAndFixedViewReadOnly) {
  Sb sb("abc");
  sbClean(&sb);
  EXPECT_EQ(std::tuple(sb.b.magic, sb.b.dataCheck, sbIsValid(&sb)), std::tuple((uint32_t)sbMagicFreed, 0xFFFFu, false));
  EXPECT_EQ((std::tuple{sbGet(&sb), sbPointer(&sb), sbTakeString(&sb)}), std::tuple(nullptr, nullptr, nullptr));
  EXPECT_EQ((std::tuple{sbAppendString(&sb, "x"), sbEnsureCapacity(&sb, 10)}), std::tuple(-1, -1));
  sbClean(&sb);  // twice is harmless
  EXPECT_EQ(sb.b.data, nullptr);
  Sb bad("abc");
  bad.b.dataCheck ^= 1;
  EXPECT_EQ((std::tuple{sbIsValid(&bad), sbAppendChar(&bad, 'd')}), std::tuple(false, -1));
  bad.b.dataCheck ^= 1;
  EXPECT_EQ((std::tuple{sbAppendChar(&bad, 'd'), sbText(&bad)}), std::tuple(0, "abcd"));
  // A fixed view is valid but read-only.
  const char bytes[] = "hello";
  StringBuffer v;
  sbInitFixedHere(&v, bytes, 5);
  EXPECT_EQ(std::tuple(sbIsValid(&v), sbIsGrowable(&v), sbGet(&v)), std::tuple(true, false, bytes));
  EXPECT_EQ((std::tuple{sbAppendChar(&v, 'x'), sbEnsureCapacity(&v, 3), sbSetByteAt(&v, 0, 'j')}),
            std::tuple(-1, -1, -1));
  sbEmpty(&v);
  EXPECT_EQ(sbGetLength(&v), 5u);
  sbClean(&v), sbClean(&v);
  EXPECT_EQ(std::tuple(v.magic, std::string(bytes)), std::tuple((uint32_t)sbMagicFixed, "hello"));
  // Taking the string copies the bytes into a block of the caller's.
  char* copy = sbTakeString(&v);
  EXPECT_EQ(std::tuple(copy == bytes, std::string(copy ? copy : "<null>")), std::tuple(false, "hello"));
  memFree(copy);
}

TEST(StringBufAccess, TakeStringAndAdopt) {
  Sb sb("owned");
  char *s = sbTakeString(&sb), *e = nullptr;
  // No block yet, but the empty text; an empty buffer then gives the static empty string, which memFree ignores.
  EXPECT_EQ((std::tuple{std::string(s), sbIsGrowable(&sb), sbHasNoData(&sb), sbGetLength(&sb), sbText(&sb),
                        std::string(e = sbTakeString(&sb))}),
            std::tuple("owned", true, true, 0u, "", ""));
  memFree(s);
  memFree(e);
  EXPECT_EQ((std::tuple{sbAppendString(&sb, "again"), sbText(&sb)}), std::tuple(0, "again"));
  Sb adopted("old");
  char* block = static_cast<char*>(memAlloc(10));
  memcpy(block, "new!", 4);
  EXPECT_EQ((std::tuple{sbAdopt(&adopted, block, 4), sbText(&adopted), adopted.b.capacity}),
            std::tuple(5u, "new!", 5u));
  EXPECT_EQ((std::tuple{sbAppendString(&adopted, " more"), sbText(&adopted)}), std::tuple(0, "new! more"));
}

TEST(StringBufEdit, SetLengthRemoveTrimReplace) {
  checkEdits({
      {"abcdefg", [](StringBuffer* b) { return sbRemove(b, 2, 5); }, 0, "abfg"},
      {"abfg", [](StringBuffer* b) { return sbRemove(b, 4, 5); }, -1, "abfg"},
      {"abfg", [](StringBuffer* b) { return sbRemove(b, 2, 2); }, -1, "abfg"},
      {"abfg", [](StringBuffer* b) { return sbRemove(b, 1, 100); }, 0, "a"},
      {"abcdefg", [](StringBuffer* b) { return sbRemove(b, 0, 100); }, 0, ""},
      {" \t hello world \r\n", [](StringBuffer* b) { return sbTrim(b); }, 0, "hello world"},
      {"   ", [](StringBuffer* b) { return sbTrim(b); }, 0, ""},
      {"--==x=y==--", [](StringBuffer* b) { return sbTrimSet(b, "-="); }, 0, "x=y"},
      // Scanning goes on after the inserted text.
      {"aXbXc", [](StringBuffer* b) { return sbReplaceAll(b, "X", "XX"); }, 0, "aXXbXXc"},
      {"aXXbXXc", [](StringBuffer* b) { return sbReplaceFirst(b, "XX", "-"); }, 0, "a-bXXc"},
      {"a-bXXc", [](StringBuffer* b) { return sbReplaceAll(b, "XX", ""); }, 0, "a-bc"},
      {"a-bc", [](StringBuffer* b) { return sbReplaceAll(b, "Q", "x"); }, -1, "a-bc"},
      {"a-bc", [](StringBuffer* b) { return sbReplaceAll(b, "", "x"); }, -1, "a-bc"},
  });
  Sb sb("abcdef");
  uint32_t len = 0;
  EXPECT_EQ((std::tuple{sbSetLength(&sb, sb.b.capacity, &len), len}), std::tuple(-1, 6u));
  EXPECT_EQ((std::tuple{sbSetLength(&sb, 3, &len), len, sbText(&sb)}), std::tuple(0, 3u, "abc"));
  Sb none;
  EXPECT_EQ(sbSetLength(&none, 0, nullptr), -1);
}

TEST(StringBufEdit, ByteAccessAndSearch) {
  Sb sb("a/b\xE9");
  int16_t v = 0;
  EXPECT_EQ((std::tuple{sbGetByteAt(&sb, 3, &v), v}), std::tuple(0, -23));  // 0xE9 sign-extended
  EXPECT_EQ((std::tuple{sbGetByteAt(&sb, 4, &v), sbSetByteAt(&sb, 0, 'x'), sbSetByteAt(&sb, 4, 'x')}),
            std::tuple(-1, 0, -1));
  uint32_t at = 99;
  EXPECT_EQ((std::tuple{sbFindByte(&sb, '/', 0, &at), at}), std::tuple(0, 1u));
  EXPECT_EQ((std::tuple{sbFindByte(&sb, '/', 2, &at), sbFindByte(&sb, 'x', 4, &at)}), std::tuple(-1, -1));
  // The last '/' (-1: none); index 0 is never examined, a NUL ends the search.
  const std::pair<std::string, int> lasts[] = {{"a/b/c", 3}, {"/abc", -1}, {"/", -1}, {std::string("a/\0bc", 5), -1}};
  for (const auto& [text, want] : lasts) {
    Sb t;
    sbAppendData(&t, text.data(), (uint32_t)text.size());
    EXPECT_EQ(sbFindLastByte(&t, '/', &at) == 0 ? (int)at : -1, want) << text;
  }
}

TEST(StringBufAppend, DataStringsNulAndMove) {
  Sb sb;
  EXPECT_EQ((std::tuple{sbAppendData(&sb, "ab", 0), sbHasNoData(&sb)}), std::tuple(0, true));
  EXPECT_EQ((std::tuple{sbAppendWithNul(&sb, "ab"), sbAppendString(&sb, "cd"), sbGetLength(&sb)}),
            std::tuple(0, 0, 5u));
  EXPECT_EQ(memcmp(sbGet(&sb), "ab\0cd", 6), 0);
  Sb other("xyz");
  EXPECT_EQ((std::tuple{sbAppendStringBuffer(&sb, &other), sbText(&sb)}), std::tuple(0, std::string("ab\0cdxyz", 8)));
  // A move hands the block to an empty destination.
  Sb src("payload");
  char* block = src.b.data;
  Sb dst;
  EXPECT_EQ((std::tuple{sbMoveStringBuffer(&dst, &src), dst.b.data, sbText(&dst)}), std::tuple(0, block, "payload"));
  EXPECT_EQ(std::tuple(sbIsGrowable(&src), sbHasNoData(&src)), std::tuple(true, true));
  // Into a destination with text the bytes are appended and the source emptied.
  Sb more(" and more");
  EXPECT_EQ((std::tuple{sbMoveStringBuffer(&dst, &more), sbText(&dst), sbGetLength(&more), sbHasNoData(&more)}),
            std::tuple(0, "payload and more", 0u, false));
}

TEST(StringBufAppend, PrintfGrowsAndDropsHugeTextAndFormats) {
  Sb sb("n=");
  EXPECT_EQ((std::tuple{sbPrintf(&sb, "%d/%s", 42, "x"), sbText(&sb)}), std::tuple(0, "n=42/x"));
  std::string big(1000, 'q');
  EXPECT_EQ((std::tuple{sbPrintf(&sb, "[%s]", big.c_str()), sbText(&sb)}), std::tuple(0, "n=42/x[" + big + "]"));
  // Exactly at a chunk boundary.
  Sb edge;
  std::string s127(127, 'e');
  EXPECT_EQ((std::tuple{sbPrintf(&edge, "%s", s127.c_str()), sbText(&edge)}), std::tuple(0, s127));
  // 4 MiB or more in one append: dropped, still 0.
  Sb huge("keep");
  EXPECT_EQ((std::tuple{sbPrintf(&huge, "%*s", 5000000, "x"), sbText(&huge)}), std::tuple(0, "keep"));
  EXPECT_EQ((std::tuple{sbSetPrintf(&huge, "%u", 7u), sbText(&huge)}), std::tuple(0, "7"));
  checkEdits({
      {"", [](StringBuffer* b) { return sbAppendUInt16(b, 65535); }, 0, "65535"},
      {"", [](StringBuffer* b) { return sbAppendUInt32(b, 4294967295u); }, 0, "4294967295"},
      {"", [](StringBuffer* b) { return sbAppendUInt64(b, 18446744073709551615ull); }, 0, "18446744073709551615"},
      {"", [](StringBuffer* b) { return sbAppendTrimmed(b, "  ab c  ", -1); }, 0, "ab c"},
      {"", [](StringBuffer* b) { return sbAppendTrimmed(b, " de  fg", 5); }, 0, "de"},
      {"", [](StringBuffer* b) { return sbAppendTrimmed(b, " h\0ij", 10); }, 0, "h"},
      {"", [](StringBuffer* b) { return sbAppendPrintable(b, "a\x01\"b'\xC3\xA9\tc~", false); }, 0, "abc~"},
      {"", [](StringBuffer* b) { return sbAppendPrintable(b, "'x\"", true); }, 0, "'x\""},
      {"", [](StringBuffer* b) { return sbAppendQuotedValue(b, "a b#c=d\\e\"f\ng", true); }, 0,
       "\"a b\\#c\\=d\\\\e\\\"f\\ng\""},
      {"", [](StringBuffer* b) { return sbAppendQuotedValue(b, "a b", false); }, 0, "a\\ b"},
      {"", [](StringBuffer* b) { return sbAppendQuotedValue(b, "abc", true); }, 0, "abc"},
      {"", [](StringBuffer* b) { return sbAppendUrlEscaped(b, "a b/c?d:~", 1); }, 0, "a%20b/c?d:%7E"},
      {"", [](StringBuffer* b) { return sbAppendUrlEscaped(b, "a b/c?d:~", 2); }, 0, "a%20b/c%3Fd%3A%7E"},
      {"", [](StringBuffer* b) { return sbAppendUrlEscaped(b, "a b/c?d:~", 0); }, 0, "a%20b%2Fc%3Fd%3A%7E"},
      {"", [](StringBuffer* b) { return sbAppendUrlEscaped(b, "\xC3\xA9", 3); }, 0, "%C3%A9"},
  });
  Sb hex, bytes;
  EXPECT_EQ((std::tuple{sbAppendHexByte(&hex, 0x0F), sbAppendHexByte(&hex, 0xA0),
                        sbAppendData(&bytes, "\x00\xff\x10", 3), sbAppendHex(&hex, &bytes), sbText(&hex)}),
            std::tuple(0, 0, 0, 0, "0fa000ff10"));
}

TEST(StringBufTokens, NextTokenOverFixedViewAndNextWordInPlace) {
  const char list[] = " a , b,,c ";
  StringBuffer v;
  sbInitFixedHere(&v, list, (uint32_t)strlen(list));
  v.length = 0;
  Sb out;
  std::string seen;
  while (sbNextToken(&v, &out)) seen += "[" + sbText(&out) + "]";
  EXPECT_EQ((std::tuple{seen, sbNextToken(&v, &out)}), std::tuple("[a][b][][c]", false));
  Sb sb("  one two\tthree  ");
  char* cursor = nullptr;
  seen.clear();
  while (char* w = sbNextWord(&sb, &cursor)) seen += "[" + std::string(w) + "]";
  EXPECT_EQ(seen, "[one][two][three]");
}

// Misuse the buffer cannot survive ends the process: emptying a cleaned buffer, tokens from a growable one.
TEST(StringBufDeathTest, MisuseEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Sb cleaned, growable("a,b"), out;
  sbClean(&cleaned);
  EXPECT_EXIT(sbEmpty(&cleaned), testing::ExitedWithCode(3),
              "Sequencing error; call to empty StringBuffer .memory error: c1ea.");
  EXPECT_EXIT(sbNextToken(&growable, &out), testing::ExitedWithCode(3), "Cannot iterate over non-fixed SB");
}
