// A PC written from scratch in the test drives the station model through the
// virtual line: a correct session is clean, and each kind of PC mistake is
// caught by the model with a description that names it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "assets/builtin_resident.h"
#include "common/crc16.h"
#include "link/serial_link.h"
#include "support/virtual_run.h"
#include "virtual_line.h"

namespace sim {
namespace {

using testing_support::contains;
using testing_support::ends_with;
using testing_support::kPressKey;
using testing_support::violations;
using testing_support::written_at;

// The PC side's link, opened afresh by each bootstrap.
travek::SerialLink serial_link;

constexpr uint16_t kFirstPage = 0x3800;  // 0xE0000, inside the default 512 KB flash

std::vector<uint8_t> with_crc(std::vector<uint8_t> bytes) {
  uint16_t crc = travek::crc16(bytes.data(), static_cast<uint32_t>(bytes.size()), 0);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

std::vector<uint8_t> full_record(uint16_t page, uint8_t seed) {
  std::vector<uint8_t> r = {static_cast<uint8_t>(page & 0xFF), static_cast<uint8_t>(page >> 8)};
  for (int i = 0; i < 64; ++i) r.push_back(static_cast<uint8_t>(seed + i * 7));
  return with_crc(r);
}

struct Mistakes {
  uint32_t body_rate = 0;  // 0: the station's boot rate
  int body_stop_bits = 2;
  const ClockSpec* patch_for = nullptr;  // the divisor computed for another clock
};

// The bootstrap of the built-in resident, as the protocol describes it.
bool bootstrap(const ClockSpec& clock, const Mistakes& m = {}) {
  if (!travek::open_port(serial_link, "COM2") || !travek::configure_port(serial_link, 9600, 8, 1))
    return false;
  if (!travek::read_available(serial_link, 500) || serial_link.last_count != 1) return false;
  std::vector<uint8_t> body(travek::kBuiltinResident + 8,
                            travek::kBuiltinResident + travek::kBuiltinResidentSize - 2);
  const ClockSpec& patch = m.patch_for ? *m.patch_for : clock;
  uint32_t rate_field = patch.boot_rate == 10472 ? 57600 : 28800;
  body[726] = static_cast<uint8_t>((patch.clock_div32 - rate_field / 2) / rate_field);
  travek::set_line(serial_link, m.body_rate ? m.body_rate : clock.boot_rate, m.body_stop_bits);
  travek::write(serial_link, body.data(), static_cast<uint32_t>(body.size()));
  if (!travek::read_exact(serial_link, static_cast<uint32_t>(body.size()), 120)) return false;
  travek::set_line(serial_link, 2 * rate_field, 1);
  travek::send_priority_byte(serial_link, 'U');
  return travek::read_exact(serial_link, 1, 5) && serial_link.buffer[0] == 'U' &&
         travek::read_exact(serial_link, 12, 100);
}

void send(const std::vector<uint8_t>& bytes) {
  travek::write(serial_link, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Reads report bytes until so many sector reports came; false on silence.
bool await_sectors(int sectors) {
  while (sectors > 0) {
    if (!travek::read_available(serial_link, 100)) return false;
    for (uint32_t i = 0; i < serial_link.last_count; ++i) {
      if (serial_link.buffer[i] == 0x0F) --sectors;
    }
  }
  return true;
}

TEST(ScriptedPc, CorrectSessionIsCleanAndComplete) {
  StationConfig config;
  config.sector_write_ms = 5;
  VirtualLine line(config);
  line.run([&] {
    ASSERT_TRUE(bootstrap(kClock10MHz));
    send(with_crc({kFirstPage & 0xFF, kFirstPage >> 8}));
    std::vector<uint8_t> batch;
    for (uint16_t p = 0; p < 7; ++p) {
      std::vector<uint8_t> r = full_record(kFirstPage + p, static_cast<uint8_t>(p));
      batch.insert(batch.end(), r.begin(), r.end());
    }
    uint16_t fill_word = static_cast<uint16_t>((kFirstPage + 7) | 0x8000);
    std::vector<uint8_t> fill = with_crc(
        {static_cast<uint8_t>(fill_word & 0xFF), static_cast<uint8_t>(fill_word >> 8), 0xAB, 0xCD});
    batch.insert(batch.end(), fill.begin(), fill.end());
    send(batch);
    ASSERT_TRUE(await_sectors(2));
    send({'S', 'R'});
    ASSERT_TRUE(travek::read_exact(serial_link, 1, 500));
  });
  Verdict v = line.verdict();
  EXPECT_TRUE(v.clean()) << violations(v);
  EXPECT_TRUE(v.stream_complete());
  EXPECT_TRUE(v.restart);
  EXPECT_EQ(v.divisor, 10);
  EXPECT_EQ(v.start_page, kFirstPage);
  EXPECT_EQ(v.pages_full, 7);
  EXPECT_EQ(v.pages_fill, 1);
  EXPECT_EQ(v.sectors_written, 2);
  size_t at = kFirstPage * 64u - v.flash_base;
  std::vector<uint8_t> page3 = full_record(kFirstPage + 3, 3);
  EXPECT_TRUE(std::equal(page3.begin() + 2, page3.begin() + 66, v.flash.begin() + at + 3 * 64));
  for (int i = 0; i < 64; i += 2) {
    EXPECT_EQ(v.flash[at + 7 * 64 + i], 0xAB);
    EXPECT_EQ(v.flash[at + 7 * 64 + i + 1], 0xCD);
  }
  EXPECT_EQ(v.flash[at + 8 * 64], 0xFF);  // erased beyond what was written
}

struct StreamMistake {
  const char* name;
  std::vector<uint8_t> (*stream)();
  const char* expected;
};

std::vector<uint8_t> pages(std::initializer_list<int> offsets) {
  std::vector<uint8_t> out;
  for (int p : offsets) {
    std::vector<uint8_t> r = full_record(static_cast<uint16_t>(kFirstPage + p), 1);
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

TEST(ScriptedPc, StreamMistakesAreCaught) {
  const StreamMistake mistakes[] = {
      {"bad CRC",
       [] {
         std::vector<uint8_t> s = pages({0, 1, 2, 3});
         s[68 + 30] ^= 0x04;
         return s;
       },
       "record for page 0x3801: CRC is wrong"},
      {"skipped page",
       [] {
         return pages({0, 1, 3, 4});
       },
       "page 0x3803 came where page 0x3802 was due"},
      {"credit overrun",
       [] {
         return pages({0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                       13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24});
       },
       "credit overrun: 1633 stream bytes sent with 1632 granted"},
  };
  for (const StreamMistake& m : mistakes) {
    VirtualLine line;
    line.run([&] {
      ASSERT_TRUE(bootstrap(kClock10MHz));
      send(with_crc({kFirstPage & 0xFF, kFirstPage >> 8}));
      send(m.stream());
      travek::read_available(serial_link, 100);
    });
    Verdict v = line.verdict();
    EXPECT_TRUE(contains(violations(v), m.expected)) << m.name << ":\n" << violations(v);
  }
}

TEST(ScriptedPc, BodyAtTheWrongRateOrStopBitsIsCaught) {
  StationConfig twelve;
  twelve.clock = kClock12MHz;
  struct {
    Mistakes mistakes;
    const char* expected;
  } cases[] = {
      {{9600, 2}, "arrived with a framing error: the PC is not sending at 11520 bit/s"},
      {{0, 1}, "arrived with a framing error: the PC is not sending at 11520 bit/s with two"},
  };
  for (const auto& c : cases) {
    VirtualLine line(twelve);
    line.run([&] { EXPECT_FALSE(bootstrap(kClock12MHz, c.mistakes)); });
    EXPECT_TRUE(contains(violations(line.verdict()), c.expected));
  }
}

TEST(ScriptedPc, DivisorForTheWrongClockIsCaught) {
  StationConfig eleven;
  eleven.clock = kClock11MHz;
  VirtualLine line(eleven);
  Mistakes m;
  m.patch_for = &kClock10MHz;
  line.run([&] { EXPECT_FALSE(bootstrap(kClock11MHz, m)); });
  EXPECT_TRUE(contains(violations(line.verdict()),
                       "divisor byte is 10; a 11MHz station with rate field 57600 needs 5"));
}

}  // namespace
}  // namespace sim
