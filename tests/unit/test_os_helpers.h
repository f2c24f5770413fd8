// Helpers shared by the OS-layer and logging tests: string buffers, stream reads and writes, file
// facts, argument vectors, standard-error capture and a listener on the loopback address.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "iostream.h"
#include "memory.h"
#include "osfile.h"
#include "ossocket.h"
#include "stringbuf.h"
#include "test_sb_helpers.h"

// The string buffer for the life of a scope, by the name these tests use.
using TestSb = Sb;

// The text of an allocated string, which is freed; `ifNull` for none.
inline std::string testTakeText(char* s, const char* ifNull = "<null>") {
  std::string out = s ? s : ifNull;
  memFree(s);
  return out;
}

// The bytes of a file ("" when it cannot be read), read without the code under test.
inline std::string testReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void testWriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Everything a stream still holds, or its first `want` bytes or more (reads stop once they arrived).
inline std::string testReadAll(IoStream* s, size_t want = SIZE_MAX) {
  std::string out;
  char buf[4096];
  uint32_t got = 0;
  while (out.size() < want && iosRead(s, buf, sizeof buf, &got) == 0 && got > 0) out.append(buf, got);
  return out;
}

// The position of a stream, or UINT64_MAX when it cannot be told.
inline uint64_t testSeekOf(IoStream* s) {
  uint64_t pos = 0;
  return iosGetSeek(s, &pos) == 0 ? pos : UINT64_MAX;
}

// The size of a file, or -1 when osFileGetSize fails.
inline int64_t testSizeOf(const std::string& path) {
  uint64_t size = 0;
  return osFileGetSize(path.c_str(), &size) == 0 ? (int64_t)size : -1;
}

// 0 when all of `text` was written.
inline int testWriteAll(IoStream* s, const std::string& text) {
  uint32_t done = 0;
  const int rc = iosWrite(s, text.data(), (uint32_t)text.size(), &done);
  return rc == 0 && done == text.size() ? 0 : -1;
}

// The permission text osFileGetInfo gives for `path` ("<fail>" on failure).
inline std::string testPerms(const std::string& path) {
  TestSb perms;
  const int rc = osFileGetInfo(path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, perms.ptr(), nullptr);
  return rc == 0 ? perms.str() : "<fail>";
}

inline bool testIsHidden(const std::string& path) { return testPerms(path).find("Hidden ") != std::string::npos; }
inline bool testIsReadOnly(const std::string& path) { return testPerms(path).find("Readonly ") != std::string::npos; }

// A list of texts, as the expected side of a comparison.
using TestNames = std::vector<std::string>;

// What fn gives for each item, in order.
template <typename Fn>
TestNames testEach(Fn fn, std::initializer_list<const char*> items) {
  TestNames out;
  for (const char* item : items) out.push_back(fn(item));
  return out;
}

// The texts of a null-terminated list, or of its first `count` when that is not negative.
inline TestNames testStrings(char* const* list, int count = -1) {
  TestNames out;
  for (int i = 0; list && (count < 0 ? list[i] != nullptr : i < count); i++) out.push_back(list[i]);
  return out;
}

// A writable argument vector: argc and argv as a main function gets them.
struct TestArgv {
  std::vector<std::string> storage;
  std::vector<char*> pointers;
  int argc = 0;
  char** argv = nullptr;
  TestArgv(std::initializer_list<const char*> args) : storage(args.begin(), args.end()) {
    for (std::string& s : storage) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    argc = (int)storage.size();
    argv = pointers.data();
  }
};

// Standard error (where records go while no log is open) between construction and take().
struct TestStderr {
  bool taken = false;
  TestStderr() { ::testing::internal::CaptureStderr(); }
  std::string take() { return taken = true, ::testing::internal::GetCapturedStderr(); }
  ~TestStderr() {
    if (!taken) take();
  }
};

// Starts a listener on 127.0.0.1 at a free port; `bound` gets its address.
inline void testListenLoopback(uint32_t backlog, IoStream** listener, OsSocketAddress* bound) {
  ASSERT_EQ(osSocketInit(), 0);
  OsSocketAddress local = {};
  ASSERT_EQ(osSocketParseAddress("socket:127.0.0.1:1", &local), 0);
  local.port = 0;
  ASSERT_EQ(osSocketListen(&local, backlog, listener), 0);
  ASSERT_EQ(osSocketLocalAddress(*listener, bound), 0);
  ASSERT_NE(bound->port, 0);
}
