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
    EXPECT_EQ(c.edit(&sb), c.rc) << c.before << " -> " << c.after;
    EXPECT_EQ(sbText(&sb), c.after) << c.before;
  }
}

}  // namespace

TEST(StringBufGrowth, CapacityDoublesFrom64) {
  Sb sb;
  ASSERT_EQ(sbAppendChar(&sb, 'a'), 0);
  EXPECT_EQ(sb.b.capacity, 64u);
  char* block = sb.b.data;
  for (int i = 1; i < 62; i++) ASSERT_EQ(sbAppendChar(&sb, 'a'), 0);
  EXPECT_EQ(sbGetLength(&sb), 62u);
  EXPECT_EQ(sb.b.capacity, 64u);
  EXPECT_EQ(sb.b.data, block);
  ASSERT_EQ(sbAppendChar(&sb, 'a'), 0);
  EXPECT_EQ(sb.b.capacity, 128u);
  EXPECT_EQ(sb.b.data[63], 0);
  EXPECT_EQ(sb.b.dataCheck, (uint32_t)(uintptr_t)sb.b.data);
  ASSERT_EQ(sbEnsureCapacity(&sb, 1000), 0);
  EXPECT_EQ(sb.b.capacity, 1024u);
  EXPECT_EQ(sbGetLength(&sb), 63u);
}

TEST(StringBufGrowth, LimitsRefuseWithoutDamage) {
  Sb sb("keep");
  EXPECT_EQ(sbEnsureCapacity(&sb, sbMaxCapacity), -1);
  EXPECT_EQ(sbEnsureCapacity(&sb, 0xFFFFFFFFu), -1);
  EXPECT_EQ(sbAppendData(&sb, "x", 0xFFFFFFF0u), -1);
  EXPECT_STREQ(sbGet(&sb), "keep");
  EXPECT_TRUE(sbIsGrowable(&sb));
}

TEST(StringBufStates, CleanedBufferIsInvalid) {
  StringBuffer sb;
  sbInitHere(&sb);
  sbAppendString(&sb, "abc");
  sbClean(&sb);
  EXPECT_EQ(sb.magic, (uint32_t)sbMagicFreed);
  EXPECT_EQ(sb.dataCheck, 0xFFFFu);
  EXPECT_FALSE(sbIsValid(&sb));
  EXPECT_EQ(sbGet(&sb), nullptr);
  EXPECT_EQ(sbPointer(&sb), nullptr);
  EXPECT_EQ(sbTakeString(&sb), nullptr);
  EXPECT_EQ(sbAppendString(&sb, "x"), -1);
  EXPECT_EQ(sbEnsureCapacity(&sb, 10), -1);
  sbClean(&sb);  // twice is harmless
  EXPECT_EQ(sb.data, nullptr);
}

TEST(StringBufStates, MismatchedDataCheckIsInvalid) {
  Sb sb("abc");
  sb.b.dataCheck ^= 1;
  EXPECT_FALSE(sbIsValid(&sb));
  EXPECT_EQ(sbAppendChar(&sb, 'd'), -1);
  sb.b.dataCheck ^= 1;
  EXPECT_EQ(sbAppendChar(&sb, 'd'), 0);
  EXPECT_STREQ(sbGet(&sb), "abcd");
}

TEST(StringBufStatesDeathTest, EmptyingACleanedBufferEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        StringBuffer sb;
        sbInitHere(&sb);
        sbClean(&sb);
        sbEmpty(&sb);
      },
      testing::ExitedWithCode(3), "Sequencing error; call to empty StringBuffer .memory error: c1ea.");
}

TEST(StringBufStates, FixedViewIsReadOnly) {
  const char bytes[] = "hello";
  StringBuffer v;
  sbInitFixedHere(&v, bytes, 5);
  EXPECT_TRUE(sbIsValid(&v));
  EXPECT_FALSE(sbIsGrowable(&v));
  EXPECT_EQ(sbGet(&v), bytes);
  EXPECT_EQ(sbAppendChar(&v, 'x'), -1);
  EXPECT_EQ(sbEnsureCapacity(&v, 3), -1);
  EXPECT_EQ(sbSetByteAt(&v, 0, 'j'), -1);
  sbEmpty(&v);
  EXPECT_EQ(sbGetLength(&v), 5u);
  sbClean(&v);
  sbClean(&v);
  EXPECT_EQ(v.magic, (uint32_t)sbMagicFixed);
  EXPECT_STREQ(bytes, "hello");
  // Taking the string copies the bytes into a block of the caller's.
  char* copy = sbTakeString(&v);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, bytes);
  EXPECT_STREQ(copy, "hello");
  memFree(copy);
}

