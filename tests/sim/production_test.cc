// The run of many stations in-process: the parent's own code, driven by its
// command line on the virtual-time line, with scripted children in place of
// the tool's own runs. Only what the parent shows is checked: its console
// text, its event stream, its log, its exit status, and what it sent to
// each child and when.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
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
using travek::KEY_END_OF_INPUT;
using travek::KEY_ENTER;
using travek::KEY_ESC;

const std::string kNextBatch = "\nСледующая партия: \"Enter\"-начать, \"Esc\"-выход\n";

std::string line_of(const json& event) { return event.dump() + "\n"; }

// The child writes its end at once and exits with the status the tool gives it.
ChildAct ends(const std::string& result, const json& message = nullptr, json extra = {}) {
  const int status = result == "ok" ? 0 : 255;
  json end = {{"event", "end"}, {"result", result}, {"message", message}, {"status", status}};
  if (extra.is_object()) end.update(extra);
  return {{{1, line_of(end)}}, 2, status};
}

// Start, wait, and the clock found at 200 ms.
std::vector<ChildWrite> to_clock() {
  return {{0, line_of({{"event", "start"}, {"bytes", 8192}, {"mode", "load"}})},
          {1, line_of({{"event", "waiting"}})},
          {200, line_of({{"event", "clock"}, {"clock", "10mHz"}, {"boot_rate", 9600}})}};
}

// A station that never starts: Esc cancels it.
ChildScript waiting_child() {
  ChildScript c;
  c.run.writes = {to_clock()[0], to_clock()[1]};
  c.keys[KEY_ESC] = ends("cancelled", "Загрузка отменена оператором");
  return c;
}

// A whole load, loaded at done_ms; then the jumper prompt (answered by Enter,
// Esc or the end of input), or with -y the restart at once.
ChildScript flashing_child(double done_ms, bool prompt) {
  ChildScript c;
  c.run.writes = to_clock();
  c.run.writes.push_back({1200, line_of({{"event", "resident"}, {"ms", 1000}, {"rate", 57600}})});
  c.run.writes.push_back(
      {1300, line_of({{"event", "station"}, {"station_class", "KT20"}, {"flash_bytes", 524288}})});
  c.run.writes.push_back({1400, line_of({{"event", "progress"}, {"percent", 50}})});
  c.run.writes.push_back({1500, line_of({{"event", "progress"}, {"percent", 57}})});
  c.run.writes.push_back({done_ms - 1, line_of({{"event", "progress"}, {"percent", 100}})});
  c.run.writes.push_back({done_ms, line_of({{"event", "loaded"}, {"load_ms", 2000}})});
  const auto restart = [](const char* how) {
    ChildAct act = ends("ok", nullptr, {{"restart", how}});
    act.writes.insert(act.writes.begin(), {0, line_of({{"event", "restart"}, {"restart", how}})});
    return act;
  };
  if (!prompt) {
    for (const ChildWrite& w : restart("answered").writes) {
      c.run.writes.push_back({done_ms + 1 + w.after_ms, w.text});
    }
    c.run.exit_after_ms = done_ms + 3;
    return c;
  }
  c.run.writes.push_back({done_ms + 1, line_of({{"event", "jumper"}})});
  c.keys[KEY_ENTER] = restart("answered");
  c.keys[KEY_ESC] = restart("declined");
  c.keys[KEY_END_OF_INPUT] = restart("declined");
  return c;
}

// Fails a sector at fail_ms.
ChildScript failing_child(double fail_ms) {
  ChildScript c;
  c.run.writes = to_clock();
  c.run.writes.push_back({fail_ms, line_of({{"event", "end"},
                                            {"result", "flash-write-error"},
                                            {"message", "Ошибка записи FLASH!"},
                                            {"status", 255}})});
  c.run.exit_after_ms = fail_ms + 1;
  c.run.status = 255;
  return c;
}

