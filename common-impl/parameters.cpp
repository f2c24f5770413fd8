// Process parameters: the parameter map, the typed record filled from it by
// the parameter table, the derived directories and the configuration step.
#include "parameters.h"

#include <cstddef>
#include <cstring>

#include "iostream.h"
#include "logging.h"
#include "logoutput.h"
#include "memory.h"
#include "osdir.h"
#include "osfile.h"
#include "osthread.h"
#include "sortmap.h"
#include "stringbuf.h"
#include "strutil.h"

namespace {

OsMutex* parMapMutex = nullptr;                 // "parameters.SortMap": guards parParameterMap
OsMutex* parConfigMutex = nullptr;              // "parameters.Config": guards parParameterRecord
SortMap* parParameterMap = nullptr;             // name -> text, or null
ParameterRecord* parParameterRecord = nullptr;  // typed values, or null

char* parCopyRecordText(uint32_t offset);
char* parCopyDerived(uint32_t index);

// The text field of a record at a table offset.
char** parTextField(ParameterRecord* record, uint32_t offset) {
  return reinterpret_cast<char**>(reinterpret_cast<char*>(record) + offset);
}

}  // namespace

#include "parameters-gen.inc"

static_assert(SFX_ARRAY_SIZE(parTable) == 42, "the parameter table has 42 rows");
static_assert(parDerivedCount == 6, "six derived values");

namespace {

// Getter body: a copy of a text field of the record, under its mutex.
char* parCopyRecordText(uint32_t offset) {
  osThreadLockMutex(parConfigMutex);
  char* copy = nullptr;
  if (parParameterRecord) {
    const char* value = *parTextField(parParameterRecord, offset);
    if (value) copy = memStrDup(value);
  }
  osThreadUnlockMutex(parConfigMutex);
  return copy;
}

char* parCopyDerived(uint32_t index) {
  osThreadLockMutex(parConfigMutex);
  char* copy = nullptr;
  if (parParameterRecord && index < parDerivedCount && parParameterRecord->derived.values[index])
    copy = memStrDup(parParameterRecord->derived.values[index]);
  osThreadUnlockMutex(parConfigMutex);
  return copy;
}

// Replaces a text field (or derived value) by a copy of value (may be null).
void parSetText(char** slot, const char* value) {
  char* old = *slot;
  *slot = value ? memStrDup(value) : nullptr;
  memFree(old);
}

}  // namespace

int parInit() {
  if (!parMapMutex) parMapMutex = osThreadMakeMutex("parameters.SortMap");
  if (!parConfigMutex) parConfigMutex = osThreadMakeMutex("parameters.Config");
  return 0;
}

void parResetDerived(ParameterDerived* derived) {
  logTrace(logCatParameters, "parResetDerived>\n");
  if (derived) {
    logTrace(logCatParameters, "parResetDerived: %p, %p\n", (void*)derived, (void*)derived->values[0]);
    for (char*& value : derived->values) {
      memFree(value);
      value = nullptr;
    }
  }
  logTrace(logCatParameters, "parResetDerived<\n");
}

void parFreeRecord(ParameterRecord* record) {
  if (!record) return;
  for (const ParDefinition& row : parTable) {
    if (row.type != parTypeText) continue;
    char** slot = parTextField(record, row.offset);
    memFree(*slot);
    *slot = nullptr;
  }
  parResetDerived(&record->derived);
  memFree(record->configText);
  record->configText = nullptr;
  record->configLength = 0;
}

void parExit() {
  logTrace(logCatParameters, "parExit>\n");
  if (!parConfigMutex) {
    logTrace(logCatParameters, "parExit< double\n");
    return;
  }
  osThreadLockMutex(parConfigMutex);
  ParameterRecord* record = parParameterRecord;
  parParameterRecord = nullptr;
  osThreadUnlockMutex(parConfigMutex);
  if (record) {
    parFreeRecord(record);
    memFree(record);
  }
  osThreadLockMutex(parMapMutex);
  SortMap* map = parParameterMap;
  parParameterMap = nullptr;
  osThreadUnlockMutex(parMapMutex);
  smDestroy(map);
  osThreadDestroyMutex(parMapMutex);
  osThreadDestroyMutex(parConfigMutex);
  parMapMutex = nullptr;
  parConfigMutex = nullptr;
  logTrace(logCatParameters, "parExit<\n");
}

int parSetParameters(SortMap* map) {
  if (!map) return -1;
  parInit();
  osThreadLockMutex(parMapMutex);
  SortMap* old = parParameterMap;
  parParameterMap = map;
  osThreadUnlockMutex(parMapMutex);
  if (old != map) smDestroy(old);
  return 0;
}

