// A station as strict as real hardware, seen from its serial line: the boot
// loader with its start byte and echoed body transfer, and the resident with
// its handshake, station packet, credit-controlled page stream, flash writes,
// sector reports and restart. It keeps time only through the calls it gets,
// so the same model serves the virtual-time line and the pseudo-terminal.
//
// The front decodes what the PC sends with rx_side() (see line_model.h) and
// hands the bytes in with receive(); it fires internal events with
// run_until() and puts what take_output() returns on the line.
//
// A station also knows when the PC is done with it without a reset pulse,
// as a station of a series must (see station_series.h): the session is over
// once the PC, having set its line for the bootstrap, sets it back to the
// waiting line (kWaitingLine). A station that went back to its boot loader
// on the restart (jumper_set) is over no earlier than its start byte.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line_model.h"
#include "station.h"
#include "station_config.h"
#include "verdict.h"

namespace sim {

class StationModel : public Station {
 public:
  explicit StationModel(StationConfig config, Micros power_on = 0);
  // A station put on the line without a reset pulse, as the next board on a
  // fixture: its boot loader sends its start byte at start_byte_at. A pulse
  // before then finds no station.
  static std::unique_ptr<StationModel> placed(StationConfig config, Micros start_byte_at);

  // RTS: held in reset while high; the boot loader starts on release.
  void set_reset(bool held, Micros t) override;
  void receive(const Received& r) override;
  Micros next_event() const override;
  void run_until(Micros t) override;

  LineSide rx_side() const override { return rx_side_; }
  LineSide tx_side() const { return tx_side_; }
  std::vector<Transmission> take_output() override;
  void pc_line(const LineSide& side, Micros t = -1) override;
  // What the station saw so far (with the sectors still pending counted).
  Verdict verdict() const;
  const StationConfig& config() const { return config_; }
  uint32_t sector_bytes() const { return sector_; }
  bool stream_started() const { return verdict_.start_page >= 0; }
  long stream_bytes() const { return verdict_.stream_bytes; }
  // The PC has set its line for a session with this station.
  bool began() const { return began_; }
  // When the session was over, once it is.
  std::optional<Micros> session_end() const { return session_end_; }
  // Back in its boot loader after the restart, its start byte sent.
  bool returned() const { return returned_; }
  // Its receive path has hung (stall_after_stream_bytes): it takes nothing
  // more from the line, but grants credit.
  bool stalled() const { return stalled_; }

 private:
  enum class Phase { kHeld, kBooting, kBootLoader, kHandshake, kStartRecord, kStreaming, kStopped };
  enum class Timer {
    kStartByte,
    kSecondStartByte,
    kStrayByte,
    kLineFault,
    kSectorWritten,
    kStalledCredit
  };
  struct Pending {
    Micros at;
    uint64_t seq;
    Timer timer;
  };
  struct SectorWrite {
    uint32_t address;
    std::vector<uint8_t> data;
  };

  void boot(Micros start);
  void start_byte(Micros t);
  void check_over(Micros t);
  void schedule(Micros at, Timer timer);
  void fire(const Pending& p);
  void send(uint8_t byte, Micros t);
  long granted_before(Micros sent_at);
  void send_transmission(Transmission tx);
  void violation(const std::string& text);

  void on_body_byte(const Received& r);
  void start_resident();
  void on_handshake(const Received& r);
  void send_station_packet(Micros t);
  void on_start_record(uint8_t byte);
  void on_stream_byte(const Received& r);
  void consume(Micros t);
  void on_record(Micros t);
  void on_restart(Micros t);
  void start_write(Micros t);
  void sector_written(Micros t);
  bool flash_holds(uint32_t address, uint32_t length) const;

  StationConfig config_;
  std::vector<uint8_t> image_;
  uint32_t body_length_ = 0;
  uint32_t rate_field_ = 0;
  uint32_t divisor_offset_ = 0;
  uint32_t total_ = 0;
  uint32_t sector_ = 0;

  Phase phase_ = Phase::kHeld;
  Micros now_ = 0;
  std::vector<Pending> timers_;
  uint64_t seq_ = 0;
  int boot_start_bytes_ = 0;
  Micros placed_at_ = -std::numeric_limits<Micros>::infinity();
  bool start_faults_due_ = false;

  LineSide pc_side_ = kWaitingLine;
  bool began_ = false;
  bool returning_ = false;  // restarted with its jumper set
  bool returned_ = false;   // and its start byte sent
  bool talked_after_restart_ = false;
  std::optional<Micros> session_end_;
  bool stalled_ = false;

  LineSide rx_side_;
  LineSide tx_side_;
  Micros tx_free_ = 0;
  bool silent_ = false;
  std::vector<Transmission> output_;

  std::vector<uint8_t> body_;
  bool framing_noted_ = false;
  std::vector<uint8_t> record_;
  std::deque<uint8_t> fifo_;
  long consumed_ = 0;
  long credits_sent_ = 0;
  std::vector<Micros> credit_arrivals_;  // when each 0x55 reaches the PC
  size_t credits_usable_ = 0;
  bool overrun_noted_ = false;
  uint32_t expected_page_ = 0;
  std::vector<uint8_t> assembly_;
  uint32_t assembly_address_ = 0;
  std::deque<SectorWrite> writes_;
  bool writing_ = false;

  Verdict verdict_;
};

}  // namespace sim
