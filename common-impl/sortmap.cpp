// SortMap: a sorted array of (key, value) pairs searched by bisection, with
// one removal-tolerant iterator, key=value text I/O and ${name} resolution
// between the values of a map.
#include "sortmap.h"

#include <cctype>
#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "memory.h"
#include "osfile.h"
#include "osinit.h"
#include "stringbuf.h"
#include "strutil.h"

namespace {

// Unsigned byte-wise order, -1/0/1 like strcmp.
int smCompareBytes(const char* a, const char* b) {
  int r = strcmp(a, b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

struct SmKindInfo {
  bool copiesKeys;  // the map stores its own copy of an inserted key
  bool freesKeys;   // the map frees the key when it drops the entry
  SmCompare compare;
};

// Indexed by kind: SHARED, COPIED, CASELESS, TAKEN.
const SmKindInfo smKinds[] = {
    {.copiesKeys = false, .freesKeys = false, .compare = smCompareBytes},
    {.copiesKeys = true, .freesKeys = true, .compare = smCompareBytes},
    {.copiesKeys = true, .freesKeys = true, .compare = utf8CaseOrder},
    {.copiesKeys = false, .freesKeys = true, .compare = smCompareBytes},
};
static_assert(SFX_ARRAY_SIZE(smKinds) == SORTMAP_KIND_COUNT, "one row per map kind");

const SmKindInfo* smKindOf(const SortMap* m) { return &smKinds[m->kind < SORTMAP_KIND_COUNT ? m->kind : 1]; }

void smFreeKey(const SortMap* m, const char* key) {
  if (smKindOf(m)->freesKeys) memFreePtr(const_cast<char*>(key), m->file, m->line);
}

// Bisection over the entries. Returns 0 when found (*pos is its index) or -1
// (*pos is where the key belongs). A key above the last one is known from
// one comparison: maps filled in key order (an archive's directory, the
// journal's sequence keys) then cost one comparison per insertion, not a
// bisection of thousands of entries, twice for a put.
int smBisect(const SortMap* m, const char* key, uint32_t* pos) {
  *pos = 0;
  if (m->count == 0) return -1;
  if (m->compare(m->entries[m->count - 1].key, key) < 0) {
    *pos = m->count;
    return -1;
  }
  uint32_t lo = 0, hi = m->count, mid = m->count / 2;
  int c = m->compare(m->entries[mid].key, key);
  while (c != 0) {
    if (mid == lo) {
      *pos = c < 0 ? mid + 1 : mid;
      return -1;
    }
    if (c < 0)
      lo = mid;
    else
      hi = mid;
    mid = (lo + hi) / 2;
    c = m->compare(m->entries[mid].key, key);
  }
  *pos = mid;
  return 0;
}

// Removes the entry at index; the key is freed per kind, the value only
// when callFree is set.
void smRemoveAt(SortMap* m, uint32_t index, bool callFree) {
  SortMapEntry e = m->entries[index];
  memmove(&m->entries[index], &m->entries[index + 1], sizeof(SortMapEntry) * (m->count - index - 1));
  m->count--;
  if (callFree && m->valueFree) m->valueFree(e.value);
  smFreeKey(m, e.key);
}

SFX_NORETURN void smIteratorOutOfSync() {
  logFatal(logCatSortMap, "SortMap iterator out of sync\n");
  osAbortOutOfResources();
}

// Moves the iterator to index (or ends it) and reports the entry.
void* smIterAt(SortMap* m, int64_t index, const char** key) {
  if (index < 0 || index >= (int64_t)m->count) {
    m->iterIndex = -1;
    m->iterKey = nullptr;
    *key = nullptr;
    return nullptr;
  }
  m->iterIndex = (int32_t)index;
  m->iterKey = m->entries[index].key;
  *key = m->iterKey;
  return m->entries[index].value;
}

// Checks the caller's key against the iterator and tells whether the
// current entry is still in place (false after it was removed).
bool smIterCurrentInPlace(const SortMap* m, const char* key) {
  if (key != m->iterKey || m->iterIndex < 0 || key == nullptr) smIteratorOutOfSync();
  return (uint32_t)m->iterIndex < m->count && m->entries[m->iterIndex].key == m->iterKey;
}

}  // namespace

SortMap* smCreate(uint32_t kind, SmValueFree valueFree, const char* file, int line) {
  SortMap* m = static_cast<SortMap*>(memCallocPtr(1, sizeof(SortMap), file, line));
  m->capacity = smGrowStep;
  m->entries = static_cast<SortMapEntry*>(memCallocPtr(smGrowStep, sizeof(SortMapEntry), file, line));
  m->kind = kind < SORTMAP_KIND_COUNT ? kind : SORTMAP_COPIED_KEYS;
  m->valueFree = valueFree;
  m->compare = smKinds[m->kind].compare;
  m->iterIndex = -1;
  m->file = file;
  m->line = line;
  logTrace(logCatSortMap, "Created sortmap at %p\n", (void*)m);
  return m;
}

void smDestroy(SortMap* m) {
  if (!m) return;
  logTrace(logCatSortMap, "Destroying sortmap at %p\n", (void*)m);
  for (uint32_t i = 0; i < m->count; i++) {
    if (m->valueFree) m->valueFree(m->entries[i].value);
    smFreeKey(m, m->entries[i].key);
  }
  memFreePtr(m->entries, m->file, m->line);
  memFreePtr(m, m->file, m->line);
}

uint32_t smCount(const SortMap* m) { return m ? m->count : 0; }

int smFind(const SortMap* m, const char* key, uint32_t* index) {
  if (!m || !key) return -1;
  uint32_t pos;
  if (smBisect(m, key, &pos) != 0) return -1;
  if (index) *index = pos;
  return 0;
}

void* smGet(const SortMap* m, const char* key) {
  uint32_t i;
  return smFind(m, key, &i) == 0 ? m->entries[i].value : nullptr;
}

int smInsert(SortMap* m, const char* key, void* value) {
  if (!m || !key || !value) return -1;
  if (m->count >= m->capacity) {
    uint32_t cap = m->capacity + smGrowStep;
    m->entries =
        static_cast<SortMapEntry*>(memReallocPtr(m->entries, cap * (uint32_t)sizeof(SortMapEntry), m->file, m->line));
    m->capacity = cap;
  }
  uint32_t pos;
  if (smBisect(m, key, &pos) == 0) return -1;
  memmove(&m->entries[pos + 1], &m->entries[pos], sizeof(SortMapEntry) * (m->count - pos));
  m->entries[pos].key = smKindOf(m)->copiesKeys ? memStrDupFunc(key, m->file, m->line) : key;
  m->entries[pos].value = value;
  m->count++;
  return 0;
}

int smPut(SortMap* m, const char* key, void* value) {
  if (!m || !key || !value) return -1;
  uint32_t i;
  if (smFind(m, key, &i) != 0) return smInsert(m, key, value);
  void* old = m->entries[i].value;
  m->entries[i].value = value;
  if (m->valueFree && old != value) m->valueFree(old);
  // A taken key that was not stored belongs to the map all the same.
  if (m->kind == SORTMAP_TAKEN_KEYS && key != m->entries[i].key) smFreeKey(m, key);
  return 0;
}

int smPutCopy(SortMap* m, const char* key, const char* text) {
  if (!m || !key || !text) return -1;
  char* copy = memStrDup(text);
  if (smPut(m, key, copy) != 0) {
    memFree(copy);
    return -1;
  }
  return 0;
}

bool smPutIfChanged(SortMap* m, const char* key, const char* text) {
  if (!m || !key || !text) return false;
  const char* old = static_cast<const char*>(smGet(m, key));
  if (old && strcmp(old, text) == 0) return false;
  return smPutCopy(m, key, text) == 0;
}

bool smPutU64(SortMap* m, const char* key, uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "%" PRIu64, value);
  return smPutIfChanged(m, key, text);
}

int smReplace(SortMap* m, const char* key, void* value) {
  uint32_t i;
  if (!value || smFind(m, key, &i) != 0) return -1;
  void* old = m->entries[i].value;
  m->entries[i].value = value;
  if (m->valueFree && old != value) m->valueFree(old);
  return 0;
}

int smRemove(SortMap* m, const char* key) {
  uint32_t i;
  if (smFind(m, key, &i) != 0) return -1;
  smRemoveAt(m, i, true);
  return 0;
}

int smDetach(SortMap* m, const char* key) {
  uint32_t i;
  if (smFind(m, key, &i) != 0) return -1;
  smRemoveAt(m, i, false);
  return 0;
}

void* smTake(SortMap* m, const char* key) {
  uint32_t i;
  if (smFind(m, key, &i) != 0) return nullptr;
  void* value = m->entries[i].value;
  smRemoveAt(m, i, false);
  return value;
}

void* smFirst(SortMap* m, const char** key) { return smIterAt(m, 0, key); }

void* smLast(SortMap* m, const char** key) { return smIterAt(m, (int64_t)m->count - 1, key); }

// When the current entry was removed its successor moved into its place,
// so the index stays; otherwise it advances.
void* smNext(SortMap* m, const char** key) {
  bool inPlace = smIterCurrentInPlace(m, *key);
  return smIterAt(m, (int64_t)m->iterIndex + (inPlace ? 1 : 0), key);
}

// Towards the front the predecessor of a removed entry is one place down
// either way.
void* smPrevious(SortMap* m, const char** key) {
  smIterCurrentInPlace(m, *key);
  return smIterAt(m, (int64_t)m->iterIndex - 1, key);
}

const char** smToArray(SortMap** mp) {
  SortMap* m = *mp;
  const char** keys = static_cast<const char**>(memCallocPtr(m->count + 1, sizeof(char*), m->file, m->line));
  for (uint32_t i = 0; i < m->count; i++) {
    keys[i] = m->entries[i].key;
    if (m->valueFree) m->valueFree(m->entries[i].value);
  }
  memFreePtr(m->entries, m->file, m->line);
  memFreePtr(m, m->file, m->line);
  *mp = nullptr;
  return keys;
}

void smFreeText(void* value) { memFree(value); }

const char* smResolve(const char* name, void* map) {
  const char* value = static_cast<const char*>(smGet(static_cast<SortMap*>(map), name));
  if (value) logTrace(logCatSortMap, "resolve(%s,%p)=%s\n", name, map, value);
  return value;
}

namespace {

// Context of one value's expansion during smResolveVariables.
struct SmResolveContext {
  SortMap* map;          // map the names are looked up in
  bool escape;           // substituted values get '\' and '"' escaped
  StringBuffer escaped;  // holds the escaped form of the last value
};

// Values substituted into an "Environment..." entry are escaped so that the
// later parsing of that entry reads them back unchanged.
const char* smResolveLookup(const char* name, void* context) {
  SmResolveContext* ctx = static_cast<SmResolveContext*>(context);
  const char* value = static_cast<const char*>(smGet(ctx->map, name));
  if (!value) return nullptr;
  if (!ctx->escape) {
    logTrace(logCatSortMap, "Replacing variable %s=%s\n", name, value);
    return value;
  }
  sbEmpty(&ctx->escaped);
  for (const char* p = value; *p; p++) {
    if ((*p == '\\' || *p == '"') && sbAppendChar(&ctx->escaped, '\\') != 0) return nullptr;
    if (sbAppendChar(&ctx->escaped, *p) != 0) return nullptr;
  }
  const char* result = sbGet(&ctx->escaped);
  logTrace(logCatSortMap, "Special escaped resolve of variable %s=%s\n", name, result);
  return result;
}

}  // namespace

int smResolveVariables(SortMap* m, bool initial) {
  if (!m) return -1;
  (void)initial;
  SmResolveContext ctx = {.map = m, .escape = false, .escaped = {}};
  sbInitHere(&ctx.escaped);
  int result = 0;
  for (int pass = 1; result == 0; pass++) {
    logTrace(logCatSortMap, "Resolving variables in map, loop # %d\n", pass);
    bool replaced = false;
    for (uint32_t i = 0; i < m->count && result == 0; i++) {
      const char* key = m->entries[i].key;
      const char* value = static_cast<const char*>(m->entries[i].value);
      if (!strstr(value, "${")) continue;
      ctx.escape = strncmp(key, "Environment", 11) == 0;
      char* expanded = nullptr;
      if (strEvaluateAntExpr(value, smResolveLookup, &ctx, &expanded) != 0) {
        logError(logCatSortMap, "Variable substitution in %s failed\n", key);
        result = -1;
        break;
      }
      if (strcmp(expanded, value) == 0) {
        memFree(expanded);
        continue;
      }
      if (pass > 10) {
        logError(logCatSortMap, "Variable %s is defined recursively\n", key);
        memFree(expanded);
        result = -1;
        break;
      }
      logTrace(logCatSortMap, "Replaced variable %s=%s\n", key, expanded);
      // The map's own valueFree releases the old text.
      if (m->valueFree) m->valueFree(m->entries[i].value);
      m->entries[i].value = expanded;
      replaced = true;
    }
    if (!replaced) break;
  }
  sbClean(&ctx.escaped);
  return result;
}

namespace {

// A key or value of smSave: plain when made only of letters, digits and
// '_', else in double quotes with '\n', '\r', '"' and '\' escaped.
int smAppendQuoted(StringBuffer* sb, const char* text) {
  bool plain = true;
  for (const char* p = text; *p; p++)
    if (!(isalnum((unsigned char)*p) && (unsigned char)*p < 0x80) && *p != '_') plain = false;
  if (plain) return *text ? sbAppendString(sb, text) : 0;
  if (sbAppendChar(sb, '"') != 0) return -1;
  for (const char* p = text; *p; p++) {
    int r;
    if (*p == '\n')
      r = sbAppendData(sb, "\\n", 2);
    else if (*p == '\r')
      r = sbAppendData(sb, "\\r", 2);
    else if (*p == '"' || *p == '\\')
      r = sbAppendChar(sb, '\\') | sbAppendChar(sb, *p);
    else
      r = sbAppendChar(sb, *p);
    if (r != 0) return -1;
  }
  return sbAppendChar(sb, '"');
}

}  // namespace

int smSave(SortMap* m, IoStream* ios, StringBuffer* buf) {
  logTrace(logCatSortMap, "smSave %u entries ios=%p buf=%p\n", smCount(m), (void*)ios, (void*)buf);
  if (!m || (!ios && !buf)) return -1;
  StringBuffer line;
  sbInitHere(&line);
  int result = 0;
  for (uint32_t i = 0; i < m->count && result == 0; i++) {
    sbEmpty(&line);
    if (smAppendQuoted(&line, m->entries[i].key) != 0 || sbAppendChar(&line, '=') != 0 ||
        smAppendQuoted(&line, static_cast<const char*>(m->entries[i].value)) != 0 || sbAppendChar(&line, '\n') != 0) {
      result = -1;
      break;
    }
    logTraceStr(logCatSortMap, "Storing", sbGet(&line), sbGetLength(&line));
    if (ios) {
      uint32_t written = 0;
      if (iosWrite(ios, sbGet(&line), sbGetLength(&line), &written) != 0 || written != sbGetLength(&line)) result = -1;
    } else if (sbAppendData(buf, sbGet(&line), sbGetLength(&line)) != 0) {
      result = -1;
    }
  }
  sbClean(&line);
  return result;
}

namespace {

// Reader of key=value entries from a block of text.
struct SmReader {
  const char* p;    // next unread byte
  const char* end;  // end of the text
  bool shell;       // "export " prefix and ';' separators
};

bool smIsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

bool smEndsEntry(const SmReader* r, char c) { return c == '\n' || (r->shell && c == ';'); }

// Reads one key or value into sb up to `stop` (or the entry's end) and tells
// which character ended it (0 at the end of the text). Quotes group text,
// a backslash escapes the next character ("\n" and "\r" inside quotes are
// line end characters); unquoted blanks before and after the text are
// dropped, blanks inside it kept.
char smReadToken(SmReader* r, StringBuffer* sb, char stop, int* failed) {
  while (r->p < r->end && smIsBlank(*r->p)) r->p++;
  const char* blanks = nullptr;  // start of a run of unquoted blanks
  bool quoted = false;
  while (r->p < r->end) {
    char c = *r->p;
    if (!quoted && (c == stop || smEndsEntry(r, c))) break;
    if (!quoted && smIsBlank(c)) {
      if (!blanks) blanks = r->p;
      r->p++;
      continue;
    }
    if (blanks) {
      *failed |= sbAppendData(sb, blanks, (uint32_t)(r->p - blanks));
      blanks = nullptr;
    }
    r->p++;
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (c == '\\' && r->p < r->end) {
      c = *r->p++;
      if (quoted && c == 'n') c = '\n';
      if (quoted && c == 'r') c = '\r';
    }
    *failed |= sbAppendChar(sb, c);
  }
  return r->p < r->end ? *r->p : 0;
}

// Keys whose values are never written to the log.
bool smIsSecretKey(const char* key) {
  return strcmp(key, "SharedSecret") == 0 || strcmp(key, "JobContextTicket") == 0 ||
         strEndsWithIgnoreCase(key, "passwd");
}

// Loads entries from data[0..length) into m.
int smLoadData(SortMap* m, const char* data, uint32_t length, bool shellSyntax) {
  if (m->kind == SORTMAP_SHARED_KEYS) {
    logError(logCatSortMap, "Internal error: Trying to call smLoadBuf() with SORTMAP_SHARED_KEYS set!\n");
    return -1;
  }
  SmReader r = {.p = data, .end = data + length, .shell = shellSyntax};
  StringBuffer key, value;
  sbInitHere(&key);
  sbInitHere(&value);
  int failed = 0;
  uint32_t loaded = 0;
  while (r.p < r.end && !failed) {
    while (r.p < r.end && (smIsBlank(*r.p) || smEndsEntry(&r, *r.p))) r.p++;
    if (r.p >= r.end) break;
    if (*r.p == '#') {
      while (r.p < r.end && *r.p != '\n') r.p++;
      continue;
    }
    if (shellSyntax && r.end - r.p >= 7 && memcmp(r.p, "export ", 7) == 0) {
      r.p += 7;
      while (r.p < r.end && smIsBlank(*r.p)) r.p++;
    }
    const char* lineStart = r.p;
    sbEmpty(&key);
    sbEmpty(&value);
    if (smReadToken(&r, &key, '=', &failed) != '=') {
      int shown = (int)(r.p - lineStart);
      logWarn(logCatSortMap, "Ignored line %.*s\n", shown > 128 ? 128 : shown, lineStart);
      continue;
    }
    r.p++;
    smReadToken(&r, &value, 0, &failed);
    if (failed) break;
    const char* k = sbGet(&key);
    if (smIsSecretKey(k))
      logTrace(logCatSortMap, "Loading %s=*****\n", k);
    else
      logTrace(logCatSortMap, "Loading %s=%s\n", k, sbGet(&value));
    char* text = memStrDup(sbGet(&value));
    // A map of taken keys owns what it is given: hand it its own copy.
    const char* mapKey = m->kind == SORTMAP_TAKEN_KEYS ? memStrDup(k) : k;
    if (smPut(m, mapKey, text) != 0) {
      memFree(text);
      if (mapKey != k) memFree(const_cast<char*>(mapKey));
      failed = 1;
      break;
    }
    loaded++;
  }
  sbClean(&key);
  sbClean(&value);
  logTrace(logCatSortMap, "smLoadBuf< %s loaded %u keys in map of size %u\n", failed ? "failed" : "succeeded", loaded,
           m->count);
  return failed ? -1 : 0;
}

}  // namespace

int smLoadBuf(SortMap* m, StringBuffer* text, bool shellSyntax) {
  if (!m || !text) return -1;
  return smLoadData(m, sbGet(text), sbGetLength(text), shellSyntax);
}

int smLoadText(SortMap* m, const char* text) {
  if (!m || !text) return -1;
  return smLoadData(m, text, (uint32_t)strlen(text), false);
}

int smLoadFile(SortMap** mp, const char* path, bool shellSyntax) {
  *mp = nullptr;
  IoStream* ios = osFileOpenStream(path, osFileModeRead, 0, nullptr);
  if (!ios) return -1;
  StringBuffer text;
  sbInitHere(&text);
  char chunk[8192];
  int result = 0;
  for (;;) {
    uint32_t got = 0;
    if (iosRead(ios, chunk, sizeof chunk, &got) != 0) {
      result = -1;
      break;
    }
    if (got == 0) break;
    if (sbAppendData(&text, chunk, got) != 0) {
      result = -1;
      break;
    }
  }
  iosClose(ios);
  if (result == 0) {
    SortMap* m = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
    if (smLoadBuf(m, &text, shellSyntax) == 0)
      *mp = m;
    else {
      smDestroy(m);
      result = -1;
    }
  }
  if (result != 0) logError(logCatSortMap, "Unable to load map from %s\n", path);
  sbClean(&text);
  return result;
}
