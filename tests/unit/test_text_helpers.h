// Checks on captured text (log records, file contents) shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

// Expects each piece of `has` somewhere in `text` and no piece of `lacks`.
inline void expectText(const std::string& text, std::initializer_list<const char*> has,
                       std::initializer_list<const char*> lacks = {}) {
  for (const char* piece : has)
    EXPECT_NE(text.find(piece), std::string::npos) << "lacks \"" << piece << "\" in:\n" << text;
  for (const char* piece : lacks)
    EXPECT_EQ(text.find(piece), std::string::npos) << "has \"" << piece << "\" in:\n" << text;
}
