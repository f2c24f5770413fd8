// Fuzz target for the text parsers of the string utilities and the SortMap. The first byte selects the function: 0
// wildcard matching, 1 ${name} expansion, 2 key=value loading (with a save/load round trip), 3 the folding comparisons.
// Besides crashes, each branch checks a property that must hold for every input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logging.h"
#include "memory.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "strutil.h"

namespace {

constexpr size_t maxInput = 4096;

void check(bool condition) {
  if (!condition) abort();
}

void fuzzWildcard(const std::string& in, bool caseSensitive) {
  size_t split = in.find('\0');
  std::string pattern = in.substr(0, split), text = split == std::string::npos ? in : in.substr(split + 1);
  text = text.substr(0, text.find('\0'));
  strMatchWildcard(pattern.c_str(), text.c_str(), caseSensitive);
  // Every text matches itself with each character escaped, and a star.
  std::string escaped;
  for (char c : text) escaped += std::string("\\") + c;
  check(strMatchWildcard(escaped.c_str(), text.c_str(), true));
  check(strMatchWildcard("*", text.c_str(), caseSensitive));
  check(strMatchWildcard((escaped + "*").c_str(), text.c_str(), true));
}

const char* fuzzLookup(const char* name, void* context) {
  return static_cast<const char*>(smGet(static_cast<SortMap*>(context), name));
}

void fuzzAnt(const std::string& in) {
  std::string text = in.substr(0, in.find('\0'));
  SortMap* m = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
  smPutCopy(m, "a", "A");
  smPutCopy(m, "b", "${a}");
  smPutCopy(m, "", "empty");
  char* out = nullptr;
  check(strEvaluateAntExpr(text.c_str(), fuzzLookup, m, &out) == 0 && out);
  // Without a reference the text comes back unchanged.
  if (text.find("${") == std::string::npos) check(text == out);
  memFree(out);
  smDestroy(m);
}

std::string saveText(SortMap* m) {
  StringBuffer sb;
  sbInitHere(&sb);
  check(smSave(m, nullptr, &sb) == 0);
  std::string s(sbGet(&sb), sbGetLength(&sb));
  sbClean(&sb);
  return s;
}

void fuzzLoad(const std::string& in, bool shellSyntax, uint32_t kind) {
  StringBuffer sb;
  sbInitHere(&sb);
  sbAppendData(&sb, in.data(), (uint32_t)in.size());
  SortMap* m = smCreateHere(kind, smFreeText);
  smLoadBuf(m, &sb, shellSyntax);
  sbClean(&sb);
  // What smSave writes loads back to the same map.
  std::string first = saveText(m);
  SortMap* again = smCreateHere(kind, smFreeText);
  check(smLoadText(again, first.c_str()) == 0);
  check(smCount(again) == smCount(m));
  check(saveText(again) == first);
  smDestroy(again);
  smDestroy(m);
}

void fuzzCompare(const std::string& in) {
  size_t split = in.find('\0');
  std::string a = in.substr(0, split), b = split == std::string::npos ? std::string() : in.substr(split + 1);
  b = b.substr(0, b.find('\0'));
  int ab = utf8CaseOrder(a.c_str(), b.c_str());
  int ba = utf8CaseOrder(b.c_str(), a.c_str());
  check((ab < 0) == (ba > 0) && (ab == 0) == (ba == 0));
  check(utf8CaseOrder(a.c_str(), a.c_str()) == 0);
  if (utf8CaseCmp(a.c_str(), b.c_str()) == 0) check(ab == 0);
  strStartsWithIgnoreCase(a.c_str(), b.c_str());
  strEndsWithIgnoreCase(a.c_str(), b.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > maxInput) return 0;
  static int calls = 0;
  if (!calls++) {
    memInit();
    // The parsers log every ignored line; keep the run quiet and fast.
    logLevels[logCatSortMap] = logLevels[logCatStrUtil] = logLevelNone;
  }
  std::string in(reinterpret_cast<const char*>(data + 1), size - 1);
  const uint8_t branch = data[0] & 3, flag = data[0] & 8;
  if (branch == 0) fuzzWildcard(in, flag != 0);
  if (branch == 1 && (data[0] & 4)) fuzzLoad(in, false, SORTMAP_TAKEN_KEYS);
  if (branch == 1 && !(data[0] & 4)) fuzzAnt(in);
  if (branch == 2) fuzzLoad(in, flag != 0, (data[0] & 16) ? SORTMAP_CASELESS_KEYS : SORTMAP_COPIED_KEYS);
  if (branch == 3) fuzzCompare(in);
  return 0;
}
