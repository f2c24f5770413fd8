// SortMap: order, key kinds, the removal-tolerant iterator, growth, text
// save and load, and ${name} resolution between values.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "memory.h"
#include "sortmap.h"
#include "strutil.h"
#include "test_sb_helpers.h"
#include "test_text_helpers.h"
#include "testenv.h"

namespace {

int freedValues = 0;
void countingFree(void* value) {
  freedValues++;
  memFree(value);
}

std::vector<std::string> keysOf(SortMap* m) {
  std::vector<std::string> keys;
  const char* key = nullptr;
  for (void* v = smFirst(m, &key); v; v = smNext(m, &key)) keys.push_back(key);
  return keys;
}

std::string saved(SortMap* m) {
  Sb sb;
  EXPECT_EQ(0, smSave(m, nullptr, &sb));
  return sbText(&sb);
}

const char* text(SortMap* m, const char* key) { return static_cast<const char*>(smGet(m, key)); }

// The values of the keys as texts, "<null>" for a key not in the map.
std::vector<std::string> texts(SortMap* m, std::initializer_list<const char*> keys) {
  std::vector<std::string> values;
  for (const char* k : keys) values.push_back(text(m, k) ? text(m, k) : "<null>");
  return values;
}
using Texts = std::vector<std::string>;

// What the sortmap category logs at `level` while fn runs.
template <typename Fn>
std::string captureLog(uint32_t level, Fn fn) {
  return testCaptureLog(logCatSortMap, level, fn);
}

// A map of the given kind, destroyed at scope exit; it converts to the map.
struct Map {
  SortMap* m;
  explicit Map(uint32_t kind = SORTMAP_COPIED_KEYS, SmValueFree valueFree = smFreeText)
      : m(smCreateHere(kind, valueFree)) {}
  ~Map() { smDestroy(m); }
  operator SortMap*() const { return m; }
};

// Walks the map (backward when `reverse`), removing the current entry where removeAt(values seen) holds; the values
// seen. A finished walk leaves no key.
Texts walkRemoving(SortMap* m, bool reverse, bool (*removeAt)(size_t)) {
  Texts seen;
  const char* key = nullptr;
  for (void* v = reverse ? smLast(m, &key) : smFirst(m, &key); v; v = reverse ? smPrevious(m, &key) : smNext(m, &key)) {
    seen.push_back(static_cast<const char*>(v));
    EXPECT_EQ(removeAt(seen.size()) ? smRemove(m, key) : 0, 0);
  }
  EXPECT_EQ(key, nullptr);
  return seen;
}

// "key0007" and the like.
std::string numbered(const char* prefix, int i) {
  char k[24];
  snprintf(k, sizeof k, "%s%04d", prefix, i);
  return k;
}

}  // namespace

TEST(SortMap, OrderAndLookup) {
  Map m;
  const char* words[] = {"pear", "apple", "zebra", "Mango", "kiwi", "banana", "apple2", "", "\xC3\xA9t\xC3\xA9"};
  for (const char* w : words) ASSERT_EQ(0, smPutCopy(m, w, w));
  EXPECT_EQ(std::tuple(smCount(m), keysOf(m)), std::tuple(9u, Texts{"", "Mango", "apple", "apple2", "banana", "kiwi",
                                                                    "pear", "zebra", "\xC3\xA9t\xC3\xA9"}));
  for (const char* w : words) EXPECT_STREQ(w, text(m, w));
  uint32_t index = 99;
  EXPECT_EQ((std::tuple{smFind(m, "kiwi", &index), uint32_t{index}, smFind(m, "mango", &index), index}),
            std::tuple(0, 5u, -1, 5u));
  EXPECT_EQ(std::tuple(smGet(m, "missing"), smGet(m, nullptr)), std::tuple(nullptr, nullptr));
  smDestroy(nullptr);
}

