// Station serial numbers end to end: the real binary with -n: against
// station-sim. Each encoding lands exactly where the numbers file says, in a
// raw image at its automatic place, with -a: and in an Intel HEX file; a
// number taken is kept by the record even when the load fails; a sqlite3
// sequence gives the numbers; a run of many gives each station of each batch
// its own, and its record reaches the log even when the parent is killed.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
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
using e2e::read_text;
using e2e::RunningChild;
using e2e::StationSim;
using nlohmann::json;
using testing_support::Bytes;
using testing_support::contains;

constexpr uint32_t kFlashBase = 0x80000;  // the simulator's 512 KB chip

class StationNumberE2e : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }

  std::string write(const std::string& name, const Bytes& bytes) const {
    return write(name, std::string(bytes.begin(), bytes.end()));
  }

  static Bytes bytes_of(const std::string& file) {
    const std::string text = read_text(file);
    return Bytes(text.begin(), text.end());
  }

  // The value of `next` as the numbers file holds it now.
  std::string next_in(const std::string& numbers) const {
    const std::string text = read_text(numbers);
    const size_t at = text.find("next");
    const size_t value = text.find_first_not_of(" =", at + 4);
    return text.substr(value, text.find_first_of(" \n#", value) - value);
  }

  e2e::TempFolder folder_{"numbers-tool"};
  const std::string dir_ = folder_.path();
  const std::string log_ = dir_ + "/line.jsonl";
};

// Each encoding, each placement: the field holds the number, every other
// byte of the flash is the image's, and the file's next has moved on.
TEST_F(StationNumberE2e, EachEncodingLandsExactlyWhereTheFileSays) {
  ASSERT_EQ(std::system("command -v objcopy >/dev/null 2>&1"), 0) << "objcopy is missing";
  const Bytes image = e2e::random_image(65536, 3);
  write("image.bin", image);
  const struct {
    const char* encoding;
    unsigned bytes;
    const char* next;
    Bytes field;
  } encodings[] = {
      {"le", 4, "100001", {0xA1, 0x86, 0x01, 0x00}},
      {"be", 3, "0x123456", {0x12, 0x34, 0x56}},
      {"dec", 8, "4711", {'0', '0', '0', '0', '4', '7', '1', '1'}},
      {"hex", 6, "0xBEEF", {'0', '0', 'B', 'E', 'E', 'F'}},
  };
  const struct {
    const char* name;
    uint32_t base;  // where the image lands
    std::vector<std::string> args;
  } placements[] = {
      {"raw, at the top", 0xF0000, {path("image.bin")}},
      {"raw, with -a:", 0xE0000, {"-a:0xE0000", path("image.bin")}},
      {"Intel HEX", 0xC0000, {path("image.hex")}},
  };
  ASSERT_EQ(std::system(("cd " + dir_ +
                         " && objcopy -I binary -O ihex --change-addresses 0xC0000 image.bin "
                         "image.hex")
                            .c_str()),
            0);
  for (const auto& placement : placements) {
    for (const auto& e : encodings) {
      SCOPED_TRACE(std::string(placement.name) + ", " + e.encoding);
      const uint32_t address = placement.base + 0x1230;
      const std::string numbers =
          write("numbers.txt", "# line 3\naddress = " + std::to_string(address) +
                                   "\nbytes = " + std::to_string(e.bytes) +
                                   "\nencoding = " + e.encoding + "\nnext = " + e.next + "\n");
      const std::string flash = path("flash.out");
      StationSim sim({"--flash-out", flash});
      std::vector<std::string> args = {"-y", "-port:" + sim.port(), "-n:" + numbers};
      args.insert(args.end(), placement.args.begin(), placement.args.end());
      const ChildResult r = e2e::run_child(TRAVEK32_PATH, args);
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      EXPECT_TRUE(contains(r.out, std::string("Номер станции:     ") +
                                      std::to_string(std::stoull(e.next, nullptr, 0)) +
                                      "\n\nЗагрузка FLASH:"));
      ASSERT_EQ(sim.finish().status, 0) << sim.verdict();
      Bytes expected = image;
      std::copy(e.field.begin(), e.field.end(), expected.begin() + 0x1230);
      const Bytes got = bytes_of(flash);
      ASSERT_EQ(got.size(), 0x80000u);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                             got.begin() + (placement.base - kFlashBase)));
      EXPECT_EQ(std::stoull(next_in(numbers), nullptr, 0), std::stoull(e.next, nullptr, 0) + 1);
    }
  }
}

