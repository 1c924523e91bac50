#include "virtual_line.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/constants.h"
#include "console/console.h"
#include "console/console_out.h"
#include "driver/run.h"
#include "run/fail.h"

namespace sim {
namespace {

VirtualLine* active = nullptr;

// Calls to the line in a row that let no time pass: far more than any step
// of the protocol makes.
constexpr long kMaxIdleCalls = 100000;

}  // namespace

VirtualLine::VirtualLine(StationConfig station, VirtualOptions options)
    : VirtualLine(std::make_unique<StationModel>(std::move(station), 0), options) {
  model_ = static_cast<StationModel*>(station_.get());
}

VirtualLine::VirtualLine(std::unique_ptr<Station> station, VirtualOptions options)
    : station_(std::move(station)), options_(options) {
  if (active != nullptr) throw std::logic_error("one VirtualLine at a time");
  active = this;
  travek::console_text_setup(true);  // a run with -json before left text off
  collect_station_output();
}

VirtualLine::~VirtualLine() { active = nullptr; }

VirtualLine& VirtualLine::current() {
  if (active == nullptr) throw std::logic_error("no VirtualLine is active");
  return *active;
}

std::optional<int> VirtualLine::run(const std::function<void()>& body) {
  try {
    body();
  } catch (const ProcessEnded& ended) {
    return ended.status;
  } catch (const travek::RunFailure&) {
    return 255;  // a part of the run that ended it: as its run would end
  }
  return std::nullopt;
}

int VirtualLine::run_tool(const std::vector<std::string>& args) {
  std::vector<std::string> storage = args;
  storage.insert(storage.begin(), "travek32");
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  int status = -1000;
  const std::optional<int> ended =
      run([&] { status = travek::run_program(static_cast<int>(storage.size()), argv.data()); });
  return ended.value_or(status & 0xFF);  // as the process ends: -1 is 255
}

void VirtualLine::press(double at_ms, int key) { keys_.emplace_back(at_ms, key); }

void VirtualLine::post(Micros at, Kind kind, Transmission tx, Received rx) {
  events_.push(Event{at, seq_++, kind, std::move(tx), rx});
}

Micros VirtualLine::next_event_time() const {
  Micros next = station_->next_event();
  if (!events_.empty()) next = std::min(next, events_.top().at);
  return next;
}

void VirtualLine::collect_station_output() {
  for (Transmission& tx : station_->take_output()) {
    Micros at = tx.start;
    post(at, Kind::kToPc, std::move(tx));
  }
}

// Handles every event due at or before t, in time order, then sets the clock.
void VirtualLine::advance_to(Micros t) {
  if (t > options_.time_limit_ms * 1000) throw std::runtime_error("virtual time limit reached");
  // A tool that keeps calling without ever waiting would spin a real core.
  idle_calls_ = t > now_ ? 0 : idle_calls_ + 1;
  if (idle_calls_ > kMaxIdleCalls) throw std::runtime_error("the tool spins without waiting");
  for (;;) {
    Micros station_next = station_->next_event();
    Micros queue_next = events_.empty() ? station_next : events_.top().at;
    Micros next = std::min(station_next, queue_next);
    if (next > t) break;
    now_ = std::max(now_, next);
    if (station_next <= queue_next) {
      station_->run_until(next);
      collect_station_output();
      continue;
    }
    Event e = events_.top();
    events_.pop();
    handle(e);
  }
  now_ = std::max(now_, t);
}

void VirtualLine::handle(const Event& e) {
  std::vector<Received> got;
  switch (e.kind) {
    case Kind::kToStation:
      station_receiver_.set_side(station_->rx_side());
      station_receiver_.receive(e.tx, &got);
      for (const Received& r : got) post(r.ready, Kind::kStationGets, {}, r);
      break;
    case Kind::kStationGets:
      station_->receive(e.rx);
      collect_station_output();
      break;
    case Kind::kToPc: {
      pc_receiver_.set_side(pc_side_);
      pc_receiver_.receive(e.tx, &got);
      const Kind next = options_.adapter.latency_ms > 0 ? Kind::kAdapterGets : Kind::kPcGets;
      for (Received& r : got) post(r.ready, next, {}, r);
      break;
    }
    case Kind::kAdapterGets:
      held_.push_back(e.rx);
      if (held_.size() >= kAdapterPacket) {
        for (const Received& r : held_) hand_up(r);
        held_.clear();
      } else if (!flush_posted_) {
        // The adapter's latency timer ticks at fixed multiples of its period.
        const double tick = options_.adapter.latency_ms * 1000;
        flush_posted_ = true;
        post(std::ceil(e.at / tick) * tick, Kind::kAdapterFlush);
      }
      break;
    case Kind::kAdapterFlush:
      flush_posted_ = false;
      for (const Received& r : held_) hand_up(r);
      held_.clear();
      break;
    case Kind::kPcGets:
      hand_up(e.rx);
      break;
  }
}

void VirtualLine::hand_up(const Received& r) {
  if (!port_open_) return;
  if (input_.size() >= options_.input_queue) {
    errors_ |= travek::CE_RXOVER;
  } else {
    input_.push_back(r.value);
  }
  if (r.framing_error) errors_ |= travek::CE_FRAME;
  if (r.brk) errors_ |= travek::CE_BREAK;
}

bool VirtualLine::lost() const {
  const bool back = options_.port_back_at_ms >= 0 && now_ >= options_.port_back_at_ms * 1000;
  return options_.lose_port_at_ms >= 0 && now_ >= options_.lose_port_at_ms * 1000 && !back;
}

bool VirtualLine::open(const char*) {
  if (open_hook_) open_hook_();
  advance_to(now_);
  if (options_.port_missing || lost()) return false;
  port_open_ = true;
  input_.clear();
  errors_ = 0;
  return true;
}

bool VirtualLine::configure(uint32_t rate, int stop_bits) {
  if (options_.port_refuses_settings) return false;
  set_line(rate, stop_bits);
  return true;
}

void VirtualLine::set_line(uint32_t rate, int stop_bits) {
  pc_side_ = LineSide{static_cast<double>(rate), stop_bits};
  station_->pc_line(pc_side_, now_);
}

void VirtualLine::set_rts(bool on) {
  advance_to(now_);
  if (on) ++rts_pulses_;
  station_->set_reset(on, now_);
  collect_station_output();
}

uint32_t VirtualLine::take_errors() {
  advance_to(now_);
  uint32_t mask = lost() ? 0 : errors_;
  errors_ = 0;
  return mask;
}

bool VirtualLine::purge() {
  advance_to(now_);
  input_.clear();
  return !lost();
}

uint32_t VirtualLine::take(uint8_t* dest, uint32_t max) {
  if (lost()) return 0;
  uint32_t n = std::min<uint32_t>(max, static_cast<uint32_t>(input_.size()));
  std::copy_n(input_.begin(), n, dest);
  input_.erase(input_.begin(), input_.begin() + n);
  return n;
}

void VirtualLine::wait_for_input(size_t n, Micros deadline) {
  // A port that goes away ends the wait at once.
  if (options_.lose_port_at_ms >= 0 && now_ < options_.lose_port_at_ms * 1000) {
    deadline = std::min(deadline, options_.lose_port_at_ms * 1000);
  }
  // So does a termination request, which is then honoured.
  const bool request_first = request_.at >= 0 && !request_.ending && request_.at <= deadline;
  if (request_first) deadline = std::max(now_, request_.at);
  advance_to(now_);
  while (input_.size() < n && !lost()) {
    Micros next = next_event_time();
    if (next > deadline) {
      advance_to(std::max(now_, deadline));
      break;
    }
    advance_to(next);
  }
  if (request_first) honour_end_request();
}

uint32_t VirtualLine::read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms) {
  wait_for_input(n, now_ + total_ms * 1000.0);
  return take(dest, n);
}

