// Process parameters: the named settings the agent's server hands to its
// processes. They live as a parameter map (name -> text) and, once
// configured, as a typed record filled from the map by the parameter table,
// with a few derived directories. The map is guarded by the mutex
// "parameters.SortMap", the record by "parameters.Config" (taken in that
// order). This program starts and ends the store only; every getter gives
// null here.
#pragma once

#include "compiler.h"
#include "parameters-get-gen.h"

struct SortMap;
struct StringBuffer;

// Value types of the parameter table.
enum : uint8_t {
  parTypeText = 0,     // owned copy of the text
  parTypeInteger = 1,  // signed, -2147483648..2147483647, stored as int64_t
  parTypeBoolean = 2,  // "true"/"false"/"Y"/"N", stored as a byte
};

// One row of the parameter table.
struct ParDefinition {
  const char* name;            // parameter name in the map
  uint8_t type;                // parType*
  bool mandatory;              // a missing value fails the fill step
  const char* defaultValue;    // put into the map when absent (may hold ${name}); null: none
  uint32_t offset;             // field of ParameterRecord
  const char* missingMessage;  // logged when the parameter is absent without default
};
extern const ParDefinition parTable[parRowCount];

// Creates the two mutexes (each only once). 0.
int parInit();
// Frees the record, the map and the mutexes; a second call only traces.
void parExit();
// The configuration step: fills the record from the map, resolves ${name}
// references, derives the directories and creates them, writes
// "config.map". Missing mandatory names are appended to `missing` (one per
// line). 0 or -1. Not used by the self-extractor.
int parConfigure(StringBuffer* missing);
// Frees the texts of a derived record and clears them.
void parResetDerived(ParameterDerived* derived);
// A copy of the map's value for name (memFree it), or null.
char* parCopyParameter(const char* name);
// Whether the typed record exists.
bool parIsConfigured();
// Loads "config.map" from the directory two levels above the current log
// file into a new map. -1 and *out null on any failure.
int parLoadConfigMap(SortMap** out);
// Hands a parameter map (kind 1, texts freed with smFreeText) over to the
// store, which owns it from then on and drops a previous one. 0 or -1.
int parSetParameters(SortMap* map);
// The fill step over `map` into `record` (see parTable): present values
// are copied or parsed, absent ones with a default get the default (also
// in the map), absent mandatory ones are logged and appended to `missing`
// (may be null). 0, or -1 when a mandatory value is missing or malformed.
int parFill(SortMap* map, ParameterRecord* record, StringBuffer* missing);
// Frees every text of a record (derived record and configuration text
// included) and clears them.
void parFreeRecord(ParameterRecord* record);
