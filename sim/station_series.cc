#include "station_series.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

namespace sim {
namespace {

constexpr Micros kNever = std::numeric_limits<Micros>::infinity();

}  // namespace

StationConfig session_config(const StationConfig& station, int fault_session, int session) {
  StationConfig config = station;
  if (fault_session > 0 && session != fault_session) {
    config.faults = {};
    config.handshake_delay_ms = 0;
  }
  return config;
}

StationSeries::StationSeries(SeriesConfig config, Micros power_on)
    : config_(std::move(config)), session_(config_.first_session), swap_at_(kNever) {
  on_line_ = std::make_unique<StationModel>(
      session_config(config_.station, config_.fault_session, session_), power_on);
}

void StationSeries::set_reset(bool held, Micros t) {
  if (on_line_) on_line_->set_reset(held, t);
}

void StationSeries::receive(const Received& r) {
  if (!on_line_) return;
  on_line_->receive(r);
  follow();
}

void StationSeries::pc_line(const LineSide& side, Micros t) {
  pc_side_ = side;
  if (!on_line_) return;
  on_line_->pc_line(side, t);
  follow();
}

Micros StationSeries::next_event() const {
  return on_line_ ? std::min(on_line_->next_event(), swap_at_) : kNever;
}

// The station's events one time at a time, since any of them may end its
// session, and the next arrives in its own time.
void StationSeries::run_until(Micros t) {
  while (on_line_) {
    const Micros event = on_line_->next_event();
    if (std::min(event, swap_at_) > t) return;
    if (event <= swap_at_) {
      on_line_->run_until(event);
      follow();
    } else {
      leave(std::exchange(swap_at_, kNever));
    }
  }
}

LineSide StationSeries::rx_side() const { return on_line_ ? on_line_->rx_side() : kWaitingLine; }

std::vector<Transmission> StationSeries::take_output() {
  std::vector<Transmission> out;
  out.swap(output_);
  if (!on_line_) return out;
  for (Transmission& tx : on_line_->take_output()) out.push_back(std::move(tx));
  return out;
}

std::vector<Verdict> StationSeries::take_verdicts() {
  std::vector<Verdict> out;
  out.swap(verdicts_);
  return out;
}

void StationSeries::take_off(Micros t, bool begun_only) {
  if (!on_line_) return;
  next_.reset();
  swap_at_ = kNever;
  if (!begun_only || on_line_->began()) {
    leave(t);
  } else {
    on_line_.reset();
  }
}

// Once the session of the station on the line is over, the next station is
// on its way, or the series ends.
void StationSeries::follow() {
  if (!on_line_ || next_ || swap_at_ != kNever || config_.arrive_ms < 0) return;
  const std::optional<Micros> end = on_line_->session_end();
  if (!end) return;
  const Micros arrives = *end + config_.arrive_ms * 1000;
  const bool last =
      config_.sessions > 0 && session_ >= config_.first_session + config_.sessions - 1;
  if (!last) {
    next_ = StationModel::placed(
        session_config(config_.station, config_.fault_session, session_ + 1), arrives);
  }
  // A station back in its boot loader is still there until the next comes.
  if (on_line_->returned()) {
    swap_at_ = arrives;
  } else {
    leave(*end);
  }
}

void StationSeries::leave(Micros t) {
  verdicts_.push_back(on_line_->verdict());
  for (Transmission& tx : on_line_->take_output()) output_.push_back(std::move(tx));
  on_line_ = std::move(next_);
  ++session_;
  // The PC's line as the station finds it.
  if (on_line_ && pc_side_ != kWaitingLine) on_line_->pc_line(pc_side_, t);
}

}  // namespace sim