// Each step: the call's result, the one expected, and how many values the map has freed by then.
TEST(SortMap, InsertPutReplaceRemove) {
  freedValues = 0;
  int step = 0;
  auto check = [&step](int got, int want, int freed) {
    step++;
    EXPECT_EQ(got, want) << "step " << step;
    EXPECT_EQ(freedValues, freed) << "step " << step;
  };
  SortMap* m = smCreateHere(SORTMAP_COPIED_KEYS, countingFree);
  char* dup = memStrDup("two");
  check(smInsert(m, "k", memStrDup("one")), 0, 0);
  check(smInsert(m, "k", dup), -1, 0);
  check(smPut(m, "k", dup), 0, 1);
  EXPECT_STREQ("two", text(m, "k"));
  check(smInsert(m, nullptr, dup), -1, 1);
  check(smInsert(m, "x", nullptr), -1, 1);
  check(smPutCopy(m, "x", nullptr), -1, 1);
  check(smReplace(m, "absent", dup), -1, 1);
  check(smReplace(m, "k", memStrDup("three")), 0, 2);
  check(smPutIfChanged(m, "k", "three"), false, 2);
  check(smPutIfChanged(m, "k", "four"), true, 3);
  check(smPutU64(m, "n", 18446744073709551615ull), true, 3);
  EXPECT_STREQ("18446744073709551615", text(m, "n"));
  check(smPutU64(m, "n", 18446744073709551615ull), false, 3);
  check(smRemove(m, "absent"), -1, 3);
  check(smRemove(m, "n"), 0, 4);
  char* taken = static_cast<char*>(smTake(m, "k"));
  EXPECT_STREQ("four", taken);
  check((int)smCount(m), 0, 4);
  EXPECT_EQ(nullptr, smTake(m, "k"));
  check(smInsert(m, "d", taken), 0, 4);
  check(smDetach(m, "d"), 0, 4);
  memFree(taken);
  smPutCopy(m, "last", "x");
  smDestroy(m);
  EXPECT_EQ(5, freedValues);
}

TEST(SortMap, KeyKinds) {
  // Kind 0 stores the caller's pointer.
  static const char sharedKey[] = "shared";
  static int value = 1;
  const char* key = nullptr;
  Map shared(SORTMAP_SHARED_KEYS, nullptr);
  ASSERT_EQ(0, smInsert(shared, sharedKey, &value));
  EXPECT_EQ((std::tuple{smFirst(shared, &key), key}), std::tuple((void*)&value, sharedKey));
  // Kind 1 copies.
  char buf[] = "copied";
  Map copied(SORTMAP_COPIED_KEYS, nullptr);
  ASSERT_EQ(0, smInsert(copied, buf, &value));
  buf[0] = 'X';
  EXPECT_EQ(&value, smGet(copied, "copied"));
  // Kind 2 folds case, Unicode letters included.
  Map caseless(SORTMAP_CASELESS_KEYS);
  ASSERT_EQ(0, smPutCopy(caseless, "Foo", "1"));
  char* two = memStrDup("2");
  EXPECT_EQ(-1, smInsert(caseless, "FOO", two));
  memFree(two);
  for (auto [k, v] : {std::pair{"\xC3\x84rger", "2"}, {"bar", "3"}, {"Zed", "4"}})
    ASSERT_EQ(0, smPutCopy(caseless, k, v));
  EXPECT_EQ(texts(caseless, {"fOo", "\xC3\xA4RGER"}), (Texts{"1", "2"}));
  EXPECT_EQ(std::tuple(keysOf(caseless), smCount(caseless)),
            std::tuple(Texts{"bar", "Foo", "Zed", "\xC3\x84rger"}, 4u));
  // Kind 3 takes the caller's block over and frees it.
  Map taken(SORTMAP_TAKEN_KEYS);
  ASSERT_EQ(0, smPut(taken, memStrDup("taken"), memStrDup("a")));
  ASSERT_EQ(0, smPut(taken, memStrDup("taken"), memStrDup("b")));  // the second key block is freed too
  EXPECT_STREQ("b", text(taken, "taken"));
  // Caseless keys with bytes that are no UTF-8 (octal 377 and 376) stay apart and findable.
  Map m(SORTMAP_CASELESS_KEYS);
  const char* keys[] = {"a\377", "ab", "a\303\251", "A", "a\376b", "\377", "B"};
  for (const char* k : keys) ASSERT_EQ(0, smPutCopy(m, k, k));
  for (const char* k : keys) EXPECT_STREQ(k, text(m, k)) << k;
  EXPECT_EQ(7u, smCount(m));
}

