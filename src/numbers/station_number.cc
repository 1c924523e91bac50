#include "numbers/station_number.h"

#include <algorithm>
#include <string>
#include <vector>

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
  // A field's key that is missing is named by the file that lacks it.
  const char* missing = result.file.missing.empty() ? verdict.key : result.file.missing.c_str();
  if (verdict.fault == NumbersFault::kMissingKey) fail("numbers-file-error:missing", missing);
  fail("numbers-file-error", static_cast<unsigned>(verdict.line),
       verdict.fault == NumbersFault::kUnknownKey ? msg::kNumbersUnknownKey
       : verdict.fault == NumbersFault::kKeyTwice ? msg::kNumbersKeyTwice
                                                  : msg::kNumbersBadValue);
}

// What a source gives a station: its number, the file as read when it was
// drawn (whose fields the values go into), and each field's value.
struct Drawn {
  uint64_t number = 0;
  NumbersFile file;
  std::vector<FieldValue> values;
};

// A taking that gave nothing: the fault of the file, of its counter, of a
// field, of the disk.
[[noreturn]] void taking_fault(const char* path, const NumbersResult& taken) {
  if (taken.taking == NumbersTaking::kExhausted) fail("numbers-exhausted");
  if (taken.taking == NumbersTaking::kFieldExhausted) fail("field-exhausted", taken.field.c_str());
  if (taken.taking == NumbersTaking::kListError) {
    const auto f = std::find_if(taken.file.fields.begin(), taken.file.fields.end(),
                                [&](const NumbersField& f) { return f.name == taken.field; });
    fail("list-error", f->list.c_str(), taken.list_line);
  }
  if (taken.taking == NumbersTaking::kWriteError) {
    con_diagnostic(msg::kDiagReason, path, taken.reason);
    fail("numbers-write-error");
  }
  file_fault(path, taken);
}

// A number by the file's command; then the fields, from the file under its
// lock. The number drawn is the run's from then on: burnt, and recorded,
// if the fields cannot be taken.
Drawn from_command(StationRun& run, const char* path, const NumbersFile& file) {
  Drawn drawn{0, file, {}};
  char what[512];
  if (!number_from_command(file.command.c_str(), port_name(run.options), run.data.input_sha256,
                           kCommandLimitMs, &drawn.number, what, sizeof(what))) {
    con_diagnostic(msg::kDiagReason, path, what);
    fail("number-command-failed");
  }
  record_number(run.record, field("number"), drawn.number);
  if (file.fields.empty()) return drawn;
  NumbersResult taken = numbers_take_fields(path);
  if (taken.taking != NumbersTaking::kOk) taking_fault(path, taken);
  drawn.file.fields = taken.file.fields;
  drawn.values = std::move(taken.values);
  return drawn;
}

// The counter's next number and every field, under the file's lock. A
// file given a command meanwhile is that command's.
Drawn from_counter(StationRun& run, const char* path, const NumbersFile&) {
  NumbersResult taken = numbers_take(path);
  if (taken.taking == NumbersTaking::kNoCounter) return from_command(run, path, taken.file);
  if (taken.taking != NumbersTaking::kOk) taking_fault(path, taken);
  return Drawn{taken.number, taken.file, std::move(taken.values)};
}

// Where a station's number comes from, by what the file names: its own
// counter, or a command that draws it (from a sequence the line's PCs
// share).
struct NumbersSource {
  bool command;  // the files it serves: those with a command, or a counter
  Drawn (*draw)(StationRun& run, const char* path, const NumbersFile& file);
};

constexpr NumbersSource kSources[] = {{false, from_counter}, {true, from_command}};

const NumbersSource& source_for(const NumbersFile& file) {
  const NumbersSource* source = kSources;
  while (source->command != file.from_command) ++source;
  return *source;
}

// A counter as upper-case hex digits, two for each byte of its field.
std::string hex_digits(uint64_t value, uint32_t bytes) {
  std::string digits(2 * bytes, '0');
  for (size_t i = digits.size(); i-- > 0 && value != 0; value >>= 4) {
    digits[i] = "0123456789ABCDEF"[value & 15];
  }
  return digits;
}

bool inside(uint32_t address, uint32_t bytes, uint32_t start_address, uint32_t length) {
  return address >= start_address &&
         static_cast<uint64_t>(address) + bytes <= static_cast<uint64_t>(start_address) + length;
}

// Every byte of the number's field, and of each field, inside the data.
void check_inside(const NumbersFile& file, uint32_t start_address, uint32_t length) {
  if (!inside(file.address, file.bytes, start_address, length)) fail("number-outside-data");
  for (const NumbersField& f : file.fields) {
    if (!inside(f.address, f.bytes, start_address, length)) {
      fail("field-outside-data", f.name.c_str());
    }
  }
}

// The fields taken, in the record: a counter's number, a list's line alone,
// never its value. Taken, they are the run's, whatever comes now.
void record_fields(StationRun& run, const Drawn& drawn) {
  if (drawn.file.fields.empty()) return;
  std::string json;
  for (size_t i = 0; i < drawn.file.fields.size(); ++i) {
    const NumbersField& f = drawn.file.fields[i];
    const std::string value = std::to_string(drawn.values[i].value);
    json +=
        (i == 0 ? "\"" : ",\"") + f.name + "\":" + (f.is_list ? "{\"line\":" + value + "}" : value);
  }
  record_json(run.record, "fields", "{" + json + "}");
}

// Each field's value written into the data, and its console line: a
// counter's number (in hex if its file says so), a list's line alone.
std::string write_fields(StationRun& run, const Drawn& drawn, uint32_t start_address) {
  std::string lines;
  for (size_t i = 0; i < drawn.file.fields.size(); ++i) {
    const NumbersField& f = drawn.file.fields[i];
    const FieldValue& v = drawn.values[i];
    uint8_t* at = run.data.data_buffer.data() + (f.address - start_address);
    std::string shown;
    if (f.is_list) {
      std::copy(v.bytes.begin(), v.bytes.end(), at);
      shown = format_text(msg::kListLine, static_cast<unsigned>(v.value));
    } else {
      encode_number(v.value, f.encoding, f.bytes, at);
      shown = f.show_hex ? hex_digits(v.value, f.bytes) : std::to_string(v.value);
    }
    lines += format_text(msg::kStationField, f.name.c_str(), shown.c_str());
  }
  return lines;
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
  run.record.with_fields = !checked.file.fields.empty();
  check_inside(checked.file, start_address, length);
  const Drawn drawn = source_for(checked.file).draw(run, path, checked.file);
  record_number(run.record, field("number"), drawn.number);  // taken: the run's, whatever comes now
  record_fields(run, drawn);
  const std::string decimal = std::to_string(drawn.number);
  // The file may have changed between the check and the taking.
  check_inside(drawn.file, start_address, length);
  uint8_t* number_bytes = run.data.data_buffer.data() + (drawn.file.address - start_address);
  if (!encode_number(drawn.number, drawn.file.encoding, drawn.file.bytes, number_bytes)) {
    fail("number-too-large", decimal.c_str());
  }
  const std::string fields = write_fields(run, drawn, start_address);
  report(run.record, "number", decimal.c_str(), fields.c_str(),
         static_cast<unsigned long long>(drawn.number), static_cast<unsigned>(drawn.file.address));
}

}  // namespace travek