uint32_t VirtualLine::read_available(uint8_t* dest, uint32_t max, uint32_t first_ms) {
  wait_for_input(1, now_ + first_ms * 1000.0);
  return take(dest, max);
}

bool VirtualLine::write(const uint8_t* data, uint32_t n, bool priority, uint32_t limit_ms,
                        uint32_t* written) {
  advance_to(now_);
  *written = 0;
  if (lost()) return false;
  // A stalled reader takes no more than it had room for.
  uint32_t taken = n;
  if (options_.stall_after_bytes >= 0) {
    taken = static_cast<uint32_t>(
        std::clamp<long>(options_.stall_after_bytes - bytes_written_, 0, static_cast<long>(n)));
  }
  bytes_written_ += taken;
  *written = taken;
  const Micros deadline = now_ + limit_ms * 1000.0;
  Micros start = std::max(now_, pc_tx_free_);
  std::vector<uint8_t> bytes(data, data + taken);
  Transmission tx = burst(bytes, start, pc_side_);
  pc_tx_free_ = start + static_cast<double>(tx.levels.size()) * tx.bit_us;
  post(start, Kind::kToStation, tx);
  PcWrite record{now_ms(), 0, std::move(bytes), pc_side_, priority};
  // A write returns once what is still to go fits the adapter's FIFO; a
  // priority byte is handed over at once.
  Micros back = priority ? now_ : pc_tx_free_ - options_.adapter.tx_fifo * frame_time(pc_side_);
  const bool done = taken == n && back <= deadline;
  advance_to(done ? std::max(now_, back) : deadline);
  record.done_ms = now_ms();
  writes_.push_back(std::move(record));
  return done;
}