// A load with -y: to the station at 1300, then these writes, loaded at
// 3000 with these fields, the restart, and an end with these.
ChildScript loading_child(const std::vector<ChildWrite>& during,
                          const json& loaded = json::object(), const json& end = json::object()) {
  ChildScript c = flashing_child(3000, false);
  c.run.writes.resize(5);  // to the station
  c.run.writes.insert(c.run.writes.end(), during.begin(), during.end());
  json loaded_line = {{"event", "loaded"}, {"load_ms", 2000}};
  loaded_line.update(loaded);
  json end_line = {{"event", "end"},
                   {"result", "ok"},
                   {"message", nullptr},
                   {"status", 0},
                   {"restart", "answered"}};
  end_line.update(end);
  c.run.writes.push_back({3000, line_of(loaded_line)});
  c.run.writes.push_back({3001, line_of({{"event", "restart"}, {"restart", "answered"}})});
  c.run.writes.push_back({3002, line_of(end_line)});
  return c;
}

ChildWrite number_at(double at_ms, uint64_t number) {
  return {at_ms, line_of({{"event", "number"}, {"number", number}, {"address", 0xFE000}})};
}

ChildWrite warning_at(double at_ms, unsigned sector) {
  return {at_ms, line_of({{"event", "warning"}, {"sector", sector}})};
}

// The percentages a load of this many sectors reports, as the tool counts
// them: each sector's hundredth share, each change once.
std::vector<ChildWrite> progress_of(unsigned sectors) {
  std::vector<ChildWrite> writes;
  unsigned last = 0;
  for (unsigned k = 1; k <= sectors; ++k) {
    const unsigned percent = 100 * k / sectors;
    if (percent == last) continue;
    last = percent;
    writes.push_back({1300.0 + k, line_of({{"event", "progress"}, {"percent", percent}})});
  }
  return writes;
}

// Each port's lines of the plain output, in order, before the summary.
std::vector<std::string> plain_lines(const std::string& out, const std::string& port) {
  std::vector<std::string> found;
  std::istringstream lines(out.substr(0, out.find("\nИтого")));
  for (std::string l; std::getline(lines, l);) {
    if (l.rfind(port + ": ", 0) == 0) found.push_back(l.substr(port.size() + 2));
  }
  return found;
}

