#include "production/production.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "production/children.h"
#include "production/parent.h"
#include "record/event_schema.h"
#include "record/outcome.h"
#include "record/run_record.h"
#include "record/utf8_text.h"
#include "run/command_line.h"
#include "run/run_options.h"

namespace travek {
namespace {

// Keys and children are looked at this often when nothing else wakes the
// wait; the view's seconds need no more.
constexpr int kTickMs = 100;
// A stopped child has this long to record itself before it is killed.
constexpr uint32_t kStopGraceMs = 10000;

std::string dump(const Json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void emit(const Json& event) {
  const std::string line = dump(event);
  con_emit_line(line.data(), line.size());
}

// An event of the run of many's own, its values in its fields' order.
template <Event kEvent, class... Values>
void emit_own(const Production& pr, const Values&... values) {
  static_assert(sizeof...(Values) == field_count(kEvent), "a value for every field");
  if (!pr.events) return;
  const EventRow& row = event_row(kEvent);
  Json line = Json::object();
  line["event"] = row.name;
  size_t i = 0;
  ((line[row.fields[i++]] = values), ...);
  emit(line);
}

// The plain line the schema gives an event.
consteval const char* plain_of(std::string_view name) { return event_row(event(name)).plain; }

unsigned number_in(const Json& line, const char* key) { return line.value(key, 0u); }

std::string text_in(const Json& line, const char* key) { return line.value(key, std::string()); }

// A count the line may give; what was known before when it gives none.
unsigned count_in(const Json& line, const char* key, unsigned otherwise) {
  const auto found = line.find(key);
  return found != line.end() && found->is_number_unsigned() ? found->get<unsigned>() : otherwise;
}

// A station's seconds stand once it has ended, or waits at the jumper prompt
// for the operator, whose answer may be long in coming.
void stop_clock(Station& s) {
  if (s.clock_stopped) return;
  s.clock_stopped = true;
  s.stopped_ms = now_ms();
}

// A failure's message on one line of the view or the summary.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// One whole line "PORT: text", where there is neither view nor events.
void plain(const Production& pr, const Station& s, const std::string& text) {
  if (pr.view || pr.events) return;
  std::string line = std::string(s.port) + ": " + text + "\n";
  con_write(line.c_str());
}

void forward_errors(const Production& pr, Station& s) {
  for (size_t end; (end = s.err_part.find('\n')) != std::string::npos;) {
    std::string line = std::string(s.port) + ": " + s.err_part.substr(0, end + 1);
    s.err_part.erase(0, end + 1);
    if (pr.view) {
      s.held_errors += line;
    } else {
      std::fwrite(line.data(), 1, line.size(), stderr);
    }
  }
}

void flush_held_errors(Production& pr) {
  for (int i = 0; i < pr.count; ++i) {
    Station& s = pr.stations[i];
    std::fwrite(s.held_errors.data(), 1, s.held_errors.size(), stderr);
    s.held_errors.clear();
  }
}

// The station's record is in (its run has written it to the log itself):
// it counts.
// A line's port counts the station over all its stations, and the line over
// all its ports.
void count_for_line(Production& pr, Station& s) {
  ++(s.ok ? s.ok_count : s.failed_count);
  ++(s.ok ? pr.total_ok : pr.total_failed);
  s.warnings_total += s.warnings;
  if (s.ok) return;
  auto same = std::find_if(s.failures.begin(), s.failures.end(),
                           [&](const auto& failure) { return failure.first == s.message; });
  if (same == s.failures.end()) same = s.failures.insert(same, {s.message, 0});
  ++same->second;
}

void take_end(Production& pr, Station& s, const Json& line) {
  s.end_seen = true;
  stop_clock(s);
  s.warnings = count_in(line, field_key("warnings"), s.warnings);
  s.ok = text_in(line, field_key("result")) == outcome_key(outcome("ok"));
  s.stage = s.ok ? Stage::kDone : Stage::kFailed;
  if (!s.ok) {
    const Json& message = line[field_key("message")];
    s.message = message.is_string() ? one_line(message.get<std::string>()) : "";
  }
  if (pr.line) {
    count_for_line(pr, s);
  } else {
    ++(s.ok ? pr.ok : pr.failed);
  }
  plain(pr, s, s.ok ? msg::kStageDone : s.message);
}

// What the view shows of each step, and its plain line: one handler an
// event.
using Step = void (*)(const Production&, Station&, const Json&);

// A line's station begins: what its port showed of the last one goes,
// but a finished station's stage, which stays until the next start byte.
void on_start(const Production& pr, Station& s, const Json& line) {
  if (!pr.line) return;
  s.known = Json::object();
  for (auto& [key, value] : line.items()) {
    if (key != "event") s.known[key] = value;
  }
  s.past_wait = s.end_seen = false;
}

void on_waiting(const Production& pr, Station& s, const Json&) {
  const bool finished =
      s.stage == Stage::kDone || s.stage == Stage::kFailed || s.stage == Stage::kJumperSet;
  if (!pr.line) {
    s.stage = Stage::kWaiting;
  } else if (!finished) {
    s.stage = Stage::kWaitingStation;
  }
  plain(pr, s, pr.line ? msg::kStageWaitingStation : plain_of("waiting"));
}

void on_stray(const Production& pr, Station& s, const Json& line) {
  plain(pr, s, format_text(plain_of("stray"), number_in(line, field_key("byte"))));
}

// A line's station under way: its own number, warnings and seconds.
void new_station(Station& s) {
  s.number.clear();
  s.message.clear();
  s.station_class.clear();
  s.percent = s.warnings = s.tenths = 0;
  s.start_ms = now_ms();
  s.clock_stopped = false;
}

void on_clock(const Production& pr, Station& s, const Json& line) {
  if (pr.line) new_station(s);
  s.past_wait = true;
  s.stage = Stage::kResident;
  s.clock = text_in(line, field_key("clock"));
  plain(pr, s, format_text(plain_of("clock"), s.clock.c_str()));
}

void on_resident(const Production& pr, Station& s, const Json& line) {
  plain(pr, s, format_text(plain_of("resident"), number_in(line, field_key("ms"))));
}

void on_station(const Production& pr, Station& s, const Json& line) {
  s.stage = Stage::kLoading;
  s.station_class = text_in(line, field_key("station_class"));
  const unsigned long kb = number_in(line, field_key("flash_bytes")) / 1024;
  plain(pr, s, format_text(plain_of("station"), s.station_class.c_str(), kb));
}

void on_number(const Production& pr, Station& s, const Json& line) {
  const auto number = line.find(field_key("number"));
  if (number == line.end() || !number->is_number_integer()) return;
  s.number = number->dump();
  plain(pr, s, format_text(plain_of("number"), s.number.c_str()));
}

void on_progress(const Production& pr, Station& s, const Json& line) {
  s.percent = number_in(line, field_key("percent"));
  // A file or a pipe gets the percentage as reported, once for each new
  // tenth it reaches: a load of few sectors jumps over the round ones.
  if (s.percent / 10 > s.tenths) {
    s.tenths = s.percent / 10;
    plain(pr, s, format_text(plain_of("progress"), s.percent));
  }
}

void on_warning(const Production& pr, Station& s, const Json& line) {
  ++s.warnings;
  plain(pr, s, format_text(plain_of("warning"), number_in(line, field_key("sector"))));
}

void on_loaded(const Production& pr, Station& s, const Json& line) {
  s.warnings = count_in(line, field_key("warnings"), s.warnings);
  const unsigned load_ms = number_in(line, field_key("load_ms"));
  plain(pr, s,
        s.warnings == 0 ? format_text(plain_of("loaded"), load_ms)
                        : format_text(msg::kLoadedWithWarnings, load_ms, s.warnings));
}

void on_jumper(const Production& pr, Station& s, const Json&) {
  s.stage = Stage::kJumper;
  stop_clock(s);
  plain(pr, s, plain_of("jumper"));
}

void on_jumper_set(const Production& pr, Station& s, const Json&) {
  s.stage = Stage::kJumperSet;
  plain(pr, s, plain_of("jumper-set"));
}

void on_port_lost(const Production& pr, Station& s, const Json&) {
  s.stage = Stage::kPortLost;
  plain(pr, s, plain_of("port-lost"));
}

void on_restart(const Production& pr, Station& s, const Json& line) {
  const std::string how = text_in(line, field_key("restart"));
  const RestartRow* row = std::begin(kRestartNames);
  while (row + 1 != std::end(kRestartNames) && how != row->name) ++row;
  plain(pr, s, row->plain);
}

struct StepRow {
  Event event;
  Step take;
};

constexpr StepRow kSteps[] = {
    {event("waiting"), on_waiting},       {event("stray"), on_stray},
    {event("clock"), on_clock},           {event("resident"), on_resident},
    {event("station"), on_station},       {event("number"), on_number},
    {event("progress"), on_progress},     {event("warning"), on_warning},
    {event("loaded"), on_loaded},         {event("jumper"), on_jumper},
    {event("restart"), on_restart},       {event("start"), on_start},
    {event("jumper-set"), on_jumper_set}, {event("port-lost"), on_port_lost},
};

void take_event(Production& pr, Station& s, Json line) {
  if (!line.is_object() || !line["event"].is_string()) return;  // not one of ours
  const std::string name = line["event"].get<std::string>();
  for (auto& [key, value] : line.items()) {
    if (key != "event") s.known[key] = value;
  }
  line[field_key("port")] = utf8_from_argument(s.port);
  line[field_key("batch")] = pr.line ? Json() : Json(pr.batch);  // a line has no batches
  if (pr.events) emit(line);
  pr.dirty = true;
  const Event known{event_index(name)};
  if (known == event("clock") && !pr.started) {
    pr.started = true;  // a line's stations an hour count from here
    pr.started_ms = now_ms();
  }
  if (known == event("end")) return take_end(pr, s, line);
  for (const StepRow& step : kSteps) {
    if (step.event == known) step.take(pr, s, line);  // one that is none of ours changes nothing
  }
}

// A run that ended without its record: completed here by the record's own
// builder, from what its events told, and written to the log with its
// batch.
void account_lost(Production& pr, Station& s, Outcome ended, const std::string& utf8_message,
                  std::string reason = "") {
  RunRecord lost;
  lost.log = pr.record.log;
  lost.start_ms = s.start_ms;
  for (auto& [key, value] : s.known.items()) record_json(lost, key, value.dump());
  record_text(lost, field("port"), utf8_from_argument(s.port).c_str());
  if (!pr.line) record_number(lost, field("batch"), pr.batch);
  record_failure(lost, ended, utf8_message.c_str());
  lost.reason = std::move(reason);
  record_finish(lost, -1);
  if (lost.log_failed) pr.log_failed = true;
  take_event(pr, s, Json::parse(record_end_event(lost)));
}

void account_exit(Production& pr, Station& s, const ChildEnd& end) {
  s.exited = true;
  pr.dirty = true;
  if (s.end_seen) return;
  const std::string text = end.signal != 0 ? format_text(msg::kChildSignalled, end.signal)
                                           : format_text(msg::kChildExited, end.status);
  // A line's port between stations has no station to record: it has
  // stopped, or its process has failed.
  if (pr.line && !s.past_wait) {
    if (pr.stopping || pr.stop_signal != nullptr) return;
    s.stage = Stage::kFailed;
    s.message = text;
    return;
  }
  if (pr.stop_signal != nullptr) {
    account_lost(pr, s, outcome("terminated"), pr.stop_signal);
    return;
  }
  account_lost(pr, s, outcome("aborted"), text);
}

// What the children have written, and which of them have gone.
void pump(Production& pr) {
  for (int i = 0; i < pr.count; ++i) {
    Station& s = pr.stations[i];
    if (s.exited) continue;
    for (size_t end; (end = s.out_part.find('\n')) != std::string::npos;) {
      const std::string line = s.out_part.substr(0, end);
      s.out_part.erase(0, end + 1);
      take_event(pr, s, Json::parse(line, nullptr, false));
    }
    forward_errors(pr, s);
    const ChildEnd end = child_end(pr.children, i);
    if (!end.ended) continue;
    stop_clock(s);
    account_exit(pr, s, end);
  }
}

bool all_exited(const Production& pr) {
  for (int i = 0; i < pr.count; ++i) {
    if (!pr.stations[i].exited) return false;
  }
  return true;
}

// Esc cancels the stations still waiting for their start byte; the others
// go on to their end. On a line every port is told: one waiting stops at
// once, one under way once its station is done.
void read_keys(Production& pr) {
  while (con_key_waiting()) {
    if (con_read_key() != KEY_ESC) continue;
    pr.stopping = pr.line;
    for (int i = 0; i < pr.count; ++i) {
      const Station& s = pr.stations[i];
      if (pr.line || (!s.past_wait && !s.end_seen)) child_send(pr.children, i, "\x1b", 1);
    }
  }
}

// While a line ends: how many stations are still under way.
void tell_stopping(Production& pr) {
  if (!pr.stopping) return;
  unsigned running = 0;
  for (int i = 0; i < pr.count; ++i) {
    const Station& s = pr.stations[i];
    running += s.past_wait && !s.end_seen && !s.exited;
  }
  const std::string footer = format_text(msg::kLineStopping, running);
  if (footer != pr.footer) pr.dirty = true;
  pr.footer = footer;
}

// True once every station of the batch still running waits at the jumper
// prompt, and one does.
bool all_at_jumper(const Production& pr) {
  bool any = false;
  for (int i = 0; i < pr.count; ++i) {
    const Station& s = pr.stations[i];
    if (s.end_seen || s.exited) continue;
    if (s.stage != Stage::kJumper) return false;
    any = true;
  }
  return any;
}

// Once every station of the batch has ended or waits at the jumper prompt:
// the reminder once, and the one answer to all that wait.
void ask_jumper(Production& pr) {
  if (!all_at_jumper(pr)) return;
  pr.jumper_asked = true;
  con_discard_typed_keys();  // only a key pressed after the reminder answers it
  if (pr.view) {
    std::string line = msg::kJumperReminder;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    pr.footer = line;
    refresh(pr, true);
  } else {
    con_write(msg::kJumperReminder);
  }
  emit_own<event("prompt")>(pr, "jumper", pr.batch);
  int key;
  do {
    key = con_read_key();
  } while (key != KEY_ENTER && key != KEY_ESC && key != KEY_END_OF_INPUT);
  pr.footer.clear();  // answered: the view goes on without it
  pr.dirty = true;
  for (int i = 0; i < pr.count; ++i) {
    const Station& s = pr.stations[i];
    if (s.stage != Stage::kJumper || s.end_seen) continue;
    if (key == KEY_END_OF_INPUT) {
      child_close_input(pr.children,
                        i);  // each station's run sees the end of input, as one alone would
    } else {
      child_send(pr.children, i, key == KEY_ENTER ? "\r" : "\x1b", 1);
    }
  }
}

void start_batch(Production& pr) {
  ++pr.batch;
  pr.in_batch = true;
  pr.ok = pr.failed = 0;
  pr.jumper_asked = false;
  pr.footer.clear();
  children_reset(pr.children);
  for (int i = 0; i < pr.count; ++i) {
    Station& s = pr.stations[i];
    s = Station{};
    s.port = pr.ports[i];
    s.start_ms = now_ms();
    std::vector<std::string> args = pr.args;
    for (std::string& own : station_own_arguments(pr.options, s.port, pr.batch)) {
      args.push_back(std::move(own));
    }
    if (!child_start(pr.children, i, args, &s.out_part, &s.err_part)) {
      s.exited = true;
      account_lost(pr, s, outcome("aborted"), msg::kChildNotStarted, con_take_diagnostic());
    }
  }
}

void end_batch(Production& pr) {
  pr.in_batch = false;
  pr.footer.clear();
  refresh(pr, true);
  con_view_end();
  flush_held_errors(pr);
  if (pr.line) return summary(pr, pr.total_ok, pr.total_failed, true);
  pr.total_ok += pr.ok;
  pr.total_failed += pr.failed;
  summary(pr, pr.ok, pr.failed, true);
}

// A batch, or a line: until every child has ended.
void run_batch(Production& pr) {
  start_batch(pr);
  refresh(pr, true);
  while (!all_exited(pr)) {
    children_wait(pr.children, kTickMs);
    pump(pr);
    read_keys(pr);
    if (!pr.line && !pr.options.restart_at_once && !pr.jumper_asked) ask_jumper(pr);
    tell_stopping(pr);
    refresh(pr, false);
  }
  end_batch(pr);
}

bool next_batch_wanted(const Production& pr) {
  con_write(msg::kNextBatch);
  emit_own<event("prompt")>(pr, "next-batch", pr.batch + 1);
  con_discard_typed_keys();
  for (;;) {
    const int key = con_read_key();
    if (key == KEY_ENTER) return true;
    if (key == KEY_ESC || key == KEY_END_OF_INPUT) return false;
  }
}

void summary_event(const Production& pr) {
  if (pr.line) {
    emit_own<event("summary:line")>(pr, pr.total_ok, pr.total_failed, per_hour(pr));
  } else {
    emit_own<event("summary")>(pr, pr.total_ok, pr.total_failed, pr.batch);
  }
}

void wait_all_exited(Production& pr, uint32_t limit_ms) {
  const uint32_t since = now_ms();
  while (!all_exited(pr) && now_ms() - since < limit_ms) {
    children_wait(pr.children, kTickMs);
    pump(pr);
  }
}

// SIGTERM or SIGHUP: every station stopped and recorded, every port let go;
// the run then ends as any run ended by a request.
void stop_all(Production& pr, const char* signal_name) {
  pr.stop_signal = signal_name;
  for (int i = 0; i < pr.count; ++i) child_stop(pr.children, i);
  wait_all_exited(pr, kStopGraceMs);
  for (int i = 0; i < pr.count; ++i) child_kill(pr.children, i);
  wait_all_exited(pr, UINT32_MAX);
  if (pr.in_batch) end_batch(pr);  // not again when it came at the next-batch prompt
  summary_event(pr);
  children_reset(pr.children);
}

}  // namespace

int run_production(const RunOptions& options, RunRecord& record,
                   const std::vector<std::string>& shared_args) {
  Production pr{options, record};
  pr.args = shared_args;
  pr.count = options.port_count;
  pr.ports = options.ports;
  // -repeat or -auto with one port: that port.
  const char* const alone[] = {port_name(options)};
  if (pr.count == 0) {
    pr.count = 1;
    pr.ports = alone;
  }
  record.aside = true;  // the records are its stations'
  pr.line = options.auto_line;
  pr.events = record.events;
  pr.view = con_view_possible();
  console_ignore_interrupts();
  console_defer_end_requests();
  try {
    for (;;) {
      run_batch(pr);
      if (!options.repeat || !next_batch_wanted(pr)) break;
    }
  } catch (const EndRequested& request) {
    stop_all(pr, request.signal_name);
    throw;
  }
  if (options.repeat) summary(pr, pr.total_ok, pr.total_failed, false);
  summary_event(pr);
  children_reset(pr.children);
  return pr.total_failed == 0 && !pr.log_failed ? 0 : -1;
}

}  // namespace travek
