// The real binary against station-sim over a pseudo-terminal.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using testing_support::contains;
using testing_support::count_of;
using testing_support::kPressKey;

using e2e::ChildResult;
using e2e::json_field;
using e2e::StationSim;
using testing_support::TempFile;

ChildResult tool(const StationSim& sim, std::vector<std::string> args, std::string input = "",
                 int timeout_ms = 120000) {
  args.insert(args.begin(), "-port:" + sim.port());
  e2e::ChildOptions options;
  options.input = std::move(input);
  options.timeout_ms = timeout_ms;
  return e2e::run_child(TRAVEK32_PATH, args, options);
}

TEST(ToolE2e, SendOnlyModeStartsTheResident) {
  StationSim sim({"--clock", "11", "--expect", "resident"});
  ASSERT_FALSE(sim.port().empty());
  TempFile resident(testing_support::builtin_image());
  ChildResult r = tool(sim, {"-s", resident.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nПорт " + sim.port() + ": Ожидание СТАРТА станции"));
  EXPECT_TRUE(contains(r.out, "Ok! FQ: 11mHz\nЗасылаем резидента... T= "));
  EXPECT_TRUE(contains(r.out, " ms, Резидент: Старт - Ok!\n" + kPressKey));

  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 0) << s.out << s.err;
  EXPECT_EQ(json_field(sim.verdict(), "clean"), "true") << sim.verdict();
  EXPECT_EQ(json_field(sim.verdict(), "divisor"), "5");
  EXPECT_EQ(json_field(sim.verdict(), "handshake"), "true");
}

TEST(ToolE2e, WrongEchoEndsTheRunWithTheCommunicationError) {
  StationSim sim({"--echo-wrong", "700", "--expect", "resident"});
  TempFile resident(testing_support::builtin_image());
  ChildResult r = tool(sim, {"-s", resident.path()});
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(
      r.out, "Засылаем резидента...\nОшибка связи при загрузке резидента!\n\n" + kPressKey));
  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 1) << "the session never reached the resident";
  EXPECT_EQ(json_field(sim.verdict(), "clean"), "true") << sim.verdict();
}

// The field: a station that answers late, one that stops reading, a port
// that goes away.
TEST(FieldE2e, HandshakeAnsweredAfter30MillisecondsIsNoSilence) {
  StationSim sim({"--u-delay", "30", "--expect", "resident"});
  TempFile resident(testing_support::builtin_image());
  ChildResult r = tool(sim, {"-s", resident.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, " ms, Резидент: Старт - Ok!\n" + kPressKey));
  sim.finish();
  EXPECT_EQ(json_field(sim.verdict(), "clean"), "true") << sim.verdict();
}

TEST(FieldE2e, StationThatStopsReadingMidLoadEndsTheRun) {
  // It goes on granting credit, so the tool writes until the line takes no
  // more; that write runs out of time.
  StationSim sim({"--stall-after", "20000"});
  std::vector<uint8_t> image(524288);
  std::mt19937 rng(5);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  TempFile random(image);
  ChildResult r = tool(sim, {random.path()}, "", 15000);
  EXPECT_FALSE(r.timed_out) << r.out;
  EXPECT_EQ(r.status, 255) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nРезидент не приглашает!\n\n" + kPressKey));
}

TEST(FieldE2e, PortLostInTheStartWaitIsWaitedOutAsleepAndEscStillEnds) {
  auto sim = std::make_unique<StationSim>(std::vector<std::string>{"--boot-delay", "1000000"});
  TempFile file(std::vector<uint8_t>(4096, 0x33));
  e2e::RunningChild travek(TRAVEK32_PATH, {"-port:" + sim->port(), file.path()});
  ASSERT_TRUE(travek.wait_for_output("Ожидание СТАРТА", 10000)) << travek.out();
  sim.reset();  // the station's end of the line closes: the port hangs up
  // Two seconds on the lost port: spinning there would burn most of them.
  usleep(2000000);
  travek.send_input("\x1b");
  travek.close_input();
  ChildResult r = travek.finish(10000);
  EXPECT_EQ(r.status, 255) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\n\nЗагрузка отменена оператором\n" + kPressKey));
  EXPECT_EQ(count_of(r.err, ": the device has gone away\n"), 1u) << r.err;
  EXPECT_LT(r.cpu_s, 0.5);
}

}  // namespace

