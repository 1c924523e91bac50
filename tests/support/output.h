// What every test of the tool's output needs: the texts that open and close
// a run, and a check that one text holds another which, when it fails, shows
// both; and how often one text stands in another.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace testing_support {

inline const std::string kBanner = "\n\"TRAVEK\", WIN32 Console version 1.03\n";
inline const std::string kPressKey = "\nPress a key to exit\n\n";

inline ::testing::AssertionResult contains(const std::string& text, const std::string& part) {
  const size_t at = text.find(part);
  if (at == std::string::npos) {
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n\"" << text << "\"";
  }
  return ::testing::AssertionSuccess()
         << "\"" << part << "\" found at " << at << " in:\n\"" << text << "\"";
}

// How many times part stands in text, overlaps counted.
inline size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

}  // namespace testing_support