// The columns a text takes, without the view's colour markers.
size_t columns_of(std::string text) {
  for (const std::string marker : {"{red}", "{normal}"}) {
    for (size_t at; (at = text.find(marker)) != std::string::npos;) text.erase(at, marker.size());
  }
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The seconds a view line shows: the number before the first " с" that ends
// the line or a column.
int seconds_in(const std::string& line) {
  const std::string unit = " с";
  for (size_t at = line.find(unit); at != std::string::npos; at = line.find(unit, at + 1)) {
    const size_t after = at + unit.size();
    if (after != line.size() && line.compare(after, 2, "  ") != 0) continue;
    size_t from = at;
    while (from > 0 && std::isdigit(static_cast<unsigned char>(line[from - 1]))) --from;
    if (from < at) return std::stoi(line.substr(from, at - from));
  }
  return -1;
}

std::vector<json> events_of(const VirtualLine& line) { return e2e::json_lines(line.events()); }

std::vector<json> log_of(const std::string& path) { return e2e::json_lines(e2e::read_text(path)); }

// The port's events, by name, in order.
std::vector<std::string> names_for(const std::vector<json>& events, const std::string& port) {
  std::vector<std::string> names;
  for (const json& e : events) {
    if (e.value("port", "") == port) names.push_back(e["event"]);
  }
  return names;
}

json end_for(const std::vector<json>& events, const std::string& port, int batch = 1) {
  for (const json& e : events) {
    if (e["event"] == "end" && e.value("port", "") == port && e["batch"] == batch) return e;
  }
  return nullptr;
}

// What the child was given on its standard input: bytes, and "<closed>".
std::string input_of(const VirtualLine& line, int index) {
  std::string all;
  for (const ChildCall& c : line.children().calls()) {
    if (c.index != index) continue;
    if (c.kind == ChildCallKind::kSend) all += c.bytes;
    if (c.kind == ChildCallKind::kCloseInput) all += "<closed>";
  }
  return all;
}

std::vector<ChildCall> calls_of(const VirtualLine& line, ChildCallKind kind) {
  std::vector<ChildCall> found;
  for (const ChildCall& c : line.children().calls()) {
    if (c.kind == kind) found.push_back(c);
  }
  return found;
}

class Production : public ::testing::Test {
 protected:
  TempFile image_{e2e::random_image(8192)};
  e2e::TempFolder folder_{"production-sim"};
  const std::string log_ = folder_.path() + "/line.jsonl";
};

// A child killed by a signal, one that exits without its end, one that
// cannot be started: each is its port's failure, "aborted", with what its
// events told; a healthy one beside them is undisturbed.
TEST_F(Production, ChildrenThatEndWithoutTheirEndAreAborted) {
  struct Row {
    ChildScript child;
    std::string result;
    json message;
  };
  ChildScript killed;
  killed.run.writes = to_clock();
  killed.run.exit_after_ms = 300;
  killed.run.signal = 9;
  ChildScript exited;
  exited.run.writes = {to_clock()[0]};
  exited.run.exit_after_ms = 300;
  exited.run.status = 3;
  ChildScript unstartable;
  unstartable.cannot_start = true;
  const Row rows[] = {
      {killed, "aborted", "процесс станции прерван сигналом 9"},
      {exited, "aborted", "процесс станции завершился с кодом 3 без итога"},
      {unstartable, "aborted", "процесс станции не запущен"},
      {flashing_child(3000, false), "ok", nullptr},
  };
  VirtualLine line;
  std::string ports;
  for (int i = 0; i < 4; ++i) {
    line.children().script(i, {rows[i].child});
    ports += (i ? ",P" : "P") + std::to_string(i);
  }
  EXPECT_EQ(line.run_tool({"-json", "-y", "-ports:" + ports, "-log:" + log_, image_.path()}), 255);
  const std::vector<json> events = events_of(line);
  const std::vector<json> records = log_of(log_);
  ASSERT_EQ(records.size(), 4u) << line.events();
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const std::string port = "P" + std::to_string(i);
    json end = end_for(events, port);
    ASSERT_TRUE(end.is_object()) << line.events();
    EXPECT_EQ(end["result"], rows[i].result);
    EXPECT_EQ(end["message"], rows[i].message);
    EXPECT_EQ(end["status"], rows[i].result == "ok" ? 0 : 255);
    end.erase("event");
    const auto record = std::find_if(records.begin(), records.end(),
                                     [&](const json& r) { return r["port"] == port; });
    ASSERT_NE(record, records.end());
    EXPECT_EQ(*record, end) << "the log holds the end event, with its batch";
    EXPECT_EQ((*record)["batch"], 1);
  }
  // What the killed one told before it died is kept; the rest are null.
  const json killed_end = end_for(events, "P0");
  EXPECT_EQ(killed_end["clock"], "10mHz");
  EXPECT_EQ(killed_end["bytes"], 8192);
  EXPECT_EQ(killed_end["load_ms"], nullptr);
  EXPECT_EQ(end_for(events, "P1")["clock"], nullptr);
  EXPECT_EQ(names_for(events, "P2"), std::vector<std::string>{"end"});
  EXPECT_EQ(events.back(), (json{{"event", "summary"}, {"ok", 1}, {"failed", 3}, {"batches", 1}}));
}