// A sector fails after the number was taken: the number is burnt, recorded
// with the failure, and the next run gets the next one.
TEST_F(StationNumberE2e, ANumberTakenIsKeptEvenWhenTheLoadFails) {
  const std::string image = write("image.bin", e2e::random_image(16384));
  const std::string numbers =
      write("numbers.txt", "address = 0xFFF00\nbytes = 4\nencoding = le\nnext = 7\n");
  for (const char* fault : {"--fail-sector", ""}) {
    std::vector<std::string> sim_args = {"--flash-out", path("flash.out")};
    if (*fault != '\0') sim_args.insert(sim_args.end(), {fault, "2"});
    StationSim sim(sim_args);
    const ChildResult r = e2e::run_child(TRAVEK32_PATH, {"-json", "-y", "-port:" + sim.port(),
                                                         "-log:" + log_, "-n:" + numbers, image});
    EXPECT_EQ(r.status, *fault != '\0' ? 255 : 0) << r.out << r.err;
    sim.finish();
  }
  const std::vector<json> records = json_lines(read_text(log_));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["result"], "flash-write-error");
  EXPECT_EQ(records[0]["number"], 7);
  EXPECT_EQ(records[1]["result"], "ok");
  EXPECT_EQ(records[1]["number"], 8);
  EXPECT_EQ(next_in(numbers), "9");
}

// Numbers from a sqlite3 sequence: each run draws the next; a command that
// gives none ends the run with its message, what it did on standard error.
TEST_F(StationNumberE2e, ASqliteSequenceGivesTheNumbers) {
  ASSERT_EQ(std::system("command -v sqlite3 >/dev/null 2>&1"), 0) << "sqlite3 is missing";
  const std::string db = path("serials.db");
  ASSERT_EQ(
      std::system(
          ("sqlite3 " + db + " 'create table s(n integer); insert into s values (500);'").c_str()),
      0);
  const std::string image = write("image.bin", e2e::random_image(8192));
  const std::string numbers =
      write("numbers.txt", "address = 0xFFF00\nbytes = 4\nencoding = be\ncommand = sqlite3 " + db +
                               " 'update s set n = n + 1 returning n;'\n");
  for (uint32_t expected : {501u, 502u}) {
    StationSim sim({"--flash-out", path("flash.out")});
    const ChildResult r = e2e::run_child(
        TRAVEK32_PATH, {"-y", "-port:" + sim.port(), "-log:" + log_, "-n:" + numbers, image});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(sim.finish().status, 0) << sim.verdict();
    const Bytes flash = bytes_of(path("flash.out"));
    const Bytes field(flash.begin() + (0xFFF00 - kFlashBase),
                      flash.begin() + (0xFFF04 - kFlashBase));
    EXPECT_EQ(field, (Bytes{0, 0, static_cast<uint8_t>(expected >> 8),
                            static_cast<uint8_t>(expected & 0xFF)}));
  }
  write("numbers.txt", "address = 0xFFF00\nbytes = 4\nencoding = be\ncommand = echo n/a\n");
  StationSim sim({});
  const ChildResult r =
      e2e::run_child(TRAVEK32_PATH, {"-y", "-port:" + sim.port(), "-n:" + numbers, image});
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.out, "\nКоманда не дала номер станции!\n" + testing_support::kPressKey));
  EXPECT_TRUE(contains(r.err, "travek32: " + numbers + ": ")) << r.err;
  std::vector<uint64_t> logged;
  for (const json& record : json_lines(read_text(log_))) logged.push_back(record["number"]);
  EXPECT_EQ(logged, (std::vector<uint64_t>{501, 502}));
}

