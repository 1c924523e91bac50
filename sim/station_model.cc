#include "station_model.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <memory>

#include "assets/builtin_resident.h"
#include "common/constants.h"
#include "common/crc16.h"
#include "common/protocol.h"

namespace sim {
namespace {

constexpr double kMs = 1000.0;
constexpr size_t kMaxViolations = 20;
// A lone stray byte or line fault comes this long before the real start byte.
constexpr double kFaultLeadMs = 150;
// A resident whose receive path has hung grants credit this often.
constexpr double kStalledCreditMs = 20;
constexpr uint32_t kPage = travek::PAGE_SIZE;
// The resident's header: magic, body length, rate field, divisor offset.
constexpr uint32_t kBodyAt = 8;
constexpr uint16_t kRateAutomatic = 0xFFFE;
// The restart's answer echoes the command's last byte.
constexpr uint8_t kRestartAnswer = travek::RESTART_COMMAND[1];
// Deliberately wrong bytes: a report and a packet code that mean nothing,
// and the line faults' lone byte and badly framed byte.
constexpr uint8_t kBrokenReport = 0x3C;
constexpr uint8_t kWrongPacketCode = travek::STATION_INFO_CODE + 1;
constexpr uint8_t kLoneByte = 0x3F;
constexpr uint8_t kBadlyFramed = 0xF0;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  return text;
}

bool later(const auto& a, const auto& b) { return a.at > b.at || (a.at == b.at && a.seq > b.seq); }

}  // namespace

StationModel::StationModel(StationConfig config, Micros power_on) : config_(std::move(config)) {
  image_ = config_.resident;
  if (image_.empty()) {
    image_.assign(travek::kBuiltinResident,
                  travek::kBuiltinResident + travek::kBuiltinResidentSize);
  }
  if (image_.size() >= kBodyAt) {
    body_length_ = travek::read_le16(&image_[2]);
    rate_field_ = travek::read_le16(&image_[4]);
    divisor_offset_ = travek::read_le16(&image_[6]);
  }
  const Chip* chips = config_.chips;
  int8_t size_sum =
      static_cast<int8_t>(static_cast<uint8_t>(chips[0].size_code + chips[1].size_code));
  long total = -static_cast<long>(size_sum) * 65536;
  total_ = (total > 0 && total <= travek::ADDRESS_SPACE_END) ? static_cast<uint32_t>(total) : 0;
  sector_ = (chips[0].sector_units + chips[1].sector_units) * 64u;
  verdict_.flash_base = travek::ADDRESS_SPACE_END - total_;
  verdict_.flash.assign(total_, 0xFF);
  boot(power_on + config_.boot_delay_ms * kMs);
}

std::unique_ptr<StationModel> StationModel::placed(StationConfig config, Micros start_byte_at) {
  auto station = std::make_unique<StationModel>(std::move(config), start_byte_at);
  station->placed_at_ = start_byte_at;
  station->start_faults_due_ = true;
  station->boot(start_byte_at);
  return station;
}

void StationModel::pc_line(const LineSide& side, Micros t) {
  now_ = std::max(now_, t);
  pc_side_ = side;
  if (side != kWaitingLine && now_ >= placed_at_) began_ = true;
  check_over(now_);
}

// Over once the PC, having begun, waits again for a start byte; a station
// that went back to its boot loader on the restart no earlier than its
// start byte.
void StationModel::check_over(Micros t) {
  if (session_end_ || !began_ || pc_side_ != kWaitingLine || (returning_ && !returned_)) return;
  session_end_ = t;
}

Verdict StationModel::verdict() const {
  Verdict v = verdict_;
  v.sectors_pending = static_cast<long>(writes_.size()) + (assembly_.empty() ? 0 : 1) +
                      (record_.empty() || phase_ != Phase::kStreaming ? 0 : 1);
  return v;
}

void StationModel::violation(const std::string& text) {
  if (verdict_.violations.size() < kMaxViolations) verdict_.violations.push_back(text);
}

void StationModel::schedule(Micros at, Timer timer) {
  timers_.push_back({at, seq_++, timer});
  std::push_heap(timers_.begin(), timers_.end(), [](auto& a, auto& b) { return later(a, b); });
}

