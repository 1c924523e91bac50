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
#include "record/utf8_text.h"

namespace travek {
namespace {

using Json = nlohmann::ordered_json;

struct RunRecord {
  Json values[kFieldCount];  // the record's, and the last of each event's own
  bool events = false;
  bool outcome_known = false;
  Outcome outcome{0};
  std::string message;  // the failure's, as its message wrote it
  uint32_t start_ms = 0;
  std::string log_path;
  bool aside = false;  // the records are the stations' runs'
};

RunRecord record;

Json& value(Field field) { return record.values[field.index]; }

// Text that may hold bytes that are not UTF-8 comes out with U+FFFD there.
std::string line_of(const Json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Every field of the record, in its order, from these values; the batch
// only where there is one.
Json record_of(const Json* values) {
  Json fields = Json::object();
  for (size_t i = 0; i < kRecordFields; ++i) fields[kFieldNames[i]] = values[i];
  if (!values[field("batch").index].is_null()) fields["batch"] = values[field("batch").index];
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

}  // namespace

void record_reset() {
  run_log_close();
  record = RunRecord{};
  value(field("tool")) = TRAVEK_VERSION;
  record.start_ms = now_ms();
}

void record_events(bool on) { record.events = on; }

bool record_events_on() { return record.events; }

bool record_open_log(const char* path) {
  record.log_path = path;
  return run_log_open(path);
}

bool record_wanted() { return record.events || run_log_is_open(); }

void record_number(Field field, uint64_t number) { value(field) = number; }

void record_text(Field field, const char* text) {
  if (text != nullptr) value(field) = text;
}

void record_list_add(Field field, const char* text) {
  if (text == nullptr) {
    value(field).push_back(nullptr);
  } else {
    value(field).push_back(text);
  }
}

void record_event(Event event) {
  if (!record.events) return;
  const EventRow& row = event_row(event);
  Json line = Json::object();
  line["event"] = row.name;
  for (const char* name : row.fields) {
    if (name != nullptr) line[name] = record.values[field_index(name)];
  }
  const std::string text = line_of(line);
  con_emit_line(text.data(), text.size());
}

void record_failure(Outcome ended, const char* message) {
  record.outcome = ended;
  record.outcome_known = true;
  record.message = message;
}

void record_stand_aside() { record.aside = true; }

bool record_log_line(const std::string& line) {
  if (!run_log_is_open()) return true;
  char reason[256];
  if (run_log_append(line.data(), line.size(), reason, sizeof(reason))) return true;
  con_diagnostic(msg::kDiagReason, record.log_path.c_str(), reason);
  return false;
}

std::string record_blank() {
  Json values[kFieldCount];
  values[field("time").index] = utc_now();
  values[field("tool").index] = TRAVEK_VERSION;
  return line_of(record_of(values));
}

int record_finish(int exit_code) {
  int status = exit_code == 0 ? 0 : 255;
  if (record.aside) {
    run_log_close();
    return status;
  }
  value(field("time")) = utc_now();
  value(field("total_ms")) = now_ms() - record.start_ms;
  value(field("status")) = status;
  // A failure is always named where it is found; a run that ends in error
  // without one has been ended from outside the protocol's own steps.
  const Outcome ended = status == 0            ? outcome("ok")
                        : record.outcome_known ? record.outcome
                                               : outcome("aborted");
  value(field("result")) = outcome_key(ended);
  if (ended != outcome("ok")) {
    value(field("message")) = trimmed(record.message, "\n");
  }
  if (run_log_is_open()) {
    const std::string line = line_of(record_of(record.values));
    char reason[256];
    if (!run_log_append(line.data(), line.size(), reason, sizeof(reason))) {
      con_diagnostic(msg::kDiagReason, record.log_path.c_str(), reason);
      status = 255;
      value(field("status")) = status;
      if (ended == outcome("ok")) {
        value(field("result")) = outcome_key(outcome("log-write-error"));
        value(field("message")) = record.log_path + ": " + reason;
      }
    }
    run_log_close();
  }
  if (record.events) {
    Json end = Json::object();
    end["event"] = event_row(event("end")).name;
    const Json fields = record_of(record.values);
    for (auto& [key, value] : fields.items()) end[key] = value;
    const std::string text = line_of(end);
    con_emit_line(text.data(), text.size());
  }
  return status;
}

}  // namespace travek
