#include "record/run_record.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "common/messages.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "record/event_schema.h"
#include "record/run_log.h"

namespace travek {

using Json = nlohmann::ordered_json;

struct RecordValues {
  Json values[kFieldCount];  // the record's, and the last of each event's own
};

namespace {

Json& value(RunRecord& record, Field field) { return record.values->values[field.index]; }

// Text that may hold bytes that are not UTF-8 comes out with U+FFFD there.
std::string line_of(const Json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const Json& value_of(const RunRecord& record, Field field) {
  return record.values->values[field.index];
}

// A run of a job names the job and its text's SHA-256.
void add_job(const RunRecord& record, Json* line) {
  if (value_of(record, field("job")).is_null()) return;
  for (Field f : {field("job"), field("job_sha256")}) (*line)[field_name(f)] = value_of(record, f);
}

// Every field of the record, in its order; the batch only where there is
// one, and a station of a line's ordinal and wait (with a batch of null).
Json record_of(const RunRecord& record) {
  const Json* values = record.values->values;
  Json fields = Json::object();
  for (size_t i = 0; i < kRecordFields; ++i) fields[kFieldNames[i]] = values[i];
  const bool line = !value_of(record, field("cycle")).is_null();
  for (Field f : {field("batch"), field("cycle"), field("waited_ms")}) {
    if (line || !values[f.index].is_null()) fields[field_name(f)] = values[f.index];
  }
  add_job(record, &fields);
  if (record.with_fields) fields[field_name(field("fields"))] = value_of(record, field("fields"));
  return fields;
}

// 2026-12-08T16:49:32.123Z
std::string utc_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", std::gmtime(&seconds));
  char full[48];
  std::snprintf(full, sizeof(full), "%s.%03dZ", text, static_cast<int>(millis));
  return full;
}

std::string trimmed(std::string text, const char* what) {
  const size_t first = text.find_first_not_of(what);
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(what);
  return text.substr(first, last - first + 1);
}

// The end's own fields: when, how long, the status and how the run ended.
// Returns the status.
int complete(RunRecord& record, int exit_code) {
  const int status = exit_code == 0 ? 0 : 255;
  value(record, field("time")) = utc_now();
  value(record, field("total_ms")) = now_ms() - record.start_ms;
  value(record, field("status")) = status;
  // A failure is always named where it is found; a run that ends in error
  // without one has been ended from outside the protocol's own steps.
  const Outcome ended = status == 0            ? outcome("ok")
                        : record.outcome_known ? record.outcome
                                               : outcome("aborted");
  value(record, field("result")) = outcome_key(ended);
  if (ended != outcome("ok")) {
    value(record, field("message")) = trimmed(record.message, "\n");
    if (!record.reason.empty()) value(record, field("reason")) = record.reason;
  }
  return status;
}

// False, with the reason on standard error and in the record, when the
// log could not take it: a run that was ok is then a failure.
bool append_to_log(RunRecord& record) {
  const std::string line = line_of(record_of(record));
  char reason[256];
  if (run_log_append(*record.log, line.data(), line.size(), reason, sizeof(reason))) return true;
  con_diagnostic(msg::kDiagReason, record.log->path.c_str(), static_cast<const char*>(reason));
  record.log_failed = true;
  value(record, field("status")) = 255;
  if (value(record, field("result")) == outcome_key(outcome("ok"))) {
    value(record, field("result")) = outcome_key(outcome("log-write-error"));
    value(record, field("message")) = record.log->path + ": " + reason;
  }
  return false;
}

void emit(const Json& line) {
  const std::string text = line_of(line);
  con_emit_line(text.data(), text.size());
}

}  // namespace

RunRecord::RunRecord() : values(std::make_unique<RecordValues>()), start_ms(now_ms()) {
  value(*this, field("tool")) = TRAVEK_VERSION;
}

RunRecord::~RunRecord() = default;

bool record_wanted(const RunRecord& record) {
  return record.events || (record.log != nullptr && run_log_is_open(*record.log));
}

void record_number(RunRecord& record, Field field, uint64_t number) {
  value(record, field) = number;
}

void record_text(RunRecord& record, Field field, const char* text) {
  if (text != nullptr) value(record, field) = text;
}

void record_list_add(RunRecord& record, Field field, const char* text) {
  if (text == nullptr) {
    value(record, field).push_back(nullptr);
  } else {
    value(record, field).push_back(text);
  }
}

void record_json(RunRecord& record, std::string_view name, const std::string& json) {
  const size_t index = field_index(name);
  if (index < kFieldCount) value(record, Field{index}) = Json::parse(json, nullptr, false);
}

void record_event(const RunRecord& record, Event event) {
  if (!record.events) return;
  const EventRow& row = event_row(event);
  Json line = Json::object();
  line["event"] = row.name;
  for (const char* name : row.fields) {
    if (name != nullptr) line[name] = record.values->values[field_index(name)];
  }
  // Every event of a station of a line says which of the port's it is.
  const Json& cycle = value_of(record, field("cycle"));
  if (!cycle.is_null()) line[field_name(field("cycle"))] = cycle;
  if (event == travek::event("start")) add_job(record, &line);
  if (event == travek::event("number") && record.with_fields) {
    line[field_name(field("fields"))] = value_of(record, field("fields"));
  }
  emit(line);
}

void record_failure(RunRecord& record, Outcome ended, const char* message) {
  record.outcome = ended;
  record.outcome_known = true;
  record.message = message;
}

std::string record_end_event(const RunRecord& record) {
  Json end = Json::object();
  end["event"] = event_row(event("end")).name;
  const Json fields = record_of(record);
  for (auto& [key, value] : fields.items()) end[key] = value;
  return line_of(end);
}

int record_finish(RunRecord& record, int exit_code) {
  if (record.aside) return exit_code == 0 ? 0 : 255;
  int status = complete(record, exit_code);
  if (record.log != nullptr && run_log_is_open(*record.log) && !append_to_log(record)) {
    status = 255;
  }
  if (record.events) {
    const std::string text = record_end_event(record);
    con_emit_line(text.data(), text.size());
  }
  return status;
}

}  // namespace travek