// Lines that are not events are passed over, and a line that comes in two
// pieces is one event; an end cut short is no end.
TEST_F(Production, BrokenEventLinesAreSkipped) {
  ChildScript noisy;
  noisy.run.writes = {{0, "not an event\n"},
                      {1, "[1,2]\n"},
                      {2, "{\"event\":5}\n"},
                      {3, "{\"event\":\"clo"},
                      {9, "ck\",\"clock\":\"12mHz\",\"boot_rate\":11520}\n"},
                      {10, line_of({{"event", "end"}, {"result", "ok"}, {"status", 0}})}};
  noisy.run.exit_after_ms = 11;
  ChildScript cut_short;
  cut_short.run.writes = {{0, "{\"event\":\"end\",\"result\":\"ok\",\"sta\n"}};
  cut_short.run.exit_after_ms = 5;
  VirtualLine line;
  line.children().script(0, {noisy});
  line.children().script(1, {cut_short});
  EXPECT_EQ(line.run_tool({"-json", "-ports:P0,P1", image_.path()}), 255);
  const std::vector<json> events = events_of(line);
  EXPECT_EQ(names_for(events, "P0"), (std::vector<std::string>{"clock", "end"}));
  const auto clock = std::find_if(events.begin(), events.end(),
                                  [](const json& e) { return e["event"] == "clock"; });
  ASSERT_NE(clock, events.end());
  EXPECT_EQ(*clock, (json{{"event", "clock"},
                          {"clock", "12mHz"},
                          {"boot_rate", 11520},
                          {"port", "P0"},
                          {"batch", 1}}));
  EXPECT_EQ(end_for(events, "P0")["result"], "ok");
  EXPECT_EQ(names_for(events, "P1"), std::vector<std::string>{"end"});
  EXPECT_EQ(end_for(events, "P1")["result"], "aborted");
  EXPECT_EQ(end_for(events, "P1")["message"], "процесс станции завершился с кодом 0 без итога");
  EXPECT_EQ(events.back(), (json{{"event", "summary"}, {"ok", 1}, {"failed", 1}, {"batches", 1}}));
}

// Esc at each stage of a batch: who is sent what, and how each ends.
TEST_F(Production, EscAtEachStage) {
  struct Row {
    const char* stage;
    std::vector<std::string> args;
    std::vector<ChildScript> children;
    int key;                          // 0: no key, the input ends
    double key_at_ms;                 // or, then, when the last station reached the prompt
    std::vector<std::string> inputs;  // each child's
    std::vector<std::string> results;
    std::vector<std::string> prompts;  // the prompt events, as "name batch"
  };
  const Row rows[] = {
      {"waiting for the start byte: only those waiting",
       {"-y"},
       {waiting_child(), flashing_child(3000, false), waiting_child()},
       KEY_ESC,
       450,
       {"\x1b", "", "\x1b"},
       {"cancelled", "ok", "cancelled"},
       {}},
      {"resident and loading: nobody",
       {"-y"},
       {flashing_child(3000, false), flashing_child(3500, false)},
       KEY_ESC,
       1250,
       {"", ""},
       {"ok", "ok"},
       {}},
      {"jumper prompt: Esc declines all that wait",
       {},
       {flashing_child(3000, true), failing_child(2000), flashing_child(3500, true)},
       KEY_ESC,
       5000,
       {"\x1b", "", "\x1b"},
       {"ok", "flash-write-error", "ok"},
       {"jumper 1"}},
      {"jumper prompt: Enter restarts all that wait",
       {},
       {flashing_child(3000, true), flashing_child(3500, true)},
       KEY_ENTER,
       5000,
       {"\r", "\r"},
       {"ok", "ok"},
       {"jumper 1"}},
      {"jumper prompt: the end of input reaches each as its own",
       {},
       {flashing_child(3000, true), flashing_child(3500, true)},
       0,
       3501,
       {"<closed>", "<closed>"},
       {"ok", "ok"},
       {"jumper 1"}},
      {"next-batch prompt: ends the run",
       {"-y", "-repeat"},
       {flashing_child(3000, false), flashing_child(3000, false)},
       KEY_ESC,
       5000,
       {"", ""},
       {"ok", "ok"},
       {"next-batch 2"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stage);
    VirtualLine line;
    std::string ports;
    for (size_t i = 0; i < row.children.size(); ++i) {
      line.children().script(static_cast<int>(i), {row.children[i]});
      ports += (i ? ",P" : "P") + std::to_string(i);
    }
    if (row.key != 0) line.press(row.key_at_ms, row.key);
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"-json", "-ports:" + ports, image_.path()});
    const bool all_ok = std::count(row.results.begin(), row.results.end(), "ok") ==
                        static_cast<long>(row.results.size());
    EXPECT_EQ(line.run_tool(args), all_ok ? 0 : 255) << line.events();
    const std::vector<json> events = events_of(line);
    std::vector<std::string> prompts;
    for (const json& e : events) {
      if (e["event"] == "prompt") {
        prompts.push_back(e["prompt"].get<std::string>() + " " + e["batch"].dump());
      }
    }
    EXPECT_EQ(prompts, row.prompts);
    for (size_t i = 0; i < row.children.size(); ++i) {
      const std::string port = "P" + std::to_string(i);
      EXPECT_EQ(input_of(line, static_cast<int>(i)), row.inputs[i]) << port;
      EXPECT_EQ(end_for(events, port)["result"], row.results[i]) << port << line.events();
    }
    // A key is handed on within a tick of the parent's wait.
    for (ChildCallKind kind : {ChildCallKind::kSend, ChildCallKind::kCloseInput}) {
      for (const ChildCall& c : calls_of(line, kind)) {
        EXPECT_GE(c.at_ms, row.key_at_ms);
        EXPECT_LE(c.at_ms, row.key_at_ms + 100);
      }
    }
    EXPECT_EQ(calls_of(line, ChildCallKind::kStart).size(), row.children.size());
    EXPECT_EQ(events.back()["event"], "summary");
    EXPECT_EQ(events.back()["batches"], 1);
  }
}