// Removing entries while walking (the current one where removeAt holds for the count of values seen) visits each
// entry once, forward and backward.
TEST(SortMap, IteratorRemovalReverseAndToArray) {
  Map m;
  Texts all;
  for (int i = 0; i < 10; i++) smPutCopy(m, numbered("k", i).c_str(), all.emplace_back(numbered("k", i)).c_str());
  EXPECT_EQ(walkRemoving(m, false, [](size_t) { return true; }), all);
  const char* key = "x";
  EXPECT_EQ((std::tuple{smCount(m), smFirst(m, &key), static_cast<const char*>(key), smLast(m, &key)}),
            std::tuple(0u, nullptr, nullptr, nullptr));
  for (const char* k : {"a", "b", "c", "d"}) smPutCopy(m, k, k);
  EXPECT_EQ(walkRemoving(m, false, [](size_t n) { return n % 2 == 1; }), (Texts{"a", "b", "c", "d"}));
  EXPECT_EQ((Texts{"b", "d"}), keysOf(m));
  smPutCopy(m, "c", "c");
  EXPECT_EQ(walkRemoving(m, true, [](size_t n) { return n == 2; }), (Texts{"d", "c", "b"}));
  EXPECT_EQ((Texts{"b", "d"}), keysOf(m));
  // The keys in order as a list the caller frees; the values are freed and the map is gone.
  Map empty;
  const char** none = smToArray(&empty.m);
  EXPECT_EQ(std::tuple(empty.m, none != nullptr && none[0] == nullptr), std::tuple(nullptr, true));
  strFreeList(none, 0);

  freedValues = 0;
  Map arr(SORTMAP_CASELESS_KEYS, countingFree);
  for (const char* k : {"b.txt", "A.txt", "c.txt"}) smPutCopy(arr, k, "v");
  const char** names = smToArray(&arr.m);
  Texts got;
  for (const char** n = names; n && *n && got.size() < 4; n++) got.push_back(*n);
  EXPECT_EQ(std::tuple(freedValues, got), std::tuple(3, Texts{"A.txt", "b.txt", "c.txt"}));
  strFreeList(names, 0);
}

TEST(SortMapDeathTest, IteratorOutOfSyncAborts) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  Map m;
  smPutCopy(m, "a", "1");
  smPutCopy(m, "b", "2");
  const char* key = nullptr;
  smFirst(m, &key);
  const char* stale = "a";  // equal text, different pointer
  EXPECT_DEATH(smNext(m, &stale), "SortMap iterator out of sync");
}

TEST(SortMapText, SaveQuotingAndRoundTrip) {
  Map m;
  const char* pairs[][2] = {{"a b", "x"},
                            {"path", "C:\\Program Files\\Agent\\bin"},
                            {"multi", "line1\nline2\r\n"},
                            {"quote", "\"quoted\" and \\"},
                            {"empty", ""},
                            {"blanks", "  lead and trail  "},
                            {"#hash", "# not a comment; nor = this"},
                            {"utf8", "\xC3\xA9t\xC3\xA9"},
                            {"=eq", "a=b"}};
  for (auto& p : pairs) ASSERT_EQ(0, smPutCopy(m, p[0], p[1]));
  Sb sb;
  ASSERT_EQ(0, smSave(m, nullptr, &sb));
  for (bool shell : {false, true}) {
    Map back;
    ASSERT_EQ(0, smLoadBuf(back, &sb, shell));
    EXPECT_EQ(smCount(m), smCount(back));
    for (auto& p : pairs) EXPECT_STREQ(p[1], text(back, p[0])) << p[0];
    EXPECT_EQ(saved(m), saved(back));
  }
  Map quoting;
  for (auto& p :
       {std::pair{"a b", "x"}, {"multi", "line1\nline2"}, {"plain_1", "Value_2"}, {"q", "say \"hi\" \\ \r"}, {"z", ""}})
    smPutCopy(quoting, p.first, p.second);
  EXPECT_EQ("\"a b\"=x\nmulti=\"line1\\nline2\"\nplain_1=Value_2\nq=\"say \\\"hi\\\" \\\\ \\r\"\nz=\n", saved(quoting));
}

