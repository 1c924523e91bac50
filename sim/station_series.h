// Stations placed on the line one after another, as boards on a fixture in
// unattended production: the PC keeps the port open and sends no reset pulse
// between them. The first station is there from power-on and boots on the
// PC's pulse as any station does. Each session ends when the station sees the
// PC done with it (StationModel::session_end: the PC set its line back to the
// waiting line after the session began; a station with its jumper set not
// before its boot loader's start byte after the restart). The next station's
// start byte comes arrive_ms later. A station leaves the fixture when its
// session ends, or, one that went back to its boot loader, when the next
// arrives; its verdict is then taken.
//
// Each station is fresh (fresh flash, fresh verdict) with the same
// configuration; its faults (and its answer delay) only in the session
// fault_session, when one is named.
//
// The series is itself a Station, so the virtual-time line or the
// pseudo-terminal front drives it as it would one station.
#pragma once

#include <memory>
#include <vector>

#include "station.h"
#include "station_model.h"

namespace sim {

struct SeriesConfig {
  StationConfig station;
  double arrive_ms = -1;  // < 0: no next station; sessions end only with take_off()
  int fault_session = 0;  // the only session with the faults (1-based); 0: every one
  int sessions = 0;       // stations in the series; 0 for no limit
  int first_session = 1;  // the number of its first session (a series taken up again)
};

// A station's configuration for session k of a series: the faults only in
// the one named.
StationConfig session_config(const StationConfig& station, int fault_session, int session);

class StationSeries : public Station {
 public:
  explicit StationSeries(SeriesConfig config, Micros power_on = 0);

  void set_reset(bool held, Micros t) override;
  void receive(const Received& r) override;
  Micros next_event() const override;
  void run_until(Micros t) override;
  LineSide rx_side() const override;
  std::vector<Transmission> take_output() override;
  void pc_line(const LineSide& side, Micros t = -1) override;

  // The station on the line (placed or about to send its first start byte),
  // or null once the last one has left.
  StationModel* station() const { return on_line_.get(); }
  // Its session's number.
  int session() const { return session_; }
  // The verdicts of the stations that have left, in order, each once.
  std::vector<Verdict> take_verdicts();
  // The station on the line leaves now (the port was closed): its verdict
  // is taken if the PC had begun its session, or always when begun_only is
  // false. Nothing follows it.
  void take_off(Micros t, bool begun_only);
  // The last station has left.
  bool ended() const { return !on_line_; }

 private:
  void follow();
  void leave(Micros t);

  SeriesConfig config_;
  std::unique_ptr<StationModel> on_line_;
  std::unique_ptr<StationModel> next_;  // arriving while a returned station is still there
  int session_;
  Micros swap_at_;  // the next arrives or the one there leaves
  LineSide pc_side_ = kWaitingLine;
  std::vector<Verdict> verdicts_;
  std::vector<Transmission> output_;  // of stations that have left
};

}  // namespace sim
