#include "record/run_record.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "common/messages.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "record/run_log.h"
#include "record/utf8_text.h"

namespace travek {
namespace {

using Json = nlohmann::ordered_json;

struct RunRecord {
  Json fields;
  bool events = false;
  bool outcome_known = false;
  Outcome outcome = Outcome::kOk;
  bool message_kept = false;  // from the console since record_failure
  std::string message;        // otherwise, given
  uint32_t start_ms = 0;
  uint32_t warnings = 0;
  std::string log_path;
  bool aside = false;  // the records are the stations' runs'
};

RunRecord record;

// Every field of the record, in the order it is written.
Json empty_fields() {
  Json fields = Json::object();
  for (const char* name :
       {"time",          "tool",          "port",     "file",        "format",
        "bytes",         "sha256",        "mode",     "clock",       "boot_rate",
        "rate",          "station_class", "chips",    "flash_bytes", "sector_bytes",
        "start_address", "sectors",       "warnings", "resident_ms", "load_ms",
        "total_ms",      "restart",       "status",   "result",      "message"}) {
    fields[name] = nullptr;
  }
  fields["tool"] = TRAVEK_VERSION;
  return fields;
}

// Text that may hold bytes that are not UTF-8 comes out with U+FFFD there.
std::string line_of(const Json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void emit(const char* event, std::initializer_list<const char*> names, Json extra = {}) {
  if (!record.events) return;
  Json line = Json::object();
  line["event"] = event;
  for (const char* name : names) line[name] = record.fields[name];
  if (extra.is_object()) {
    for (auto& [key, value] : extra.items()) line[key] = value;
  }
  const std::string text = line_of(line);
  con_emit_line(text.data(), text.size());
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

const char* restart_name(RestartResult result) {
  switch (result) {
    case RestartResult::kAnswered:
      return "answered";
    case RestartResult::kSilent:
      return "silent";
    case RestartResult::kDeclined:
      return "declined";
  }
  return "";
}

}  // namespace

void record_reset() {
  run_log_close();
  record = RunRecord{};
  record.fields = empty_fields();
  record.start_ms = now_ms();
}

void record_events(bool on) { record.events = on; }

bool record_events_on() { return record.events; }

bool record_open_log(const char* path) {
  record.log_path = path;
  return run_log_open(path);
}

bool record_wanted() { return record.events || run_log_is_open(); }

void record_run(const char* port, const char* file, const char* format, bool send_only) {
  record.fields["port"] = utf8_from_argument(port);
  record.fields["file"] = utf8_from_argument(file);
  record.fields["format"] = format;
  record.fields["mode"] = send_only ? "send-only" : "load";
}

void record_file(uint32_t bytes, const char* sha256) {
  record.fields["bytes"] = bytes;
  if (sha256 != nullptr) record.fields["sha256"] = sha256;
  emit("start", {"port", "file", "format", "bytes", "sha256", "mode"});
}

void record_waiting() { emit("waiting", {}); }

void record_stray(uint8_t byte) { emit("stray", {}, {{"byte", byte}}); }

void record_clock(const char* clock, uint32_t boot_rate) {
  record.fields["clock"] = clock;
  record.fields["boot_rate"] = boot_rate;
  emit("clock", {"clock", "boot_rate"});
}

void record_resident(uint32_t ms, uint32_t rate) {
  record.fields["resident_ms"] = ms;
  record.fields["rate"] = rate;
  Json fields = Json::object();
  fields["ms"] = ms;
  fields["rate"] = rate;
  emit("resident", {}, fields);
}

void record_station_class(const char* name) {
  record.fields["station_class"] = name;
  record.fields["chips"] = Json::array();
}

void record_chip(const char* name) {
  if (name == nullptr) {
    record.fields["chips"].push_back(nullptr);
  } else {
    record.fields["chips"].push_back(trimmed(name, " "));
  }
}

void record_geometry(uint32_t flash_bytes, uint32_t sector_bytes, uint32_t start_address,
                     uint32_t sectors) {
  record.fields["flash_bytes"] = flash_bytes;
  record.fields["sector_bytes"] = sector_bytes;
  record.fields["start_address"] = start_address;
  record.fields["sectors"] = sectors;
  record.fields["warnings"] = 0;
  emit("station", {"station_class", "chips", "flash_bytes", "sector_bytes", "start_address",
                   "sectors", "bytes"});
}

void record_progress(unsigned percent) { emit("progress", {}, {{"percent", percent}}); }

void record_warning(unsigned sector) {
  record.fields["warnings"] = ++record.warnings;
  emit("warning", {}, {{"sector", sector}});
}

void record_loaded(uint32_t load_ms) {
  record.fields["load_ms"] = load_ms;
  emit("loaded", {"load_ms", "warnings"});
}

void record_jumper() { emit("jumper", {}); }

void record_restart(RestartResult result) {
  record.fields["restart"] = restart_name(result);
  emit("restart", {"restart"});
}

void record_failure(Outcome outcome) {
  record.outcome = outcome;
  record.outcome_known = true;
  record.message_kept = true;
  con_capture_begin();
}

void record_failure_text(Outcome outcome, const char* message) {
  record.outcome = outcome;
  record.outcome_known = true;
  record.message_kept = false;
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
  Json fields = empty_fields();
  fields["time"] = utc_now();
  return line_of(fields);
}

int record_finish(int exit_code) {
  int status = exit_code == 0 ? 0 : 255;
  if (record.aside) {
    run_log_close();
    return status;
  }
  Json& f = record.fields;
  f["time"] = utc_now();
  f["total_ms"] = now_ms() - record.start_ms;
  f["status"] = status;
  // A failure is always named where it is found; a run that ends in error
  // without one has been ended from outside the protocol's own steps.
  const Outcome outcome = status == 0            ? Outcome::kOk
                          : record.outcome_known ? record.outcome
                                                 : Outcome::kAborted;
  f["result"] = outcome_key(outcome);
  if (outcome != Outcome::kOk) {
    f["message"] =
        record.message_kept ? trimmed(utf8_from_console(con_captured()), "\n") : record.message;
  }
  if (run_log_is_open()) {
    const std::string line = line_of(f);
    char reason[256];
    if (!run_log_append(line.data(), line.size(), reason, sizeof(reason))) {
      con_diagnostic(msg::kDiagReason, record.log_path.c_str(), reason);
      status = 255;
      f["status"] = status;
      if (outcome == Outcome::kOk) {
        f["result"] = outcome_key(Outcome::kLogWriteError);
        f["message"] = record.log_path + ": " + reason;
      }
    }
    run_log_close();
  }
  if (record.events) {
    Json end = Json::object();
    end["event"] = "end";
    for (auto& [key, value] : f.items()) end[key] = value;
    const std::string text = line_of(end);
    con_emit_line(text.data(), text.size());
  }
  return status;
}

}  // namespace travek