namespace {

using Bytes = std::vector<uint8_t>;

// Random pages, runs of 0xFF and of zeros, pages of one repeated word, and
// pages that differ from a repeated word in their last byte only.
Bytes mixed_image(size_t size) {
  std::mt19937 rng(7);
  Bytes image(size);
  for (size_t page = 0; page < size / 64; ++page) {
    uint8_t* p = &image[page * 64];
    switch (rng() % 5) {
      case 0:
        std::fill(p, p + 64, 0xFF);
        break;
      case 1:
        std::fill(p, p + 64, 0x00);
        break;
      case 2:
      case 3: {
        uint8_t lo = static_cast<uint8_t>(rng()), hi = static_cast<uint8_t>(rng());
        for (int i = 0; i < 64; i += 2) p[i] = lo, p[i + 1] = hi;
        if (rng() % 2) p[63] ^= 0x01;
        break;
      }
      default:
        for (int i = 0; i < 64; ++i) p[i] = static_cast<uint8_t>(rng());
    }
  }
  return image;
}

Bytes read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), {});
}

class LoadE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/travek-flash-XXXXXX";
    close(mkstemp(pattern));
    flash_path_ = pattern;
  }
  void TearDown() override { std::remove(flash_path_.c_str()); }
  std::string flash_path_;
};

// The whole machine held up (a stalled virtual machine, here both stopped)
// while the tool waits for a report: resumed first, the tool does not take
// the hold-up for the station's silence, and the load goes on.
TEST_F(LoadE2e, MachineHeldUpMidLoadIsNotTheStationsSilence) {
  StationSim sim({"--flash-out", flash_path_, "--sector-ms", "20"});
  Bytes image = mixed_image(65536);
  TempFile file(image);
  e2e::RunningChild travek(TRAVEK32_PATH, {"-y", "-port:" + sim.port(), file.path()});
  ASSERT_TRUE(travek.wait_for_output("Загрузка FLASH:", 20000)) << travek.out();
  // Held where the tool waits on the line (ppoll), not elsewhere.
  const auto in_wait = [&] {
    // A stop takes effect when the process next runs: wait for it.
    const std::string stat = "/proc/" + std::to_string(travek.pid()) + "/stat";
    for (int i = 0; i < 1000; ++i) {
      std::ifstream in(stat);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      const size_t name_end = text.rfind(')');
      if (name_end != std::string::npos && text.substr(name_end + 2, 1) == "T") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::ifstream call("/proc/" + std::to_string(travek.pid()) + "/syscall");
    long number = -1;
    call >> number;
    return number == SYS_ppoll;
  };
  bool held = false;
  // Up to 10 s of tries: on a loaded machine the tool is not always in its
  // wait when it is stopped.
  for (int attempt = 0; attempt < 2000 && !held; ++attempt) {
    kill(sim.pid(), SIGSTOP);
    kill(travek.pid(), SIGSTOP);
    held = in_wait();
    if (!held) {
      kill(travek.pid(), SIGCONT);
      kill(sim.pid(), SIGCONT);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));  // let the load go on a little
    }
  }
  ASSERT_TRUE(held);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the hold-up itself
  // Both go on at once, the tool first: without the hold-up added back, the
  // tool would look once more before the station has caught up and give up.
  kill(travek.pid(), SIGCONT);
  kill(sim.pid(), SIGCONT);
  travek.close_input();
  ChildResult r = travek.finish(30000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(contains(r.out, "Резидент не приглашает"));
  EXPECT_EQ(sim.finish().status, 0) << sim.verdict();
  const Bytes flash = read_all(flash_path_);
  EXPECT_TRUE(flash.size() >= image.size() &&
              std::equal(image.begin(), image.end(), flash.end() - 65536));
}

TEST_F(LoadE2e, MixedHalfMegabyteImageIsFlashedByteForByte) {
  StationSim sim({"--flash-out", flash_path_, "--expect", "restart", "--sector-ms", "1"});
  Bytes image = mixed_image(524288);
  TempFile file(image);
  e2e::RunningChild travek(TRAVEK32_PATH, {"-port:" + sim.port(), file.path()});
  ASSERT_TRUE(travek.wait_for_output("ПЕРЕМЫЧКУ", 60000)) << travek.out();
  travek.send_input("\r");
  travek.close_input();  // and no key for the final prompt
  ChildResult r = travek.finish(30000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out,
                       "Тип FLASH_0:       AT29C040   \nОбщий объем FLASH: 512 Кб (524288 байт)\n"
                       "Объем загружаемых данных:  524288 байт\n\nЗагрузка FLASH:   0%\b"));
  EXPECT_TRUE(contains(r.out, "\b\b\b100%  T= ")) << "no colour codes on a pipe";
  EXPECT_TRUE(contains(r.out, "\nПопытка рестарта станции... " + kPressKey));

  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 0) << s.out << s.err;
  EXPECT_EQ(json_field(sim.verdict(), "clean"), "true") << sim.verdict();
  EXPECT_EQ(json_field(sim.verdict(), "sectors_written"), "2048");
  EXPECT_NE(json_field(sim.verdict(), "pages_fill"), "0");
  EXPECT_TRUE(read_all(flash_path_) == image) << "the flash differs from the image";
}

