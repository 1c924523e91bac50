// Helpers for reading what a run on the virtual-time line left behind.
#pragma once

#include <string>

#include "support/output.h"
#include "virtual_line.h"

namespace testing_support {

// Every violation the station noted, a line each.
inline std::string violations(const sim::Verdict& v) {
  std::string all;
  for (const std::string& text : v.violations) all += text + "\n";
  return all;
}

// The time at which the console got a text containing this; -1 if never.
inline double written_at(const sim::VirtualLine& line, const std::string& text) {
  for (const sim::ConsoleWrite& w : line.console_log()) {
    if (w.text.find(text) != std::string::npos) return w.at_ms;
  }
  return -1;
}

inline bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace testing_support
