// The run's record and its events, as one schema: every field a record or an
// event can carry, and every event with its fields in the order written,
// the single run's console text for it and a run of many's plain line for
// it. The single run's record, its console and the run of many read the
// same rows. Code names a field or an event by its name, field("percent"),
// event("clock"), and a name that is not here does not build.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/messages.h"

namespace travek {

inline constexpr const char* kFieldNames[] = {
    // The record's fields, in the order a record writes them.
    "time", "tool", "port", "file", "format", "bytes", "sha256", "mode", "clock", "boot_rate",
    "rate", "station_class", "chips", "flash_bytes", "sector_bytes", "start_address", "sectors",
    "warnings", "resident_ms", "load_ms", "total_ms", "restart", "status", "result", "message",
    "number", "reason",
    // A station of an unattended line's: its ordinal on its port, and how
    // long its port waited for it.
    "cycle", "waited_ms",
    // A run of a production job's: the job's name and the SHA-256 of its
    // text.
    "job", "job_sha256",
    // A station's fields beside its number: each field's value, or its
    // list's line.
    "fields",
    // Fields of events only.
    "byte", "ms", "percent", "sector", "address",
    // The run of many's: the batch a station's run is of, prompts, totals.
    "batch", "prompt", "ok", "failed", "batches", "per_hour"};
inline constexpr size_t kFieldCount = sizeof(kFieldNames) / sizeof(kFieldNames[0]);
// The record: the fields from "time" to "reason"; a station's run in a run
// of many adds its "batch".
inline constexpr size_t kRecordFields = 27;

struct Field {
  size_t index;
};

inline constexpr size_t kMaxEventFields = 7;

struct EventRow {
  const char* name;
  const char* fields[kMaxEventFields];
  // The single run's console text when the fact is reported: a format over
  // the report's values (record/run_record.h); empty where the event has
  // none of its own.
  const char* console = "";
  // The plain line a run of many writes for it, "PORT: " before it.
  const char* plain = "";
  // One event may have rows of other fields: each after the first names
  // its own, and is named "name:variant".
  const char* variant = "";
};

inline constexpr EventRow kEvents[] = {
    {"start", {"port", "file", "format", "bytes", "sha256", "mode"}},
    {"waiting", {}, msg::kWaitingForStart, msg::kStageWaiting},
    {"stray", {"byte"}, msg::kNotOurClient, "принято: %#.2x - не наш клиент!"},
    {"clock", {"clock", "boot_rate"}, msg::kClockLine, "FQ: %s"},
    {"resident", {"ms", "rate"}, msg::kStarted, "резидент: старт - Ok!, T= %u ms"},
    // Its lines are written as the station information is read and checked.
    {"station",
     {"station_class", "chips", "flash_bytes", "sector_bytes", "start_address", "sectors", "bytes"},
     "",
     "станция класса %s, FLASH %lu Кб"},
    {"number", {"number", "address"}, msg::kStationNumber, "номер станции: %s"},
    {"progress", {"percent"}, msg::kPercent, msg::kStageLoading},
    // The status light tells it.
    {"warning", {"sector"}, "", "предупреждение: сектор %u"},
    {"loaded", {"load_ms", "warnings"}, msg::kLoadTime, "загрузка FLASH: 100%%, T= %u ms"},
    {"jumper", {}, msg::kJumperReminder, msg::kStageJumper},
    // Told by its value (kRestartNames).
    {"restart", {"restart"}},
    // An unattended line's: the last station back in its boot loader, its
    // jumper still set; a port gone, to be opened again.
    {"jumper-set", {}, "", msg::kStageJumperSet},
    {"port-lost", {}, "", msg::kStagePortLost},
    {"end", {}},  // every field of the record
    // The run of many's own.
    {"prompt", {"prompt", "batch"}},
    {"summary", {"ok", "failed", "batches"}},
    {"summary", {"ok", "failed", "per_hour"}, "", "", "line"},
};
inline constexpr size_t kEventCount = sizeof(kEvents) / sizeof(kEvents[0]);

struct Event {
  size_t row;
  friend constexpr bool operator==(Event, Event) = default;
};

// The field, or the event, of this name; the count of them for none.
constexpr size_t field_index(std::string_view name) {
  size_t i = 0;
  while (i < kFieldCount && name != kFieldNames[i]) ++i;
  return i;
}
constexpr size_t event_index(std::string_view name) {
  const size_t colon = name.find(':');
  const std::string_view base = name.substr(0, colon);
  const std::string_view variant = colon == name.npos ? "" : name.substr(colon + 1);
  size_t i = 0;
  while (i < kEventCount && (base != kEvents[i].name || variant != kEvents[i].variant)) ++i;
  return i;
}

constexpr bool schema_sound() {
  if (std::string_view(kFieldNames[kRecordFields - 1]) != "reason") return false;
  for (const EventRow& row : kEvents) {
    for (const char* name : row.fields) {
      if (name != nullptr && field_index(name) == kFieldCount) return false;
    }
  }
  return true;
}
static_assert(schema_sound(), "every event field is a field of the schema");

// Not constexpr: reaching either while naming stops the build.
inline void no_such_field() {}
inline void no_such_event() {}

consteval Field field(std::string_view name) {
  if (field_index(name) == kFieldCount) no_such_field();
  return Field{field_index(name)};
}

consteval Event event(std::string_view name) {
  if (event_index(name) == kEventCount) no_such_event();
  return Event{event_index(name)};
}

constexpr const char* field_name(Field field) { return kFieldNames[field.index]; }

constexpr size_t field_count(Event event) {
  size_t count = 0;
  while (count < kMaxEventFields && kEvents[event.row].fields[count] != nullptr) ++count;
  return count;
}
// A field's name, checked: for reading and writing event lines.
consteval const char* field_key(std::string_view name) { return field_name(field(name)); }
constexpr const EventRow& event_row(Event event) { return kEvents[event.row]; }

// How a load's restart went: the restart field's values, and a run of
// many's plain line for each.
enum class RestartResult { kAnswered, kSilent, kDeclined };
struct RestartRow {
  const char* name;
  const char* plain;
};
inline constexpr RestartRow kRestartNames[] = {
    {"answered", msg::kRestartedOk}, {"silent", msg::kRestartedBad}, {"declined", msg::kNoRestart}};

constexpr const char* restart_name(RestartResult result) {
  return kRestartNames[static_cast<size_t>(result)].name;
}

}  // namespace travek
