#include "station_sim_process.h"

namespace e2e {

// The paths come in one write, before anything else.
StationSim::StationSim(const std::vector<std::string>& args, size_t stations)
    : child_(STATION_SIM_PATH, args) {
  if (!child_.wait_for_output("\n", 10000)) return;
  const std::string& out = child_.out();
  for (size_t at = 0, end = out.find('\n'); end != std::string::npos && ports_.size() < stations;
       at = end + 1, end = out.find('\n', at)) {
    ports_.push_back(out.substr(at, end - at));
  }
  port_ = ports_.front();
}

ChildResult StationSim::finish(int timeout_ms) {
  result_ = child_.finish(timeout_ms);
  return result_;
}

std::string StationSim::verdict() const {
  size_t start = result_.out.find('{');
  if (start == std::string::npos) return "";
  return result_.out.substr(start, result_.out.find('\n', start) - start);
}

std::string json_field(const std::string& json, const std::string& name) {
  std::string key = "\"" + name + "\":";
  size_t at = json.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  size_t end = json[at] == '[' ? json.find(']', at) + 1 : json.find_first_of(",}", at);
  return json.substr(at, end - at);
}

}  // namespace e2e
