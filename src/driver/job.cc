#include "driver/job.h"

#include <vector>

#include "common/file_paths.h"
#include "common/messages.h"
#include "console/console.h"
#include "driver/program.h"
#include "record/sha256.h"
#include "run/fail.h"

namespace travek {
namespace {

// A job file is a few lines; anything larger is no job.
constexpr uint64_t kMaxJobFile = 1u << 20;

// The job file's text, or the run ends with its reason.
std::string read_job_text(const char* path) {
  InputFile file;
  if (!input_open(file, path)) fail("job-file-error:open", UserText{path});
  std::string text(file.size <= kMaxJobFile ? file.size : 0, '\0');
  uint32_t count = 0;
  const bool read = file.size <= kMaxJobFile &&
                    input_read(file, 0, reinterpret_cast<uint8_t*>(text.data()),
                               static_cast<uint32_t>(text.size()), &count) &&
                    count == text.size();
  input_close(file);
  if (!read) {
    con_diagnostic(msg::kDiagReason, path, "cannot be read");
    fail("job-file-error:open", UserText{path});
  }
  return text;
}

[[noreturn]] void job_fault(const JobVerdict& verdict) {
  if (verdict.fault == JobFault::kMissingKey) fail("job-file-error:missing", verdict.key);
  fail("job-file-error", verdict.line,
       verdict.fault == JobFault::kUnknownKey ? msg::kNumbersUnknownKey
       : verdict.fault == JobFault::kKeyTwice ? msg::kNumbersKeyTwice
                                              : msg::kNumbersBadValue);
}

// The ports and the mode, for the run as a whole; a station's process of
// it keeps the port it was given.
void set_ports(const JobFile& job, RunOptions& o) {
  if (o.batch != 0 || o.line_port) return;
  o.repeat = job.mode == JobMode::kBatch;
  o.auto_line = job.mode == JobMode::kAuto;
  if (job.ports.size() == 1) {
    o.port_path = job.ports[0].c_str();
    return;
  }
  o.port_count = static_cast<int>(job.ports.size());
  for (size_t i = 0; i < job.ports.size(); ++i) o.ports[i] = job.ports[i].c_str();
}

// The job's settings, as their switches would set them; the offset and the
// address as their switches' prefixes, which a file that places its own
// data refuses by name.
void set_options(const Job& job, RunOptions& o) {
  const JobFile& f = job.file;
  o.format_forced = f.format_given;
  o.format = f.format;
  if (f.offset != 0) {
    o.file_offset = f.offset;
    o.offset_switch = "-o:";
  }
  if (f.address != 0) {
    o.start_address = f.address;
    o.address_switch = "-a:";
  }
  if (!job.numbers.empty()) o.numbers_path = job.numbers.c_str();
  if (!job.log.empty() && o.log_path == nullptr) o.log_path = job.log.c_str();
  o.restart_at_once = o.restart_at_once || f.restart_at_once;
  o.input_name = job.image.c_str();
  set_ports(f, o);
}

}  // namespace

void load_job(Program& p, RunRecord& record) {
  const char* path = p.options.job_path;
  const std::string text = read_job_text(path);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  Job& job = p.job;
  const JobVerdict verdict = parse_job_file(bytes, text.size(), &job.file);
  if (verdict.fault != JobFault::kNone) job_fault(verdict);
  Sha256 digest;
  sha256_add(digest, bytes, text.size());
  char hex[SHA256_HEX_SIZE] = {};
  sha256_end(digest, hex);
  job.sha256 = hex;
  record_job(record, job);
  con_printf(msg::kJobName, job.file.name.c_str());
  con_printf(msg::kJobImage, job.file.image.c_str(), job.file.sha256.c_str());
  job.image = path_beside(path, job.file.image);
  if (!job.file.numbers.empty()) job.numbers = path_beside(path, job.file.numbers);
  if (!job.file.log.empty()) job.log = path_beside(path, job.file.log);
  set_options(job, p.options);
  if (!input_open(p.input, job.image.c_str())) fail("file-open-error", UserText{job.image.c_str()});
}

void record_job(RunRecord& record, const Job& job) {
  if (job.sha256.empty()) return;
  record_text(record, field("job"), job.file.name.c_str());
  record_text(record, field("job_sha256"), job.sha256.c_str());
}

void check_job_image(const Program& p, const RunData& data) {
  if (p.options.job_path == nullptr || p.job.file.sha256 == data.input_sha256) return;
  con_diagnostic(msg::kDiagJobImage, p.job.image.c_str(),
                 static_cast<const char*>(data.input_sha256), p.job.file.sha256.c_str());
  fail("job-image-mismatch");
}

}  // namespace travek
