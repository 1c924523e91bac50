// The record of one station's run, for the programs that drive the tool and
// the line supervisors that keep account of what went onto which station.
//
// Principles of operation:
//  - A fact of the run is reported once, where it is found, by report():
//    the one call writes the console text its event's row gives, sets the
//    record's fields, and writes the event when events are on. Nothing
//    else in the run's procedures knows whether a record is kept.
//  - Fields and events are named by the one schema (record/event_schema.h).
//    The record has every field from the start, null until the run gets
//    there, so a record always has the same shape; an event carries its
//    fields' values as last set.
//  - With events on (-json), each event is written at once as one JSON line
//    on standard output, and the console text is not written at all.
//  - A failure is recorded with its outcome and the very text its message
//    wrote on the console (run/fail.h), which becomes the record's message,
//    and with the operating system's reason when one was written.
//  - The record is completed once, by one builder (record_finish): appended
//    to the run log when there is one, and written as the last event. A log
//    that cannot take it turns the run into a failure, since the record the
//    operator asked for is missing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/text_format.h"
#include "console/console.h"
#include "record/event_schema.h"
#include "record/outcome.h"
#include "record/run_log.h"

namespace travek {

// Every field's value, as JSON (run_record.cc).
struct RecordValues;

struct RunRecord {
  // Nothing recorded yet but the tool's version; the run's time starts now.
  RunRecord();
  ~RunRecord();
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;

  std::unique_ptr<RecordValues> values;
  RunLog* log = nullptr;  // where the record goes, when a log is open
  bool events = false;    // each event and the end on standard output
  bool aside = false;     // a run of many: its records are its stations'
  bool outcome_known = false;
  Outcome outcome{0};
  std::string message;  // the failure's, as its message wrote it
  std::string reason;   // the operating system's, when one was told
  uint32_t start_ms = 0;
  bool log_failed = false;  // the log could not take the record
  // The numbers file gives stations fields beside their numbers: the record
  // and the number event carry them, null until they are taken.
  bool with_fields = false;
};

// True when a log is open or events are on.
bool record_wanted(const RunRecord& record);

// A field's value. Text is UTF-8; null text leaves the field as it is.
void record_number(RunRecord& record, Field field, uint64_t value);
void record_text(RunRecord& record, Field field, const char* text);
// One more entry of a list field; null text is a null entry.
void record_list_add(RunRecord& record, Field field, const char* text);
// A field named as a JSON line names it, with its JSON text; a name that
// is none of the schema's is ignored.
void record_json(RunRecord& record, std::string_view name, const std::string& json);
// Writes the event with its fields' values.
void record_event(const RunRecord& record, Event event);

// How the run fails: the outcome and the text its message wrote (a signal's
// name for a termination request).
void record_failure(RunRecord& record, Outcome ended, const char* message);

// Completes the record for a run ending with this exit code, writes it to
// the log and, with events on, as the end event. Returns the status to end
// with. A run of many's own record (aside) is neither.
int record_finish(RunRecord& record, int exit_code);
// The completed record as an end event line.
std::string record_end_event(const RunRecord& record);

// A report's values: any the console text alone needs, then the event's
// fields' values in the row's order. The console text is a format over the
// first of them, which must use every value that is no field; the count
// and the types are checked when the call is compiled.
inline void report_values_mismatch() {}

template <class... Values>
struct CheckedReport {
  Event checked;
  consteval CheckedReport(const char* name) : checked(event(name)) {
    constexpr char kinds[] = {arg_kind<Values>()..., 0};
    const size_t fields = field_count(checked);
    const char* console = event_row(checked).console;
    const size_t used = count_conversions(console);
    if (sizeof...(Values) < fields || used + fields < sizeof...(Values) ||
        used > sizeof...(Values) || !format_fits(console, kinds, used)) {
      report_values_mismatch();
    }
  }
};

template <class T>
void record_value(RunRecord& record, Field field, T value) {
  if constexpr (std::is_pointer_v<T>) {
    record_text(record, field, value);
  } else {
    record_number(record, field, value);
  }
}

// One fact of the run, reported once: its console text, its fields, its
// event.
template <class... Values>
void report(RunRecord& record, std::type_identity_t<CheckedReport<Values...>> fact,
            Values... values) {
  const EventRow& row = event_row(fact.checked);
  [[maybe_unused]] const size_t first_field = sizeof...(Values) - field_count(fact.checked);
  [[maybe_unused]] size_t i = 0;
  [[maybe_unused]] auto set = [&](auto value) {
    if constexpr (!std::is_same_v<decltype(value), UserText> &&
                  !std::is_same_v<decltype(value), TypedText>) {
      if (i >= first_field)
        record_value(record, Field{field_index(row.fields[i - first_field])}, value);
    }
    ++i;
  };
  (set(values), ...);
  if (row.console[0] != '\0') con_print_unchecked(row.console, console_arg(values)...);
  record_event(record, fact.checked);
}

}  // namespace travek
