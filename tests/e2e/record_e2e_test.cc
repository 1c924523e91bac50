// Scripted and recorded runs of the real binary: the -json event stream, the
// -log: record, -y, each checked against what the console run of the same
// case shows.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "event_lines.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using e2e::ChildResult;
using e2e::json_lines;
using e2e::random_image;
using e2e::read_text;
using e2e::StationSim;
using nlohmann::json;
using testing_support::Bytes;
using testing_support::contains;
using testing_support::TempFile;

class RecordE2e : public ::testing::Test {
 protected:
  static ChildResult tool(std::vector<std::string> args, const std::string& input = "") {
    e2e::ChildOptions options;
    options.input = input;
    options.timeout_ms = 60000;
    return e2e::run_child(TRAVEK32_PATH, args, options);
  }

  e2e::TempFolder folder_{"record"};
  const std::string dir_ = folder_.path();
  const std::string log_ = dir_ + "/runs.jsonl";
};

// A failure of each kind, once on the console and once recorded: the end
// event and the log record name it, carry the console's text and status.
TEST_F(RecordE2e, EachFailureIsRecordedAsTheConsoleShowsIt) {
  TempFile image(random_image(8192));
  TempFile large(random_image(262144));
  TempFile odd(random_image(1000));
  TempFile empty(Bytes{});
  TempFile bad_hex(Bytes{':', '0', '0', '0', '0', '0', '0', '0', '1', 'F', 'E', '\n'});
  Bytes broken = testing_support::builtin_image();
  broken[20] ^= 0x01;
  TempFile bad_resident(broken);
  struct Case {
    std::vector<std::string> sim;  // empty: no station
    std::vector<std::string> args;
    std::string input;
    std::string result;
    std::string message;
  } cases[] = {
      {{"--echo-wrong", "700"},
       {image.path()},
       "",
       "resident-comm-error",
       "Ошибка связи при загрузке резидента!"},
      {{"--echo-missing", "5"}, {image.path()}, "", "station-no-response", "Станция не отвечает!"},
      {{"--no-u-answer"}, {image.path()}, "", "handshake-silent", "молчит!"},
      {{"--u-answer", "41"}, {image.path()}, "", "handshake-bad-answer", "плохой ответ!"},
      {{"--packet", "short"}, {image.path()}, "", "no-packet", "Нет пакета!"},
      {{"--packet", "wrong-code"}, {image.path()}, "", "not-packet", "Не пакет!"},
      {{"--packet", "bad-crc"}, {image.path()}, "", "packet-failure", "Сбой при приеме пакета!"},
      {{"--chip0", "00:00:00:00"}, {image.path()}, "", "chip-missing", "Тип FLASH_0:       Bad!"},
      {{"--flags", "4", "--chip1", "1F:DA:04:FC"},
       {image.path()},
       "",
       "chips-differ",
       "FLASH_0 и FLASH_1 не одинаковы!"},
      {{},
       {"-a:0x10", image.path()},
       "",
       "start-outside-flash",
       "Начальный адрес загрузки за пределами FLASH!"},
      {{},
       {odd.path()},
       "",
       "start-not-sector-start",
       "Начальный адрес загрузки не в начале сектора!"},
      {{"--chip0", "1F:D5:02:FE"}, {large.path()}, "", "file-too-large", "Файл слишком большой!"},
      {{"--chip0", "1F:D5:03:FE"},
       {image.path()},
       "",
       "sector-size-conflict",
       "Конфликт с размером сектора!"},
      {{"--fail-sector", "2"}, {image.path()}, "", "flash-write-error", "Ошибка записи FLASH!"},
      {{"--broken-report", "1"},
       {image.path()},
       "",
       "flash-comm-error",
       "Ошибка связи при загрузке FLASH!"},
      {{"--silent-after", "3000"},
       {image.path()},
       "",
       "resident-not-inviting",
       "Резидент не приглашает!"},
      {{"--boot-delay", "100000"},
       {image.path()},
       "\x1b",
       "cancelled",
       "Загрузка отменена оператором"},
      {{},
       {"-o:8192", image.path()},
       "",
       "offset-not-below-size",
       "Смещение больше или равно длине файла!"},
      {{}, {empty.path()}, "", "bad-load-size", "Плохой размер загружаемой части файла!"},
      {{},
       {bad_hex.path()},
       "",
       "format-error",
       "Ошибка формата файла, строка 1: неверная контрольная сумма"},
      {{}, {"-s", bad_resident.path()}, "", "bad-resident-crc", "Плохая CRC резидента"},
      {{},
       {"-port:/dev/travek-no-such-port", image.path()},
       "",
       "port-unavailable",
       "Недоступен или неисправен порт: /dev/travek-no-such-port\n"
       "- возможно захвачен другой программой"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    ChildResult runs[2];
    for (int recorded = 0; recorded < 2; ++recorded) {
      // A station for each run; the runs that end before the station is
      // reached still need a port to open.
      std::vector<std::string> sim_args = c.sim;
      sim_args.insert(sim_args.end(), {"--expect", "resident"});
      StationSim sim(sim_args);
      std::vector<std::string> args = {"-port:" + sim.port()};
      if (recorded) args.insert(args.end(), {"-json", "-log:" + log_});
      args.insert(args.end(), c.args.begin(), c.args.end());
      runs[recorded] = tool(args, c.input);
    }
    const ChildResult& console = runs[0];
    const ChildResult& recorded = runs[1];
    EXPECT_TRUE(contains(console.out, c.message));
    std::vector<json> events = json_lines(recorded.out);
    ASSERT_FALSE(events.empty()) << recorded.out;
    const json& end = events.back();
    EXPECT_EQ(end["event"], "end");
    EXPECT_EQ(end["result"], c.result);
    EXPECT_EQ(end["message"], c.message);
    EXPECT_EQ(end["status"], console.status);
    EXPECT_EQ(recorded.status, console.status);
    EXPECT_EQ(console.status, 255);
    std::vector<json> records = json_lines(read_text(log_));
    ASSERT_FALSE(records.empty());
    json last = records.back();
    json end_fields = end;
    end_fields.erase("event");
    EXPECT_EQ(last, end_fields) << "the log and the end event differ";
  }
  EXPECT_EQ(json_lines(read_text(log_)).size(), std::size(cases));
}

TEST_F(RecordE2e, FullLoadWithEventsNeedsNoOperator) {
  char flash[] = "/tmp/travek-record-flash-XXXXXX";
  close(mkstemp(flash));
  StationSim sim({"--clock", "12", "--warn-sectors", "5,6", "--flash-out", flash, "--expect",
                  "restart", "--sector-ms", "1"});
  Bytes image = random_image(65536);
  TempFile file(image);
  // A program drives it: Enter once the jumper event is read.
  e2e::RunningChild travek(TRAVEK32_PATH, {"-json", "-port:" + sim.port(), file.path()});
  ASSERT_TRUE(travek.wait_for_output("\"event\":\"jumper\"", 60000)) << travek.out();
  travek.send_input("\r");
  ChildResult r = travek.finish(20000);  // stdin left open: no key is waited for at the end
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<json> events = json_lines(r.out);
  std::vector<std::string> order;
  int last_percent = 0;
  std::vector<int> warned;
  for (const json& e : events) {
    const std::string name = e["event"];
    if (name == "progress") {
      EXPECT_GT(e["percent"], last_percent);
      last_percent = e["percent"];
    } else if (name == "warning") {
      warned.push_back(e["sector"]);
    } else {
      order.push_back(name);
    }
  }
  EXPECT_EQ(last_percent, 100);
  EXPECT_EQ(warned, (std::vector<int>{5, 6}));
  EXPECT_EQ(order, (std::vector<std::string>{"start", "waiting", "clock", "resident", "station",
                                             "loaded", "jumper", "restart", "end"}));
  const json& end = events.back();
  EXPECT_EQ(end["result"], "ok");
  EXPECT_EQ(end["message"], nullptr);
  EXPECT_EQ(end["clock"], "12mHz");
  EXPECT_EQ(end["boot_rate"], 11520);
  EXPECT_EQ(end["rate"], 57600);
  EXPECT_EQ(end["chips"], json::array({"AT29C040"}));
  EXPECT_EQ(end["start_address"], 0x100000 - 65536);
  EXPECT_EQ(end["sectors"], 256);
  EXPECT_EQ(end["warnings"], 2);
  EXPECT_EQ(end["restart"], "answered");
  EXPECT_EQ(events[0]["sha256"], end["sha256"]);

  // The digest is the file's, as the field's own tool gives it.
  FILE* p = popen(("sha256sum " + file.path()).c_str(), "r");
  ASSERT_NE(p, nullptr);
  char digest[65] = {};
  ASSERT_EQ(std::fread(digest, 1, 64, p), 64u);
  pclose(p);
  EXPECT_EQ(end["sha256"], digest);

  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 0) << sim.verdict();
  std::ifstream in(flash, std::ios::binary);
  Bytes written((std::istreambuf_iterator<char>(in)), {});
  unlink(flash);
  ASSERT_EQ(written.size(), 524288u);
  EXPECT_TRUE(Bytes(written.end() - 65536, written.end()) == image);
}

