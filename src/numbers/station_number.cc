#include "numbers/station_number.h"

#include <string>

#include "common/messages.h"
#include "console/console.h"
#include "numbers/number_command.h"
#include "numbers/numbers_store.h"
#include "record/run_record.h"
#include "run/fail.h"

namespace travek {
namespace {

// A command has this long to give its number.
constexpr int kCommandLimitMs = 10000;

// A file that cannot be read or does not parse.
[[noreturn]] void file_fault(const char* path, const NumbersResult& result) {
  if (result.taking == NumbersTaking::kUnreadable) {
    con_diagnostic(msg::kDiagReason, path, result.reason);
    fail("numbers-file-error:open", UserText{path});
  }
  const NumbersVerdict& verdict = result.verdict;
  if (verdict.fault == NumbersFault::kMissingKey) fail("numbers-file-error:missing", verdict.key);
  fail("numbers-file-error", static_cast<unsigned>(verdict.line),
       verdict.fault == NumbersFault::kUnknownKey ? msg::kNumbersUnknownKey
       : verdict.fault == NumbersFault::kKeyTwice ? msg::kNumbersKeyTwice
                                                  : msg::kNumbersBadValue);
}

bool field_inside(const NumbersFile& file, uint32_t start_address, uint32_t length) {
  return file.address >= start_address && static_cast<uint64_t>(file.address) + file.bytes <=
                                              static_cast<uint64_t>(start_address) + length;
}

// A number by the file's command, which it was given in *file.
uint64_t from_command(const StationRun& run, const char* path, NumbersFile* file) {
  uint64_t number = 0;
  char what[512];
  if (!number_from_command(file->command.c_str(), port_name(run.options), run.data.input_sha256,
                           kCommandLimitMs, &number, what, sizeof(what))) {
    con_diagnostic(msg::kDiagReason, path, what);
    fail("number-command-failed");
  }
  return number;
}

// The counter's next number, under the file's lock; *file becomes the file
// read under it, whose field the number goes into. A file given a command
// meanwhile is that command's.
uint64_t from_counter(const StationRun& run, const char* path, NumbersFile* file) {
  NumbersResult taken = numbers_take(path);
  if (taken.taking == NumbersTaking::kExhausted) fail("numbers-exhausted");
  if (taken.taking == NumbersTaking::kWriteError) {
    con_diagnostic(msg::kDiagReason, path, taken.reason);
    fail("numbers-write-error");
  }
  if (taken.taking != NumbersTaking::kOk && taken.taking != NumbersTaking::kNoCounter) {
    file_fault(path, taken);
  }
  *file = taken.file;
  return taken.taking == NumbersTaking::kOk ? taken.number : from_command(run, path, file);
}

// Where a station's number comes from, by what the file names: its own
// counter, or a command that draws it (from a sequence the line's PCs
// share).
struct NumbersSource {
  bool command;  // the files it serves: those with a command, or a counter
  uint64_t (*draw)(const StationRun& run, const char* path, NumbersFile* file);
};

constexpr NumbersSource kSources[] = {{false, from_counter}, {true, from_command}};

const NumbersSource& source_for(const NumbersFile& file) {
  const NumbersSource* source = kSources;
  while (source->command != file.from_command) ++source;
  return *source;
}

}  // namespace

void check_numbers_file(const char* path) {
  const NumbersResult checked = numbers_check(path);
  if (checked.taking != NumbersTaking::kOk) file_fault(path, checked);
}

void take_station_number(StationRun& run, uint32_t start_address) {
  const char* path = run.options.numbers_path;
  const uint32_t length = run.data.data_length;
  const NumbersResult checked = numbers_check(path);
  if (checked.taking != NumbersTaking::kOk) file_fault(path, checked);
  if (!field_inside(checked.file, start_address, length)) fail("number-outside-data");
  NumbersFile file = checked.file;
  const uint64_t number = source_for(file).draw(run, path, &file);
  record_number(run.record, field("number"), number);  // taken: the run's, whatever comes now
  const std::string decimal = std::to_string(number);
  // The file may have changed between the check and the taking.
  if (!field_inside(file, start_address, length)) fail("number-outside-data");
  uint8_t* field_bytes = run.data.data_buffer.data() + (file.address - start_address);
  if (!encode_number(number, file.encoding, file.bytes, field_bytes)) {
    fail("number-too-large", decimal.c_str());
  }
  report(run.record, "number", decimal.c_str(), static_cast<unsigned long long>(number),
         static_cast<unsigned>(file.address));
}

}  // namespace travek