char* parCopyParameter(const char* name) {
  osThreadLockMutex(parMapMutex);
  const char* value = parParameterMap ? static_cast<const char*>(smGet(parParameterMap, name)) : nullptr;
  char* copy = value ? memStrDup(value) : nullptr;
  logTrace(logCatParameters, "parCopyParameters: Copy %s for %s in map %p\n", copy ? copy : "(null)",
           name ? name : "(null)", (void*)parParameterMap);
  osThreadUnlockMutex(parMapMutex);
  return copy;
}

bool parIsConfigured() {
  osThreadLockMutex(parConfigMutex);
  bool configured = parParameterRecord != nullptr;
  osThreadUnlockMutex(parConfigMutex);
  return configured;
}

int parFill(SortMap* map, ParameterRecord* record, StringBuffer* missing) {
  int result = 0;
  for (const ParDefinition& row : parTable) {
    const char* value = static_cast<const char*>(smGet(map, row.name));
    if (!value && row.defaultValue) {
      smPutCopy(map, row.name, row.defaultValue);
      value = static_cast<const char*>(smGet(map, row.name));
    }
    if (!value) {
      if (row.mandatory) {
        logError(logCatParameters, "%s", row.missingMessage);
        if (missing) sbPrintf(missing, "%s\n", row.name);
        result = -1;
      } else {
        logDebug(logCatParameters, "%s", row.missingMessage);
      }
      continue;
    }
    char* field = reinterpret_cast<char*>(record) + row.offset;
    if (row.type == parTypeText) {
      parSetText(reinterpret_cast<char**>(field), value);
    } else if (row.type == parTypeInteger) {
      int64_t number;
      if (strParseInt64(value, &number, INT32_MIN, INT32_MAX) != 0) {
        logError(logCatParameters, "Parameter %s has an invalid value '%s'\n", row.name, value);
        result = -1;
        continue;
      }
      memcpy(field, &number, sizeof number);
    } else {
      uint8_t flag;
      if (strParseBooleanLogged(value, &flag) != 0) {
        logError(logCatParameters, "Parameter %s has an invalid value '%s'\n", row.name, value);
        result = -1;
        continue;
      }
      memcpy(field, &flag, sizeof flag);
    }
  }
  return result;
}

