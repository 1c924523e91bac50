// Station serial numbers end to end: the real binary with -n: against
// station-sim. Each encoding lands exactly where the numbers file says, in a
// raw image at its automatic place, with -a: and in an Intel HEX file; a
// number taken is kept by the record even when the load fails; a sqlite3
// sequence gives the numbers; a run of many gives each station of each batch
// its own, and its record reaches the log even when the parent is killed.
// The fields beside the number land in each station's flash, are told by
// their lines and never by a list's values, and each of their faults ends a
// run taking nothing.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
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

class StationNumberE2e : public e2e::FolderTest {
 protected:
  StationNumberE2e() : FolderTest("numbers-tool") {}

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

constexpr uint64_t kFirstMac = 0x0050C2A10000;

// The serial number and two fields beside it: a MAC block, two addresses a
// station, shown in hex, and a list of 16-byte keys.
const std::string kFieldsNumbers =
    "# line 3\n"
    "address  = 0xFFF00\n"
    "bytes    = 4\n"
    "encoding = be\n"
    "next     = 0x1000\n"
    "mac.address  = 0xFFF10\n"
    "mac.bytes    = 6\n"
    "mac.encoding = be\n"
    "mac.next     = 0x0050C2A10000\n"
    "mac.last     = 0x0050C2A1FFFE\n"
    "mac.step     = 2\n"
    "mac.show     = hex\n"
    "key.address  = 0xFFF20\n"
    "key.bytes    = 16\n"
    "key.list     = keys.txt\n"
    "key.next     = 1\n";

std::string swapped(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Distinct random values of so many bytes each.
std::vector<Bytes> random_keys(size_t count, size_t bytes, unsigned seed) {
  std::mt19937 rng(seed);
  std::set<Bytes> seen;
  std::vector<Bytes> keys;
  while (keys.size() < count) {
    Bytes key(bytes);
    for (uint8_t& b : key) b = static_cast<uint8_t>(rng());
    if (seen.insert(key).second) keys.push_back(key);
  }
  return keys;
}

std::string hex_of(const Bytes& bytes, bool upper = true) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) text += {digits[b >> 4], digits[b & 15]};
  return text;
}

// One key a line, in upper case.
std::string list_of(const std::vector<Bytes>& keys, const std::string& line_end = "\n") {
  std::string text;
  for (const Bytes& key : keys) text += hex_of(key) + line_end;
  return text;
}

// A list's values must never leave the image: no key, nor any four bytes of
// one, in either case or as raw bytes.
void expect_no_key_in(const std::string& where, const std::string& text,
                      const std::vector<Bytes>& keys) {
  for (const Bytes& key : keys) {
    EXPECT_FALSE(contains(text, std::string(key.begin(), key.end()))) << where;
    for (bool upper : {true, false}) {
      const std::string hex = hex_of(key, upper);
      for (size_t at = 0; at + 8 <= hex.size(); at += 2) {
        EXPECT_FALSE(contains(text, hex.substr(at, 8))) << where << ": " << hex;
      }
    }
  }
}

