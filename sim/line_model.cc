#include "line_model.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace sim {
namespace {

constexpr double kEpsilon = 1e-6;

int level_at(const Transmission& tx, Micros t) {
  if (t < tx.start) return 1;
  double index = std::floor((t - tx.start) / tx.bit_us + kEpsilon);
  if (index >= static_cast<double>(tx.levels.size())) return 1;
  return tx.levels[static_cast<size_t>(index)];
}

// The first high-to-low edge at or after from.
std::optional<Micros> next_falling_edge(const Transmission& tx, Micros from) {
  double first = std::ceil((from - tx.start) / tx.bit_us - kEpsilon);
  size_t k = first < 0 ? 0 : static_cast<size_t>(first);
  for (; k < tx.levels.size(); ++k) {
    int before = k == 0 ? 1 : tx.levels[k - 1];
    if (before == 1 && tx.levels[k] == 0) return tx.start + static_cast<double>(k) * tx.bit_us;
  }
  return std::nullopt;
}

}  // namespace

Micros frame_time(const LineSide& side) { return (9.0 + side.stop_bits) * 1e6 / side.rate; }

Transmission frame(uint8_t byte, Micros start, const LineSide& tx) {
  Transmission t{start, 1e6 / tx.rate, {0}};
  for (int bit = 0; bit < 8; ++bit) t.levels.push_back((byte >> bit) & 1);
  for (int s = 0; s < tx.stop_bits; ++s) t.levels.push_back(1);
  return t;
}

Transmission frame_without_stop(uint8_t byte, Micros start, const LineSide& tx) {
  Transmission t = frame(byte, start, tx);
  t.levels[9] = 0;
  t.levels.push_back(1);
  return t;
}

Transmission line_break(Micros start, const LineSide& tx, int bits) {
  return Transmission{start, 1e6 / tx.rate, std::vector<uint8_t>(static_cast<size_t>(bits), 0)};
}

void Receiver::receive(const Transmission& tx, std::vector<Received>* out) {
  const double bit = 1e6 / side_.rate;
  Micros from = std::max(tx.start, busy_until_);
  while (std::optional<Micros> edge = next_falling_edge(tx, from)) {
    Micros seen = *edge + bit / 16;
    if (level_at(tx, seen + bit / 2) == 1) {  // a glitch, not a start bit
      from = seen + bit / 2;
      continue;
    }
    Received r;
    bool all_low = true;
    for (int i = 0; i < 8; ++i) {
      if (level_at(tx, seen + bit * (1.5 + i))) {
        r.value = static_cast<uint8_t>(r.value | (1 << i));
        all_low = false;
      }
    }
    Micros last = seen;
    for (int s = 0; s < side_.stop_bits; ++s) {
      last = seen + bit * (9.5 + s);
      if (level_at(tx, last)) {
        all_low = false;
      } else {
        r.framing_error = true;
      }
    }
    r.brk = all_low;
    r.ready = last;
    r.sent = tx.start;
    out->push_back(r);
    busy_until_ = last;
    from = last;
  }
}

Transmission burst(const std::vector<uint8_t>& bytes, Micros start, const LineSide& tx) {
  Transmission t{start, 1e6 / tx.rate, {}};
  for (uint8_t byte : bytes) {
    const Transmission one = frame(byte, 0, tx);
    t.levels.insert(t.levels.end(), one.levels.begin(), one.levels.end());
  }
  return t;
}

std::vector<Received> pass_burst(const std::vector<uint8_t>& bytes, const LineSide& tx,
                                 const LineSide& rx) {
  Receiver receiver(rx);
  std::vector<Received> out;
  receiver.receive(burst(bytes, 0, tx), &out);
  return out;
}

}  // namespace sim