TEST(SortMapText, LoadSyntaxAndMessages) {
  Map m;
  ASSERT_EQ(0, smLoadText(m,
                          "# comment line\n  indented = value with blanks  \r\n\nquoted=\"a\\\"b\" tail\n"
                          "escaped=C:\\\\dir\ndup=1\ndup=2\nexport notshell=1;x=2\n"));
  EXPECT_EQ(texts(m, {"indented", "quoted", "escaped", "dup", "export notshell"}),
            (Texts{"value with blanks", "a\"b tail", "C:\\dir", "2", "1;x=2"}));

  Map shell;
  Sb sb("export A=1; B=\"two;three\"\nexport   C=3");
  EXPECT_EQ((std::tuple{smLoadBuf(shell, &sb, true), saved(shell)}), std::tuple(0, "A=1\nB=\"two;three\"\nC=3\n"));
  Map msgs;
  std::string log = captureLog(logLevelTrace, [&] {
    EXPECT_EQ(0, smLoadText(msgs, "no equals here\nSharedSecret=s3cr3t\nUserPasswd=hunter2\nname=visible\n"));
  });
  expectText(log,
             {"Ignored line no equals here", "Loading SharedSecret=*****", "Loading UserPasswd=*****",
              "Loading name=visible", "smLoadBuf< succeeded loaded 3 keys in map of size 3"},
             {"s3cr3t", "hunter2"});
  EXPECT_STREQ("s3cr3t", text(msgs, "SharedSecret"));

  Map shared(SORTMAP_SHARED_KEYS, nullptr);
  log = captureLog(logLevelError, [&] { EXPECT_EQ(-1, smLoadText(shared, "a=b\n")); });
  expectText(log, {"Trying to call smLoadBuf() with SORTMAP_SHARED_KEYS set!"});
  EXPECT_EQ(0u, smCount(shared));
}

TEST(SortMapText, LoadFile) {
  std::filesystem::path dir = testFreshDir("sortmap");
  std::string path = (dir / "config.map").string();
  std::ofstream(path, std::ios::binary) << "InstallDirectory=\"C:\\\\Agent\"\nSystemId=SYS1\n";
  SortMap* m = nullptr;
  ASSERT_EQ((std::tuple{smLoadFile(&m, path.c_str(), false), m != nullptr}), std::tuple(0, true));
  EXPECT_EQ(texts(m, {"InstallDirectory", "SystemId"}), (Texts{"C:\\Agent", "SYS1"}));
  smDestroy(m);
  m = reinterpret_cast<SortMap*>(&dir);  // any non-null value is replaced
  captureLog(logLevelNone, [&] { EXPECT_EQ(-1, smLoadFile(&m, (dir / "missing.map").string().c_str(), false)); });
  EXPECT_EQ(nullptr, m);
  std::filesystem::remove_all(dir);
}

TEST(SortMapResolve, VariablesChainsAndRecursion) {
  Map m;
  // WorkingDirectory is a chain of references.
  for (auto& p : {std::pair{"InstallDirectory", "C:\\Agent"},
                  {"SystemId", "SYS"},
                  {"ProcessServer", "ps1"},
                  {"DataRootDirectory", "${InstallDirectory}\\var\\${SystemId}\\${ProcessServer}"},
                  {"WorkingDirectory", "${DataRootDirectory}\\work"},
                  {"EnvironmentVariables", "PATH=${InstallDirectory}\\bin;Q=${Quote}"},
                  {"Quote", "say \"x\""},
                  {"Unknown", "${NotThere} and ${}"}})
    smPutCopy(m, p.first, p.second);
  EXPECT_EQ(0, smResolveVariables(m, true));
  EXPECT_EQ(texts(m, {"DataRootDirectory", "WorkingDirectory", "EnvironmentVariables", "Unknown"}),
            (Texts{"C:\\Agent\\var\\SYS\\ps1", "C:\\Agent\\var\\SYS\\ps1\\work",
                   "PATH=C:\\\\Agent\\bin;Q=say \\\"x\\\"", "${NotThere} and ${}"}));
  EXPECT_STREQ("SYS", smResolve("SystemId", m));
  EXPECT_EQ(nullptr, smResolve("Nope", m));
  Map loop;
  smPutCopy(loop, "a", "x${b}");
  smPutCopy(loop, "b", "y${a}");
  expectText(captureLog(logLevelError, [&] { EXPECT_EQ(-1, smResolveVariables(loop, false)); }),
             {"is defined recursively"});

  // A chain against the key order needs several passes and still resolves.
  Map chain;
  smPutCopy(chain, "v0009", "end");
  for (int i = 0; i < 9; i++) smPutCopy(chain, numbered("v", i).c_str(), ("<${" + numbered("v", i + 1) + "}>").c_str());
  EXPECT_EQ(0, smResolveVariables(chain, false));
  EXPECT_EQ(texts(chain, {"v0000", "v0008"}), (Texts{"<<<<<<<<<end>>>>>>>>>", "<end>"}));
}
