// What the driver's files share: the parts of the program that outlive a
// station's run, and the steps every station's run begins with and its one
// ending.
#pragma once

#include <functional>

#include "driver/input_file.h"
#include "driver/job.h"
#include "link/serial_link.h"
#include "record/run_log.h"
#include "run/run_options.h"
#include "run/station_run.h"

namespace travek {

// The switches (or the job), the open input file, the run log and the
// port's link.
struct Program {
  RunOptions options;
  Job job;
  InputFile input;
  RunLog log;
  SerialLink link;
};

void record_options(RunRecord& record, const RunOptions& options);
// Opens and configures the port, with its reset pulse, or ends the run.
void open_serial_port(StationRun& run);
// Reads the input file into the run's data, and tells of it.
void load_input_file(Program& p, StationRun& run);
// True when the run needs the input file's digest: its record tells it,
// and a numbers command is given it.
bool digest_wanted(const StationRun& run);

// Runs a station's steps (which give its exit code) and completes its
// record in the one place, however they ended. Returns the status; a
// termination request that ended them is in *ended_by.
int run_station(StationRun& run, const std::function<int()>& steps, const char** ended_by);

}  // namespace travek
