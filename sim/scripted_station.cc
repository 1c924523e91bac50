#include "scripted_station.h"

#include <algorithm>
#include <limits>

namespace sim {
namespace {

constexpr double kDelayStepUs = 2000;
constexpr uint8_t kFramingError = 0x80;
constexpr uint8_t kEcho = 0xFF;

double delay_us(uint8_t when) { return (when & ~kFramingError) * kDelayStepUs; }

}  // namespace

ScriptedStation::ScriptedStation(const uint8_t* script, size_t size)
    : script_(script, script + size) {
  schedule();
}

double ScriptedStation::script_ms() const {
  double total = 0;
  for (size_t at = 0; at + 1 < script_.size();) {
    total += delay_us(script_[at]) / 1000;
    at += 2 + (script_[at + 1] == kEcho ? 0 : script_[at + 1]);
  }
  return total;
}

bool ScriptedStation::echoing() const {
  return at_ + 1 < script_.size() && script_[at_ + 1] == kEcho;
}

void ScriptedStation::schedule() {
  next_at_ = at_ + 1 < script_.size() ? std::max(free_, last_heard_) + delay_us(script_[at_])
                                      : std::numeric_limits<Micros>::infinity();
}

void ScriptedStation::receive(const Received& r) {
  last_heard_ = std::max(last_heard_, r.ready);
  if (echoing()) send({r.value}, r.ready, script_[at_] & kFramingError);
  schedule();
}

void ScriptedStation::run_until(Micros t) {
  while (next_at_ <= t) end_record();
}

void ScriptedStation::send(const std::vector<uint8_t>& bytes, Micros at, bool framing_error) {
  Micros t = std::max(at, free_);
  for (uint8_t byte : bytes) {
    Transmission tx = framing_error ? frame_without_stop(byte, t, side_) : frame(byte, t, side_);
    t += static_cast<double>(tx.levels.size()) * tx.bit_us;
    output_.push_back(std::move(tx));
  }
  free_ = t;
}

// The record's time has come: its bytes go out, or its echo ends.
void ScriptedStation::end_record() {
  const uint8_t when = script_[at_];
  if (echoing()) {
    free_ = std::max(free_, next_at_);  // the echo ends now: the next record counts from here
    at_ += 2;
  } else {
    const size_t end = std::min(script_.size(), at_ + 2 + script_[at_ + 1]);
    send(std::vector<uint8_t>(script_.begin() + static_cast<long>(at_ + 2),
                              script_.begin() + static_cast<long>(end)),
         next_at_, when & kFramingError);
    at_ = end;
  }
  schedule();
}

std::vector<Transmission> ScriptedStation::take_output() {
  std::vector<Transmission> out;
  out.swap(output_);
  return out;
}

}  // namespace sim