Micros StationModel::next_event() const {
  return timers_.empty() ? std::numeric_limits<Micros>::infinity() : timers_.front().at;
}

void StationModel::run_until(Micros t) {
  while (!timers_.empty() && timers_.front().at <= t) {
    std::pop_heap(timers_.begin(), timers_.end(), [](auto& a, auto& b) { return later(a, b); });
    Pending p = timers_.back();
    timers_.pop_back();
    now_ = std::max(now_, p.at);
    fire(p);
  }
}

std::vector<Transmission> StationModel::take_output() {
  std::vector<Transmission> out;
  out.swap(output_);
  return out;
}

void StationModel::send(uint8_t byte, Micros t) { send_transmission(frame(byte, t, tx_side_)); }

void StationModel::send_transmission(Transmission tx) {
  if (silent_) return;
  // On a line, one transmission waits for the one before it to go out;
  // without line timing each goes at the time it was made for.
  if (config_.line_timing) {
    tx.start = std::max(tx.start, tx_free_);
    tx_free_ = tx.start + static_cast<double>(tx.levels.size()) * tx.bit_us;
  }
  output_.push_back(std::move(tx));
}

void StationModel::set_reset(bool held, Micros t) {
  if (t < placed_at_) return;  // no station there yet
  now_ = std::max(now_, t);
  returning_ = returned_ = false;
  if (held) {
    if (phase_ != Phase::kHeld && ++verdict_.resets == 1) start_faults_due_ = true;
    phase_ = Phase::kHeld;
    timers_.clear();
    return;
  }
  if (phase_ == Phase::kHeld) boot(t + config_.boot_delay_ms * kMs);
}

void StationModel::boot(Micros start) {
  phase_ = Phase::kBooting;
  timers_.clear();
  boot_start_bytes_ = 0;
  LineSide boot_side{static_cast<double>(config_.clock.boot_rate), 2};
  rx_side_ = tx_side_ = boot_side;
  silent_ = false;
  body_.clear();
  framing_noted_ = false;
  record_.clear();
  fifo_.clear();
  consumed_ = credits_sent_ = 0;
  credit_arrivals_.clear();
  credits_usable_ = 0;
  assembly_.clear();
  writes_.clear();
  writing_ = false;
  stalled_ = false;

  // Faults of the start wait come once: on the first boot after the first
  // reset, or when a station of a series is placed.
  const StationFaults& f = config_.faults;
  const bool first_wait = start_faults_due_;
  start_faults_due_ = false;
  if (first_wait && f.stray_byte >= 0) {
    schedule(start, Timer::kStrayByte);
    start += kFaultLeadMs * kMs;
  } else if (first_wait && f.start_line_fault != LineFault::kNone) {
    schedule(start, Timer::kLineFault);
    start += kFaultLeadMs * kMs;
  }
  schedule(start, Timer::kStartByte);
}

void StationModel::fire(const Pending& p) {
  const StationFaults& f = config_.faults;
  switch (p.timer) {
    case Timer::kStartByte:
      start_byte(p.at);
      break;
    case Timer::kSecondStartByte:
      if (phase_ == Phase::kBootLoader && body_.empty()) send(travek::BOOT_START_BYTE, p.at);
      break;
    case Timer::kStrayByte:
      send_transmission(frame(static_cast<uint8_t>(f.stray_byte), p.at, kWaitingLine));
      break;
    case Timer::kLineFault:
      if (f.start_line_fault == LineFault::kBreak) {
        send_transmission(line_break(p.at, kWaitingLine, 20));
      } else if (f.start_line_fault == LineFault::kFraming) {
        send_transmission(frame_without_stop(kBadlyFramed, p.at, kWaitingLine));
      } else {
        send_transmission(frame(kLoneByte, p.at, kWaitingLine));
        send_transmission(frame_without_stop(kBadlyFramed, p.at + 2 * kMs, kWaitingLine));
      }
      break;
    case Timer::kSectorWritten:
      sector_written(p.at);
      break;
    case Timer::kStalledCredit:
      send(travek::REPORT_CREDIT, p.at);
      schedule(p.at + kStalledCreditMs * kMs, Timer::kStalledCredit);
      break;
  }
}

