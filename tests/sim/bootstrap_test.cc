// The bootstrap on the virtual-time line against the station model: start
// detection, the echoed transfer and the handshake, with their exact timing.
#include <gtest/gtest.h>

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

const std::string kWaiting = "\nПорт COM2: Ожидание СТАРТА станции, (\"Esc\"- выход)\n\n";

// Runs the tool in send-only mode on an image file.
int send_only(VirtualLine& line, const Bytes& image) {
  TempFile file(image);
  return line.run_tool({"-s", file.path()});
}

struct ClassCase {
  ClockSpec clock;
  const char* line;
  int divisor;
  uint32_t operating_rate;
};

TEST(Bootstrap, SendOnlyModeForEachClockClass) {
  const ClassCase cases[] = {
      {kClock10MHz, "Ok! FQ: 10mHz\n", 10, 57600},
      {kClock12MHz, "Ok! FQ: 12mHz\n", 12, 57600},
      {kClock11MHz, "Ok! FQ: 11mHz\n", 5, 115200},
  };
  for (const ClassCase& c : cases) {
    StationConfig config;
    config.clock = c.clock;
    VirtualLine line(config);
    EXPECT_EQ(send_only(line, testing_support::builtin_image()), 0) << line.output();
    const std::string& out = line.output();
    size_t waiting = out.find(kWaiting);
    size_t clock = out.find(c.line);
    ASSERT_NE(waiting, std::string::npos) << out;
    ASSERT_NE(clock, std::string::npos) << out;
    // The spinner turns in place between the two lines, starting at '-'.
    std::string spinner = out.substr(waiting + kWaiting.size(), clock - waiting - kWaiting.size());
    ASSERT_GE(spinner.size(), 2u);
    EXPECT_EQ(spinner.substr(0, 2), "-\b");
    EXPECT_TRUE(contains(out, " ms, Резидент: Старт - Ok!\n" + kPressKey));
    EXPECT_TRUE(contains(out, "\nЗасылаем резидента... T= "));

    Verdict v = line.verdict();
    EXPECT_TRUE(v.clean()) << violations(v);
    EXPECT_TRUE(v.handshake);
    EXPECT_EQ(v.divisor, c.divisor);
    // Body at the boot rate with two stop bits, 'U' at the operating rate.
    const std::vector<PcWrite>& writes = line.writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes.size(), 1101u);
    EXPECT_EQ(writes[1].bytes.size(), 1u);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(writes[i].side.rate, c.clock.boot_rate);
      EXPECT_EQ(writes[i].side.stop_bits, 2);
    }
    EXPECT_EQ(writes[2].bytes, Bytes{0x55});
    EXPECT_TRUE(writes[2].priority);
    EXPECT_EQ(writes[2].side.rate, c.operating_rate);
    EXPECT_EQ(writes[2].side.stop_bits, 1);
  }
}

TEST(Bootstrap, TransferTimeIsTheLineTimeOfTheBody) {
  VirtualLine line;
  ASSERT_EQ(send_only(line, testing_support::builtin_image()), 0);
  const std::string& out = line.output();
  size_t at = out.find(" T= ");
  ASSERT_NE(at, std::string::npos) << out;
  unsigned shown = static_cast<unsigned>(std::stoul(out.substr(at + 4)));
  // 1102 frames of 11 bits at 9600 bit/s, and after each of the two writes
  // the echo of its last byte: sampled 10.56 bits after its own start, which
  // follows the station's sampling of the byte sent, 10.56 bits after that
  // byte began. The clock counts whole milliseconds.
  const double bit_ms = 1000.0 / 9600;
  double expected = 1102 * 11 * bit_ms + 2 * (2 * 10.5625 - 11) * bit_ms;
  EXPECT_NEAR(shown, expected, 1.0) << out;
}

TEST(Bootstrap, HandshakeReplyMustArriveWithin100Milliseconds) {
  // The 'U' and its answer each take a frame (174 us out, 176 us back at
  // 10 MHz / 176); the resident answers after the configured delay.
  for (double delay_ms : {99.6, 99.7}) {
    StationConfig config;
    config.handshake_delay_ms = delay_ms;
    VirtualLine line(config);
    int status = send_only(line, testing_support::builtin_image());
    double sent_at = line.writes().back().at_ms;
    if (delay_ms < 99.65) {
      EXPECT_EQ(status, 0) << line.output();
    } else {
      EXPECT_EQ(status, 255);
      EXPECT_TRUE(contains(line.output(), "Резидент: молчит!\n\n" + kPressKey));
      EXPECT_DOUBLE_EQ(written_at(line, "молчит!"), sent_at + 100);
    }
  }
}

TEST(Bootstrap, WrongHandshakeAnswer) {
  StationConfig config;
  config.faults.handshake_answer = 0xAA;
  VirtualLine line(config);
  EXPECT_EQ(send_only(line, testing_support::builtin_image()), 255);
  EXPECT_TRUE(contains(line.output(), "Резидент: плохой ответ!\n\n" + kPressKey));
}

TEST(Bootstrap, MissingLastEchoFailsAfter120Milliseconds) {
  StationConfig config;
  config.faults.echo_missing_at = 1101;
  VirtualLine line(config);
  EXPECT_EQ(send_only(line, testing_support::builtin_image()), 255);
  EXPECT_TRUE(
      contains(line.output(), "Засылаем резидента...\nСтанция не отвечает!\n\n" + kPressKey));
  EXPECT_DOUBLE_EQ(written_at(line, "Станция не отвечает!"), line.writes().back().done_ms + 120);
}