// -repeat on a console and with -json: two batches, the second with one
// failure; each batch its summary, the totals at the end, a log record per
// station per batch, each child started once a batch with the shared
// switches and its own port.
TEST_F(Production, BatchAfterBatch) {
  for (const bool events : {false, true}) {
    SCOPED_TRACE(events ? "-json" : "console");
    VirtualLine line;
    line.children().script(0, {flashing_child(3000, false)});
    line.children().script(1, {flashing_child(3500, false), failing_child(2500)});
    line.press(10000, KEY_ENTER);
    line.press(20000, KEY_ESC);
    std::vector<std::string> args = {"-y", "-repeat", "-ports:P0,P1", "-log:" + log_,
                                     image_.path()};
    if (events) args.insert(args.begin(), "-json");
    EXPECT_EQ(line.run_tool(args), 255);

    const std::vector<ChildCall> starts = calls_of(line, ChildCallKind::kStart);
    ASSERT_EQ(starts.size(), 4u);
    EXPECT_GE(starts[2].at_ms, 10000) << "the second batch on Enter";
    EXPECT_LE(starts[2].at_ms, 10100);
    for (const ChildCall& start : starts) {
      std::istringstream typed(start.bytes);
      std::multiset<std::string> given{std::istream_iterator<std::string>(typed), {}};
      const std::string batch = start.at_ms < 10000 ? "1" : "2";
      EXPECT_EQ(given, (std::multiset<std::string>{"-y", image_.path(), "-json",
                                                   "-port:P" + std::to_string(start.index),
                                                   "-batch:" + batch, "-log:" + log_}));
    }

    const std::vector<json> records = log_of(log_);
    ASSERT_EQ(records.size(), 4u);
    std::multiset<std::string> logged;
    for (const json& r : records) {
      logged.insert(r["port"].get<std::string>() + " " + r["batch"].dump() + " " +
                    r["result"].get<std::string>());
    }
    EXPECT_EQ(logged, (std::multiset<std::string>{"P0 1 ok", "P1 1 ok", "P0 2 ok",
                                                  "P1 2 flash-write-error"}));
    std::remove(log_.c_str());

    if (!events) {
      const std::string& out = line.output();
      EXPECT_EQ(line.events(), "");
      EXPECT_TRUE(contains(out, "\nИтого: успешно 2, с ошибкой 0\n" + kNextBatch));
      EXPECT_TRUE(contains(out, "\nИтого: успешно 1, с ошибкой 1\nP1: Ошибка записи FLASH!\n" +
                                    kNextBatch + "\nИтого: успешно 3, с ошибкой 1\n" +
                                    testing_support::kPressKey));
      // One whole line per event, each led by its port.
      std::string p0;
      std::istringstream lines(out.substr(0, out.find("\nИтого")));
      for (std::string l; std::getline(lines, l);) {
        if (l.rfind("P0: ", 0) == 0) p0 += l + "\n";
      }
      EXPECT_EQ(p0,
                "P0: ожидание старта\n"
                "P0: FQ: 10mHz\n"
                "P0: резидент: старт - Ok!, T= 1000 ms\n"
                "P0: станция класса KT20, FLASH 512 Кб\n"
                "P0: загрузка  50%\n"
                "P0: загрузка 100%\n"
                "P0: загрузка FLASH: 100%, T= 2000 ms\n"
                "P0: рестарт станции: Ok!\n"
                "P0: готово\n");
      continue;
    }
    EXPECT_EQ(line.output(), "");
    const std::vector<json> stream = events_of(line);
    std::vector<json> prompts;
    for (const json& e : stream) {
      if (e["event"] == "prompt") prompts.push_back(e);
      if (e["event"] == "summary" || e["event"] == "prompt") continue;
      EXPECT_TRUE(e["port"] == "P0" || e["port"] == "P1") << e;
      EXPECT_TRUE(e["batch"] == 1 || e["batch"] == 2) << e;
    }
    EXPECT_EQ(prompts,
              (std::vector<json>{{{"event", "prompt"}, {"prompt", "next-batch"}, {"batch", 2}},
                                 {{"event", "prompt"}, {"prompt", "next-batch"}, {"batch", 3}}}));
    EXPECT_EQ(end_for(stream, "P1", 2)["result"], "flash-write-error");
    EXPECT_EQ(stream.back(),
              (json{{"event", "summary"}, {"ok", 3}, {"failed", 1}, {"batches", 2}}));
  }
}