void put_be(Bytes& image, size_t at, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) {
    image[at + bytes - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// The image at the top of the 1 MB, with a station's values where
// kFieldsNumbers puts them.
Bytes with_values(Bytes image, uint64_t serial, uint64_t mac, const Bytes& key) {
  const size_t base = 0x100000 - image.size();
  put_be(image, 0xFFF00 - base, serial, 4);
  put_be(image, 0xFFF10 - base, mac, 6);
  std::copy(key.begin(), key.end(), image.begin() + static_cast<long>(0xFFF20 - base));
  return image;
}

Bytes read_bytes(const std::string& file) {
  const std::string text = read_text(file);
  return Bytes(text.begin(), text.end());
}

bool ends_with(const Bytes& flash, const Bytes& top) {
  return flash.size() >= top.size() &&
         std::equal(top.begin(), top.end(), flash.end() - static_cast<long>(top.size()));
}

// Waits until a flash dump's top holds the image, run's output read
// meanwhile: a station writes its dump once its session has ended.
bool flash_holds(RunningChild& run, const std::string& flash, const Bytes& top, int timeout_ms) {
  return run.wait_until([&] { return ends_with(read_bytes(flash), top); }, timeout_ms);
}

// A record of a station with kFieldsNumbers' fields: its values go
// together, the k-th number with the k-th MAC and the k-th line.
void expect_values_together(const json& record) {
  ASSERT_TRUE(record.contains("fields")) << record;
  const uint64_t k = record["number"].get<uint64_t>() - 0x1000;
  EXPECT_LT(k, 8u) << record;
  EXPECT_EQ(record["fields"], (json{{"mac", kFirstMac + 2 * k}, {"key", {{"line", k + 1}}}}))
      << record;
}

// Four ports, two batches: each station's number, MAC and key in its flash,
// the MACs two apart, the keys lines 1 to 8; the file's nexts moved on by
// eight, every other byte kept.
TEST_F(StationNumberE2e, EachFieldLandsInEachStationOfTwoBatches) {
  const Bytes image = e2e::random_image(32768, 12);
  const std::string file = write("image.bin", image);
  const std::vector<Bytes> keys = random_keys(10, 16, 5);
  write("keys.txt", list_of(keys));
  const std::string numbers = write("numbers.txt", kFieldsNumbers);
  std::vector<std::unique_ptr<StationSim>> sims;
  std::map<std::string, std::string> flash_of;
  std::string ports;
  for (int i = 0; i < 4; ++i) {
    const std::string flash = path("flash" + std::to_string(i));
    sims.push_back(std::make_unique<StationSim>(
        std::vector<std::string>{"--sessions", "2", "--flash-out", flash}));
    flash_of[sims.back()->port()] = flash;
    ports += (i ? "," : "") + sims.back()->port();
  }
  RunningChild run(TRAVEK32_PATH,
                   {"-repeat", "-y", "-ports:" + ports, "-log:" + log_, "-n:" + numbers, file});
  // Each batch's stations, in their flashes before the next batch starts.
  const auto check_batch = [&](size_t records) {
    const std::vector<json> logged = json_lines(read_text(log_));
    ASSERT_EQ(logged.size(), records) << read_text(log_);
    for (size_t i = records - 4; i < records; ++i) {
      const json& record = logged[i];
      SCOPED_TRACE(record.dump());
      expect_values_together(record);
      const uint64_t k = record["number"].get<uint64_t>() - 0x1000;
      ASSERT_LT(k, 8u);
      EXPECT_TRUE(flash_holds(run, flash_of[record["port"]],
                              with_values(image, 0x1000 + k, kFirstMac + 2 * k, keys[k]), 10000));
    }
  };
  const std::string next_batch = "Следующая партия";
  ASSERT_TRUE(run.wait_for_output(next_batch, 60000)) << run.out();
  check_batch(4);
  run.send_input("\r");
  ASSERT_TRUE(run.wait_for_count(next_batch, 2, 60000)) << run.out();
  check_batch(8);
  run.send_input("\x1b");
  run.close_input();
  const ChildResult r = run.finish(60000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::set<uint64_t> numbers_given;
  const std::vector<json> records = json_lines(read_text(log_));
  for (const json& record : records) {
    EXPECT_EQ(record["result"], "ok") << record;
    numbers_given.insert(record["number"].get<uint64_t>());
  }
  EXPECT_EQ(numbers_given.size(), 8u);
  std::string moved = swapped(kFieldsNumbers, "next     = 0x1000", "next     = 0x1008");
  moved = swapped(moved, "0x0050C2A10000", "0x0050C2A10010");
  EXPECT_EQ(read_text(numbers), swapped(moved, "key.next     = 1", "key.next     = 9"));
  for (auto& sim : sims) EXPECT_EQ(sim->finish().status, 0) << sim->verdict();
  expect_no_key_in("output", r.out + r.err, keys);
  expect_no_key_in("log", read_text(log_), keys);
}

// The console shows each field on its line after the number's, a list by
// its line; the number event and the record carry them. With a command
// for the number, the fields come from the file all the same. No list's
// value is told anywhere.
TEST_F(StationNumberE2e, FieldsAreToldByTheirLinesNeverByTheListsValues) {
  const Bytes image = e2e::random_image(16384, 13);
  const std::string file = write("image.bin", image);
  const std::vector<Bytes> keys = random_keys(3, 16, 6);
  write("keys.txt", list_of(keys, "\r\n"));
  const std::string lot =
      "lot.address = 0xFFF40\nlot.bytes = 6\nlot.encoding = dec\nlot.next = 42\n";
  const std::string numbers = write("numbers.txt", kFieldsNumbers + lot);
  StationSim console_sim({"--flash-out", path("flash.out")});
  const ChildResult shown = e2e::run_child(
      TRAVEK32_PATH, {"-y", "-port:" + console_sim.port(), "-log:" + log_, "-n:" + numbers, file});
  ASSERT_EQ(shown.status, 0) << shown.out << shown.err;
  EXPECT_TRUE(contains(shown.out,
                       "\nНомер станции:     4096\nПоле mac: 0050C2A10000\nПоле key: строка 1\n"
                       "Поле lot: 42\n\nЗагрузка FLASH:"));
  ASSERT_EQ(console_sim.finish().status, 0) << console_sim.verdict();
  Bytes expected = with_values(image, 0x1000, kFirstMac, keys[0]);
  const std::string digits = "000042";
  std::copy(digits.begin(), digits.end(), expected.end() - 0xC0);
  EXPECT_TRUE(ends_with(bytes_of(path("flash.out")), expected));

  // The number drawn by a command; the fields from where the first run left them.
  std::string drawn = swapped(read_text(numbers), "next     = 0x1001", "command  = echo 500");
  write("numbers.txt", drawn);
  StationSim json_sim({"--flash-out", path("flash.out")});
  const ChildResult events = e2e::run_child(
      TRAVEK32_PATH,
      {"-json", "-y", "-port:" + json_sim.port(), "-log:" + log_, "-n:" + numbers, file});
  ASSERT_EQ(events.status, 0) << events.out << events.err;
  ASSERT_EQ(json_sim.finish().status, 0) << json_sim.verdict();
  const json fields = {{"mac", kFirstMac + 2}, {"key", {{"line", 2}}}, {"lot", 43}};
  json number_event;
  for (const json& e : json_lines(events.out)) {
    if (e["event"] == "number") number_event = e;
  }
  EXPECT_EQ(number_event,
            (json{{"event", "number"}, {"number", 500}, {"address", 0xFFF00}, {"fields", fields}}));
  const std::vector<json> records = json_lines(read_text(log_));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].value("fields", json("absent")),
            (json{{"mac", kFirstMac}, {"key", {{"line", 1}}}, {"lot", 42}}));
  EXPECT_EQ(records[1].value("fields", json("absent")), fields);
  EXPECT_EQ(records[1]["number"], 500);
  expected = with_values(image, 500, kFirstMac + 2, keys[1]);
  std::copy_n("000043", 6, expected.end() - 0xC0);
  EXPECT_TRUE(ends_with(bytes_of(path("flash.out")), expected));
  const std::pair<const char*, std::string> told[] = {{"console", shown.out},
                                                      {"its errors", shown.err},
                                                      {"events", events.out},
                                                      {"their errors", events.err},
                                                      {"log", read_text(log_)}};
  for (const auto& [where, text] : told) expect_no_key_in(where, text, keys);
}

struct FieldFaultCase {
  const char* name;
  std::string numbers;
  std::string list;
  bool station;  // found once the station is known
  std::string message;
  const char* result;
  json number;  // the record's
};

// Each fault of the fields ends the run with its message and key, the file
// as it was: those of the file itself before the port is opened, the
// others once the station is known, with no number taken, or a command's
// number burnt and recorded.
TEST_F(StationNumberE2e, FieldFaultsEndTheRunTakingNothing) {
  const std::string image = write("image.bin", e2e::random_image(16384, 14));
  const std::vector<Bytes> keys = random_keys(2, 16, 7);
  const std::string short_line = hex_of(keys[1]).substr(1);
  const FieldFaultCase cases[] = {
      {"overlapping fields", swapped(kFieldsNumbers, "0xFFF20", "0xFFF14"), list_of(keys), false,
       "\nОшибка в файле номеров, строка 13: неверное значение\n", "numbers-file-error", nullptr},
      {"an unknown key of a field", kFieldsNumbers + "mac.colour   = red\n", list_of(keys), false,
       "\nОшибка в файле номеров, строка 17: неизвестный ключ\n", "numbers-file-error", nullptr},
      {"a missing key of a field", swapped(kFieldsNumbers, "mac.encoding = be\n", ""),
       list_of(keys), false, "\nВ файле номеров не задан ключ mac.encoding\n", "numbers-file-error",
       nullptr},
      {"a list that cannot be opened", swapped(kFieldsNumbers, "keys.txt", "nokeys.txt"),
       list_of(keys), false, "\nОшибка в файле номеров, строка 15: неверное значение\n",
       "numbers-file-error", nullptr},
      {"a list line of the wrong length, reached",
       swapped(kFieldsNumbers, "key.next     = 1", "key.next     = 2"),
       hex_of(keys[0]) + "\n" + short_line + "\n", true, "\nОшибка в списке keys.txt, строка 2\n",
       "list-error", nullptr},
      {"a list used up before the numbers",
       swapped(kFieldsNumbers, "key.next     = 1", "key.next     = 3"), list_of(keys), true,
       "\nИсчерпано поле key!\n", "field-exhausted", nullptr},
      {"a MAC past its last", swapped(kFieldsNumbers, "0x0050C2A10000", "0x0050C2A20000"),
       list_of(keys), true, "\nИсчерпано поле mac!\n", "field-exhausted", nullptr},
      {"a field outside the data", swapped(kFieldsNumbers, "0xFFF10", "0xF0010"), list_of(keys),
       true, "\nПоле mac за пределами загружаемых данных!\n", "field-outside-data", nullptr},
      {"a command's number burnt",
       swapped(swapped(kFieldsNumbers, "next     = 0x1000", "command  = echo 77"),
               "key.next     = 1", "key.next     = 3"),
       list_of(keys), true, "\nИсчерпано поле key!\n", "field-exhausted", 77},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string numbers = write("numbers.txt", c.numbers);
    write("keys.txt", c.list);
    std::remove(log_.c_str());
    std::unique_ptr<StationSim> sim;
    if (c.station) sim = std::make_unique<StationSim>(std::vector<std::string>{});
    // A port that is not there: a fault found before it is opened is told.
    const std::string port = c.station ? sim->port() : "/dev/travek-no-such-port";
    const ChildResult r = e2e::run_child(
        TRAVEK32_PATH, {"-y", "-port:" + port, "-log:" + log_, "-n:" + numbers, image});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.out, c.message)) << r.out;
    const std::vector<json> records = json_lines(read_text(log_));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["result"], c.result);
    EXPECT_EQ(records[0]["number"], c.number);
    if (c.station) {
      EXPECT_EQ(records[0].value("fields", json("absent")), json()) << records[0];
    }
    EXPECT_EQ(read_text(numbers), c.numbers);
    const std::string told = r.out + r.err + read_text(log_);
    expect_no_key_in("output and log", told, keys);
    EXPECT_FALSE(contains(told, short_line.substr(0, 8)));
  }
}

}  // namespace
