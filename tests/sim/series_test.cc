// Stations one after another on a line the PC keeps open: each session ends
// when the PC waits again for a start byte, the next station's start byte
// comes its arrival time later, faults belong to one session, and a station
// whose jumper is still set comes back on the restart. A PC written here
// drives the model on a perfect line in virtual time, so every time is exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/constants.h"
#include "common/crc16.h"
#include "common/protocol.h"
#include "station_series.h"
#include "support/images.h"
#include "support/virtual_run.h"

namespace sim {
namespace {

using testing_support::Bytes;
using testing_support::violations;

constexpr double kMs = 1000;
constexpr LineSide kBody{9600, 2};       // the 10 MHz boot loader's line
constexpr LineSide kResident{57600, 1};  // twice the automatic rate field's 28800
constexpr uint16_t kFirstPage = 0x3800;  // a sector start inside the 512 KB flash
constexpr uint8_t kDivisor = 10;         // (312500 - 14400) / 28800

Bytes with_crc(Bytes bytes) {
  const uint16_t crc = travek::crc16(bytes.data(), static_cast<uint32_t>(bytes.size()), 0);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

// A 4-byte resident whose first body byte is the divisor.
StationConfig small_station() {
  StationConfig config;
  config.resident = testing_support::make_image(4, 0xFFFE, 2);
  config.sector_write_ms = 5;
  return config;
}

// The PC on a perfect line: what it sends reaches the station as the
// station's receiver decodes it; what the station sends, as the PC's does.
class Pc {
 public:
  explicit Pc(Station& station) : station_(station) {}
  Micros now() const { return now_; }

  void set_line(const LineSide& side) {
    side_ = side;
    station_.pc_line(side, now_);
  }
  void send(const Bytes& bytes) {
    std::vector<Received> got;
    Receiver rx(station_.rx_side());
    rx.receive(burst(bytes, now_, side_), &got);
    for (const Received& r : got) {
      run(r.ready);
      station_.receive(r);
    }
    now_ += frame_time(side_) * static_cast<double>(bytes.size());
  }
  // The next byte from the station within ms, taken when it arrives.
  std::optional<Received> next(double ms) {
    const Micros until = now_ + ms * kMs;
    run(now_);
    // No event of the station's can bring a byte earlier than one already
    // on its way.
    for (Micros event = station_.next_event(); event <= until; event = station_.next_event()) {
      if (!heard_.empty() && heard_.front().ready <= event) break;
      run(event);
    }
    if (heard_.empty() || heard_.front().ready > until) {
      now_ = until;
      return std::nullopt;
    }
    Received r = heard_.front();
    heard_.pop_front();
    now_ = std::max(now_, r.ready);
    return r;
  }
  Bytes read(size_t n, double ms) {
    Bytes got;
    while (got.size() < n) {
      std::optional<Received> r = next(ms);
      if (!r) break;
      got.push_back(r->value);
    }
    return got;
  }

 private:
  void run(Micros t) {
    station_.run_until(t);
    for (const Transmission& tx : station_.take_output()) {
      std::vector<Received> got;
      Receiver rx(side_);
      rx.receive(tx, &got);
      heard_.insert(heard_.end(), got.begin(), got.end());
    }
    std::stable_sort(heard_.begin(), heard_.end(),
                     [](const Received& a, const Received& b) { return a.ready < b.ready; });
  }

  Station& station_;
  Micros now_ = 0;
  LineSide side_ = kWaitingLine;
  std::deque<Received> heard_;
};

// The bootstrap as a PC that knows its station, up to the station packet;
// then the start record. Whether every answer came.
bool bootstrap(Pc& pc) {
  pc.set_line(kBody);
  const Bytes body = {kDivisor, 0x91, 0x92, 0x93};
  pc.send(body);
  if (pc.read(body.size(), 100) != body) return false;
  pc.set_line(kResident);
  pc.send({travek::HANDSHAKE_BYTE});
  if (pc.read(13, 100).size() != 13) return false;
  pc.send(with_crc({kFirstPage & 0xFF, kFirstPage >> 8}));
  return true;
}

void send_page(Pc& pc, int page) {
  const uint16_t word = static_cast<uint16_t>(kFirstPage + page);
  Bytes record = {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)};
  record.resize(2 + travek::PAGE_SIZE, static_cast<uint8_t>(page));
  pc.send(with_crc(record));
}

// One session: the bootstrap, a stream of whole sectors, the restart, and
// the line back to the waiting settings, also when an answer does not come.
// Whether every answer came.
bool session(Pc& pc, int sectors = 2) {
  bool answered = bootstrap(pc);
  for (int page = 0; answered && page < sectors * 4; ++page) {
    send_page(pc, page);
    if (page % 4 != 3) continue;
    std::optional<Received> report = pc.next(100);
    answered = report && report->value == travek::REPORT_SECTOR_DONE;
  }
  if (answered) {
    pc.send({travek::RESTART_COMMAND[0], travek::RESTART_COMMAND[1]});
    answered = pc.next(500).has_value();
  }
  pc.set_line(kWaitingLine);
  return answered;
}

// The time the PC got a start byte, waiting at most ms for it.
std::optional<Micros> start_byte(Pc& pc, double ms) {
  std::optional<Received> r = pc.next(ms);
  if (!r || r->value != travek::BOOT_START_BYTE) return std::nullopt;
  return r->ready;
}

struct Seen {
  std::vector<Micros> starts;  // the start bytes the PC got before the session
  bool answered = false;       // every answer of the session came
  Micros ended = 0;            // the PC's line back at the waiting settings
};

// A PC flashing station after station: it takes a start byte that comes
// within skip_ms of the end of a session for the station it has just
// restarted, and waits on.
std::vector<Seen> serve(StationSeries& series, double skip_ms) {
  Pc pc(series);
  series.set_reset(true, 0);
  series.set_reset(false, 5 * kMs);  // the first station boots on the pulse
  std::vector<Seen> seen;
  for (;;) {
    Seen s;
    bool taken = false;
    while (!taken) {
      std::optional<Micros> start = start_byte(pc, 2000);
      if (!start) return seen;
      s.starts.push_back(*start);
      taken = seen.empty() || *start - seen.back().ended > skip_ms * kMs;
    }
    s.answered = session(pc);
    s.ended = pc.now();
    seen.push_back(s);
  }
}

// A start byte leaves at its time and is whole 9.5625 bit times later, as
// the PC's receiver at 9600 bit/s samples it.
constexpr Micros kStartByteSeen = 9.5625 * 1e6 / 9600;

struct SeriesCase {
  const char* name;
  void (*setup)(SeriesConfig&);
  double skip_ms;
  int failed_session;  // 0: none
  int start_bytes;     // each station sent
};

TEST(Series, SessionsEndAndStationsArrive) {
  const SeriesCase cases[] = {
      {"clean stations", [](SeriesConfig&) {}, 0, 0, 1},
      {"the second fails a sector and the PC gives up",
       [](SeriesConfig& c) {
         c.fault_session = 2;
         c.station.faults.fail_sector = 1;
       },
       0, 2, 1},
      {"the third does not answer 'U'",
       [](SeriesConfig& c) {
         c.fault_session = 3;
         c.station.faults.no_handshake_answer = true;
       },
       0, 3, 1},
      {"every one comes back on the restart, its jumper set",
       [](SeriesConfig& c) { c.station.jumper_set = true; }, 100, 0, 2},
  };
  for (const SeriesCase& c : cases) {
    SCOPED_TRACE(c.name);
    SeriesConfig config{small_station(), 300, 0, 3};
    c.setup(config);
    StationSeries series(config);
    const std::vector<Seen> seen = serve(series, c.skip_ms);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(series.ended());
    const std::vector<Verdict> verdicts = series.take_verdicts();
    ASSERT_EQ(verdicts.size(), 3u);
    for (size_t k = 0; k < 3; ++k) {
      SCOPED_TRACE(k + 1);
      const bool fails = c.failed_session == static_cast<int>(k + 1);
      EXPECT_EQ(seen[k].answered, !fails);
      EXPECT_TRUE(verdicts[k].clean()) << violations(verdicts[k]);
      EXPECT_EQ(verdicts[k].stream_complete() && verdicts[k].restart, !fails);
      EXPECT_EQ(verdicts[k].start_bytes, c.start_bytes);
      EXPECT_EQ(verdicts[k].resets, k == 0 ? 1 : 0);  // no pulse after the first
      if (k == 0) continue;
      // A station that came back sends its start byte its boot delay after
      // the restart's answer; the next arrives 300 ms after that start byte,
      // or after the session's end.
      const std::vector<Micros>& starts = seen[k].starts;
      ASSERT_EQ(starts.size(), seen[k - 1].answered ? static_cast<size_t>(c.start_bytes) : 1u);
      if (starts.size() == 2) {
        // The answer's stop bit still goes out after the PC has the byte.
        EXPECT_NEAR(starts[0] - seen[k - 1].ended, 20 * kMs + kStartByteSeen, 0.02 * kMs);
      }
      const Micros from = starts.size() == 2 ? starts[0] : seen[k - 1].ended + kStartByteSeen;
      EXPECT_NEAR(starts.back() - from, 300 * kMs, 1e-6);
    }
  }
}

TEST(Series, FaultsBelongToTheirSessionAlone) {
  StationConfig station = small_station();
  station.faults.fail_sector = 3;
  station.faults.stall_after_stream_bytes = 100;
  station.handshake_delay_ms = 30;
  for (int fault_session : {0, 2}) {
    for (int session : {1, 2, 3}) {
      const StationConfig c = session_config(station, fault_session, session);
      const bool faulty = fault_session == 0 || session == fault_session;
      EXPECT_EQ(c.faults.fail_sector, faulty ? 3 : -1) << fault_session << " " << session;
      EXPECT_EQ(c.faults.stall_after_stream_bytes, faulty ? 100 : -1);
      EXPECT_EQ(c.handshake_delay_ms, faulty ? 30 : 0);
      EXPECT_EQ(c.sector_write_ms, station.sector_write_ms);  // no fault: every session's
    }
  }
}

TEST(Series, PcThatTakesTheReturnedStationForANewOneIsAViolation) {
  SeriesConfig config{small_station(), 300, 0, 2};
  config.station.jumper_set = true;
  StationSeries series(config);
  Pc pc(series);
  series.set_reset(false, 0);
  ASSERT_TRUE(start_byte(pc, 100));
  ASSERT_TRUE(session(pc));
  ASSERT_TRUE(start_byte(pc, 100));  // the same station, back in its boot loader
  pc.set_line(kBody);
  pc.send({kDivisor});
  EXPECT_EQ(pc.read(1, 100), Bytes{kDivisor});  // its boot loader echoes
  pc.set_line(kWaitingLine);
  std::optional<Micros> next = start_byte(pc, 400);
  ASSERT_TRUE(next);
  EXPECT_EQ(series.session(), 2);
  const std::vector<Verdict> verdicts = series.take_verdicts();
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_TRUE(testing_support::contains(violations(verdicts[0]), "took it for a new station"))
      << violations(verdicts[0]);
}

TEST(Series, StationStaysWhileThePcKeepsItsLine) {
  StationSeries series({small_station(), 300, 0, 0});
  Pc pc(series);
  series.set_reset(false, 0);
  ASSERT_TRUE(start_byte(pc, 100));
  pc.set_line(kBody);
  pc.send({kDivisor});
  pc.read(1, 100);
  // The PC gives up on the bootstrap but never waits for a start byte again.
  EXPECT_FALSE(pc.next(5000));
  EXPECT_FALSE(series.station()->session_end());
  EXPECT_EQ(series.session(), 1);
  EXPECT_TRUE(series.take_verdicts().empty());
  // The port closes: the station the PC talked to has its verdict.
  series.take_off(pc.now(), true);
  EXPECT_TRUE(series.ended());
  EXPECT_EQ(series.take_verdicts().size(), 1u);
}

TEST(Series, PulseBeforeTheNextStationArrivesFindsNone) {
  for (double pulse_ms : {100.0, 400.0}) {
    SCOPED_TRACE(pulse_ms);
    StationSeries series({small_station(), 300, 0, 0});
    Pc pc(series);
    series.set_reset(false, 0);
    ASSERT_TRUE(start_byte(pc, 100));
    ASSERT_TRUE(session(pc));
    const Micros ended = pc.now();
    series.run_until(ended + pulse_ms * kMs);
    series.set_reset(true, ended + pulse_ms * kMs);
    series.set_reset(false, ended + pulse_ms * kMs + 6 * kMs);
    std::vector<double> starts_ms;
    while (std::optional<Micros> start = start_byte(pc, 1000)) {
      starts_ms.push_back((*start - ended - kStartByteSeen) / kMs);
    }
    // Before it arrived, the pulse found no station; after, it reset the
    // station, which booted anew.
    const std::vector<double> expected =
        pulse_ms < 300 ? std::vector<double>{300} : std::vector<double>{300, pulse_ms + 6 + 20};
    ASSERT_EQ(starts_ms.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(starts_ms[i], expected[i], 1e-6);
    EXPECT_EQ(series.station()->verdict().resets, pulse_ms < 300 ? 0 : 1);
  }
}

TEST(Series, LineChangeOfUnknownTimeIsTakenAtTheStationsLatest) {
  StationSeries series({small_station(), 300, 0, 0});
  Pc pc(series);
  series.set_reset(false, 0);
  ASSERT_TRUE(start_byte(pc, 100));
  series.pc_line(kBody);
  series.pc_line(kWaitingLine);
  // The start byte went out at 20 ms: the station's latest time.
  std::optional<Micros> next = start_byte(pc, 1000);
  ASSERT_TRUE(next);
  EXPECT_NEAR(*next, (20 + 300) * kMs + kStartByteSeen, 1e-6);
}

TEST(StationModel, HungReceivePathTakesNothingAndGrantsCreditEveryTwentyMilliseconds) {
  StationConfig config = small_station();
  config.faults.stall_after_stream_bytes = 4 + 68;  // the start record and one page
  StationModel station(config);
  Pc pc(station);
  station.set_reset(true, 0);
  station.set_reset(false, 0);
  ASSERT_TRUE(start_byte(pc, 100));
  ASSERT_TRUE(bootstrap(pc));
  for (int page = 0; page < 8; ++page) send_page(pc, page);
  EXPECT_TRUE(station.stalled());
  EXPECT_EQ(station.stream_bytes(), 4 + 68);
  EXPECT_EQ(station.verdict().sectors_written, 0);  // the first sector never filled
  std::vector<Micros> credits;
  while (credits.size() < 3) {
    std::optional<Received> r = pc.next(100);
    ASSERT_TRUE(r);
    if (r->value == travek::REPORT_CREDIT) credits.push_back(r->ready);
  }
  EXPECT_NEAR(credits[1] - credits[0], 20 * kMs, 1e-6);
  EXPECT_NEAR(credits[2] - credits[1], 20 * kMs, 1e-6);
}

}  // namespace
}  // namespace sim