TEST(StringBufAccess, TakeStringLeavesEmptyValidBuffer) {
  Sb sb("owned");
  char* s = sbTakeString(&sb);
  EXPECT_STREQ(s, "owned");
  EXPECT_TRUE(sbIsGrowable(&sb));
  EXPECT_TRUE(sbHasNoData(&sb));
  EXPECT_EQ(sbGetLength(&sb), 0u);
  EXPECT_STREQ(sbGet(&sb), "");  // no block yet
  memFree(s);
  // An empty buffer gives the static empty string, which memFree ignores.
  char* e = sbTakeString(&sb);
  EXPECT_STREQ(e, "");
  memFree(e);
  EXPECT_EQ(sbAppendString(&sb, "again"), 0);
  EXPECT_STREQ(sbGet(&sb), "again");
}

TEST(StringBufAccess, AdoptTakesBlock) {
  Sb sb("old");
  char* block = static_cast<char*>(memAlloc(10));
  memcpy(block, "new!", 4);
  EXPECT_EQ(sbAdopt(&sb, block, 4), 5u);
  EXPECT_STREQ(sbGet(&sb), "new!");
  EXPECT_EQ(sb.b.capacity, 5u);
  EXPECT_EQ(sbAppendString(&sb, " more"), 0);
  EXPECT_STREQ(sbGet(&sb), "new! more");
}

TEST(StringBufEdit, SetLength) {
  Sb sb("abcdef");
  uint32_t len = 0;
  EXPECT_EQ(sbSetLength(&sb, sb.b.capacity, &len), -1);
  EXPECT_EQ(len, 6u);
  EXPECT_EQ(sbSetLength(&sb, 3, &len), 0);
  EXPECT_EQ(len, 3u);
  EXPECT_STREQ(sbGet(&sb), "abc");
  Sb none;
  EXPECT_EQ(sbSetLength(&none, 0, nullptr), -1);
}

TEST(StringBufEdit, RemoveTrimReplace) {
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
}

TEST(StringBufEdit, ByteAccessAndSearch) {
  Sb sb("a/b\xE9");
  int16_t v = 0;
  EXPECT_EQ(sbGetByteAt(&sb, 3, &v), 0);
  EXPECT_EQ(v, -23);  // 0xE9 sign-extended
  EXPECT_EQ(sbGetByteAt(&sb, 4, &v), -1);
  EXPECT_EQ(sbSetByteAt(&sb, 0, 'x'), 0);
  EXPECT_EQ(sbSetByteAt(&sb, 4, 'x'), -1);
  uint32_t at = 99;
  EXPECT_EQ(sbFindByte(&sb, '/', 0, &at), 0);
  EXPECT_EQ(at, 1u);
  EXPECT_EQ(sbFindByte(&sb, '/', 2, &at), -1);
  EXPECT_EQ(sbFindByte(&sb, 'x', 4, &at), -1);
  // The last '/' (-1: none); index 0 is never examined, a NUL ends the search.
  const std::pair<std::string, int> lasts[] = {{"a/b/c", 3}, {"/abc", -1}, {"/", -1}, {std::string("a/\0bc", 5), -1}};
  for (const auto& [text, want] : lasts) {
    Sb t;
    sbAppendData(&t, text.data(), (uint32_t)text.size());
    EXPECT_EQ(sbFindLastByte(&t, '/', &at) == 0 ? (int)at : -1, want) << text;
  }
}

