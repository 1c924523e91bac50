// The unattended line's parent in-process: its own code, driven by its
// command line on the virtual-time line, with scripted port processes in
// place of the tool's own. A port's process writes each station's events,
// with its cycle, as the tool does; the parent shows the line draw by
// draw, counts each port's stations, the line's stations an hour, ends the
// line on Esc or a termination request, and writes what a lost station
// could not.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/constants.h"
#include "e2e/event_lines.h"
#include "support/images.h"
#include "support/output.h"
#include "virtual_line.h"

namespace sim {
namespace {

using nlohmann::json;
using testing_support::contains;
using testing_support::TempFile;

std::string line_of(json event, int cycle) {
  event["cycle"] = cycle;
  return event.dump() + "\n";
}

// One station of a port's series: its start byte wait_ms after `at`, its
// load, and its end, ok or failed (with that message) at 2000 ms after
// its start byte. The time of its end is in *end_ms.
std::vector<ChildWrite> station(double at, int cycle, double wait_ms, const char* failure,
                                double* end_ms, unsigned warnings = 0) {
  const double start = at + wait_ms;
  std::vector<ChildWrite> w = {
      {at, line_of({{"event", "start"}, {"bytes", 8192}, {"mode", "load"}}, cycle)},
      {at + 1, line_of({{"event", "waiting"}}, cycle)},
      {start, line_of({{"event", "clock"}, {"clock", "11mHz"}, {"boot_rate", 10472}}, cycle)},
      {start + 500,
       line_of({{"event", "station"}, {"station_class", "KT20"}, {"flash_bytes", 524288}}, cycle)},
      {start + 600, line_of({{"event", "number"}, {"number", 100000 + cycle}}, cycle)},
      {start + 1000, line_of({{"event", "progress"}, {"percent", 57}}, cycle)}};
  for (unsigned k = 0; k < warnings; ++k) {
    w.push_back({start + 1100 + k, line_of({{"event", "warning"}, {"sector", k}}, cycle)});
  }
  json end = {{"event", "end"},
              {"result", failure == nullptr ? "ok" : "flash-write-error"},
              {"message", failure == nullptr ? json() : json(failure)},
              {"status", failure == nullptr ? 0 : 255},
              {"warnings", warnings}};
  w.push_back({start + 2000, line_of(end, cycle)});
  *end_ms = start + 2000;
  return w;
}

// A port's process: these stations one after another, then waiting; Esc
// stops it at once.
ChildScript port_process(const std::vector<std::vector<ChildWrite>>& stations,
                         double then_waiting_at, int next_cycle) {
  ChildScript c;
  for (const auto& s : stations) c.run.writes.insert(c.run.writes.end(), s.begin(), s.end());
  c.run.writes.push_back(
      {then_waiting_at, line_of({{"event", "start"}, {"bytes", 8192}}, next_cycle)});
  c.run.writes.push_back({then_waiting_at + 1, line_of({{"event", "waiting"}}, next_cycle)});
  c.keys[travek::KEY_ESC] = ChildAct{{}, 1, 0};
  return c;
}

class Line : public ::testing::Test {
 protected:
  TempFile image_{e2e::random_image(8192)};
  e2e::TempFolder folder_{"line-sim"};
  const std::string log_ = folder_.path() + "/line.jsonl";
};

// Draw by draw: the line's counts and stations an hour on top; each port
// its station under way, its stage and its own counts, a finished station
// shown until the port's next start byte, a returned station and a port
// gone told in its stage. Esc ends the line once both ports wait.
TEST_F(Line, ViewDrawByDrawAndTheSummary) {
  double end1 = 0, end2 = 0, end3 = 0;
  // P0: two stations, the second failing; then waiting.
  std::vector<ChildWrite> s1 = station(0, 1, 1000, nullptr, &end1, 2);  // start byte at 1000
  std::vector<ChildWrite> s2 = station(end1 + 1, 2, 4000, "Ошибка записи FLASH!", &end2);
  ChildScript p0 = port_process({s1, s2}, end2 + 1, 3);
  // P1: one station; it comes back with its jumper set; its port goes and
  // comes back.
  std::vector<ChildWrite> s3 = station(0, 1, 2000, nullptr, &end3);
  ChildScript p1 = port_process({s3}, end3 + 1, 2);
  p1.run.writes.push_back({end3 + 800, line_of({{"event", "jumper-set"}}, 1)});
  p1.run.writes.push_back({end3 + 5000, line_of({{"event", "port-lost"}}, 2)});
  p1.run.writes.push_back({end3 + 7000, line_of({{"event", "start"}}, 2)});
  p1.run.writes.push_back({end3 + 7001, line_of({{"event", "waiting"}}, 2)});

  VirtualOptions options;
  options.terminal = true;
  VirtualLine line(StationConfig{}, options);
  line.children().script(0, {p0});
  line.children().script(1, {p1});
  line.press(20000, travek::KEY_ESC);
  EXPECT_EQ(line.run_tool({"-auto", "-ports:P0,P1", image_.path()}), 255) << line.output();

  // At each moment, what the view showed last.
  const auto drawn_at = [&](double ms) {
    std::vector<std::string> last;
    for (const ViewDraw& d : line.view_draws()) {
      if (d.at_ms <= ms) last = d.lines;
    }
    return last;
  };
  EXPECT_EQ(drawn_at(500),
            (std::vector<std::string>{
                "Линия: успешно 0, с ошибкой 0, станций в час: 0.0",
                "P0  ожидание станции" + std::string(20, ' ') + "0 с  успешно 0, с ошибкой 0",
                "P1  ожидание станции" + std::string(20, ' ') + "0 с  успешно 0, с ошибкой 0"}));
  const std::vector<std::string> loading = drawn_at(2400);
  EXPECT_EQ(loading[1],
            "P0  № 100001  загрузка  57%     {red}предупреждений: 2{normal}  11mHz  "
            "KT20       1 с  успешно 0, с ошибкой 0")
      << loading[1];
  // P0's first station done at 3000, P1's at 4000: each stays shown while
  // its port waits; two stations in 4 s since the first start byte.
  const std::vector<std::string> done = drawn_at(end1 + 2000);
  EXPECT_EQ(done[0], "Линия: успешно 2, с ошибкой 0, станций в час: 1800.0");
  EXPECT_TRUE(contains(done[1], "P0  № 100001  готово")) << done[1];
  EXPECT_TRUE(contains(done[1], "2 с  успешно 1, с ошибкой 0")) << done[1];
  // P1's station came back at once with its jumper set: red.
  const std::vector<std::string> returned = drawn_at(end3 + 1000);
  EXPECT_EQ(returned[2].rfind("{red}P1  № 100001  перемычка не снята", 0), 0u) << returned[2];
  EXPECT_TRUE(contains(drawn_at(end3 + 6000)[2], "P1  № 100001  порт недоступен"));
  EXPECT_TRUE(contains(drawn_at(end3 + 8000)[2], "P1  № 100001  ожидание станции"));
  // P0's second station failed: red, its message after the columns.
  const std::vector<std::string> failed = drawn_at(end2 + 500);
  EXPECT_EQ(failed[1].rfind("{red}P0  № 100002  ошибка", 0), 0u) << failed[1];
  EXPECT_TRUE(contains(failed[1], "успешно 1, с ошибкой 1  Ошибка записи FLASH!{normal}"));
  EXPECT_TRUE(contains(failed[0], "Линия: успешно 2, с ошибкой 1, станций в час: "));

  // Esc at 20000 with both waiting: each port told, the line ends at once.
  EXPECT_EQ(line.children().calls().back().at_ms < 20200, true);
  const std::string out = line.output();
  const std::string summary = out.substr(out.find("\nИтого"));
  EXPECT_EQ(summary.substr(0, summary.find("\nPress")),
            "\nИтого: успешно 2, с ошибкой 1, станций в час: 568.4\n"
            "P0: успешно 1, с ошибкой 1\n"
            "P0: Ошибка записи FLASH! (1)\n"
            "P0: секторов с предупреждением: 2\n"
            "P1: успешно 1, с ошибкой 0\n");
}

// With -json: every port's events with their port, a batch of null and
// their cycle; the line's summary with its stations an hour; no record of
// the parent's own, and a port that was waiting has none either.
TEST_F(Line, EventsAndTheSummaryEvent) {
  double end1 = 0;
  std::vector<ChildWrite> s1 = station(0, 1, 1000, nullptr, &end1);
  VirtualLine line;
  line.children().script(0, {port_process({s1}, end1 + 1, 2)});
  line.press(3600, travek::KEY_ESC);
  EXPECT_EQ(line.run_tool({"-json", "-auto", "-port:P0", "-log:" + log_, image_.path()}), 0);
  const std::vector<json> events = e2e::json_lines(line.events());
  ASSERT_FALSE(events.empty());
  for (const json& e : events) {
    if (e["event"] == "summary") continue;
    EXPECT_EQ(e["port"], "P0") << e.dump();
    EXPECT_TRUE(e.contains("batch") && e["batch"].is_null()) << e.dump();
    EXPECT_TRUE(e["cycle"] == 1 || e["cycle"] == 2) << e.dump();
  }
  // One station since its start byte at 1000, the summary just after the Esc
  // at 3600 ended the line.
  const json summary = events.back();
  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["ok"], 1);
  EXPECT_EQ(summary["failed"], 0);
  EXPECT_GT(summary["per_hour"].get<double>(), 3600000.0 / 2700);
  EXPECT_LE(summary["per_hour"].get<double>(), 3600000.0 / 2600);
  EXPECT_EQ(summary.size(), 4u);
  EXPECT_TRUE(e2e::read_text(log_).empty()) << "the stations write their own records";
  const std::vector<ChildCall>& calls = line.children().calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_TRUE(contains(calls.front().bytes, "-json -port:P0 -line ")) << calls.front().bytes;
  EXPECT_FALSE(contains(calls.front().bytes, "-auto")) << calls.front().bytes;
}

// Esc with two stations under way and one port waiting: the waiting port
// stops at once, the others finish their stations first, the view saying
// how many are left; a termination request instead records each station
// under way as terminated, and a port that dies mid-station is aborted
// with its cycle.
TEST_F(Line, EndingTheLine) {
  double end = 0;
  const std::vector<ChildWrite> mid_load = station(0, 1, 1000, nullptr, &end);  // ends at 3000
  const auto finishing = [&](double finish_at) {
    ChildScript c = port_process({mid_load}, end + 1, 2);
    ChildAct rest;  // Esc read only once the station is done: it finishes, then stops
    for (const ChildWrite& w : mid_load) {
      if (w.after_ms > 2500) rest.writes.push_back({w.after_ms - 2500 + finish_at, w.text});
    }
    rest.exit_after_ms = finish_at + 600;
    c.keys[travek::KEY_ESC] = rest;
    return c;
  };
  ChildScript waiting = port_process({}, 0, 1);
  VirtualOptions options;
  options.terminal = true;
  {
    VirtualLine line(StationConfig{}, options);
    line.children().script(0, {finishing(0)});
    line.children().script(1, {finishing(300)});
    line.children().script(2, {waiting});
    line.press(2500, travek::KEY_ESC);
    EXPECT_EQ(line.run_tool({"-auto", "-ports:P0,P1,P2", image_.path()}), 0);
    std::vector<std::string> footers;
    for (const ViewDraw& d : line.view_draws()) {
      if (footers.empty() || footers.back() != d.lines.back()) footers.push_back(d.lines.back());
    }
    EXPECT_NE(std::find(footers.begin(), footers.end(), "Завершение: ждём окончания 2 станций"),
              footers.end());
    EXPECT_NE(std::find(footers.begin(), footers.end(), "Завершение: ждём окончания 1 станций"),
              footers.end());
    EXPECT_TRUE(contains(line.output(), "\nИтого: успешно 2, с ошибкой 0"));
  }

  // A termination request: the port under way records itself; one that dies
  // in its station is recorded by the parent, with its cycle.
  ChildScript obeys = port_process({mid_load}, end + 1, 2);
  obeys.stop = ChildAct{
      {{1,
        line_of(
            {{"event", "end"}, {"result", "terminated"}, {"message", "SIGTERM"}, {"status", 255}},
            1)}},
      2,
      255};
  ChildScript dies = port_process({mid_load}, end + 1, 2);
  dies.run.exit_after_ms = 2000;
  dies.run.signal = 11;
  VirtualLine stopped;
  stopped.children().script(0, {obeys});
  stopped.children().script(1, {dies});
  stopped.children().script(2, {port_process({}, 0, 1)});
  stopped.request_end(2500);
  EXPECT_EQ(stopped.run_tool({"-json", "-auto", "-ports:P0,P1,P2", "-log:" + log_, image_.path()}),
            255);
  const std::vector<json> records = e2e::json_lines(e2e::read_text(log_));
  ASSERT_EQ(records.size(), 1u) << "the parent writes the lost station's alone";
  EXPECT_EQ(records[0]["port"], "P1");
  EXPECT_EQ(records[0]["result"], "aborted");
  EXPECT_EQ(records[0]["cycle"], 1);
  EXPECT_TRUE(records[0].contains("batch") && records[0]["batch"].is_null());
  const std::vector<json> events = e2e::json_lines(stopped.events());
  EXPECT_EQ(events.back()["ok"], 0);
  EXPECT_EQ(events.back()["failed"], 2);
}

}  // namespace
}  // namespace sim