namespace {

// The identity of an installation in a map: the instance name when set,
// else the install directory; and the server UUID when set, else the
// process server.
const char* parIdentity(SortMap* m, const char* first, const char* second) {
  const char* v = static_cast<const char*>(smGet(m, first));
  return v ? v : static_cast<const char*>(smGet(m, second));
}

// Refuses a data root directory whose "config.map" belongs to a different
// instance. A missing or unreadable file is no objection.
int parVerifyDataRootDirOwner(SortMap* map, const char* dataRoot) {
  char* path = nullptr;
  if (osDirJoinPath(dataRoot, "config.map", &path) != 0) return -1;
  int result = 0;
  if (osFileIsPresent(path)) {
    SortMap* existing = nullptr;
    if (smLoadFile(&existing, path, false) == 0) {
      const char* pairs[2][2] = {{"InstanceName", "InstallDirectory"}, {"ServerUUID", "ProcessServer"}};
      for (auto& pair : pairs) {
        const char* mine = parIdentity(map, pair[0], pair[1]);
        const char* theirs = parIdentity(existing, pair[0], pair[1]);
        if (mine && theirs && strcmp(mine, theirs) != 0) result = -1;
      }
      smDestroy(existing);
    }
    if (result != 0)
      logError(logCatParameters, "DataRootDirectory '%s' is already in use by a different instance\n", dataRoot);
  }
  memFree(path);
  return result;
}

// Replaces a directory parameter by its real path, in the map and record.
int parMakeReal(SortMap* map, char** slot, const char* name) {
  if (!*slot) return 0;
  char* real = nullptr;
  if (osDirRealPath(nullptr, *slot, &real) != 0) return -1;
  smPutCopy(map, name, real);
  memFree(*slot);
  *slot = real;
  logDebug(logCatParameters, "Parameter %s=%s\n", name, real);
  return 0;
}

// Directories made under the data root, with their failure messages.
struct ParDirectory {
  const char* name;
  const char* failure;
};
const ParDirectory parDirectories[] = {
    {.name = "jobs", .failure = "Could not create directory for job data\n"},
    {.name = "trc", .failure = "Could not create directory for log files\n"},
    {.name = "pchannel", .failure = "Could not create directory for persistent channels\n"},
    {.name = "fevents", .failure = "Could not create directory for file events\n"},
    {.name = "checks", .failure = "Could not create directory for checks\n"},
    {.name = "cache", .failure = "Could not create directory for cached files\n"},
};
static_assert(SFX_ARRAY_SIZE(parDirectories) == 6, "six directories under the data root");

// Fills the derived record from the configured map and record.
int parDerive(SortMap* map, ParameterRecord* record) {
  ParameterDerived* d = &record->derived;
  const char* root = record->dataRootDirectory;
  int failed = 0;
  failed |= osDirJoinPath(root, "pchannel", &d->values[parDerivedPersistentChannelDirectory]);
  failed |= osDirJoinPath(root, "jobs", &d->values[parDerivedJobDataDirectory]);
  failed |= osDirJoinPath(root, "trc", &d->values[parDerivedTraceDirectory]);
  parSetText(&d->values[parDerivedProcessServer], static_cast<const char*>(smGet(map, "ProcessServer")));
  const char* install = static_cast<const char*>(smGet(map, "InstallDirectory"));
  if (install) failed |= osDirRealPath(nullptr, install, &d->values[parDerivedInstallDirectory]);
  const char* exe = static_cast<const char*>(smGet(map, "ExecutableDirectory"));
  if (exe) failed |= osDirRealPath(nullptr, exe, &d->values[parDerivedExecutableDirectory]);
  return failed ? -1 : 0;
}

// Writes the configuration text to "config.map" in the data root.
int parWriteConfigMap(const char* root, const char* text, uint32_t length) {
  char* path = nullptr;
  if (osDirJoinPath(root, "config.map", &path) != 0) return -1;
  IoStream* ios = osFileOpenStream(path, osFileModeWrite, 0, nullptr);
  int result = -1;
  if (ios) {
    uint32_t written = 0;
    result = iosWrite(ios, text, length, &written) == 0 && written == length ? 0 : -1;
    if (iosClose(ios) != 0) result = -1;
  }
  if (result != 0) logError(logCatParameters, "Could not write %s\n", path);
  memFree(path);
  return result;
}

// The configuration step proper, under both mutexes.
int parConfigureLocked(ParameterRecord* record, StringBuffer* missing) {
  if (!parParameterMap) parParameterMap = smCreateHere(SORTMAP_COPIED_KEYS, smFreeText);
  SortMap* map = parParameterMap;
  if (parFill(map, record, missing) != 0) return -1;
  if (smResolveVariables(map, true) != 0) return -1;
  // The record was filled before the references were resolved: take the
  // resolved texts over.
  for (const ParDefinition& row : parTable)
    if (row.type == parTypeText)
      parSetText(parTextField(record, row.offset), static_cast<const char*>(smGet(map, row.name)));
  if (parMakeReal(map, &record->dataRootDirectory, "DataRootDirectory") != 0 ||
      parMakeReal(map, &record->workingDirectory, "WorkingDirectory") != 0)
    return -1;
  if (parVerifyDataRootDirOwner(map, record->dataRootDirectory) != 0) return -1;
  if (parDerive(map, record) != 0) return -1;
  for (const ParDirectory& dir : parDirectories) {
    char* path = nullptr;
    if (osDirJoinPath(record->dataRootDirectory, dir.name, &path) != 0 ||
        osDirCreate(path, osDirTypeInherit, nullptr) != 0) {
      logError(logCatParameters, "%s", dir.failure);
      memFree(path);
      return -1;
    }
    memFree(path);
  }
  StringBuffer text;
  sbInitHere(&text);
  int result = smSave(map, nullptr, &text);
  record->configLength = sbGetLength(&text);
  record->configText = sbTakeString(&text);
  sbClean(&text);
  if (result == 0 && record->configText)
    result = parWriteConfigMap(record->dataRootDirectory, record->configText, record->configLength);
  return result;
}

}  // namespace

int parConfigure(StringBuffer* missing) {
  logTrace(logCatParameters, "parConfigure\n");
  parInit();
  osThreadLockMutex(parMapMutex);
  osThreadLockMutex(parConfigMutex);
  ParameterRecord* record = memNew(ParameterRecord);
  logTrace(logCatParameters, "parConfigure: allocated %p map %p\n", (void*)record, (void*)parParameterMap);
  int result = parConfigureLocked(record, missing);
  if (result == 0) {
    ParameterRecord* old = parParameterRecord;
    parParameterRecord = record;
    record = old;
  }
  if (record) {
    parFreeRecord(record);
    memFree(record);
  }
  osThreadUnlockMutex(parConfigMutex);
  osThreadUnlockMutex(parMapMutex);
  return result;
}

int parLoadConfigMap(SortMap** out) {
  *out = nullptr;
  const char* logFile = logOut.currentFile;
  if (!logFile || !*logFile) return -1;
  char* logDir = nullptr;
  char* root = nullptr;
  char* path = nullptr;
  int result = -1;
  if (osDirCopyParentDirectory(logFile, &logDir) == 0 && osDirCopyParentDirectory(logDir, &root) == 0 &&
      osDirJoinPath(root, "config.map", &path) == 0)
    result = smLoadFile(out, path, false);
  memFree(logDir);
  memFree(root);
  memFree(path);
  if (result != 0) *out = nullptr;
  return result;
}