TEST(Bootstrap, CorruptedEchoIsACommunicationError) {
  StationConfig config;
  config.faults.echo_wrong_at = 300;
  VirtualLine line(config);
  EXPECT_EQ(send_only(line, testing_support::builtin_image()), 255);
  EXPECT_TRUE(
      contains(line.output(),
               "Засылаем резидента...\nОшибка связи при загрузке резидента!\n\n" + kPressKey));
  EXPECT_EQ(line.writes().size(), 1u) << "the last byte is never sent";
}

TEST(Bootstrap, LongestBodyGoesOutInThreeChunks) {
  Bytes image = testing_support::make_image(3014);
  StationConfig config;
  config.resident = image;
  VirtualLine line(config);
  EXPECT_EQ(send_only(line, image), 0) << line.output();
  const std::vector<PcWrite>& writes = line.writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].bytes.size(), 1632u);
  EXPECT_EQ(writes[1].bytes.size(), 1381u);
  EXPECT_EQ(writes[2].bytes.size(), 1u);
  EXPECT_TRUE(line.verdict().clean()) << violations(line.verdict());
}

TEST(Bootstrap, BadImageFailsBeforeTheWait) {
  {
    Bytes image = testing_support::builtin_image();
    image[1111] ^= 0x80;
    VirtualLine line;
    EXPECT_EQ(send_only(line, image), 255);
    EXPECT_FALSE(contains(line.output(), "Ожидание"));
    EXPECT_TRUE(contains(line.output(), "\nПлохая CRC резидента\n\n" + kPressKey));
    EXPECT_TRUE(line.writes().empty());
  }
  VirtualLine tiny;
  // A one-byte body; its marker lies in the file's tail, past the image.
  const Bytes image = testing_support::make_image(1, 0xFFFE, 20);
  Bytes one_byte(40, 0);
  std::copy(image.begin(), image.end(), one_byte.begin());
  one_byte[26] = 0x40;
  EXPECT_EQ(send_only(tiny, one_byte), 255);
  EXPECT_TRUE(contains(tiny.output(), "\nПлохой код резидента\n\n" + kPressKey));
  EXPECT_FALSE(contains(tiny.output(), "Ожидание"));
}

TEST(Bootstrap, ByteFollowedWithinFiveMillisecondsIsNoStartByte) {
  StationConfig config;
  config.start_repeat_ms = 300;
  config.faults.second_start_after_ms = 4;
  VirtualLine line(config);
  EXPECT_EQ(send_only(line, testing_support::builtin_image()), 0) << line.output();
  // RTS drops 6 ms into the reset pulse and the boot loader sends 20 ms
  // later; that first start byte has another 4 ms behind it. The repeat 300 ms
  // later stands alone: the PC has it 9.5625 bit times after it began and
  // then waits 5 ms of silence.
  const double first_start = 26;
  double expected = first_start + 300 + 9.5625 * 1000 / 9600 + 5;
  EXPECT_NEAR(written_at(line, "FQ: 10mHz"), expected, 1e-6);
  EXPECT_EQ(line.verdict().start_bytes, 2);
}

TEST(Bootstrap, LineErrorDuringTheWaitRepulses) {
  for (LineFault fault : {LineFault::kFraming, LineFault::kBreak}) {
    StationConfig config;
    config.faults.start_line_fault = fault;
    VirtualLine line(config);
    EXPECT_EQ(send_only(line, testing_support::builtin_image()), 0) << line.output();
    EXPECT_EQ(line.rts_pulses(), 2);
    EXPECT_EQ(line.verdict().resets, 2);
    EXPECT_FALSE(contains(line.output(), "не наш клиент")) << "not classified";
  }
}

TEST(Bootstrap, UnknownLoneByteIsReportedAndWaitingGoesOn) {
  StationConfig config;
  config.faults.stray_byte = 0x3F;
  VirtualLine line(config);
  EXPECT_EQ(send_only(line, testing_support::builtin_image()), 0) << line.output();
  const std::string& out = line.output();
  size_t stray = out.find("Принято: 0x3f - не наш клиент!\n");
  ASSERT_NE(stray, std::string::npos) << out;
  EXPECT_LT(stray, out.find("Ok! FQ: 10mHz\n"));
  EXPECT_EQ(out.find(kWaiting, out.find(kWaiting) + 1), std::string::npos) << "not repeated";
  // The spinner starts again from '-' after the report.
  EXPECT_EQ(out.substr(stray + std::string("Принято: 0x3f - не наш клиент!\n").size(), 2), "-\b");
}

TEST(Bootstrap, EscCancelsAfterTheKeysTypedBeforeIt) {
  StationConfig config;
  config.boot_delay_ms = 1e9;  // a station that never starts
  VirtualLine line(config);
  line.press(0, 'a');
  line.press(0, 'b');
  line.press(0, travek::KEY_ESC);
  EXPECT_EQ(send_only(line, testing_support::builtin_image()), 255);
  const std::string& out = line.output();
  EXPECT_TRUE(contains(out, kWaiting + "-\b\\\b\n\nЗагрузка отменена оператором\n" + kPressKey));
  // One key a step: the reset pulse takes just over 10 ms, then two steps of 100 ms.
  EXPECT_DOUBLE_EQ(written_at(line, "отменена"), 212);
}

}  // namespace
}  // namespace sim
