// A station whose every byte comes from a script, whatever the PC sends: the
// fuzzer's station. Start byte, echo, handshake answer, packet, credit,
// reports and the restart answer are all just what the script says.
//
// The script is a run of records, taken one after another: [when] [count]
// [count bytes]. Bits 0-6 of when are a delay in steps of 2 ms; bit 7 sends
// the record's bytes with a framing error. A record goes out its delay after
// the later of the end of the record before and the last byte from the PC,
// at the PC's own line settings. A count of 0xFF takes no bytes from the
// script: the station echoes each byte the PC sends, as it arrives, until
// the PC has been quiet for the delay (a boot loader taking the resident).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "station.h"

namespace sim {

class ScriptedStation : public Station {
 public:
  ScriptedStation(const uint8_t* script, size_t size);

  void set_reset(bool, Micros) override {}
  void receive(const Received& r) override;
  Micros next_event() const override { return next_at_; }
  void run_until(Micros t) override;
  LineSide rx_side() const override { return side_; }
  std::vector<Transmission> take_output() override;
  void pc_line(const LineSide& side, Micros = -1) override { side_ = side; }

  // The delays of all the records together.
  double script_ms() const;

 private:
  bool echoing() const;
  void schedule();
  void send(const std::vector<uint8_t>& bytes, Micros at, bool framing_error);
  void end_record();

  std::vector<uint8_t> script_;
  size_t at_ = 0;  // the next record
  LineSide side_;
  Micros last_heard_ = 0;
  Micros free_ = 0;  // the end of the record before
  Micros next_at_ = 0;
  std::vector<Transmission> output_;
};

}  // namespace sim
