// A pseudo-terminal pair for tests: the tool opens the slave as its port.
#pragma once

#include <string>

namespace e2e {

class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& slave_path() const { return slave_path_; }
  int master() const { return master_; }

 private:
  int master_ = -1;
  std::string slave_path_;
};

}  // namespace e2e