// A termination request stops every child: one records itself, one that
// does not end is killed 10 s later and recorded by the parent.
TEST_F(Production, TerminationStopsEveryStation) {
  for (const char* signal_name : {"SIGTERM", "SIGHUP"}) {
    SCOPED_TRACE(signal_name);
    ChildScript obeys = flashing_child(30000, false);
    obeys.stop = ends("terminated", signal_name);
    VirtualLine line;
    line.children().script(0, {obeys});
    line.children().script(1, {flashing_child(30000, false)});
    line.request_end(2050, signal_name);
    EXPECT_EQ(line.run_tool({"-json", "-y", "-ports:P0,P1", "-log:" + log_, image_.path()}), 255);
    const std::vector<ChildCall> stops = calls_of(line, ChildCallKind::kStop);
    const std::vector<ChildCall> kills = calls_of(line, ChildCallKind::kKill);
    ASSERT_EQ(stops.size(), 2u);
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(kills[0].index, 1);
    EXPECT_GE(stops[0].at_ms, 2050);
    EXPECT_LE(stops[0].at_ms, 2150);
    EXPECT_GE(kills[0].at_ms - stops[0].at_ms, 10000);
    EXPECT_LE(kills[0].at_ms - stops[0].at_ms, 10100);
    const std::vector<json> events = events_of(line);
    for (const char* port : {"P0", "P1"}) {
      EXPECT_EQ(end_for(events, port)["result"], "terminated") << port;
      EXPECT_EQ(end_for(events, port)["message"], signal_name) << port;
    }
    EXPECT_EQ(end_for(events, "P1")["clock"], "10mHz");
    const std::vector<json> records = log_of(log_);
    EXPECT_EQ(records.size(), 2u);
    for (const json& r : records) EXPECT_EQ(r["result"], "terminated");
    EXPECT_EQ(events.back(),
              (json{{"event", "summary"}, {"ok", 0}, {"failed", 2}, {"batches", 1}}));
    std::remove(log_.c_str());
  }
}

