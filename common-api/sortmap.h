// SortMap: the program's associative container. Text keys map to pointer
// values; the pairs are kept in an array sorted by key and searched by
// bisection. Four kinds decide who owns the keys and how they are ordered.
// A map has one iterator, which tolerates removal of its current entry.
//
// A map has no lock of its own; whoever owns it guards it.
#pragma once

#include "compiler.h"

struct IoStream;
struct StringBuffer;

// Called on a value whenever the map drops it (removal, replacement,
// destruction, conversion to an array).
using SmValueFree = void (*)(void* value);
// Key order: negative, 0 or positive like strcmp.
using SmCompare = int (*)(const char* a, const char* b);

// Key ownership and order, given at creation.
enum : uint32_t {
  SORTMAP_SHARED_KEYS = 0,    // caller's pointer stored, caller keeps it alive
  SORTMAP_COPIED_KEYS = 1,    // copied on insertion, freed on removal
  SORTMAP_CASELESS_KEYS = 2,  // copied, freed, compared with Unicode case folding
  SORTMAP_TAKEN_KEYS = 3,     // caller's pointer stored, the map frees it
  SORTMAP_KIND_COUNT = 4,
};

// Pairs grow in steps of this many.
inline constexpr uint32_t smGrowStep = 64;

struct SortMapEntry {
  const char* key;  // owned according to the map's kind
  void* value;      // never null
};

struct SortMap {
  SortMapEntry* entries;  // sorted by key under `compare`; no two keys equal
  uint32_t count;         // entries in use
  uint32_t capacity;      // entries allocated; multiple of smGrowStep
  SmValueFree valueFree;  // null: values are left alone
  SmCompare compare;      // byte-wise, or case folding for kind 2
  uint32_t kind;          // one of SORTMAP_*
  int32_t iterIndex;      // position of the iterator; -1 when idle
  const char* iterKey;    // key the iterator last returned (compared as pointer)
  const char* file;       // creator's source file (growth is charged to it)
  int line;               // creator's source line
};

// Creates an empty map with room for 64 pairs. Never null.
SortMap* smCreate(uint32_t kind, SmValueFree valueFree, const char* file, int line);
#define smCreateHere(kind, valueFree) smCreate((kind), (valueFree), __FILE__, __LINE__)
// Drops every entry (valueFree, owned keys) and frees the map; null is ignored.
void smDestroy(SortMap* m);
uint32_t smCount(const SortMap* m);

// The value stored under key, or null.
void* smGet(const SortMap* m, const char* key);
// Bisection: 0 and *index set when found, -1 when not (index untouched).
int smFind(const SortMap* m, const char* key, uint32_t* index);
// Inserts in order; -1 for a null key or value or a key already present.
int smInsert(SortMap* m, const char* key, void* value);
// Inserts, or replaces the value of a present key (valueFree on the old one).
int smPut(SortMap* m, const char* key, void* value);
// Puts a tracked copy of text (freed again when the put fails).
int smPutCopy(SortMap* m, const char* key, const char* text);
// Puts a copy unless the stored text already equals text; true when stored.
bool smPutIfChanged(SortMap* m, const char* key, const char* text);
// smPutIfChanged with the number in decimal.
bool smPutU64(SortMap* m, const char* key, uint64_t value);
// Replaces the value of a present key; -1 when absent or value null.
int smReplace(SortMap* m, const char* key, void* value);
// Removes an entry, calling valueFree and freeing an owned key; -1 when absent.
int smRemove(SortMap* m, const char* key);
// smRemove without valueFree (the caller keeps the value).
int smDetach(SortMap* m, const char* key);
// Detaches and returns the value, null when absent.
void* smTake(SortMap* m, const char* key);

// The iterator. Each call stores the entry's key in *key and returns its
// value; at the end *key is null and the result null. smNext/smPrevious must
// get the key the iterator returned last, else the process aborts. Removing
// the current entry between calls is allowed; other changes are not.
void* smFirst(SortMap* m, const char** key);
void* smNext(SortMap* m, const char** key);
void* smLast(SortMap* m, const char** key);
void* smPrevious(SortMap* m, const char** key);

// Converts the map into a null-terminated array of its keys in order; every
// value goes to valueFree; the map is freed and *m set to null. The array and
// (unless the kind was SORTMAP_SHARED_KEYS) the keys belong to the caller:
// release them with strFreeList(array, 0).
const char** smToArray(SortMap** m);

// Lookup for variable expansion over a map of texts: the text stored under
// name, or null. `map` is the SortMap.
const char* smResolve(const char* name, void* map);
// Expands ${name} references between the values of a map of texts until
// nothing changes; -1 on a failed expansion or a recursive definition.
int smResolveVariables(SortMap* m, bool initial);

// Writes every entry as a line key=value, quoting where needed, to ios when
// given, else appended to buf. -1 on a write failure.
int smSave(SortMap* m, IoStream* ios, StringBuffer* buf);
// Reads key=value lines (as smSave writes them) into the map with smPut; the
// values are tracked texts. shellSyntax also skips "export " and ends entries
// at ";". Refuses SORTMAP_SHARED_KEYS maps.
int smLoadBuf(SortMap* m, StringBuffer* text, bool shellSyntax);
int smLoadText(SortMap* m, const char* text);
// Reads the file at path into a new map of texts (kind 1); *m is null on failure.
int smLoadFile(SortMap** m, const char* path, bool shellSyntax);

// The standard valueFree for maps of texts.
void smFreeText(void* value);
