// station-sim as a child process: its pseudo-terminal paths (one a station),
// and at the end its verdict lines and exit status.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"

namespace e2e {

class StationSim {
 public:
  explicit StationSim(const std::vector<std::string>& args, size_t stations = 1);
  const std::string& port() const { return port_; }
  const std::vector<std::string>& ports() const { return ports_; }
  pid_t pid() const { return child_.pid(); }
  // Waits for the session verdict and the exit; the JSON line and status.
  ChildResult finish(int timeout_ms = 20000);
  std::string verdict() const;

 private:
  RunningChild child_;
  std::string port_;
  std::vector<std::string> ports_;
  ChildResult result_;
};

// The value of one field of a flat JSON object, as written ("true", "12").
std::string json_field(const std::string& json, const std::string& name);

}  // namespace e2e
