// The run's record and its events, as one schema: every field a record or an
// event can carry, and every event with its fields in the order written.
// The single run's record and the run of many read the same tables. Code
// names a field or an event by its name, field("percent"), event("clock"),
// and a name that is not here does not build.
#pragma once

#include <cstddef>
#include <string_view>

namespace travek {

inline constexpr const char* kFieldNames[] = {
    // The record's fields, in the order a record writes them.
    "time", "tool", "port", "file", "format", "bytes", "sha256", "mode", "clock", "boot_rate",
    "rate", "station_class", "chips", "flash_bytes", "sector_bytes", "start_address", "sectors",
    "warnings", "resident_ms", "load_ms", "total_ms", "restart", "status", "result", "message",
    "number",
    // Fields of events only.
    "byte", "ms", "percent", "sector", "address",
    // The run of many's: the batch a station's run is of, prompts, totals.
    "batch", "prompt", "ok", "failed", "batches"};
inline constexpr size_t kFieldCount = sizeof(kFieldNames) / sizeof(kFieldNames[0]);
// The record: the fields from "time" to "number"; a station's run in a run
// of many adds its "batch".
inline constexpr size_t kRecordFields = 26;

struct Field {
  size_t index;
};

inline constexpr size_t kMaxEventFields = 7;

struct EventRow {
  const char* name;
  const char* fields[kMaxEventFields];
};

inline constexpr EventRow kEvents[] = {
    {"start", {"port", "file", "format", "bytes", "sha256", "mode"}},
    {"waiting", {}},
    {"stray", {"byte"}},
    {"clock", {"clock", "boot_rate"}},
    {"resident", {"ms", "rate"}},
    {"station",
     {"station_class", "chips", "flash_bytes", "sector_bytes", "start_address", "sectors",
      "bytes"}},
    {"number", {"number", "address"}},
    {"progress", {"percent"}},
    {"warning", {"sector"}},
    {"loaded", {"load_ms", "warnings"}},
    {"jumper", {}},
    {"restart", {"restart"}},
    {"end", {}},  // every field of the record
    // The run of many's own.
    {"prompt", {"prompt", "batch"}},
    {"summary", {"ok", "failed", "batches"}},
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
  size_t i = 0;
  while (i < kEventCount && name != kEvents[i].name) ++i;
  return i;
}

constexpr bool schema_sound() {
  if (std::string_view(kFieldNames[kRecordFields - 1]) != "number") return false;
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
// A field's name, checked: for reading and writing event lines.
consteval const char* field_key(std::string_view name) { return field_name(field(name)); }
constexpr const EventRow& event_row(Event event) { return kEvents[event.row]; }

// How a load's restart went: the restart field's values.
enum class RestartResult { kAnswered, kSilent, kDeclined };
inline constexpr const char* kRestartNames[] = {"answered", "silent", "declined"};

constexpr const char* restart_name(RestartResult result) {
  return kRestartNames[static_cast<size_t>(result)];
}

}  // namespace travek
