// What the run of many's parent keeps of each station and of the whole run,
// shared by its loop (production.cc) and its view and summaries (view.cc).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "production/children.h"
#include "record/run_record.h"
#include "run/run_options.h"

namespace travek {

using Json = nlohmann::ordered_json;

enum class Stage {
  kWaiting,
  kResident,
  kLoading,
  kJumper,
  kDone,
  kFailed,
  // An unattended line's.
  kWaitingStation,
  kJumperSet,
  kPortLost,
};

// A port's station (of a batch), or a line's port and its station under way.
struct Station {
  const char* port = nullptr;
  Stage stage = Stage::kWaiting;
  unsigned percent = 0;
  std::string clock;
  std::string station_class;
  std::string message;     // a failure, on one line
  std::string number;      // its serial number, once it has one
  unsigned warnings = 0;   // sectors reported with a warning
  unsigned tenths = 0;     // the tenths of the load told on a plain line
  bool past_wait = false;  // its start byte has come
  bool end_seen = false;   // its record is in
  bool exited = false;     // its process is gone
  bool ok = false;
  Json known = Json::object();  // what its events told, for a record it cannot give
  std::string out_part;         // what it has written, up to a line not yet whole
  std::string err_part;
  std::string held_errors;  // kept off a terminal that shows the view
  uint32_t start_ms = 0;
  bool clock_stopped = false;  // its seconds stand at stopped_ms
  uint32_t stopped_ms = 0;
  // An unattended line's port: its counts, its failures by message, and
  // its sectors with a warning, over all its stations.
  unsigned ok_count = 0;
  unsigned failed_count = 0;
  std::vector<std::pair<std::string, unsigned>> failures;
  unsigned warnings_total = 0;
};

struct Production {
  Production(const RunOptions& run_options, RunRecord& own_record)
      : options(run_options), record(own_record) {}

  const RunOptions& options;
  RunRecord& record;  // its own, aside: its log and whether events are on
  bool line = false;  // an unattended line: each port station after station
  std::vector<std::string> args;
  int count = 0;
  const char* const* ports = nullptr;
  Station stations[MAX_PORTS];
  ChildSet children;
  unsigned batch = 0;
  unsigned ok = 0;  // in this batch
  unsigned failed = 0;
  unsigned total_ok = 0;
  unsigned total_failed = 0;
  bool view = false;    // lines kept in place on a terminal
  bool events = false;  // -json: one event stream for all
  bool log_failed = false;
  bool jumper_asked = false;
  bool in_batch = false;              // its children started, its summary not yet written
  const char* stop_signal = nullptr;  // set once a termination request came
  bool stopping = false;              // a line told by Esc to end
  bool started = false;               // a line's first start byte has come, at started_ms
  uint32_t started_ms = 0;
  std::string footer;  // a prompt shown under the view
  bool dirty = true;
  uint32_t drawn_ms = 0;
};

// Redrawn when something changed, and each second for the clocks; not
// more than once a tick.
void refresh(Production& pr, bool now);
// The totals; for a batch, then, each port's failure and its count of
// sectors with a warning; for a line, each port's counts and failures.
void summary(const Production& pr, unsigned ok, unsigned failed, bool with_ports);
// A line's stations an hour since its first start byte, to one decimal.
double per_hour(const Production& pr);

}  // namespace travek