uint32_t VirtualLine::clock_ms() const { return static_cast<uint32_t>(std::floor(now_ / 1000.0)); }

void VirtualLine::sleep_ms(uint32_t ms) { wait_until((std::floor(now_ / 1000.0) + ms) * 1000.0); }

void VirtualLine::wait_until(Micros t) {
  if (request_.at >= 0 && !request_.ending && request_.at <= t) {
    advance_to(std::max(now_, request_.at));
    honour_end_request();
  }
  advance_to(t);
}

void VirtualLine::wait_for_children(int wait_ms) {
  const Micros until = std::min(now_ + wait_ms * 1000.0, children_.next_ms() * 1000.0);
  wait_until(std::max(now_, until));
  children_.deliver(now_ms());
}

void VirtualLine::request_end(double at_ms, const char* signal_name) {
  request_.at = at_ms * 1000.0;
  request_.signal_name = signal_name;
}

// As a fresh console: requests end the process at once until the run holds
// them; the scripted one stays.
void VirtualLine::console_setup(void (*release)(), bool text_output) {
  text_output_ = text_output;
  request_.release = release;
  request_.deferred = false;
  request_.ending = false;
}

bool VirtualLine::end_request_due() const { return request_.at >= 0 && now_ >= request_.at; }

void VirtualLine::end_at_once() {
  if (request_.release != nullptr) request_.release();
  throw ProcessEnded{255};
}

// One that is not held ends the process as the signal itself would have.
void VirtualLine::honour_end_request() {
  if (!end_request_due() || request_.ending) return;
  if (!request_.deferred) end_at_once();
  request_.ending = true;
  throw travek::EndRequested{request_.signal_name};
}

void VirtualLine::end_requests_at_once() {
  request_.deferred = false;
  if (end_request_due()) end_at_once();
}

void VirtualLine::console_write(const std::string& text) {
  output_ += text;
  console_log_.push_back({now_ms(), text});
}

bool VirtualLine::key_waiting() const { return !keys_.empty() && keys_.front().first <= now_ms(); }

// A keyboard's type-ahead is dropped; a script's keys are kept.
void VirtualLine::discard_typed_keys() {
  if (!options_.keyboard) return;
  while (!keys_.empty() && keys_.front().first * 1000.0 <= now_) keys_.pop_front();
}

bool VirtualLine::input_ended() const {
  const double at = options_.input_ends_at_ms;
  return at >= 0 && now_ms() >= at && !key_waiting();
}

int VirtualLine::read_key() {
  honour_end_request();                                // one that has come already
  if (keys_.empty()) return travek::KEY_END_OF_INPUT;  // like a pipe at its end
  auto [at_ms, key] = keys_.front();
  if (at_ms * 1000.0 > now_) wait_until(at_ms * 1000.0);
  keys_.pop_front();
  return key;
}

}  // namespace sim
