// Station class and chip lines, sizes, start address rules, sector checks
// and padding, with the exact text of each outcome.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "loading/station_info.h"
#include "run/station_run.h"
#include "support/virtual_run.h"
#include "virtual_line.h"

namespace travek {
namespace {

using testing_support::contains;
using testing_support::ends_with;

constexpr ChipDescriptor k010{0x1F, 0xD5, 0x02, 0xFE};  // AT29C010, 128 KB, 128-byte sectors
constexpr ChipDescriptor k020{0x1F, 0xDA, 0x04, 0xFC};  // AT29C020, 256 KB
constexpr ChipDescriptor kNone{0, 0, 0, 0};

struct Outcome {
  std::optional<int> ended;  // the exit status, if the run ended
  std::string out;
  FlashGeometry geometry{};
  uint32_t length = 0;
  std::vector<uint8_t> data;
};

Outcome geometry(uint8_t flags, ChipDescriptor chip0, ChipDescriptor chip1, uint32_t length,
                 uint32_t start_address = 0, std::optional<uint32_t> file_low = std::nullopt) {
  sim::VirtualLine line;
  Outcome o;
  RunOptions options;
  options.start_address = start_address;
  SerialLink link;
  StationRun run(options, link);
  std::fill(run.data.data_buffer.begin(), run.data.data_buffer.begin() + length, 0x5A);
  run.data.data_length = length;
  run.data.data_placed = file_low.has_value();
  run.data.data_low_address = file_low.value_or(0);
  o.ended = line.run([&] {
    o.geometry = station_geometry(run, StationInfo{flags, {chip0, chip1}});
  });
  o.length = run.data.data_length;
  o.data = run.data.data_buffer;
  o.out = line.output();
  return o;
}

const std::string kKT20 = "\nСтанция класса:    KT20\n";
const std::string kChip0 = "Тип FLASH_0:       ";
const std::string kChip1 = "Тип FLASH_1:       ";
const std::string k128 = "Общий объем FLASH: 128 Кб (131072 байт)\n";

std::string data_line(uint32_t length) {
  return "Объем загружаемых данных:  " + std::to_string(length) + " байт\n\n";
}

TEST(Geometry, OneChipWholeFlashAtTheTop) {
  Outcome o = geometry(0x00, k010, kNone, 131072);
  EXPECT_FALSE(o.ended);
  EXPECT_EQ(o.out, kKT20 + kChip0 + "AT29C010   \n" + k128 + data_line(131072));
  EXPECT_EQ(o.geometry.total, 131072u);
  EXPECT_EQ(o.geometry.sector, 128);
  EXPECT_EQ(o.geometry.start_address, 0xE0000u);
  EXPECT_EQ(o.geometry.sector_count, 1024);
}

TEST(Geometry, TwoEqualChipsDoubleSizeAndSector) {
  Outcome o = geometry(0x04, k010, k010, 4096);
  EXPECT_FALSE(o.ended);
  EXPECT_EQ(o.out, "\nСтанция класса:    KT57/83\n" + kChip0 + "AT29C010   \n" + kChip1 +
                       "AT29C010   \n" + "Общий объем FLASH: 256 Кб (262144 байт)\n" +
                       data_line(4096));
  EXPECT_EQ(o.geometry.sector, 256);
  EXPECT_EQ(o.geometry.sector_count, 16);
}

TEST(Geometry, ClassNamesAndChipNames) {
  EXPECT_TRUE(contains(geometry(0x08, k010, kNone, 128).out, "класса:    DV20R\n"));
  EXPECT_TRUE(contains(geometry(0x0F, k010, k010, 256).out, "класса:    DP57\n"));
  Outcome sst = geometry(0x00, {0xBF, 0x07, 0x02, 0xFE}, kNone, 128);
  EXPECT_TRUE(contains(sst.out, kChip0 + "SST29EE010 \n"));
  Outcome unknown = geometry(0x00, {0x12, 0x34, 0x02, 0xFE}, kNone, 128);
  EXPECT_TRUE(contains(unknown.out, kChip0 + "UNKNOWN    \n"));
}

TEST(Geometry, MissingChips) {
  Outcome alone = geometry(0x00, kNone, kNone, 128);
  EXPECT_EQ(alone.ended, 255);
  EXPECT_EQ(alone.out, kKT20 + kChip0 + "Bad!\n");

  // With a second chip announced, both lines print before the run ends.
  Outcome second = geometry(0x04, k010, kNone, 128);
  EXPECT_EQ(second.ended, 255);
  EXPECT_EQ(second.out,
            "\nСтанция класса:    KT57/83\n" + kChip0 + "AT29C010   \n" + kChip1 + "Bad!\n");
  Outcome first = geometry(0x04, kNone, k010, 128);
  EXPECT_EQ(first.ended, 255);
  EXPECT_TRUE(contains(first.out, kChip0 + "Bad!\n" + kChip1 + "AT29C010   \n"));
}

TEST(Geometry, DifferentChips) {
  Outcome o = geometry(0x04, k010, k020, 128);
  EXPECT_EQ(o.ended, 255);
  EXPECT_TRUE(contains(o.out, kChip0 + "AT29C010   \n" + kChip1 + "AT29C020   \n" +
                                  "FLASH_0 и FLASH_1 не одинаковы!\n\n"));
}

TEST(Geometry, StartAddressBounds) {
  const std::string outside = "\nНачальный адрес загрузки за пределами FLASH!\n\n";
  EXPECT_FALSE(geometry(0x00, k010, kNone, 128, 0xE0000).ended);
  Outcome top = geometry(0x00, k010, kNone, 128, 0x100000);
  EXPECT_EQ(top.ended, 255);
  EXPECT_EQ(top.out, kKT20 + kChip0 + "AT29C010   \n" + k128 + data_line(128) + outside);
  EXPECT_TRUE(ends_with(geometry(0x00, k010, kNone, 128, 0xDFF80).out, outside));
}

TEST(Geometry, DataLengthAgainstTheTotal) {
  EXPECT_FALSE(geometry(0x00, k010, kNone, 131072).ended);
  Outcome over = geometry(0x00, k010, kNone, 131073);
  EXPECT_EQ(over.ended, 255);
  EXPECT_EQ(over.out, kKT20 + kChip0 + "AT29C010   \n" + k128 + data_line(131073) +
                          "\nФайл слишком большой!\n\n");
}

TEST(Geometry, SectorSizeConflicts) {
  const std::string conflict = "\nКонфликт с размером сектора!\n\n";
  Outcome odd = geometry(0x00, {0x1F, 0xD5, 0x03, 0xFE}, kNone, 192);  // 192-byte sectors
  EXPECT_EQ(odd.ended, 255);
  EXPECT_TRUE(ends_with(odd.out, conflict)) << odd.out;
  Outcome zero = geometry(0x00, {0x1F, 0xD5, 0x00, 0xFE}, kNone, 128);  // present, no sectors
  EXPECT_EQ(zero.ended, 255);
  EXPECT_TRUE(ends_with(zero.out, conflict)) << zero.out;
}

TEST(Geometry, AutomaticAddressNeedsWholeSectors) {
  Outcome o = geometry(0x00, k010, kNone, 1000);
  EXPECT_EQ(o.ended, 255);
  EXPECT_TRUE(
      contains(o.out, data_line(1000) + "\nНачальный адрес загрузки не в начале сектора!\n\n"));
}

TEST(Geometry, ExplicitAddressPadsToWholeSectors) {
  Outcome o = geometry(0x00, k010, kNone, 1000, 0xE0000);
  EXPECT_FALSE(o.ended);
  EXPECT_EQ(o.length, 1024u);
  EXPECT_EQ(o.geometry.data_length, 1024u);
  EXPECT_EQ(o.geometry.sector_count, 8);
  EXPECT_EQ(o.data[999], 0x5A);
  for (uint32_t i = 1000; i < 1024; ++i) EXPECT_EQ(o.data[i], 0xFF) << i;
  EXPECT_EQ(o.data[1024], 0x00);
  EXPECT_TRUE(contains(o.out, data_line(1000))) << "the size as loaded";
}

TEST(Geometry, ExplicitAddressMustNotRunPastTheTopOfTheSpace) {
  // 200 bytes at the last 128-byte sector pad to 256 and would end past 0x100000.
  Outcome o = geometry(0x00, k010, kNone, 200, 0xFFF80);
  EXPECT_EQ(o.ended, 255);
  EXPECT_TRUE(contains(o.out, "\nФайл слишком большой!\n\n"));
  EXPECT_FALSE(geometry(0x00, k010, kNone, 128, 0xFFF80).ended);
  EXPECT_EQ(geometry(0x00, k010, kNone, 129, 0xFFF80).ended, 255)
      << "one byte into a second sector";
}

TEST(Geometry, FileThatPlacesItsDataIsLoadedFromItsLowestAddressSector) {
  const std::string outside = "\nНачальный адрес загрузки за пределами FLASH!\n\n";
  const std::string too_large = "\nФайл слишком большой!\n\n";
  const std::string conflict = "\nКонфликт с размером сектора!\n\n";
  const ChipDescriptor k192{0x1F, 0xD5, 0x03, 0xFE};
  const struct Case {
    ChipDescriptor chip;
    uint32_t low;
    uint32_t length;
    uint32_t start;  // 0: the run ends
    uint32_t lead;   // erased bytes before the data
    std::string end;
  } cases[] = {
      {k010, 0xE0000, 1000, 0xE0000, 0, ""},         {k010, 0xE0010, 1000, 0xE0000, 16, ""},
      {k010, 0xFFF90, 100, 0xFFF80, 16, ""},  // ends exactly at the top
      {k010, 0xDFFF0, 100, 0, 0, outside},           {k010, 0xE0010, 131072 - 16, 0xE0000, 16, ""},
      {k010, 0xE0010, 131072 - 15, 0, 0, too_large},  // the lead counts
      {k192, 0xDFFF0, 100, 0, 0, conflict},           // before the start is known
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.low);
    Outcome o = geometry(0x00, c.chip, kNone, c.length, 0xE0000, c.low);
    EXPECT_TRUE(contains(o.out, data_line(c.length))) << "the size as loaded";
    if (c.start == 0) {
      EXPECT_EQ(o.ended, 255);
      EXPECT_TRUE(ends_with(o.out, c.end)) << o.out;
      continue;
    }
    ASSERT_FALSE(o.ended) << o.out;
    EXPECT_EQ(o.geometry.start_address, c.start) << "not the -a: given";
    const uint32_t padded = (c.lead + c.length + 127) / 128 * 128;
    EXPECT_EQ(o.length, padded);
    EXPECT_EQ(o.geometry.sector_count, padded / 128);
    for (uint32_t i = 0; i < padded; ++i) {
      const bool data = i >= c.lead && i < c.lead + c.length;
      ASSERT_EQ(o.data[i], data ? 0x5A : 0xFF) << i;
    }
  }
}

TEST(Geometry, SizeCodesOfBothChipsCountWithoutTheSecondChipFlag) {
  Outcome o = geometry(0x00, k010, k010, 256);
  EXPECT_FALSE(o.ended);
  EXPECT_EQ(o.geometry.total, 262144u);
  EXPECT_EQ(o.geometry.sector, 256);
  EXPECT_FALSE(contains(o.out, kChip1));
}

}  // namespace
}  // namespace travek