// On a terminal: each station's line gives its number once it has one, and
// its count of sectors with a warning in red; a failed line is red, its
// message after the columns, which stay in line on every draw.
TEST_F(Production, ViewShowsNumbersWarningsAndFailuresInColumns) {
  {
    VirtualOptions options;
    options.terminal = true;
    VirtualLine line(StationConfig{}, options);
    line.children().script(
        0, {loading_child({number_at(1350, 100001), warning_at(1400, 3), warning_at(1450, 7)},
                          {{"warnings", 2}}, {{"warnings", 2}})});
    ChildScript failing = failing_child(2000);
    failing.run.writes.push_back(number_at(1350, 99));
    line.children().script(1, {failing});
    line.children().script(2, {flashing_child(3000, false)});
    EXPECT_EQ(line.run_tool({"-y", "-ports:P0,P1,P2", image_.path()}), 255);
    ASSERT_FALSE(line.view_draws().empty());
    EXPECT_EQ(
        line.view_draws().back().lines,
        (std::vector<std::string>{
            "P0  № 100001  готово            {red}предупреждений: 2{normal}  10mHz  KT20       3 с",
            "{red}P1  № 99      ошибка                               10mHz             2 с  "
            "Ошибка записи FLASH!{normal}",
            "P2            готово                               10mHz  KT20       3 с"}));
    // Every draw: the clock and the seconds of every line in one column; the
    // columns of the number and of the count there once a station fills them.
    bool numbered = false;
    for (const ViewDraw& draw : line.view_draws()) {
      SCOPED_TRACE(draw.at_ms);
      ASSERT_EQ(draw.lines.size(), 3u);
      std::set<size_t> clocks, seconds;
      for (const std::string& l : draw.lines) {
        if (l.find("10mHz") != std::string::npos)
          clocks.insert(columns_of(l.substr(0, l.find("10mHz"))));
        seconds.insert(columns_of(l.substr(0, l.find(std::to_string(seconds_in(l)) + " с"))));
        numbered = numbered || l.find("№") != std::string::npos;
      }
      EXPECT_LE(clocks.size(), 1u) << draw.lines[0] << "\n"
                                   << draw.lines[1] << "\n"
                                   << draw.lines[2];
      EXPECT_EQ(seconds.size(), 1u) << draw.lines[0] << "\n"
                                    << draw.lines[1] << "\n"
                                    << draw.lines[2];
    }
    EXPECT_TRUE(numbered);
    EXPECT_EQ(line.view_draws().front().lines[0].find("№"), std::string::npos)
        << "no number column before any station has one";
    EXPECT_EQ(line.view_draws().front().lines[2],
              "P2  ожидание старта " + std::string(18, ' ') + "  0 с")
        << "nor a column for the count before any station has a warning";
  }
  // The view stays off a file, a pipe and an event stream.
  for (const bool terminal : {false, true}) {
    VirtualOptions plain;
    plain.terminal = terminal;
    VirtualLine line(StationConfig{}, plain);
    line.children().script(0, {flashing_child(3000, false)});
    std::vector<std::string> args = {"-y", "-ports:P0", image_.path()};
    if (terminal) args.insert(args.begin(), "-json");
    EXPECT_EQ(line.run_tool(args), 0);
    EXPECT_TRUE(line.view_draws().empty());
  }
}

// Every way a station ends stops its seconds: its end, the loss of its
// process, and the jumper prompt, however long the operator takes.
TEST_F(Production, SecondsStopWhenAStationEnds) {
  ChildScript killed;
  killed.run.writes = to_clock();
  killed.run.exit_after_ms = 2500;
  killed.run.signal = 9;
  VirtualOptions options;
  options.terminal = true;
  VirtualLine line(StationConfig{}, options);
  line.children().script(0, {flashing_child(3000, true)});
  line.children().script(1, {flashing_child(8000, true)});
  line.children().script(2, {failing_child(2000)});
  line.children().script(3, {killed});
  line.press(60000, KEY_ENTER);
  EXPECT_EQ(line.run_tool({"-ports:P0,P1,P2,P3", image_.path()}), 255);
  const int stops[] = {3, 8, 2, 2};
  ASSERT_FALSE(line.view_draws().empty());
  EXPECT_GE(line.view_draws().back().at_ms, 60000) << "drawn after the answer";
  for (const ViewDraw& draw : line.view_draws()) {
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_LE(seconds_in(draw.lines[i]), stops[i]) << draw.at_ms << " " << draw.lines[i];
    }
  }
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(seconds_in(line.view_draws().back().lines[i]), stops[i])
        << line.view_draws().back().lines[i];
  }
  EXPECT_EQ(input_of(line, 0), "\r");
  EXPECT_EQ(input_of(line, 1), "\r");
}