TEST_F(RecordE2e, RestartWithoutAskingSendsTheCommandAtOnce) {
  StationSim sim({"--expect", "restart"});
  TempFile file(random_image(4096));
  ChildResult r = tool({"-Y", "-port:" + sim.port(), "-log:" + log_, file.path()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(contains(r.out, "ПЕРЕМЫЧКУ"));
  EXPECT_TRUE(contains(r.out, "  T= "));
  EXPECT_TRUE(contains(r.out, " ms\n\nПопытка рестарта станции... \nPress a key to exit\n"));
  sim.finish();
  EXPECT_EQ(e2e::json_field(sim.verdict(), "restart"), "true") << sim.verdict();
  std::vector<json> records = json_lines(read_text(log_));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["restart"], "answered");
  EXPECT_EQ(records[0]["result"], "ok");
}

TEST_F(RecordE2e, AnUnusableLogStopsTheRunBeforeThePortIsOpened) {
  TempFile file(random_image(64));
  for (const std::string& log : {dir_, dir_ + "/missing/runs.jsonl"}) {
    ChildResult r = tool({"-port:/dev/travek-no-such-port", "-log:" + log, file.path()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, testing_support::kBanner + "\nОшибка открытия журнала: \"" + log + "\"\n\n" +
                         testing_support::kPressKey);
    // The port was never tried: no reason for it, only the log's.
    EXPECT_EQ(r.err.find("travek-no-such-port"), std::string::npos) << r.err;
    EXPECT_TRUE(contains(r.err, "travek32: " + log + ": ")) << r.err;
  }
}

TEST_F(RecordE2e, ALogThatCannotBeWrittenFailsAGoodRun) {
  StationSim sim({"--expect", "load"});
  TempFile file(random_image(4096));
  ChildResult r = tool({"-json", "-port:" + sim.port(), "-log:/dev/full", file.path()});
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.err, "travek32: /dev/full: No space left on device\n"));
  std::vector<json> events = json_lines(r.out);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["result"], "log-write-error");
  EXPECT_EQ(events.back()["status"], 255);
  sim.finish();
}