// Four ports, two batches: eight distinct numbers, each station's last one
// in its flash, one record per station per batch with its number, and the
// file's next the first number not given.
TEST_F(StationNumberE2e, FourPortsTwoBatchesGiveEightDistinctNumbers) {
  const Bytes image = e2e::random_image(32768, 9);
  const std::string file = write("image.bin", image);
  const std::string numbers =
      write("numbers.txt", "address = 0xFFF00\nbytes = 2\nencoding = le\nnext = 0x1000\n");
  std::vector<std::unique_ptr<StationSim>> sims;
  std::string ports;
  for (int i = 0; i < 4; ++i) {
    sims.push_back(std::make_unique<StationSim>(std::vector<std::string>{
        "--sessions", "2", "--flash-out", path("flash" + std::to_string(i))}));
    ports += (i ? "," : "") + sims.back()->port();
  }
  RunningChild run(TRAVEK32_PATH,
                   {"-repeat", "-y", "-ports:" + ports, "-log:" + log_, "-n:" + numbers, file});
  const std::string next_batch = "Следующая партия";
  ASSERT_TRUE(run.wait_for_output(next_batch, 60000)) << run.out();
  run.send_input("\r");
  // The second batch's prompt: its text again.
  const auto prompts = [&] {
    size_t n = 0;
    for (size_t at = 0; (at = run.out().find(next_batch, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  for (int tick = 0; tick < 600 && prompts() < 2; ++tick) run.wait_for_output("\x01", 100);
  ASSERT_EQ(prompts(), 2u) << run.out();
  run.send_input("\x1b");
  run.close_input();  // and the end of input for "Press a key to exit"
  const ChildResult r = run.finish(60000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::set<uint64_t> given;
  std::map<std::string, uint64_t> last_of_port;
  const std::vector<json> records = json_lines(read_text(log_));
  ASSERT_EQ(records.size(), 8u) << read_text(log_);
  for (const json& record : records) {
    EXPECT_EQ(record["result"], "ok") << record;
    EXPECT_TRUE(given.insert(record["number"].get<uint64_t>()).second) << record;
    EXPECT_FALSE(record["sha256"].is_null());
    if (record["batch"] == 2) last_of_port[record["port"]] = record["number"];
  }
  EXPECT_EQ(*given.begin(), 0x1000u);
  EXPECT_EQ(*given.rbegin(), 0x1007u);
  EXPECT_EQ(next_in(numbers), "0x1008") << "written in the base the engineer chose";
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(sims[i]->finish().status, 0) << sims[i]->verdict();
    const Bytes flash = bytes_of(path("flash" + std::to_string(i)));
    const uint64_t number = last_of_port[sims[i]->port()];
    EXPECT_EQ(flash[0xFFF00 - kFlashBase], number & 0xFF);
    EXPECT_EQ(flash[0xFFF01 - kFlashBase], number >> 8);
  }
}

// The parent killed outright mid-load: every station it started goes on to
// its end and writes its own record, with its batch and its number.
TEST_F(StationNumberE2e, NoRecordIsLostWhenTheParentIsKilled) {
  const std::string file = write("image.bin", e2e::random_image(65536, 4));
  const std::string numbers =
      write("numbers.txt", "address = 0xFFF00\nbytes = 4\nencoding = le\nnext = 1\n");
  std::vector<std::unique_ptr<StationSim>> sims;
  std::string ports;
  for (int i = 0; i < 2; ++i) {
    sims.push_back(std::make_unique<StationSim>(std::vector<std::string>{"--sector-ms", "4"}));
    ports += (i ? "," : "") + sims.back()->port();
  }
  RunningChild run(TRAVEK32_PATH, {"-y", "-ports:" + ports, "-log:" + log_, "-n:" + numbers, file});
  ASSERT_TRUE(run.wait_for_output(sims[1]->port() + ": загрузка", 60000)) << run.out();
  ASSERT_TRUE(run.wait_for_output(sims[0]->port() + ": загрузка", 60000)) << run.out();
  run.signal(SIGKILL);
  run.finish(10000);
  for (auto& sim : sims) EXPECT_EQ(sim->finish(60000).status, 0) << sim->verdict();
  // The stations' runs end just after their stations do.
  std::vector<json> records;
  for (int tries = 0; tries < 100 && records.size() < 2; ++tries) {
    usleep(100000);
    records = json_lines(read_text(log_));
  }
  ASSERT_EQ(records.size(), 2u) << read_text(log_);
  std::set<uint64_t> numbers_given;
  for (const json& record : records) {
    EXPECT_EQ(record["result"], "ok") << record;
    EXPECT_EQ(record["batch"], 1);
    numbers_given.insert(record["number"].get<uint64_t>());
  }
  EXPECT_EQ(numbers_given, (std::set<uint64_t>{1, 2}));
}

}  // namespace