TEST(StringBufAppend, DataStringsAndNul) {
  Sb sb;
  EXPECT_EQ(sbAppendData(&sb, "ab", 0), 0);
  EXPECT_TRUE(sbHasNoData(&sb));
  EXPECT_EQ(sbAppendWithNul(&sb, "ab"), 0);
  EXPECT_EQ(sbAppendString(&sb, "cd"), 0);
  EXPECT_EQ(sbGetLength(&sb), 5u);
  EXPECT_EQ(memcmp(sbGet(&sb), "ab\0cd", 6), 0);
  Sb other("xyz");
  EXPECT_EQ(sbAppendStringBuffer(&sb, &other), 0);
  EXPECT_EQ(sbText(&sb), std::string("ab\0cdxyz", 8));
}

TEST(StringBufAppend, MoveHandsBlockToEmptyDestination) {
  Sb src("payload");
  char* block = src.b.data;
  Sb dst;
  EXPECT_EQ(sbMoveStringBuffer(&dst, &src), 0);
  EXPECT_EQ(dst.b.data, block);
  EXPECT_STREQ(sbGet(&dst), "payload");
  EXPECT_TRUE(sbIsGrowable(&src));
  EXPECT_TRUE(sbHasNoData(&src));
  // Into a destination with text the bytes are appended and the source emptied.
  Sb more(" and more");
  EXPECT_EQ(sbMoveStringBuffer(&dst, &more), 0);
  EXPECT_STREQ(sbGet(&dst), "payload and more");
  EXPECT_EQ(sbGetLength(&more), 0u);
  EXPECT_FALSE(sbHasNoData(&more));
}

TEST(StringBufAppend, PrintfGrowsAndDropsHugeText) {
  Sb sb("n=");
  EXPECT_EQ(sbPrintf(&sb, "%d/%s", 42, "x"), 0);
  EXPECT_STREQ(sbGet(&sb), "n=42/x");
  std::string big(1000, 'q');
  EXPECT_EQ(sbPrintf(&sb, "[%s]", big.c_str()), 0);
  EXPECT_EQ(sbText(&sb), "n=42/x[" + big + "]");
  // Exactly at a chunk boundary.
  Sb edge;
  std::string s127(127, 'e');
  EXPECT_EQ(sbPrintf(&edge, "%s", s127.c_str()), 0);
  EXPECT_EQ(sbText(&edge), s127);
  // 4 MiB or more in one append: dropped, still 0.
  Sb huge("keep");
  EXPECT_EQ(sbPrintf(&huge, "%*s", 5000000, "x"), 0);
  EXPECT_STREQ(sbGet(&huge), "keep");
  EXPECT_EQ(sbSetPrintf(&huge, "%u", 7u), 0);
  EXPECT_STREQ(sbGet(&huge), "7");
}

TEST(StringBufAppend, Formats) {
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
  Sb sb, bytes;
  sbAppendHexByte(&sb, 0x0F);
  sbAppendHexByte(&sb, 0xA0);
  sbAppendData(&bytes, "\x00\xff\x10", 3);
  EXPECT_EQ(sbAppendHex(&sb, &bytes), 0);
  EXPECT_STREQ(sbGet(&sb), "0fa000ff10");
}

TEST(StringBufTokens, NextTokenOverFixedView) {
  const char list[] = " a , b,,c ";
  StringBuffer v;
  sbInitFixedHere(&v, list, (uint32_t)strlen(list));
  v.length = 0;
  Sb out;
  std::string seen;
  while (sbNextToken(&v, &out)) {
    seen += '[';
    seen.append(sbGet(&out), sbGetLength(&out));
    seen += ']';
  }
  EXPECT_EQ(seen, "[a][b][][c]");
  EXPECT_FALSE(sbNextToken(&v, &out));
}

TEST(StringBufTokensDeathTest, NextTokenOnGrowableEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Sb sb("a,b");
        Sb out;
        sbNextToken(&sb, &out);
      },
      testing::ExitedWithCode(3), "Cannot iterate over non-fixed SB");
}

TEST(StringBufTokens, NextWordSplitsInPlace) {
  Sb sb("  one two\tthree  ");
  char* cursor = nullptr;
  std::string seen;
  while (char* w = sbNextWord(&sb, &cursor)) {
    seen += '[';
    seen += w;
    seen += ']';
  }
  EXPECT_EQ(seen, "[one][two][three]");
}