TEST_F(RecordE2e, RunsAppendingAtOnceNeverInterleave) {
  // Runs that end at once (no such port) end together: their records come
  // at the same moment. A long file name makes each record long.
  const std::string name = dir_ + "/" + std::string(200, 'x') + ".bin";
  std::ofstream(name) << "image";
  constexpr int kRuns = 16;
  std::vector<std::unique_ptr<e2e::RunningChild>> runs;
  for (int i = 0; i < kRuns; ++i) {
    runs.push_back(std::make_unique<e2e::RunningChild>(
        TRAVEK32_PATH,
        std::vector<std::string>{"-json", "-log:" + log_,
                                 "-port:/dev/travek-none-" + std::to_string(i), name}));
  }
  for (auto& run : runs) EXPECT_EQ(run->finish(20000).status, 255);
  std::vector<json> records = json_lines(read_text(log_));
  EXPECT_EQ(records.size(), static_cast<size_t>(kRuns));
  for (const json& r : records) EXPECT_EQ(r["result"], "port-unavailable");
}

TEST_F(RecordE2e, TerminationMidLoadIsRecordedAndThePortLetGo) {
  StationSim sim({"--sector-ms", "20", "--sessions", "2"});
  TempFile file(random_image(131072));
  e2e::RunningChild travek(TRAVEK32_PATH,
                           {"-port:" + sim.port(), "-log:" + log_, "-json", file.path()});
  ASSERT_TRUE(travek.wait_for_output("\"percent\":10", 60000)) << travek.out();
  travek.signal(SIGTERM);
  ChildResult r = travek.finish(20000);
  EXPECT_EQ(r.status, 255);
  std::vector<json> records = json_lines(read_text(log_));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "terminated");
  EXPECT_EQ(records[0]["message"], "SIGTERM");
  EXPECT_EQ(json_lines(r.out).back(), [&] {
    json end = records[0];
    end["event"] = "end";
    return end;
  }()) << r.out;
  // The next run can have the port.
  TempFile small(random_image(4096));
  ChildResult again = tool({"-port:" + sim.port(), small.path()});
  EXPECT_TRUE(contains(again.out, "Ok! FQ: 10mHz")) << again.out << again.err;
}

}  // namespace