TEST_F(LoadE2e, OutputReaderThatGoesAwayDoesNotCutTheLoadShort) {
  StationSim sim({"--flash-out", flash_path_, "--sector-ms", "5"});
  Bytes image = mixed_image(65536);
  TempFile file(image);
  e2e::RunningChild travek(TRAVEK32_PATH, {"-port:" + sim.port(), file.path()});
  travek.close_input();  // the end of input answers the prompt with Esc
  ASSERT_TRUE(travek.wait_for_output("Загрузка FLASH:", 20000)) << travek.out();
  travek.close_output();  // as `| head` or a killed `| tee` leaves it
  ChildResult r = travek.finish(30000);
  EXPECT_EQ(r.status, 0) << r.err;
  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 0) << sim.verdict();
  Bytes flash = read_all(flash_path_);
  ASSERT_EQ(flash.size(), 524288u);
  EXPECT_TRUE(Bytes(flash.end() - 65536, flash.end()) == image);
}

TEST_F(LoadE2e, TwoChipsMakeOneFlash) {
  StationSim sim({"--flash-out", flash_path_, "--flags", "4", "--chip0", "1F:DA:04:FC", "--chip1",
                  "1F:DA:04:FC"});
  Bytes image = mixed_image(65536);
  TempFile file(image);
  ChildResult r = tool(sim, {file.path()});  // end of input answers the prompt with Esc
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out,
                       "\nСтанция класса:    KT57/83\nТип FLASH_0:       AT29C020   \n"
                       "Тип FLASH_1:       AT29C020   \n"
                       "Общий объем FLASH: 512 Кб (524288 байт)\n"));
  EXPECT_FALSE(contains(r.out, "Попытка рестарта"));
  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 0) << s.out;
  Bytes flash = read_all(flash_path_);
  ASSERT_EQ(flash.size(), 524288u);
  EXPECT_TRUE(Bytes(flash.end() - 65536, flash.end()) == image);
  EXPECT_EQ(json_field(sim.verdict(), "sectors_written"), "128");  // 512-byte sectors
}

TEST_F(LoadE2e, ExplicitStartAddressPadsTheLastSector) {
  StationSim sim({"--flash-out", flash_path_, "--chip0", "1F:D5:02:FE"});
  Bytes image = mixed_image(1000);
  TempFile file(image);
  ChildResult r = tool(sim, {"-a:0xE1000", file.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 0) << s.out;
  EXPECT_EQ(json_field(sim.verdict(), "start_page"), std::to_string(0xE1000 / 64));
  Bytes flash = read_all(flash_path_);
  ASSERT_EQ(flash.size(), 131072u);
  const size_t at = 0xE1000 - 0xE0000;
  EXPECT_TRUE(Bytes(flash.begin() + at, flash.begin() + at + 1000) == image);
  EXPECT_TRUE(Bytes(flash.begin() + at + 1000, flash.begin() + at + 1024) == Bytes(24, 0xFF));
}

TEST_F(LoadE2e, SectorFailureEndsTheRun) {
  StationSim sim({"--fail-sector", "3"});
  TempFile file(mixed_image(8192));
  ChildResult r = tool(sim, {file.path()});
  EXPECT_EQ(r.status, 255);
  // Four sectors counted, the failed one among them; whether the light's
  // redraw waited depends on the wall clock, not checked here.
  EXPECT_TRUE(contains(r.out, "\b\b\b  3\b\b\b  6\b\b\b  9\b\b\b 12%"));
  EXPECT_TRUE(contains(r.out, "\nОшибка записи FLASH!\n\n" + kPressKey));
  sim.finish();
  EXPECT_EQ(json_field(sim.verdict(), "sectors_written"), "3");
}

}  // namespace