// Without a terminal the load is told at the percentage reported, once for
// each new tenth it reaches: a load of few sectors jumps over round ones.
TEST_F(Production, PlainLoadLineAtEachNewTenth) {
  struct Row {
    unsigned sectors;
    std::vector<std::string> told;
  };
  const Row rows[] = {
      {1, {"100"}},
      {3, {" 33", " 66", "100"}},
      {7, {" 14", " 28", " 42", " 57", " 71", " 85", "100"}},
      {32, {" 12", " 21", " 31", " 40", " 50", " 62", " 71", " 81", " 90", "100"}},
      {200, {" 10", " 20", " 30", " 40", " 50", " 60", " 70", " 80", " 90", "100"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.sectors);
    VirtualLine line;
    line.children().script(0, {loading_child(progress_of(row.sectors))});
    EXPECT_EQ(line.run_tool({"-y", "-ports:P0", image_.path()}), 0);
    std::vector<std::string> expected;
    for (const std::string& percent : row.told) expected.push_back("загрузка " + percent + "%");
    std::vector<std::string> told;
    for (const std::string& l : plain_lines(line.output(), "P0")) {
      if (l.rfind("загрузка ", 0) == 0 && l.find("FLASH") == std::string::npos) told.push_back(l);
    }
    EXPECT_EQ(told, expected) << line.output();
  }
}

// A station's count of sectors with a warning, from whichever of its events
// gives it: its warning events, its loaded event, its record. It is told
// on the plain line of its load and after the totals, one line a port.
TEST_F(Production, SectorsWithAWarningAreToldPerPort) {
  ChildScript failed_after_warnings = failing_child(2000);
  for (unsigned sector : {1u, 2u, 4u})
    failed_after_warnings.run.writes.push_back(warning_at(1500 + sector, sector));
  const std::vector<ChildScript> children = {
      failed_after_warnings,
      loading_child({}, {{"warnings", 2}}),
      loading_child({}, json::object(), {{"warnings", 4}}),
      loading_child({number_at(1350, 100001)}, {{"warnings", 0}}, {{"warnings", 0}}),
      loading_child({warning_at(1500, 5)}, {{"warnings", 1}}, {{"warnings", 1}}),
  };
  VirtualLine line;
  for (size_t i = 0; i < children.size(); ++i)
    line.children().script(static_cast<int>(i), {children[i]});
  EXPECT_EQ(line.run_tool({"-y", "-ports:P0,P1,P2,P3,P4", image_.path()}), 255);
  const std::string& out = line.output();
  EXPECT_TRUE(contains(out,
                       "\nИтого: успешно 4, с ошибкой 1\n"
                       "P0: Ошибка записи FLASH!\n"
                       "P0: секторов с предупреждением: 3\n"
                       "P1: секторов с предупреждением: 2\n"
                       "P2: секторов с предупреждением: 4\n"
                       "P4: секторов с предупреждением: 1\n" +
                           testing_support::kPressKey));
  EXPECT_EQ(plain_lines(out, "P0"),
            (std::vector<std::string>{"ожидание старта", "FQ: 10mHz", "предупреждение: сектор 1",
                                      "предупреждение: сектор 2", "предупреждение: сектор 4",
                                      "Ошибка записи FLASH!"}));
  const auto loaded_of = [&](const std::string& port) {
    for (const std::string& l : plain_lines(out, port)) {
      if (l.rfind("загрузка FLASH", 0) == 0) return l;
    }
    return std::string();
  };
  EXPECT_EQ(loaded_of("P1"), "загрузка FLASH: 100%, T= 2000 ms, секторов с предупреждением: 2");
  EXPECT_EQ(loaded_of("P2"), "загрузка FLASH: 100%, T= 2000 ms") << "its record told it later";
  EXPECT_EQ(loaded_of("P3"), "загрузка FLASH: 100%, T= 2000 ms");
  EXPECT_EQ(loaded_of("P4"), "загрузка FLASH: 100%, T= 2000 ms, секторов с предупреждением: 1");
  EXPECT_EQ(plain_lines(out, "P3"),
            (std::vector<std::string>{
                "ожидание старта", "FQ: 10mHz", "резидент: старт - Ok!, T= 1000 ms",
                "станция класса KT20, FLASH 512 Кб", "номер станции: 100001",
                "загрузка FLASH: 100%, T= 2000 ms", "рестарт станции: Ok!", "готово"}));
}

}  // namespace
}  // namespace sim
