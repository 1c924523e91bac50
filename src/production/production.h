// The runs of many stations from one PC: every port of -ports: flashed with
// the same image at once, batch after batch with -repeat.
//
// Principles of operation:
//  - Each station's run is the tool's own single run, unchanged, in a child
//    process of its own with -json and that port; a station's failure ends
//    that child alone. The protocol code never knows it runs as one of many.
//  - This process is the one operator and the one writer: it reads every
//    child's events, draws the view, reads the keys and hands them on
//    (Esc to the stations still waiting for their start byte; Enter or Esc
//    to all of them at once at the jumper prompt), and writes the log.
//  - A child that ends without its end event has failed ("aborted"); a
//    child that cannot be started has too. The others go on.
//  - A termination request stops every child, which records itself as
//    terminated; a child that does not end within 10 s is killed.
#pragma once

#include <string>
#include <vector>

#include "record/run_record.h"
#include "run/run_options.h"

namespace travek {

// Runs the stations of the options' ports, each child given these
// arguments (the switches every station shares, and the file) and its own;
// then the summary. Returns the exit code: 0 when every station ended well
// and every record was written. The run's own record stands aside: the
// records are the stations'. A termination request stops and records every
// station, and goes on to the run's ending.
int run_production(const RunOptions& options, RunRecord& record,
                   const std::vector<std::string>& shared_args);

}  // namespace travek
