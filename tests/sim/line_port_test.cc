// One port of an unattended line in-process (-line), on the virtual-time
// line with a series of stations placed one after another: each station is
// flashed and recorded with its cycle and how long the port waited for it,
// with no pulse between stations; a failure ends its station alone; a
// station back with its jumper set is not flashed again; a port that goes
// away is opened again once it is back; Esc and a termination request end
// the line as they should.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "e2e/event_lines.h"
#include "station_series.h"
#include "support/images.h"
#include "support/output.h"
#include "virtual_line.h"

namespace sim {
namespace {

using nlohmann::json;
using testing_support::Bytes;
using testing_support::count_of;
using testing_support::TempFile;

struct LineRun {
  int status = 0;
  std::vector<json> events;
  std::vector<json> records;
  std::vector<Verdict> verdicts;  // of the stations that left, in order
  int pulses = 0;
  std::string diagnostics;
};

class LinePort : public ::testing::Test {
 protected:
  // The port's process over a series of stations, Esc pressed at esc_ms
  // (when the port waits for a station), or a termination request at
  // end_ms.
  LineRun run(const SeriesConfig& series, double esc_ms, double end_ms = -1,
              VirtualOptions options = {}) {
    auto stations = std::make_unique<StationSeries>(series);
    StationSeries* seen = stations.get();
    LineRun r;
    {
      VirtualLine line(std::move(stations), options);
      if (esc_ms >= 0) line.press(esc_ms, travek::KEY_ESC);
      if (end_ms >= 0) line.request_end(end_ms);
      r.status = line.run_tool({"-json", "-line", "-port:COM2", "-log:" + log_, image_.path()});
      r.events = e2e::json_lines(line.events());
      r.pulses = line.rts_pulses();
      r.diagnostics = line.diagnostics();
      seen->take_off(line.now_ms() * 1000, true);
      r.verdicts = seen->take_verdicts();
    }
    r.records = e2e::json_lines(e2e::read_text(log_));
    return r;
  }

  bool flashed(const Verdict& v) const {
    return v.flash.size() >= image_bytes_.size() &&
           std::equal(image_bytes_.begin(), image_bytes_.end(),
                      v.flash.end() - static_cast<long>(image_bytes_.size()));
  }

  const Bytes image_bytes_ = e2e::random_image(8192, 9);
  TempFile image_{image_bytes_};
  e2e::TempFolder folder_{"line-port"};
  const std::string log_ = folder_.path() + "/line.jsonl";
};

std::vector<std::string> names_of(const std::vector<json>& events) {
  std::vector<std::string> names;
  for (const json& e : events) names.push_back(e["event"]);
  return names;
}

// Three stations, each placed 3 s after the last one left; the second's
// echo is wrong. Each is recorded with its cycle and its wait; the first
// and the third flashed; one pulse, when the port was opened.
TEST_F(LinePort, StationAfterStationEachWithItsRecord) {
  SeriesConfig series;
  series.arrive_ms = 3000;
  series.sessions = 3;
  series.fault_session = 2;
  series.station.faults.echo_wrong_at = 100;
  const LineRun r = run(series, 20000);
  EXPECT_EQ(r.status, 255) << "a station failed";
  ASSERT_EQ(r.records.size(), 3u) << r.diagnostics;
  const char* results[] = {"ok", "resident-comm-error", "ok"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r.records[i]["cycle"], i + 1);
    EXPECT_EQ(r.records[i]["result"], results[i]);
    EXPECT_TRUE(r.records[i].contains("batch") && r.records[i]["batch"].is_null());
    // The first waited for the boot after the pulse; the others the 3 s
    // from the last one's end to their start byte.
    const unsigned waited = r.records[i]["waited_ms"];
    if (i == 0) {
      EXPECT_LT(waited, 100u);
    } else {
      EXPECT_GE(waited, 3000u);
      EXPECT_LE(waited, 3010u);
    }
  }
  EXPECT_EQ(r.pulses, 1) << "no pulse between stations";
  ASSERT_EQ(r.verdicts.size(), 3u);
  EXPECT_TRUE(flashed(r.verdicts[0]));
  EXPECT_FALSE(r.verdicts[1].stream_complete());
  EXPECT_TRUE(flashed(r.verdicts[2]));
  for (const Verdict& v : r.verdicts) EXPECT_EQ(v.start_bytes, 1) << "each start byte taken";
  for (const json& e : r.events) EXPECT_TRUE(e.contains("cycle")) << e.dump();
  // Esc while the port waited: no fourth record, a line of ports that all
  // ended well but one.
  EXPECT_EQ(names_of(r.events).back(), "waiting");
}

// A station whose jumper is still set comes back into its boot loader on
// the restart: told, not flashed again, no record; the next is cycle 2.
TEST_F(LinePort, AStationBackWithItsJumperIsNotFlashedAgain) {
  SeriesConfig series;
  series.arrive_ms = 4000;
  series.sessions = 2;
  series.station.jumper_set = true;
  const LineRun r = run(series, 20000);
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.records[0]["cycle"], 1);
  EXPECT_EQ(r.records[1]["cycle"], 2);
  // Its wait counts from the first's end, whatever came back meanwhile.
  EXPECT_GE(r.records[1]["waited_ms"].get<unsigned>(), 4000u);
  std::vector<json> returned;
  for (const json& e : r.events) {
    if (e["event"] == "jumper-set") returned.push_back(e);
  }
  ASSERT_EQ(returned.size(), 2u) << "each came back";
  EXPECT_EQ(returned[0]["cycle"], 1);
  EXPECT_EQ(returned[1]["cycle"], 2);
  ASSERT_GE(r.verdicts.size(), 2u);
  EXPECT_EQ(r.verdicts[0].sectors_written, r.verdicts[1].sectors_written) << "flashed once each";
  EXPECT_TRUE(flashed(r.verdicts[0]));
  EXPECT_TRUE(flashed(r.verdicts[1]));
}