void StationModel::start_byte(Micros t) {
  if (phase_ != Phase::kBooting && !(phase_ == Phase::kBootLoader && body_.empty())) return;
  send(travek::BOOT_START_BYTE, t);
  ++verdict_.start_bytes;
  phase_ = Phase::kBootLoader;
  const StationFaults& f = config_.faults;
  if (f.second_start_after_ms >= 0 && ++boot_start_bytes_ == 1) {
    schedule(t + f.second_start_after_ms * kMs, Timer::kSecondStartByte);
  }
  if (config_.start_repeat_ms > 0) schedule(t + config_.start_repeat_ms * kMs, Timer::kStartByte);
  if (returning_ && !returned_) {
    returned_ = true;
    check_over(t);
  }
}

void StationModel::receive(const Received& r) {
  now_ = std::max(now_, r.ready);
  if (stalled_) return;  // its receive path has hung
  if (returning_ && !talked_after_restart_) {
    talked_after_restart_ = true;
    violation(
        "the PC talked to the station after restarting it: the station went back to its boot "
        "loader (its jumper is set), and took it for a new station");
  }
  if (phase_ == Phase::kBootLoader) return on_body_byte(r);
  if (phase_ == Phase::kHandshake) return on_handshake(r);
  if (phase_ != Phase::kStartRecord && phase_ != Phase::kStreaming) return;  // nobody listens
  if (r.framing_error && !framing_noted_) {
    framing_noted_ = true;
    violation(format("framing error from the PC at the resident rate %.0f bit/s", rx_side_.rate));
  }
  if (phase_ == Phase::kStartRecord) return on_start_record(r.value);
  on_stream_byte(r);
}

void StationModel::on_body_byte(const Received& r) {
  const StationFaults& f = config_.faults;
  long k = static_cast<long>(body_.size());
  if (r.framing_error && !framing_noted_) {
    framing_noted_ = true;
    violation(
        format("body byte %ld arrived with a framing error: the PC is not sending at "
               "%u bit/s with two stop bits",
               k, config_.clock.boot_rate));
  }
  if (k != f.echo_missing_at) {
    send(k == f.echo_wrong_at ? static_cast<uint8_t>(r.value ^ 0xFF) : r.value, r.ready);
  }
  body_.push_back(r.value);
  verdict_.body_bytes = static_cast<long>(body_.size());
  if (body_.size() == body_length_) start_resident();
}

void StationModel::start_resident() {
  const uint32_t divisor_at = 6 + divisor_offset_;  // image offset
  const bool in_body = divisor_at >= kBodyAt && divisor_at < kBodyAt + body_length_;
  for (uint32_t i = 0; i < body_length_; ++i) {
    if (in_body && i == divisor_at - kBodyAt) continue;
    uint8_t wanted = kBodyAt + i < image_.size() ? image_[kBodyAt + i] : 0;
    if (body_[i] != wanted) {
      violation(
          format("body byte %u is 0x%02x, the resident image has 0x%02x", i, body_[i], wanted));
      break;
    }
  }
  uint32_t rate = rate_field_;
  if (rate == kRateAutomatic) {
    rate = config_.clock.boot_rate == kClock11MHz.boot_rate ? 57600 : 28800;
  }
  uint32_t expected = ((config_.clock.clock_div32 - rate / 2) / rate) & 0xFF;
  int divisor =
      in_body ? body_[divisor_at - kBodyAt] : (divisor_at < image_.size() ? image_[divisor_at] : 0);
  if (in_body && static_cast<uint32_t>(divisor) != expected) {
    violation(format("divisor byte is %d; a %s station with rate field %u needs %u", divisor,
                     config_.clock.name, rate, expected));
  }
  verdict_.resident_started = true;
  verdict_.divisor = divisor;
  verdict_.resident_rate = config_.clock.clock_div32 * 32.0 / (16.0 * (divisor + 1));
  rx_side_ = tx_side_ = LineSide{verdict_.resident_rate, 1};
  framing_noted_ = false;
  phase_ = Phase::kHandshake;
}

void StationModel::on_handshake(const Received& r) {
  if (r.value != travek::HANDSHAKE_BYTE || r.framing_error) {
    violation(format("expected 'U' from the PC at the resident rate, got 0x%02x%s", r.value,
                     r.framing_error ? " with a framing error" : ""));
    return;
  }
  verdict_.handshake = true;
  phase_ = Phase::kStartRecord;
  if (config_.faults.no_handshake_answer) return;
  Micros answer_at = r.ready + config_.handshake_delay_ms * kMs;
  send(static_cast<uint8_t>(config_.faults.handshake_answer), answer_at);
  send_station_packet(answer_at);
}

