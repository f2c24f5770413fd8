// Payload checks before packing (see payloadcheck.h).
#include "payloadcheck.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "stringbuf.h"
#include "strutil.h"
#include "zipdisk.h"
#include "zipint.h"

namespace {

// What one check found: hard problems are refused even with --force.
struct CheckState {
  bool force;  // let soft problems through as warnings
  int soft;    // soft problems seen
  int hard;    // hard problems seen
};

void report(CheckState* st, bool hard, const std::string& name, const std::string& reason) {
  const bool warn = st->force && !hard;
  fprintf(stderr, "mksfx: %s%s: %s\n", warn ? "warning: " : "", name.c_str(), reason.c_str());
  (hard ? st->hard : st->soft)++;
}

// An entry name, checked with the installer's own rules (refused: the stub
// would fail on it), then for what Windows refuses or changes in its last
// component, and for the backslash that the installer takes as a separator.
void checkComponent(CheckState* st, const std::string& name) {
  if (const char* fault = zipEntryPathFault(name.c_str())) {
    StringBuffer shown;
    sbInitHere(&shown);
    zipShowEntryName(name.c_str(), &shown);
    report(st, true, sbGet(&shown), fault);
    sbClean(&shown);
    return;
  }
  size_t slash = name.rfind('/');
  std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
  if (last.find('\\') != std::string::npos) {
    report(st, true, name, "has a backslash, which the installer reads as a directory separator");
    return;
  }
  for (unsigned char c : last) {
    if (strchr("<>\"|?*", c)) {
      char why[80];
      snprintf(why, sizeof why, "has the character '%c', which Windows does not allow in names", c);
      report(st, false, name, why);
      return;
    }
  }
}

bool endsWith(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// The installer runs one script, the last one it meets.
void checkScripts(CheckState* st, const PayloadEntry* entries, size_t count) {
  std::vector<std::string> scripts;
  for (size_t i = 0; i < count; i++) {
    const std::string name = entries[i].name;
    if (!entries[i].directory &&
        (endsWith(name, "installer.sh") || endsWith(name, "installer.cmd") || endsWith(name, "installer.exe")))
      scripts.push_back(name);
  }
  if (scripts.size() > 1) {
    std::string all;
    for (const std::string& s : scripts) all += (all.empty() ? "" : ", ") + s;
    report(st, false, scripts.back(),
           "is one of " + std::to_string(scripts.size()) + " installer scripts (" + all +
               "); the installer runs only one");
  }
}

// The agent's layout is one build directory at the root that holds
// etc/branch.
void checkLayout(CheckState* st, const PayloadEntry* entries, size_t count) {
  std::vector<std::string> tops;
  std::map<std::string, bool> files;
  for (size_t i = 0; i < count; i++) {
    std::string name = entries[i].name;
    if (entries[i].directory) {
      if (name.find('/') == std::string::npos) tops.push_back(name);
      continue;
    }
    files[name] = true;
  }
  checkScripts(st, entries, count);
  if (tops.empty()) report(st, false, ".", "has no top directory (the build's directory, holding etc/branch)");
  for (const std::string& top : tops)
    if (!files.count(top + "/etc/branch")) report(st, false, top + "/etc/branch", "is missing");
}

// 0 when what was checked may be packed, else -1 with a line saying so.
int verdict(const CheckState& st, const char* what) {
  if (!st.hard && (!st.soft || st.force)) return 0;
  fprintf(stderr, "mksfx: the %s is refused, nothing was written%s\n", what,
          st.hard ? "" : " (--force packs it all the same)");
  return -1;
}

}  // namespace

int payloadCheck(const PayloadEntry* entries, size_t count, bool force) {
  CheckState st{force, 0, 0};
  // Names equal under case folding (as Windows compares them), first seen.
  struct FoldedLess {
    bool operator()(const std::string& a, const std::string& b) const {
      return utf8CaseOrder(a.c_str(), b.c_str()) < 0;
    }
  };
  std::map<std::string, std::string, FoldedLess> folded;
  for (size_t i = 0; i < count; i++) {
    std::string name = entries[i].name;
    checkComponent(&st, name);
    auto [it, fresh] = folded.emplace(name, name);
    if (!fresh)
      report(&st, false, name,
             "differs from " + it->second +
                 " only in letter case; on Windows one would replace "
                 "the other");
  }
  checkLayout(&st, entries, count);
  return verdict(st, "tree");
}

int payloadCheckScripts(const PayloadEntry* entries, size_t count, bool force) {
  CheckState st{force, 0, 0};
  checkScripts(&st, entries, count);
  return verdict(st, "archive");
}
