// The default mode end to end on the virtual-time line: packet, stream with
// credit, reports with the percentage and the status light, and the end of
// the load with the jumper prompt and the restart.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/constants.h"
#include "support/images.h"
#include "support/virtual_run.h"
#include "virtual_line.h"

namespace sim {
namespace {

using testing_support::contains;
using testing_support::ends_with;
using testing_support::kPressKey;
using testing_support::violations;
using testing_support::written_at;

using testing_support::Bytes;
using testing_support::TempFile;

const std::string kLoading = "Загрузка FLASH:   0%\b";
const std::string kJumper =
    "НЕ ЗАБУДЬТЕ СНЯТЬ ПЕРЕМЫЧКУ... (\"Enter\"-продолжить, \"Esc\"-выход)\n\n";
const std::string kRestart = "Попытка рестарта станции... ";
constexpr double kLate = 3000e3;  // keys for the jumper prompt: long after the load

Bytes random_bytes(size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

int load(VirtualLine& line, const Bytes& image, std::vector<std::string> args = {}) {
  TempFile file(image);
  args.push_back(file.path());
  return line.run_tool(args);
}

// The station's flash where the image went.
Bytes flashed(const Verdict& v, uint32_t address, size_t n) {
  auto at = v.flash.begin() + (address - v.flash_base);
  return Bytes(at, at + static_cast<long>(n));
}

std::string load_line(const std::string& out) {
  size_t start = out.find(kLoading);
  size_t end = out.find("  T= ", start);
  return start == std::string::npos || end == std::string::npos
             ? ""
             : out.substr(start + kLoading.size(), end - start - kLoading.size());
}

StationConfig with_chip(Chip chip, double sector_ms = 0) {
  StationConfig config;
  config.chips[0] = chip;
  config.sector_write_ms = sector_ms;
  return config;
}

TEST(Load, WholeRunIsCleanAndTheFlashHoldsTheImage) {
  StationConfig config = with_chip(kAT29C010, 2);
  VirtualLine line(config);
  line.press(kLate, travek::KEY_ENTER);
  Bytes image = random_bytes(65536);
  ASSERT_EQ(load(line, image), 0) << line.output();
  const std::string& out = line.output();
  EXPECT_TRUE(contains(out,
                       "Старт - Ok!\n\nСтанция класса:    KT20\nТип FLASH_0:       AT29C010   \n"
                       "Общий объем FLASH: 128 Кб (131072 байт)\n"
                       "Объем загружаемых данных:  65536 байт\n\n" +
                           kLoading));
  // No warning: the final '%' keeps its colour (the light is never red).
  EXPECT_FALSE(contains(out, "{red}"));
  EXPECT_TRUE(contains(out, "\b\b\b100%{normal}  T= "));
  EXPECT_TRUE(contains(out, " ms\n\n" + kJumper + kRestart + kPressKey));

  Verdict v = line.verdict();
  EXPECT_TRUE(v.clean()) << violations(v);
  EXPECT_TRUE(v.restart);
  EXPECT_EQ(v.sectors_written, 512);
  EXPECT_EQ(flashed(v, 0x100000 - 65536, 65536), image);
}

TEST(Load, EveryClockClassThroughEveryAdapter) {
  // A USB adapter's latency on every reply, its FIFO on every write, the
  // bootstrap included; the flash must hold the image all the same.
  const Bytes image = random_bytes(16384);
  for (const ClockSpec& clock : {kClock10MHz, kClock11MHz, kClock12MHz}) {
    for (const Adapter& adapter : kAdapters) {
      StationConfig config = with_chip(kAT29C040, 2);
      config.clock = clock;
      VirtualOptions options;
      options.adapter = adapter;
      VirtualLine line(config, options);
      line.press(kLate, travek::KEY_ENTER);
      EXPECT_EQ(load(line, image), 0) << clock.name << ", " << adapter.name << line.output();
      const Verdict v = line.verdict();
      EXPECT_TRUE(v.clean()) << clock.name << ", " << adapter.name << violations(v);
      EXPECT_TRUE(v.restart) << clock.name << ", " << adapter.name;
      EXPECT_EQ(flashed(v, 0x100000 - 16384, 16384), image) << clock.name << ", " << adapter.name;
    }
  }
}

TEST(Load, ThreeSectorsShow33And66And100) {
  VirtualLine line(with_chip(kAT29C040));
  ASSERT_EQ(load(line, random_bytes(768)), 0) << line.output();
  EXPECT_EQ(load_line(line.output()), "\b\b\b 33\b\b\b 66\b\b\b100%{normal}");
}

TEST(Load, TwoHundredSectorsChangeThePercentageEverySecondSector) {
  VirtualLine line(with_chip({0x1F, 0xD5, 0x01, 0xFE}));  // 64-byte sectors
  ASSERT_EQ(load(line, random_bytes(200 * 64)), 0) << line.output();
  std::string expected;
  for (int p = 1; p <= 100; ++p) {
    char field[16];
    std::snprintf(field, sizeof(field), "\b\b\b%3d", p);
    expected += field;
  }
  EXPECT_EQ(load_line(line.output()), expected + "%{normal}");
}

TEST(Load, WarningsTurnTheLightRedOnceAndTheFinalLightRed) {
  // Sectors take 40 ms: three warnings in a row fall within two throttle
  // windows; the good sectors after them turn the light back.
  StationConfig config = with_chip(kAT29C040, 40);
  config.faults.warn_sectors = {2, 3, 4};
  VirtualLine line(config);
  ASSERT_EQ(load(line, random_bytes(16 * 256)), 0) << line.output();
  std::string shown = load_line(line.output());
  size_t first_red = shown.find("{red}%{normal}\b");
  ASSERT_NE(first_red, std::string::npos) << shown;
  // The later warnings find the light red and leave it; the first good
  // sector more than 90 ms after the redraw turns it back, without colour.
  std::string during = shown.substr(first_red + 1, shown.find("100") - first_red - 1);
  EXPECT_FALSE(contains(during, "{red}")) << shown;
  EXPECT_TRUE(contains(during, "%{normal}\b")) << shown;
  EXPECT_TRUE(ends_with(shown, "100{red}%{normal}")) << shown;
  EXPECT_TRUE(line.verdict().clean()) << violations(line.verdict());
}

TEST(Load, SectorFailureAfterGoodSectors) {
  StationConfig config = with_chip(kAT29C040);
  config.faults.fail_sector = 5;
  VirtualLine line(config);
  EXPECT_EQ(load(line, random_bytes(10 * 256)), 255);
  // The failed sector counts, and the light shows it before the message.
  EXPECT_EQ(load_line(line.output() + "  T= "),
            "\b\b\b 10\b\b\b 20\b\b\b 30\b\b\b 40\b\b\b 50\b\b\b 60{red}%{normal}\b"
            "\nОшибка записи FLASH!\n\n" +
                kPressKey)
      << line.output();
  EXPECT_EQ(line.verdict().sectors_written, 5);
}

TEST(Load, SectorFailureRightAfterARedrawWaitsToShowTheLight) {
  // A warning turns the light red; a good sector more than 90 ms later turns
  // it back, and the failure comes in the same batch of reports: its redraw
  // is throttled, so the light waits 100 ms, then shows red with the cursor
  // after it.
  StationConfig config = with_chip(kAT29C040, 50);
  config.faults.warn_sectors = {1};
  config.faults.fail_sector = 5;
  VirtualLine line(config);
  EXPECT_EQ(load(line, random_bytes(10 * 256)), 255);
  std::string shown = load_line(line.output() + "  T= ");
  EXPECT_TRUE(ends_with(shown,
                        "\b\b\b 50%{normal}\b\b\b\b 60{red}%{normal}"
                        "\nОшибка записи FLASH!\n\n" +
                            kPressKey))
      << shown;
  std::vector<double> redraws;
  for (const ConsoleWrite& w : line.console_log()) {
    if (w.text == "%") redraws.push_back(w.at_ms);
  }
  ASSERT_EQ(redraws.size(), 3u);
  EXPECT_GE(redraws[2] - redraws[1], 100);
}

TEST(Load, FirstBatchHoldsExactly24FullRecordsAndTheNextWaitsForCredit) {
  // A flash much slower than the line holds the credit back: 128-byte
  // sectors, one at a time, 90 ms each. The PC must wait for its credit.
  StationConfig config = with_chip(kAT29C010, 90);
  config.write_buffers = 1;
  VirtualLine line(config);
  ASSERT_EQ(load(line, random_bytes(64 * 256)), 0) << line.output();
  const std::vector<PcWrite>& w = line.writes();
  // Body, last body byte, 'U', start record, then the batches.
  ASSERT_GT(w.size(), 6u);
  EXPECT_EQ(w[3].bytes.size(), 4u);
  EXPECT_EQ(w[4].bytes.size(), 1632u);
  const uint16_t first_page = (0x100000 - 64 * 256) / 64;
  EXPECT_EQ(travek::read_le16(&w[4].bytes[23 * 68]), first_page + 23);
  EXPECT_EQ(travek::read_le16(&w[5].bytes[0]), first_page + 24);
  EXPECT_GT(w[5].at_ms, w[4].done_ms + 10);
  // It goes on as soon as 816 bytes of credit are back: a batch of 12 records.
  EXPECT_EQ(w[5].bytes.size(), 816u);
  EXPECT_TRUE(line.verdict().clean()) << violations(line.verdict());
}

TEST(Load, UniformImageGoesAsSixByteRecords) {
  VirtualLine line(with_chip(kAT29C040));
  Bytes image(16384, 0xFF);
  for (size_t i = 8192; i < image.size(); i += 2) image[i] = 0x12, image[i + 1] = 0x34;
  ASSERT_EQ(load(line, image), 0) << line.output();
  const std::vector<PcWrite>& w = line.writes();
  // 256 records of 6 bytes fit one batch, written as the last one. No key
  // answers the jumper prompt, so no "SR" follows.
  ASSERT_EQ(w.size(), 5u);
  EXPECT_EQ(w[4].bytes.size(), 1536u);
  Bytes first(w[4].bytes.begin(), w[4].bytes.begin() + 4);
  EXPECT_EQ(first, (Bytes{0x00, 0xBF, 0xFF, 0xFF}));  // page 0x3F00 with the fill flag
  Verdict v = line.verdict();
  EXPECT_EQ(v.pages_fill, 256);
  EXPECT_EQ(v.pages_full, 0);
  EXPECT_EQ(flashed(v, 0x100000 - 16384, 16384), image);
}

TEST(Load, LargeUniformImageBatchesFillTheLinkBlock) {
  VirtualLine line(with_chip(kAT29C040));
  ASSERT_EQ(load(line, Bytes(65536, 0x00)), 0) << line.output();
  const std::vector<PcWrite>& w = line.writes();
  // 1024 records of 6 bytes. A batch is written when the next record would
  // pass the limit, min(credit, 1632): 272 records in the first batch; later
  // ones as much as the credit back at the time allows (816 or 1632).
  ASSERT_GT(w.size(), 5u);
  EXPECT_EQ(w[4].bytes.size(), 1632u);
  size_t total = 0;
  for (size_t i = 4; i < w.size(); ++i) {
    size_t n = w[i].bytes.size();
    total += n;
    EXPECT_EQ(n % 6, 0u);
    if (i + 1 < w.size()) {
      EXPECT_TRUE(n == 1632 || n == 816) << i << ": " << n;
    }
  }
  EXPECT_EQ(total, 1024u * 6);
  EXPECT_TRUE(line.verdict().clean()) << violations(line.verdict());
}

TEST(Load, JumperPromptKeys) {
  {
    VirtualLine line(with_chip(kAT29C040));
    line.press(kLate, 'x');
    line.press(kLate + 1000, travek::KEY_ENTER);
    ASSERT_EQ(load(line, random_bytes(256)), 0);
    EXPECT_TRUE(line.verdict().restart);
    EXPECT_TRUE(contains(line.output(), kJumper + kRestart + kPressKey));
  }
  {
    VirtualLine line(with_chip(kAT29C040));
    line.press(kLate, travek::KEY_ESC);
    ASSERT_EQ(load(line, random_bytes(256)), 0);
    EXPECT_FALSE(line.verdict().restart);
    EXPECT_TRUE(contains(line.output(), kJumper + kPressKey));
    EXPECT_EQ(line.writes().back().bytes.size(), 4u * 68) << "nothing after the image";
  }
  {
    StationConfig config = with_chip(kAT29C040);
    config.flags = 0x03;  // no jumper on this station
    VirtualLine line(config);
    ASSERT_EQ(load(line, random_bytes(256)), 0);
    EXPECT_FALSE(contains(line.output(), "ПЕРЕМЫЧКУ"));
    EXPECT_TRUE(contains(line.output(), " ms\n\n" + kRestart + kPressKey));
    EXPECT_TRUE(line.verdict().restart);
  }
}

// An Esc that a run of many meant for its stations still waiting, reaching
// one just past its wait: a station's run of a batch drops it at its jumper
// prompt; a run alone takes it as the script's answer.
TEST(Load, AKeySentBeforeTheJumperPromptAnswersItOnlyOutsideABatch) {
  for (const bool batch : {false, true}) {
    SCOPED_TRACE(batch ? "-batch:1" : "alone");
    VirtualLine line(with_chip(kAT29C040));
    line.press(500, travek::KEY_ESC);  // the resident is on its way by then
    line.press(kLate, travek::KEY_ENTER);
    ASSERT_EQ(load(line, random_bytes(256),
                   batch ? std::vector<std::string>{"-batch:1"} : std::vector<std::string>{}),
              0);
    EXPECT_EQ(line.verdict().restart, batch);
  }
}

TEST(Load, SilentRestartIsBadButNotAFailure) {
  StationConfig config = with_chip(kAT29C040);
  config.flags = 0x03;
  config.faults.no_restart_answer = true;
  VirtualLine line(config);
  ASSERT_EQ(load(line, random_bytes(256)), 0);
  EXPECT_TRUE(contains(line.output(), kRestart + "Bad!\n" + kPressKey));
}

TEST(Load, PacketFailures) {
  const std::pair<PacketFault, std::string> cases[] = {
      {PacketFault::kWrongCode, "Старт - Ok!\n\nНе пакет!\n\n"},
      {PacketFault::kBadCrc, "Старт - Ok!\n\nСбой при приеме пакета!\n\n"},
      {PacketFault::kShort, "Старт - Ok!\n\nНет пакета!\n\n"},
  };
  for (const auto& [fault, text] : cases) {
    StationConfig config;
    config.faults.packet = fault;
    VirtualLine line(config);
    EXPECT_EQ(load(line, random_bytes(256)), 255);
    EXPECT_TRUE(contains(line.output(), text + kPressKey));
  }
}

TEST(Load, BrokenAndSurplusReportsAreCommunicationErrors) {
  for (int which = 0; which < 2; ++which) {
    StationConfig config = with_chip(kAT29C040);
    VirtualOptions options;
    if (which == 0) {
      config.faults.broken_report_sector = 1;
    } else {
      // The last sector reported twice; a USB bridge hands both over at once.
      config.faults.duplicate_report_sector = 3;
      options.adapter = kFtdi16ms;
    }
    VirtualLine line(config, options);
    EXPECT_EQ(load(line, random_bytes(4 * 256)), 255);
    const std::string& out = line.output();
    EXPECT_TRUE(contains(out, "\nОшибка связи при загрузке FLASH!\n\n" + kPressKey));
    EXPECT_FALSE(contains(out, "125")) << "no percentage past 100";
  }
}

TEST(Load, SilentResidentDoesNotInvite) {
  StationConfig config = with_chip(kAT29C040);
  config.faults.silent_after_stream_bytes = 1000;
  VirtualLine line(config);
  EXPECT_EQ(load(line, random_bytes(64 * 256)), 255);
  EXPECT_TRUE(contains(line.output(), "\nРезидент не приглашает!\n\n" + kPressKey));
}

TEST(Load, OutstandingBytesPast64KBStillWaitForEveryReport) {
  // A resident that buffers 128 KB returns credit at once but writes slower
  // than the line: by the end of the stream, more than 64 KB wait to be
  // reported. A 16-bit count of them would wrap and end the wait early.
  StationConfig config = with_chip({0x1F, 0xA4, 0x02, 0xF8}, 40);  // 128-byte sectors
  config.write_buffers = 1024;
  VirtualLine line(config);
  Bytes image = random_bytes(262144);
  ASSERT_EQ(load(line, image), 0) << line.output();
  EXPECT_TRUE(contains(line.output(), "\b\b\b100%{normal}  T= "));
  Verdict v = line.verdict();
  EXPECT_EQ(v.sectors_written, 2048);
  EXPECT_EQ(flashed(v, 0x100000 - 262144, 262144), image);
}

TEST(Load, ExplicitStartAddressWithPadding) {
  VirtualLine line(with_chip(kAT29C040));
  Bytes image = random_bytes(1000);
  ASSERT_EQ(load(line, image, {"-a:0xF0000"}), 0) << line.output();
  Verdict v = line.verdict();
  EXPECT_EQ(v.start_page, 0xF0000 / 64);
  Bytes written = flashed(v, 0xF0000, 1024);
  EXPECT_EQ(Bytes(written.begin(), written.begin() + 1000), image);
  EXPECT_EQ(Bytes(written.begin() + 1000, written.end()), Bytes(24, 0xFF));
  EXPECT_TRUE(v.clean()) << violations(v);
}

}  // namespace
}  // namespace sim