void StationModel::send_station_packet(Micros t) {
  const Chip* c = config_.chips;
  const std::array<uint8_t, travek::STATION_INFO_LENGTH> info = {
      config_.flags,     c[0].manufacturer, c[0].device,       c[0].sector_units, c[0].size_code,
      c[1].manufacturer, c[1].device,       c[1].sector_units, c[1].size_code};
  const PacketFault fault = config_.faults.packet;
  std::vector<uint8_t> packet = {fault == PacketFault::kWrongCode ? kWrongPacketCode
                                                                  : travek::STATION_INFO_CODE};
  packet.insert(packet.end(), info.begin(), info.end());
  uint16_t crc = travek::crc16(packet.data(), static_cast<uint32_t>(packet.size()), 0);
  packet.push_back(static_cast<uint8_t>(crc & 0xFF));
  packet.push_back(static_cast<uint8_t>(crc >> 8));
  if (fault == PacketFault::kBadCrc) packet[5] ^= 0x01;
  if (fault == PacketFault::kShort) packet.pop_back();
  for (uint8_t byte : packet) send(byte, t);
  verdict_.packet_sent = true;
}

bool StationModel::flash_holds(uint32_t address, uint32_t length) const {
  return total_ > 0 && address >= verdict_.flash_base &&
         static_cast<uint64_t>(address) + length <= travek::ADDRESS_SPACE_END;
}

void StationModel::on_start_record(uint8_t byte) {
  record_.push_back(byte);
  if (record_.size() < travek::RECORD_OVERHEAD) return;
  if (travek::crc16(record_.data(), travek::RECORD_OVERHEAD, 0) != 0) {
    violation("start record CRC is wrong");
  }
  uint32_t page = travek::read_le16(record_.data());
  uint32_t address = page * kPage;
  verdict_.start_page = page;
  if (sector_ == 0 || address % sector_ != 0) {
    violation(format("start page 0x%x is not at a sector start", page));
  }
  if (!flash_holds(address, kPage))
    violation(format("start page 0x%x lies outside the flash", page));
  record_.clear();
  expected_page_ = page;
  phase_ = Phase::kStreaming;
  verdict_.stream_open = true;
}

long StationModel::granted_before(Micros sent_at) {
  while (credits_usable_ < credit_arrivals_.size() &&
         credit_arrivals_[credits_usable_] <= sent_at) {
    ++credits_usable_;
  }
  return static_cast<long>(travek::LINK_BLOCK + travek::CREDIT_UNIT * credits_usable_);
}

void StationModel::on_stream_byte(const Received& r) {
  ++verdict_.stream_bytes;
  long granted = granted_before(r.sent);
  if (verdict_.stream_bytes > granted && !overrun_noted_) {
    overrun_noted_ = true;
    violation(format("credit overrun: %ld stream bytes sent with %ld granted",
                     verdict_.stream_bytes, granted));
  }
  long silent_after = config_.faults.silent_after_stream_bytes;
  if (silent_after >= 0 && verdict_.stream_bytes >= silent_after) {
    silent_ = true;
    phase_ = Phase::kStopped;
    verdict_.stream_open = false;
    return;
  }
  fifo_.push_back(r.value);
  consume(r.ready);
  const long stall_after = config_.faults.stall_after_stream_bytes;
  if (!stalled_ && stall_after >= 0 && verdict_.stream_bytes >= stall_after) {
    stalled_ = true;
    schedule(r.ready + kStalledCreditMs * kMs, Timer::kStalledCredit);
  }
}

