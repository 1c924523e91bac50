// The run's record of itself, for the programs that drive the tool and the
// line supervisors that keep account of what went onto which station.
//
// Principles of operation:
//  - The run's procedures say what happens where they write it for the
//    operator: record_clock beside the clock line, record_failure beside a
//    failure's message. Nothing else in them knows whether a record is kept.
//  - The record has every field from the start, null until the run gets
//    there, so a record always has the same shape.
//  - With events on (-json), each step is also written at once as one JSON
//    line on standard output, and the console text is not written at all.
//  - A failure names its outcome where its message is written; the text the
//    console is given from there on becomes the record's message.
//  - The record is completed once, by the run's one way out (terminate):
//    appended to the run log when there is one, and written as the last
//    event. A log that cannot take it turns the run into a failure, since
//    the record the operator asked for is missing.
#pragma once

#include <cstdint>
#include <string>

#include "record/outcome.h"

namespace travek {

enum class RestartResult { kAnswered, kSilent, kDeclined };

// Back to a fresh process: nothing recorded, no log, no events; the run's
// time starts now.
void record_reset();
void record_events(bool on);
bool record_events_on();
// False when the log cannot be opened; the reason is on standard error.
bool record_open_log(const char* path);
// True when a log is open or events are on.
bool record_wanted();

// What the command line chose: port, file (as typed), format name, mode.
void record_run(const char* port, const char* file, const char* format, bool send_only);
// The input file is loaded: the data length and the file's SHA-256 in hex.
// Writes the start event.
void record_file(uint32_t bytes, const char* sha256);
void record_waiting();
void record_stray(uint8_t byte);
void record_clock(const char* clock, uint32_t boot_rate);
void record_resident(uint32_t ms, uint32_t rate);
void record_station_class(const char* name);
// A chip line: its name from the table (padding is trimmed), or null when the
// station reports none there ("Bad!").
void record_chip(const char* name);
// The geometry is settled and the stream begins: the station event.
void record_geometry(uint32_t flash_bytes, uint32_t sector_bytes, uint32_t start_address,
                     uint32_t sectors);
void record_progress(unsigned percent);
void record_warning(unsigned sector);
void record_loaded(uint32_t load_ms);
void record_jumper();
void record_restart(RestartResult result);

// The failure whose message is written next; the console text from here on
// is its message.
void record_failure(Outcome outcome);
// A failure the console has no text for (a signal); message in UTF-8.
void record_failure_text(Outcome outcome, const char* message);

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
