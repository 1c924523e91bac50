#include "driver/line.h"

#include "common/constants.h"
#include "console/console.h"
#include "driver/input_data.h"
#include "loading/load_flash.h"
#include "record/run_record.h"
#include "run/fail.h"

namespace travek {
namespace {

// A returned station's start byte comes within this long of its restart.
constexpr uint32_t kJumperGuardMs = 3000;
// A port that has gone is tried again this often.
constexpr uint32_t kReopenMs = 1000;

// What the port carries from one station to the next.
struct PortLine {
  Program& p;
  RunData loaded;  // the input file, as read once
  uint32_t cycle = 0;
  uint32_t last_end = 0;  // now_ms() when the last station ended, or the port opened
  bool guarding = false;  // the last station's restart was answered at guard_from
  uint32_t guard_from = 0;
  bool ok = true;  // every station so far ended well
};

// Esc ends the line; so does the end of the keys, which come from the
// line's parent: a parent gone (killed outright) leaves no port's process
// flashing station after station unseen.
bool end_asked() {
  while (con_key_waiting()) {
    if (con_read_key() == KEY_ESC) return true;
  }
  return con_input_ended();
}

// A station of the line: its own run from its wait to its record.
void prepare(PortLine& line, StationRun& station) {
  station.record.events = line.p.options.events;
  station.record.log = &line.p.log;
  station.data = line.loaded;
  station.line.cycle = ++line.cycle;
  station.line.waited_from = line.last_end;
  station.line.guarding = line.guarding;
  station.line.guard_until = line.guard_from + kJumperGuardMs;
  record_options(station.record, line.p.options);
  record_job(station.record, line.p.job);
  record_number(station.record, field("bytes"), line.loaded.data_length);
  const char* sha = line.loaded.input_sha256;
  record_text(station.record, field("sha256"), sha[0] != '\0' ? sha : nullptr);
  record_number(station.record, field("cycle"), station.line.cycle);
}

// Back to waiting: the line as the boot loader speaks, what is queued up
// to now dropped, and the next station's wait counted from here. A
// station whose restart was answered may come back at once.
void between_stations(PortLine& line, const StationRun& station) {
  SerialLink& link = line.p.link;
  if (!port_lost(link)) {
    purge(link);
    set_line(link, 9600, 1);
  }
  line.last_end = now_ms();
  line.guarding = station.line.restarted;
  line.guard_from = line.last_end;
}

// The port gone: told once, then opened again every second until it is
// back; false when Esc ends the line meanwhile.
bool port_back(PortLine& line, StationRun& station) {
  report(station.record, "port-lost");
  con_mute_diagnostics(true);  // one told is enough, not one a second
  bool back = false;
  while (!(back = reopen_port(line.p.link)) && !end_asked()) delay_ms(kReopenMs);
  con_mute_diagnostics(false);
  line.last_end = now_ms();
  return back;
}

// One station; false when the line ends with it: Esc, while the port
// waited or once the station was done.
bool run_one(PortLine& line) {
  StationRun station(line.p.options, line.p.link);
  prepare(line, station);
  const char* ended_by = nullptr;
  run_station(
      station,
      [&] {
        record_event(station.record, event("start"));
        load_flash(station);
        return 0;
      },
      &ended_by);
  if (station.line.started && station.exit_code != 0) line.ok = false;
  between_stations(line, station);
  if (ended_by != nullptr) throw EndRequested{ended_by};
  if (port_lost(line.p.link)) return port_back(line, station);
  const bool cancelled =
      station.record.outcome_known && station.record.outcome == outcome("cancelled");
  return !cancelled && !end_asked();
}

}  // namespace

int run_line(Program& p, StationRun& opening) {
  p.options.restart_at_once = true;  // nobody is at the keyboard
  record_number(opening.record, field("cycle"), 1);
  PortLine line{p, {}};
  read_input(p.options, p.input, digest_wanted(opening), line.loaded);
  check_job_image(p, line.loaded);
  open_serial_port(opening);
  opening.record.aside = true;  // from here on, each station records itself
  console_ignore_interrupts();
  line.last_end = now_ms();
  while (run_one(line)) {
  }
  return line.ok ? 0 : -1;
}

}  // namespace travek