void StationModel::consume(Micros t) {
  // No free sector buffer: the bytes wait in the receive queue, unpaid.
  while (!fifo_.empty() && phase_ == Phase::kStreaming &&
         writes_.size() < static_cast<size_t>(config_.write_buffers)) {
    record_.push_back(fifo_.front());
    fifo_.pop_front();
    ++consumed_;
    while (consumed_ >= (credits_sent_ + 1) * static_cast<long>(travek::CREDIT_UNIT)) {
      ++credits_sent_;
      // The earliest a receiver can have the byte: when its stop bit begins.
      const Micros start = std::max(t, tx_free_);
      send(travek::REPORT_CREDIT, t);
      credit_arrivals_.push_back(config_.line_timing ? start + 9 * 1e6 / tx_side_.rate : t + 1);
    }
    if (record_.size() < 2) continue;
    if (record_.size() == 2 &&
        std::equal(record_.begin(), record_.end(), travek::RESTART_COMMAND)) {
      record_.clear();
      on_restart(t);
      return;
    }
    const bool fill = (travek::read_le16(record_.data()) & travek::FILL_FLAG) != 0;
    if (record_.size() == travek::RECORD_OVERHEAD + (fill ? 2 : kPage)) {
      on_record(t);
      record_.clear();
    }
  }
}

void StationModel::on_record(Micros t) {
  uint16_t word = travek::read_le16(record_.data());
  bool fill = (word & travek::FILL_FLAG) != 0;
  uint32_t page = static_cast<uint32_t>(word & ~travek::FILL_FLAG);
  if (travek::crc16(record_.data(), static_cast<uint32_t>(record_.size()), 0) != 0) {
    violation(format("record for page 0x%x: CRC is wrong", page));
  }
  if (page != expected_page_) {
    violation(format("page 0x%x came where page 0x%x was due", page, expected_page_));
  }
  expected_page_ = page + 1;
  std::vector<uint8_t> data;
  if (fill) {
    for (uint32_t i = 0; i < kPage / 2; ++i) data.insert(data.end(), {record_[2], record_[3]});
    ++verdict_.pages_fill;
  } else {
    data.assign(record_.begin() + 2, record_.begin() + 2 + kPage);
    ++verdict_.pages_full;
  }
  uint32_t address = page * kPage;
  if (!flash_holds(address, kPage)) {
    violation(format("page 0x%x lies outside the flash", page));
    return;
  }
  if (assembly_.empty()) assembly_address_ = address - address % sector_;
  assembly_.insert(assembly_.end(), data.begin(), data.end());
  if (assembly_.size() >= sector_) {
    writes_.push_back({assembly_address_, std::move(assembly_)});
    assembly_.clear();
    start_write(t);
  }
}

void StationModel::start_write(Micros t) {
  if (writing_ || writes_.empty()) return;
  writing_ = true;
  schedule(t + config_.sector_write_ms * kMs, Timer::kSectorWritten);
}

void StationModel::sector_written(Micros t) {
  if (phase_ != Phase::kStreaming || writes_.empty()) return;
  writing_ = false;
  SectorWrite w = std::move(writes_.front());
  writes_.pop_front();
  const StationFaults& f = config_.faults;
  long ordinal = verdict_.sectors_written;
  if (ordinal == f.fail_sector) {
    send(travek::REPORT_SECTOR_FAILED, t);
    phase_ = Phase::kStopped;
    verdict_.stream_open = false;
    return;
  }
  std::copy(w.data.begin(), w.data.end(),
            verdict_.flash.begin() + (w.address - verdict_.flash_base));
  ++verdict_.sectors_written;
  if (ordinal == f.broken_report_sector) {
    send(kBrokenReport, t);
  } else {
    send(f.warn_sectors.count(ordinal) ? travek::REPORT_SECTOR_WARNING : travek::REPORT_SECTOR_DONE,
         t);
    if (ordinal == f.duplicate_report_sector) send(travek::REPORT_SECTOR_DONE, t);
  }
  start_write(t);
  consume(t);
}

void StationModel::on_restart(Micros t) {
  if (!assembly_.empty() || !writes_.empty() || !fifo_.empty()) {
    violation("restart command before every sector was written");
  }
  verdict_.restart = true;
  if (config_.faults.no_restart_answer) {  // the command is lost: nothing happens
    phase_ = Phase::kStopped;
    return;
  }
  send(kRestartAnswer, t);
  if (!config_.jumper_set) {  // the station runs its program, deaf to the line
    phase_ = Phase::kStopped;
    return;
  }
  boot(std::max(t, tx_free_) + config_.boot_delay_ms * kMs);  // back into the boot loader
  returning_ = true;
}

}  // namespace sim
