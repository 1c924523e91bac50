// The run's record of itself, for the programs that drive the tool and the
// line supervisors that keep account of what went onto which station.
//
// Principles of operation:
//  - The run's procedures say what happens where they write it for the
//    operator: the clock's fields and event beside the clock line, a
//    failure beside its message. Nothing else in them knows whether a
//    record is kept.
//  - Fields and events are named by the one schema (record/event_schema.h).
//    The record has every field from the start, null until the run gets
//    there, so a record always has the same shape; an event carries its
//    fields' values as last set.
//  - With events on (-json), each event is written at once as one JSON line
//    on standard output, and the console text is not written at all.
//  - A failure is recorded with its outcome and the very text its message
//    wrote on the console (run/fail.h), which becomes the record's message.
//  - The record is completed once, by the run's one way out (terminate):
//    appended to the run log when there is one, and written as the last
//    event. A log that cannot take it turns the run into a failure, since
//    the record the operator asked for is missing.
#pragma once

#include <cstdint>
#include <string>

#include "record/event_schema.h"
#include "record/outcome.h"

namespace travek {

// Back to a fresh process: nothing recorded, no log, no events; the run's
// time starts now.
void record_reset();
void record_events(bool on);
bool record_events_on();
// False when the log cannot be opened; the reason is on standard error.
bool record_open_log(const char* path);
// True when a log is open or events are on.
bool record_wanted();

// A field's value. Text is UTF-8; null text leaves the field as it is.
void record_number(Field field, uint64_t value);
void record_text(Field field, const char* text);
// One more entry of a list field; null text is a null entry.
void record_list_add(Field field, const char* text);
// Writes the event with its fields' values.
void record_event(Event event);

// How the run fails: the outcome and the text its message wrote (a signal's
// name for a termination request).
void record_failure(Outcome ended, const char* message);

// A run of many stations keeps no record of its own: the records are its
// stations' runs, which it writes to the log itself. From here on the run's
// end writes neither a record nor an end event.
void record_stand_aside();
// Appends one line to the run log, if one is open. False when that failed;
// the reason is then on standard error.
bool record_log_line(const std::string& line);
// A record with every field null but the time (now) and the tool's
// version, as one JSON object: the shape of a record the run could not
// complete itself.
std::string record_blank();

// Completes the record for a run ending with this exit code, writes it to
// the log and as the end event. Returns the status to end the process with.
int record_finish(int exit_code);

}  // namespace travek