// The port goes away in the middle of a station's load: that station ends
// with its step's message and the reason; the port is opened again, with
// no pulse, once it is back, and the next station is flashed.
TEST_F(LinePort, APortGoneIsOpenedAgainWhenItIsBack) {
  SeriesConfig series;
  series.arrive_ms = 6000;
  series.sessions = 2;
  series.station.sector_write_ms = 20;
  VirtualOptions options;
  options.lose_port_at_ms = 1500;
  options.port_back_at_ms = 4200;
  const LineRun r = run(series, 30000, -1, options);
  ASSERT_EQ(r.records.size(), 2u) << r.diagnostics;
  EXPECT_NE(r.records[0]["result"], "ok");
  EXPECT_TRUE(testing_support::contains(r.records[0]["reason"].get<std::string>(),
                                        "the device has gone away"))
      << r.records[0].dump();
  EXPECT_EQ(r.records[1]["result"], "ok");
  EXPECT_EQ(r.records[1]["cycle"], 2);
  EXPECT_EQ(r.pulses, 1) << "opened again without a pulse";
  const std::vector<std::string> names = names_of(r.events);
  EXPECT_NE(std::find(names.begin(), names.end(), "port-lost"), names.end());
  EXPECT_EQ(count_of(r.diagnostics, "gone away"), 1u)
      << "told once, not at each attempt: " << r.diagnostics;
}

// A termination request: the station under way is recorded as terminated;
// one that never came has no record.
TEST_F(LinePort, ATerminationRequestEndsTheStationUnderWay) {
  SeriesConfig series;
  series.arrive_ms = 2000;
  series.station.sector_write_ms = 30;
  const LineRun mid_load = run(series, -1, 1500);
  EXPECT_EQ(mid_load.status, 255);
  ASSERT_EQ(mid_load.records.size(), 1u);
  EXPECT_EQ(mid_load.records[0]["result"], "terminated");
  EXPECT_EQ(mid_load.records[0]["cycle"], 1);
  std::remove(log_.c_str());
  SeriesConfig waiting;
  waiting.station.boot_delay_ms = 1e9;  // nothing ever answers
  const LineRun idle = run(waiting, -1, 1500);
  EXPECT_EQ(idle.status, 255);
  EXPECT_TRUE(idle.records.empty());
}

// The parent gone (its end of standard input closed): a station under way
// is finished and recorded, a port waiting stops at once, and nothing is
// flashed unseen after it.
TEST_F(LinePort, TheParentGoneEndsTheLineLikeEsc) {
  const struct {
    double gone_ms;
    size_t records;
  } cases[] = {{1500, 1}, {5000, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gone_ms);
    std::remove(log_.c_str());
    SeriesConfig series;
    series.arrive_ms = 3000;
    series.station.sector_write_ms = 30;
    VirtualOptions options;
    options.input_ends_at_ms = c.gone_ms;
    const LineRun r = run(series, -1, -1, options);
    EXPECT_EQ(r.status, 0) << r.diagnostics;
    ASSERT_EQ(r.records.size(), c.records);
    EXPECT_EQ(r.records[0]["result"], "ok");
    EXPECT_EQ(r.records[0]["restart"], "answered") << "the station under way finished";
    EXPECT_EQ(names_of(r.events).back(), c.gone_ms < 3000 ? "end" : "waiting");
  }
}

}  // namespace
}  // namespace sim
