// A production job (-job:FILE, job/job_file.h) made into the run's options:
// the job fixes the run, and its image is the one it pins, or nothing is
// sent.
#pragma once

#include <string>

#include "job/job_file.h"
#include "run/station_run.h"

namespace travek {

struct Program;

// The job as read, and the paths its file names, taken from its folder.
struct Job {
  JobFile file;
  std::string sha256;  // of the job file's text: the records name the text they ran under
  std::string image;   // the paths, as they are opened
  std::string numbers;
  std::string log;
};

// Reads the job, shows it, and sets the options and the input file by it;
// ends the run on a fault of the job file or of its image's opening. A
// station's process of the job's run keeps the port it was given.
void load_job(Program& p, RunRecord& record);

// Names the job and its text's hash in the record; nothing without a job.
void record_job(RunRecord& record, const Job& job);

// Ends the run unless the data's digest is the SHA-256 the job pins; the
// digest is of the very bytes that are sent.
void check_job_image(const Program& p, const RunData& data);

}  // namespace travek
