// The run of many's view on a terminal, one line a port kept in place, and
// its summaries.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/messages.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "production/parent.h"

namespace travek {
namespace {

// The view is redrawn at most this often for what changed; each second for
// the clocks.
constexpr uint32_t kTickMs = 100;
// The stages line up in a column this wide ("ожидание старта" and a bit).
constexpr size_t kStageColumns = 16;

// Each stage's text in the view, in the order of Stage.
constexpr const char* kStageTexts[] = {
    msg::kStageWaiting,        msg::kStageResident,  msg::kStageLoading,
    msg::kStageJumper,         msg::kStageDone,      msg::kStageFailed,
    msg::kStageWaitingStation, msg::kStageJumperSet, msg::kStagePortLost};

std::string stage_text(const Station& s) {
  if (s.stage == Stage::kLoading) return format_text(msg::kStageLoading, s.percent);
  return kStageTexts[static_cast<size_t>(s.stage)];
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

// The stations an hour as the view and the summary write it: 412.5.
std::string per_hour_text(const Production& pr) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", per_hour(pr));
  return text;
}

// The port, then its number, in their columns.
void port_columns(const Station& s, const ViewColumns& widths, std::string* text) {
  *text = s.port;
  pad_to(text, 0, widths.port + 2);
  if (widths.number > 0) {
    const size_t from = text->size();
    *text += number_text(s);
    pad_to(text, from, widths.number + 2);
  }
}

// One station's line of the view, in columns, the most telling first, so
// that a narrow terminal cuts the least of it: the port, its number, the
// stage, its count of sectors with a warning (red), the clock, the class and
// the seconds; on a line, the port's counts; then a failure's message,
// which has no width of its own. The line's text is kept in text.
ViewLine station_line(const Production& pr, const Station& s, const ViewColumns& widths,
                      uint32_t at, std::string* text) {
  port_columns(s, widths, text);
  size_t from = text->size();
  *text += stage_text(s);
  pad_to(text, from, kStageColumns);
  ViewLine line{nullptr, s.stage == Stage::kFailed || s.stage == Stage::kJumperSet};
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
  if (pr.line) *text += "  " + format_text(msg::kPortCounts, s.ok_count, s.failed_count);
  if (s.stage == Stage::kFailed && !s.message.empty()) *text += "  " + s.message;
  line.text = text->c_str();
  return line;
}

// A line's ports: each its counts, each distinct failure with how often it
// came, and its sectors with a warning.
void port_summaries(const Production& pr) {
  for (int i = 0; i < pr.count; ++i) {
    const Station& s = pr.stations[i];
    con_printf(msg::kPortSummary, s.port, s.ok_count, s.failed_count);
    for (const auto& [message, times] : s.failures) {
      con_printf(msg::kPortFailure, s.port, message.c_str(), times);
    }
    if (s.warnings_total > 0) con_printf(msg::kPortWarnings, s.port, s.warnings_total);
  }
}

}  // namespace

double per_hour(const Production& pr) {
  const uint32_t elapsed = now_ms() - pr.started_ms;
  if (!pr.started || elapsed == 0) return 0;
  const double ended = pr.total_ok + pr.total_failed;
  return std::round(ended * 3600000.0 / elapsed * 10) / 10;
}

void refresh(Production& pr, bool now) {
  if (!pr.view) return;
  const uint32_t at = now_ms();
  const bool second = at / 1000 != pr.drawn_ms / 1000;
  if (!now && !(pr.dirty && at - pr.drawn_ms >= kTickMs) && !second) return;
  ViewColumns widths;
  for (int i = 0; i < pr.count; ++i) {
    const Station& s = pr.stations[i];
    widths.port = std::max<size_t>(widths.port, con_text_columns(s.port));
    widths.number = std::max<size_t>(widths.number, con_text_columns(number_text(s).c_str()));
    widths.warnings = std::max<size_t>(widths.warnings, con_text_columns(warnings_text(s).c_str()));
  }
  std::vector<std::string> texts(static_cast<size_t>(pr.count) + 1);
  std::vector<ViewLine> lines;
  if (pr.line) {
    texts.back() =
        format_text(msg::kLineCounts, pr.total_ok, pr.total_failed, per_hour_text(pr).c_str());
    lines.push_back({texts.back().c_str(), false});
  }
  for (int i = 0; i < pr.count; ++i) {
    lines.push_back(station_line(pr, pr.stations[i], widths, at, &texts[i]));
  }
  if (!pr.footer.empty()) lines.push_back({pr.footer.c_str(), false});
  con_view_draw(lines.data(), static_cast<int>(lines.size()));
  pr.dirty = false;
  pr.drawn_ms = at;
}

void summary(const Production& pr, unsigned ok, unsigned failed, bool with_ports) {
  if (pr.line) {
    con_printf(msg::kLineSummary, ok, failed, per_hour_text(pr).c_str());
    return port_summaries(pr);
  }
  con_printf(msg::kSummary, ok, failed);
  if (!with_ports) return;
  for (int i = 0; i < pr.count; ++i) {
    const Station& s = pr.stations[i];
    if (s.end_seen && !s.ok) con_printf(msg::kPortLine, s.port, s.message.c_str());
    if (s.warnings > 0) con_printf(msg::kPortWarnings, s.port, s.warnings);
  }
}

}  // namespace travek
