#include "production/production.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "production/children.h"
#include "record/event_schema.h"
#include "record/outcome.h"
#include "record/run_record.h"
#include "record/utf8_text.h"
#include "run/run_options.h"
#include "run/run_state.h"

namespace travek {
namespace {

using Json = nlohmann::ordered_json;

// Keys and children are looked at this often when nothing else wakes the
// wait; the view's seconds need no more.
constexpr int kTickMs = 100;
// The stages line up in a column this wide ("ожидание старта" and a bit).
constexpr size_t kStageColumns = 16;
// A stopped child has this long to record itself before it is killed.
constexpr uint32_t kStopGraceMs = 10000;

enum class Stage { kWaiting, kResident, kLoading, kJumper, kDone, kFailed };

struct Station {
  const char* port = nullptr;
  Stage stage = Stage::kWaiting;
  unsigned percent = 0;
  std::string clock;
  std::string station_class;
  std::string message;     // a failure, on one line
  std::string number;      // its serial number, once it has one
  unsigned warnings = 0;   // sectors reported with a warning
  unsigned tenths = 0;     // the tenths of the load told on a plain line
  bool past_wait = false;  // its start byte has come
  bool end_seen = false;   // its record is in
  bool exited = false;     // its process is gone
  bool ok = false;
  Json known = Json::object();  // what its events told, for a record it cannot give
  std::string out_part;         // what it has written, up to a line not yet whole
  std::string err_part;
  std::string held_errors;  // kept off a terminal that shows the view
  uint32_t start_ms = 0;
  bool clock_stopped = false;  // its seconds stand at stopped_ms
  uint32_t stopped_ms = 0;
};

struct Production {
  std::vector<std::string> args;
  int count = 0;
  Station stations[MAX_PORTS];
  unsigned batch = 0;
  unsigned ok = 0;  // in this batch
  unsigned failed = 0;
  unsigned total_ok = 0;
  unsigned total_failed = 0;
  bool view = false;    // lines kept in place on a terminal
  bool events = false;  // -json: one event stream for all
  bool log_failed = false;
  bool jumper_asked = false;
  bool in_batch = false;              // its children started, its summary not yet written
  const char* stop_signal = nullptr;  // set once a termination request came
  std::string footer;                 // a prompt shown under the view
  bool dirty = true;
  uint32_t drawn_ms = 0;
};

Production production;

std::string dump(const Json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void emit(const Json& event) {
  const std::string line = dump(event);
  con_emit_line(line.data(), line.size());
}

constexpr size_t field_count(Event event) {
  size_t count = 0;
  while (count < kMaxEventFields && event_row(event).fields[count] != nullptr) ++count;
  return count;
}

// An event of the run of many's own, its values in its fields' order.
template <Event kEvent, class... Values>
void emit_own(const Values&... values) {
  static_assert(sizeof...(Values) == field_count(kEvent), "a value for every field");
  if (!production.events) return;
  const EventRow& row = event_row(kEvent);
  Json line = Json::object();
  line["event"] = row.name;
  size_t i = 0;
  ((line[row.fields[i++]] = values), ...);
  emit(line);
}

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
void plain(const Station& s, const std::string& text) {
  if (production.view || production.events) return;
  std::string line = std::string(s.port) + ": " + text + "\n";
  con_write(line.c_str());
}

void forward_errors(Station& s) {
  for (size_t end; (end = s.err_part.find('\n')) != std::string::npos;) {
    std::string line = std::string(s.port) + ": " + s.err_part.substr(0, end + 1);
    s.err_part.erase(0, end + 1);
    if (production.view) {
      s.held_errors += line;
    } else {
      std::fwrite(line.data(), 1, line.size(), stderr);
    }
  }
}

void flush_held_errors() {
  for (int i = 0; i < production.count; ++i) {
    Station& s = production.stations[i];
    std::fwrite(s.held_errors.data(), 1, s.held_errors.size(), stderr);
    s.held_errors.clear();
  }
}

// The station's record is in (its run has written it to the log itself):
// it counts.
void take_end(Station& s, const Json& line) {
  s.end_seen = true;
  stop_clock(s);
  s.warnings = count_in(line, field_key("warnings"), s.warnings);
  s.ok = text_in(line, field_key("result")) == outcome_key(outcome("ok"));
  s.stage = s.ok ? Stage::kDone : Stage::kFailed;
  if (!s.ok) {
    const Json& message = line[field_key("message")];
    s.message = message.is_string() ? one_line(message.get<std::string>()) : "";
    ++production.failed;
  } else {
    ++production.ok;
  }
  plain(s, s.ok ? msg::kStageDone : s.message);
}

// The plain line for an line, and what the view shows from it.
void take_step(Station& s, Event name, const Json& line) {
  switch (name.row) {
    case event("waiting").row:
      s.stage = Stage::kWaiting;
      plain(s, msg::kStageWaiting);
      break;
    case event("stray").row:
      plain(s, format_text(msg::kEventStray, number_in(line, field_key("byte"))));
      break;
    case event("clock").row:
      s.past_wait = true;
      s.stage = Stage::kResident;
      s.clock = text_in(line, field_key("clock"));
      plain(s, format_text(msg::kEventClock, s.clock.c_str()));
      break;
    case event("resident").row:
      plain(s, format_text(msg::kEventResident, number_in(line, field_key("ms"))));
      break;
    case event("station").row:
      s.stage = Stage::kLoading;
      s.station_class = text_in(line, field_key("station_class"));
      plain(s, format_text(
                   msg::kEventStation, s.station_class.c_str(),
                   static_cast<unsigned long>(number_in(line, field_key("flash_bytes")) / 1024)));
      break;
    case event("number").row: {
      const auto number = line.find(field_key("number"));
      if (number == line.end() || !number->is_number_integer()) break;
      s.number = number->dump();
      plain(s, format_text(msg::kEventNumber, s.number.c_str()));
      break;
    }
    case event("progress").row:
      s.percent = number_in(line, field_key("percent"));
      // A file or a pipe gets the percentage as reported, once for each new
      // tenth it reaches: a load of few sectors jumps over the round ones.
      if (s.percent / 10 > s.tenths) {
        s.tenths = s.percent / 10;
        plain(s, format_text(msg::kStageLoading, s.percent));
      }
      break;
    case event("warning").row:
      ++s.warnings;
      plain(s, format_text(msg::kEventWarning, number_in(line, field_key("sector"))));
      break;
    case event("loaded").row: {
      s.warnings = count_in(line, field_key("warnings"), s.warnings);
      const unsigned load_ms = number_in(line, field_key("load_ms"));
      plain(s, s.warnings == 0 ? format_text(msg::kEventLoaded, load_ms)
                               : format_text(msg::kEventLoadedWarnings, load_ms, s.warnings));
      break;
    }
    case event("jumper").row:
      s.stage = Stage::kJumper;
      stop_clock(s);
      plain(s, msg::kStageJumper);
      break;
    case event("restart").row: {
      const std::string how = text_in(line, field_key("restart"));
      plain(s, how == restart_name(RestartResult::kAnswered) ? msg::kEventRestarted
               : how == restart_name(RestartResult::kSilent) ? msg::kEventRestartSilent
                                                             : msg::kEventRestartDeclined);
      break;
    }
    default:
      break;
  }
}

void take_event(Station& s, Json line) {
  if (!line.is_object() || !line["event"].is_string()) return;  // not one of ours
  const std::string name = line["event"].get<std::string>();
  for (auto& [key, value] : line.items()) {
    if (key != "event") s.known[key] = value;
  }
  line[field_key("port")] = utf8_from_argument(s.port);
  line[field_key("batch")] = production.batch;
  if (production.events) emit(line);
  production.dirty = true;
  const Event known{event_index(name)};
  if (known == event("end")) {
    take_end(s, line);
  } else {
    take_step(s, known, line);  // one that is none of ours changes nothing
  }
}

// A run that ended without its record: made here, with what its events
// told, and written to the log with its batch.
void account_lost(Station& s, Outcome ended, const std::string& utf8_message) {
  Json line = Json::object();
  line["event"] = event_row(event("end")).name;
  const Json blank = Json::parse(record_blank());
  for (auto& [key, value] : blank.items()) {
    line[key] = s.known.contains(key) && key != field_key("time") ? s.known[key] : value;
  }
  line[field_key("total_ms")] = now_ms() - s.start_ms;
  line[field_key("status")] = 255;
  line[field_key("result")] = outcome_key(ended);
  line[field_key("message")] = utf8_message;
  line[field_key("port")] = utf8_from_argument(s.port);
  Json record = line;
  record.erase("event");
  record[field_key("batch")] = production.batch;
  if (!record_log_line(dump(record))) production.log_failed = true;
  take_event(s, line);
}

void account_exit(Station& s, const ChildEnd& end) {
  s.exited = true;
  production.dirty = true;
  if (s.end_seen) return;
  if (production.stop_signal != nullptr) {
    account_lost(s, outcome("terminated"), production.stop_signal);
    return;
  }
  const std::string text = end.signal != 0 ? format_text(msg::kChildSignalled, end.signal)
                                           : format_text(msg::kChildExited, end.status);
  account_lost(s, outcome("aborted"), text);
}

// What the children have written, and which of them have gone.
void pump() {
  for (int i = 0; i < production.count; ++i) {
    Station& s = production.stations[i];
    if (s.exited) continue;
    for (size_t end; (end = s.out_part.find('\n')) != std::string::npos;) {
      const std::string line = s.out_part.substr(0, end);
      s.out_part.erase(0, end + 1);
      take_event(s, Json::parse(line, nullptr, false));
    }
    forward_errors(s);
    const ChildEnd end = child_end(i);
    if (!end.ended) continue;
    stop_clock(s);
    account_exit(s, end);
  }
}

bool all_exited() {
  for (int i = 0; i < production.count; ++i) {
    if (!production.stations[i].exited) return false;
  }
  return true;
}

std::string stage_text(const Station& s) {
  switch (s.stage) {
    case Stage::kWaiting:
      return msg::kStageWaiting;
    case Stage::kResident:
      return msg::kStageResident;
    case Stage::kLoading:
      return format_text(msg::kStageLoading, s.percent);
    case Stage::kJumper:
      return msg::kStageJumper;
    case Stage::kDone:
      return msg::kStageDone;
    case Stage::kFailed:
      return msg::kStageFailed;
  }
  return "";
}

// The text padded with spaces to this many columns.
void pad_to(std::string* text, size_t from, size_t columns) {
  const size_t shown = con_text_columns(text->c_str() + from);
  if (shown < columns) text->append(columns - shown, ' ');
}

// The widths of the columns a batch's lines share; a column that only some
// stations fill (the number, the warnings) is there once one of them does.
struct ViewColumns {
  size_t port = 0;
  size_t number = 0;
  size_t warnings = 0;
};

std::string number_text(const Station& s) {
  return s.number.empty() ? "" : format_text(msg::kViewNumber, s.number.c_str());
}

std::string warnings_text(const Station& s) {
  return s.warnings == 0 ? "" : format_text(msg::kViewWarnings, s.warnings);
}

// One station's line of the view, in columns, the most telling first, so
// that a narrow terminal cuts the least of it: the port, its number, the
// stage, its count of sectors with a warning (red), the clock, the class and
// the seconds; then a failure's message, which has no width of its own. The
// line's text is kept in text.
ViewLine station_line(const Station& s, const ViewColumns& widths, uint32_t at, std::string* text) {
  *text = s.port;
  pad_to(text, 0, widths.port + 2);
  if (widths.number > 0) {
    const size_t from = text->size();
    *text += number_text(s);
    pad_to(text, from, widths.number + 2);
  }
  size_t from = text->size();
  *text += stage_text(s);
  pad_to(text, from, kStageColumns);
  ViewLine line{nullptr, s.stage == Stage::kFailed};
  if (widths.warnings > 0) {
    *text += "  ";
    from = line.red_at = text->size();
    *text += warnings_text(s);
    line.red_length = text->size() - line.red_at;
    pad_to(text, from, widths.warnings);
  }
  char columns[200];
  std::snprintf(columns, sizeof(columns), "  %-5s  %-7s  ", s.clock.c_str(),
                s.station_class.c_str());
  *text += columns;
  const uint32_t until = s.clock_stopped ? s.stopped_ms : at;
  *text += format_text(msg::kViewSeconds, (until - s.start_ms) / 1000);
  if (s.stage == Stage::kFailed && !s.message.empty()) *text += "  " + s.message;
  line.text = text->c_str();
  return line;
}

// Redrawn when something changed, and each second for the clocks; not
// more than once a tick.
void refresh(bool now) {
  if (!production.view) return;
  const uint32_t at = now_ms();
  const bool second = at / 1000 != production.drawn_ms / 1000;
  if (!now && !(production.dirty && at - production.drawn_ms >= kTickMs) && !second) return;
  ViewColumns widths;
  for (int i = 0; i < production.count; ++i) {
    const Station& s = production.stations[i];
    widths.port = std::max<size_t>(widths.port, con_text_columns(s.port));
    widths.number = std::max<size_t>(widths.number, con_text_columns(number_text(s).c_str()));
    widths.warnings = std::max<size_t>(widths.warnings, con_text_columns(warnings_text(s).c_str()));
  }
  std::vector<std::string> texts(static_cast<size_t>(production.count));
  std::vector<ViewLine> lines;
  for (int i = 0; i < production.count; ++i) {
    lines.push_back(station_line(production.stations[i], widths, at, &texts[i]));
  }
  if (!production.footer.empty()) lines.push_back({production.footer.c_str(), false});
  con_view_draw(lines.data(), static_cast<int>(lines.size()));
  production.dirty = false;
  production.drawn_ms = at;
}

// Esc cancels the stations still waiting for their start byte; the others
// go on to their end.
void read_keys() {
  while (con_key_waiting()) {
    if (con_read_key() != KEY_ESC) continue;
    for (int i = 0; i < production.count; ++i) {
      const Station& s = production.stations[i];
      if (!s.past_wait && !s.end_seen) child_send(i, "\x1b", 1);
    }
  }
}

// Once every station of the batch has ended or waits at the jumper prompt:
// the reminder once, and the one answer to all that wait.
void ask_jumper() {
  bool any = false;
  for (int i = 0; i < production.count; ++i) {
    const Station& s = production.stations[i];
    if (s.end_seen || s.exited) continue;
    if (s.stage != Stage::kJumper) return;
    any = true;
  }
  if (!any) return;
  production.jumper_asked = true;
  con_discard_typed_keys();  // only a key pressed after the reminder answers it
  if (production.view) {
    std::string line = msg::kJumperReminder;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    production.footer = line;
    refresh(true);
  } else {
    con_line(msg::kJumperReminder);
  }
  emit_own<event("prompt")>("jumper", production.batch);
  int key;
  do {
    key = con_read_key();
  } while (key != KEY_ENTER && key != KEY_ESC && key != KEY_END_OF_INPUT);
  production.footer.clear();  // answered: the view goes on without it
  production.dirty = true;
  for (int i = 0; i < production.count; ++i) {
    const Station& s = production.stations[i];
    if (s.stage != Stage::kJumper || s.end_seen) continue;
    if (key == KEY_END_OF_INPUT) {
      child_close_input(i);  // each station's run sees the end of input, as one alone would
    } else {
      child_send(i, key == KEY_ENTER ? "\r" : "\x1b", 1);
    }
  }
}

void start_batch() {
  ++production.batch;
  production.in_batch = true;
  production.ok = production.failed = 0;
  production.jumper_asked = false;
  production.footer.clear();
  children_reset();
  for (int i = 0; i < production.count; ++i) {
    Station& s = production.stations[i];
    s = Station{};
    s.port = run_options.ports[i];
    s.start_ms = now_ms();
    std::vector<std::string> args = production.args;
    args.push_back("-json");
    args.push_back(std::string("-port:") + s.port);
    // Each station writes its own record to the log, so a record is never
    // lost with this process.
    args.push_back("-batch:" + std::to_string(production.batch));
    if (run_options.log_path != nullptr)
      args.push_back(std::string("-log:") + run_options.log_path);
    if (!child_start(i, args, &s.out_part, &s.err_part)) {
      s.exited = true;
      account_lost(s, outcome("aborted"), msg::kChildNotStarted);
    }
  }
}

// The totals; for a batch, then, each port's failure and its count of
// sectors with a warning, which a load that ended well may have too.
void summary(unsigned ok, unsigned failed, bool with_ports) {
  con_printf(msg::kSummary, ok, failed);
  if (!with_ports) return;
  for (int i = 0; i < production.count; ++i) {
    const Station& s = production.stations[i];
    if (s.end_seen && !s.ok) con_printf(msg::kPortLine, s.port, s.message.c_str());
    if (s.warnings > 0) con_printf(msg::kPortWarnings, s.port, s.warnings);
  }
}

void end_batch() {
  production.in_batch = false;
  refresh(true);
  con_view_end();
  flush_held_errors();
  production.total_ok += production.ok;
  production.total_failed += production.failed;
  summary(production.ok, production.failed, true);
}

void run_batch() {
  start_batch();
  refresh(true);
  while (!all_exited()) {
    children_wait(kTickMs);
    pump();
    read_keys();
    if (!run_options.restart_at_once && !production.jumper_asked) ask_jumper();
    refresh(false);
  }
  end_batch();
}

bool next_batch_wanted() {
  con_write(msg::kNextBatch);
  emit_own<event("prompt")>("next-batch", production.batch + 1);
  con_discard_typed_keys();
  for (;;) {
    const int key = con_read_key();
    if (key == KEY_ENTER) return true;
    if (key == KEY_ESC || key == KEY_END_OF_INPUT) return false;
  }
}

void summary_event() {
  emit_own<event("summary")>(production.total_ok, production.total_failed, production.batch);
}

// SIGTERM or SIGHUP: every station stopped and recorded, every port let go.
[[noreturn]] void stop_all(const char* signal_name) {
  production.stop_signal = signal_name;
  for (int i = 0; i < production.count; ++i) child_stop(i);
  const uint32_t since = now_ms();
  while (!all_exited() && now_ms() - since < kStopGraceMs) {
    children_wait(kTickMs);
    pump();
  }
  for (int i = 0; i < production.count; ++i) child_kill(i);
  while (!all_exited()) {
    children_wait(kTickMs);
    pump();
  }
  if (production.in_batch) end_batch();  // not again when it came at the next-batch prompt
  summary_event();
  record_stand_aside();
  record_finish(-1);
  console_end_requests_at_once();
  con_end_process(255);
}

}  // namespace

void run_production(const std::vector<std::string>& shared_args) {
  production = Production{};
  production.args = shared_args;
  production.count = run_options.port_count;
  if (production.count == 0) {  // -repeat with one port: that port
    production.count = 1;
    run_options.ports[0] = port_name(run_options);
  }
  production.events = record_events_on();
  production.view = con_view_possible();
  console_ignore_interrupts();
  console_defer_end_requests(stop_all);
  for (;;) {
    run_batch();
    if (!run_options.repeat || !next_batch_wanted()) break;
  }
  if (run_options.repeat) summary(production.total_ok, production.total_failed, false);
  summary_event();
  children_reset();
  record_stand_aside();
  exit_code = production.total_failed == 0 && !production.log_failed ? 0 : -1;
  terminate();
}

}  // namespace travek
