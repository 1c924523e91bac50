// The numbers file on the disk and the numbers command, with real files and
// processes: takers at once, takers killed at random moments, the file's
// faults and the write-back's, a station's fields taken with its number,
// and a sequence in a real sqlite3 database.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "event_lines.h"
#include "numbers/number_command.h"
#include "numbers/numbers_store.h"

namespace {

using e2e::read_text;
using e2e::RunningChild;
using e2e::TempFolder;
using travek::NumbersFault;
using travek::NumbersFile;
using travek::NumbersResult;
using travek::NumbersTaking;

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

NumbersFile parsed(const std::string& text) {
  NumbersFile file;
  const travek::NumbersVerdict v =
      travek::parse_numbers_file(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &file);
  EXPECT_EQ(v.fault, NumbersFault::kNone) << "line " << v.line << " of:\n" << text;
  return file;
}

// The numbers a taker wrote, whole lines only.
std::vector<uint64_t> numbers_in(const std::string& output) {
  std::vector<uint64_t> numbers;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (in.eof()) break;  // no line end: not written whole
    numbers.push_back(std::stoull(line));
  }
  return numbers;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// What a killed taker and the one beside it wrote.
struct KilledTaking {
  std::string killed;
  std::string beside;
};

class NumbersE2e : public ::testing::Test {
 protected:
  // A probe taking (`take` numbers or `sets`) killed at a random moment of
  // its takings, while another takes two beside it.
  KilledTaking kill_a_taker(const std::string& what, std::mt19937& rng) const {
    std::uniform_int_distribution<int> delay_us(0, 15000);
    RunningChild victim(NUMBERS_PROBE_PATH, {what, path_, "100000"});
    RunningChild beside(NUMBERS_PROBE_PATH, {what, path_, "2"});
    // Killed once it is taking, at a moment anywhere in a taking.
    EXPECT_TRUE(victim.wait_for_output("\n", 10000));
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    victim.signal(SIGKILL);
    const e2e::ChildResult killed = victim.finish(10000);
    const e2e::ChildResult steady = beside.finish(10000);
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    EXPECT_EQ(steady.status, 0) << steady.out << steady.err;
    return {killed.out, steady.out};
  }

  TempFolder folder_{"numbers"};
  const std::string dir_ = folder_.path();
  const std::string path_ = dir_ + "/line3.numbers";
};

// Eight takers at once, 25 numbers each: 200 distinct numbers, exactly the
// 200 after the first, and the file left with the first not given, written
// as the engineer wrote it.
TEST_F(NumbersE2e, EightTakersAtOnceGiveTwoHundredDistinctNumbers) {
  const std::string text =
      "# line 3: serial numbers\r\n"
      "address  = 0xFFF00   # first byte\r\n"
      "bytes    = 4\r\n"
      "encoding = le\r\n"
      "\r\n"
      "next     = 0x00010000   # next to give\r\n"
      "last     = 0x0001FFFF\r\n";
  write_text(path_, text);
  std::vector<std::unique_ptr<RunningChild>> takers;
  for (int i = 0; i < 8; ++i) {
    takers.push_back(std::make_unique<RunningChild>(NUMBERS_PROBE_PATH,
                                                    std::vector<std::string>{"take", path_, "25"}));
  }
  std::vector<uint64_t> all;
  for (auto& taker : takers) {
    const e2e::ChildResult r = taker->finish(60000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<uint64_t> own = numbers_in(r.out);
    EXPECT_EQ(own.size(), 25u) << r.out;
    EXPECT_TRUE(std::is_sorted(own.begin(), own.end()));
    all.insert(all.end(), own.begin(), own.end());
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 200u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], 0x10000 + i);
  EXPECT_EQ(read_text(path_), replaced(text, "0x00010000", "0x000100C8"));
  EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp"));
}

// A hundred takers killed at random moments while another takes beside
// each: after every kill the file parses, no number was given twice, and
// the counter is above every number given.
TEST_F(NumbersE2e, TakersKilledAtRandomMomentsNeverGiveANumberTwice) {
  const std::string text =
      "address = 0x80000\nbytes = 8\nencoding = be\nnext = 1  # first\nstep = 3\n";
  write_text(path_, text);
  std::mt19937 rng(2026);
  std::set<uint64_t> given;
  int killed_holding = 0;
  for (int run = 0; run < 100; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const KilledTaking taken = kill_a_taker("take", rng);
    std::vector<uint64_t> numbers = numbers_in(taken.killed);
    const std::vector<uint64_t> more = numbers_in(taken.beside);
    EXPECT_EQ(more.size(), 2u);
    numbers.insert(numbers.end(), more.begin(), more.end());
    for (uint64_t n : numbers) {
      EXPECT_TRUE(given.insert(n).second) << n << " given twice";
      EXPECT_EQ(n % 3, 1u) << n;
    }
    const NumbersFile file = parsed(read_text(path_));
    ASSERT_FALSE(given.empty());
    EXPECT_GT(file.next, *given.rbegin());
    if (std::filesystem::exists(path_ + ".tmp")) ++killed_holding;
  }
  // The file goes on as ever.
  const e2e::ChildResult after = e2e::run_child(NUMBERS_PROBE_PATH, {"take", path_, "3"});
  EXPECT_EQ(after.status, 0) << after.out << after.err;
  for (uint64_t n : numbers_in(after.out)) {
    EXPECT_GT(n, *given.rbegin());
    EXPECT_TRUE(given.insert(n).second);
  }
  const std::string left = read_text(path_);
  EXPECT_EQ(left,
            replaced(text, "next = 1  #", "next = " + std::to_string(parsed(left).next) + "  #"));
  std::printf("[ info ] %zu numbers given; %d kills left a temporary file behind\n", given.size(),
              killed_holding);
}

// What a taking meets besides a number, and that the file is then as it was.
TEST_F(NumbersE2e, TakingsThatGiveNoNumberLeaveTheFileAsItWas) {
  const std::string valid = "address = 1\nbytes = 2\nencoding = hex\nnext = 7\n";
  struct Case {
    const char* name;
    std::string text;  // empty: the case makes its own path
    NumbersTaking taking;
    std::string reason;
    uint32_t line;
  };
  const Case cases[] = {
      {"invalid", "address = 1\nbytes = 2\nencoding = hex\nnext = 0x10000\n",
       NumbersTaking::kInvalid, "", 4},
      {"used up", "address = 1\nbytes = 2\nencoding = hex\nnext = 10\nlast = 9\n",
       NumbersTaking::kExhausted, "", 0},
      {"the field's top", "address = 1\nbytes = 2\nencoding = hex\nnext = 0xFF\n",
       NumbersTaking::kExhausted, "", 0},
      {"a command", "address = 1\nbytes = 2\nencoding = hex\ncommand = echo 5\n",
       NumbersTaking::kNoCounter, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(path_, c.text);
    struct stat before {};
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    const NumbersResult r = travek::numbers_take(path_.c_str());
    EXPECT_EQ(r.taking, c.taking);
    EXPECT_EQ(r.verdict.line, c.line);
    EXPECT_EQ(read_text(path_), c.text);
    struct stat after {};
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }

  // Paths that name no numbers file.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    std::string reason;
  } unreadable[] = {
      {dir_ + "/missing", "No such file or directory"},
      {dir_, "not a regular file"},
      {fifo, "not a regular file"},
  };
  for (const auto& u : unreadable) {
    SCOPED_TRACE(u.path);
    for (const NumbersResult& r :
         {travek::numbers_take(u.path.c_str()), travek::numbers_check(u.path.c_str())}) {
      EXPECT_EQ(r.taking, NumbersTaking::kUnreadable);
      EXPECT_STREQ(r.reason, u.reason.c_str());
    }
  }

  // The write-back refused: the number is not given, the file is kept.
  write_text(path_, valid);
  ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0700), 0);
  const NumbersResult refused = travek::numbers_take(path_.c_str());
  EXPECT_EQ(refused.taking, NumbersTaking::kWriteError);
  EXPECT_STREQ(refused.reason, "Is a directory");
  EXPECT_EQ(read_text(path_), valid);
  ASSERT_EQ(rmdir((path_ + ".tmp").c_str()), 0);
}

// The check reads and judges, and takes nothing.
TEST_F(NumbersE2e, ACheckTakesNothing) {
  const std::string valid = "address = 1\nbytes = 2\nencoding = hex\nnext = 7\n";
  write_text(path_, valid);
  NumbersResult r = travek::numbers_check(path_.c_str());
  EXPECT_EQ(r.taking, NumbersTaking::kOk);
  EXPECT_EQ(r.file.next, 7u);
  EXPECT_EQ(read_text(path_), valid);
  write_text(path_, valid + "colour = red\n");
  r = travek::numbers_check(path_.c_str());
  EXPECT_EQ(r.taking, NumbersTaking::kInvalid);
  EXPECT_EQ(r.verdict.fault, NumbersFault::kUnknownKey);
  EXPECT_EQ(r.verdict.line, 5u);
}

// The file reached through a link is the one moved on, and the link stays;
// the engineer's permissions stay too.
TEST_F(NumbersE2e, TheFileBehindALinkKeepsItsPermissions) {
  const std::string text = "address = 1\nbytes = 2\nencoding = dec\nnext = 7\n";
  write_text(path_, text);
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  const NumbersResult r = travek::numbers_take(link.c_str());
  ASSERT_EQ(r.taking, NumbersTaking::kOk) << r.reason;
  EXPECT_EQ(r.number, 7u);
  EXPECT_EQ(read_text(path_), replaced(text, "next = 7", "next = 8"));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A set as the probe writes it, for a file with a counter named mac and a
// list named key: the number, the MAC, and the key's line and value.
struct TakenSet {
  uint64_t serial = 0;
  uint64_t mac = 0;
  uint64_t line = 0;
  std::string value;  // upper-case hex
};

// The sets a taker wrote, whole lines only; a line that is not a whole set
// is a failure.
std::vector<TakenSet> sets_in(const std::string& output) {
  std::vector<TakenSet> sets;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (in.eof()) break;  // no line end: not written whole
    std::istringstream words(line);
    TakenSet set;
    std::string mac, key;
    const bool read = static_cast<bool>(words >> set.serial >> mac >> key);
    const size_t colon = key.find(':');
    if (!read || mac.rfind("mac=", 0) != 0 || key.rfind("key=", 0) != 0 ||
        colon == std::string::npos) {
      ADD_FAILURE() << "not a whole set: " << line;
      continue;
    }
    set.mac = std::stoull(mac.substr(4));
    set.line = std::stoull(key.substr(4, colon - 4));
    set.value = key.substr(colon + 1);
    sets.push_back(set);
  }
  return sets;
}

// Distinct values of so many bytes each, as upper-case hex.
std::vector<std::string> random_values(size_t count, size_t bytes, unsigned seed) {
  std::mt19937 rng(seed);
  std::set<std::string> seen;
  std::vector<std::string> values;
  while (values.size() < count) {
    std::string value;
    for (size_t i = 0; i < 2 * bytes; ++i) value += "0123456789ABCDEF"[rng() & 15];
    if (seen.insert(value).second) values.push_back(value);
  }
  return values;
}

// One value a line, every other one in lower case: the list may hold either.
std::string list_text(const std::vector<std::string>& values, const std::string& line_end) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) {
    std::string line = values[i];
    if (i % 2 == 1) {
      std::transform(line.begin(), line.end(), line.begin(),
                     [](char c) { return static_cast<char>(std::tolower(c)); });
    }
    text += line + line_end;
  }
  return text;
}

constexpr uint64_t kFirstSerial = 0x10000;
constexpr uint64_t kFirstMac = 0x0050C2A10000;

// The serial number, a MAC block two addresses a station, and a key list.
std::string fields_file(unsigned key_bytes) {
  return "# line 3, every station its own data\n"
         "address  = 0xFFF00\n"
         "bytes    = 4\n"
         "encoding = le\n"
         "next     = 0x00010000   # serial\n"
         "mac.address  = 0xFFF10\n"
         "mac.bytes    = 6\n"
         "mac.encoding = be\n"
         "mac.next     = 0x0050C2A10000\n"
         "mac.last     = 0x0050C2A1FFFE\n"
         "mac.step     = 2\n"
         "mac.show     = hex\n"
         "key.address  = 0xFFF20\n"
         "key.bytes    = " +
         std::to_string(key_bytes) +
         "\n"
         "key.list     = keys.txt\n"
         "key.next     = 1   # line\n";
}

// The file after so many sets were taken from fields_file's: its three
// values moved, in their bases and widths, every other byte kept.
std::string fields_file_after(unsigned key_bytes, uint64_t taken) {
  char serial[32], mac[32];
  std::snprintf(serial, sizeof(serial), "0x%08llX",
                static_cast<unsigned long long>(kFirstSerial + taken));
  std::snprintf(mac, sizeof(mac), "0x%012llX",
                static_cast<unsigned long long>(kFirstMac + 2 * taken));
  std::string text = replaced(fields_file(key_bytes), "0x00010000", serial);
  text = replaced(text, "0x0050C2A10000", mac);
  return replaced(text, "key.next     = 1 ", "key.next     = " + std::to_string(taken + 1) + " ");
}

// A set's values go together: the k-th set taken from fields_file's has the
// k-th of each, and the list's value is its line's.
void expect_together(const TakenSet& set, const std::vector<std::string>& values) {
  ASSERT_GE(set.serial, kFirstSerial);
  const uint64_t k = set.serial - kFirstSerial;
  EXPECT_EQ(set.mac, kFirstMac + 2 * k) << set.serial;
  EXPECT_EQ(set.line, k + 1) << set.serial;
  ASSERT_GE(set.line, 1u);
  ASSERT_LE(set.line, values.size());
  EXPECT_EQ(set.value, values[set.line - 1]) << "line " << set.line;
}

// Eight takers at once, a hundred sets each: every number, MAC and line
// distinct, each set whole and its values together, none skipped; then the
// list is used up, and the next taking moves nothing.
TEST_F(NumbersE2e, EightTakersAtOnceTakeEveryFieldWithItsNumber) {
  const std::vector<std::string> values = random_values(800, 16, 7);
  write_text(dir_ + "/keys.txt", list_text(values, "\r\n"));
  write_text(path_, fields_file(16));
  std::vector<std::unique_ptr<RunningChild>> takers;
  for (int i = 0; i < 8; ++i) {
    takers.push_back(std::make_unique<RunningChild>(
        NUMBERS_PROBE_PATH, std::vector<std::string>{"sets", path_, "100"}));
  }
  std::set<uint64_t> serials, macs, lines;
  for (auto& taker : takers) {
    const e2e::ChildResult r = taker->finish(60000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<TakenSet> own = sets_in(r.out);
    EXPECT_EQ(own.size(), 100u) << r.out;
    for (const TakenSet& set : own) {
      expect_together(set, values);
      EXPECT_TRUE(serials.insert(set.serial).second) << set.serial << " given twice";
      EXPECT_TRUE(macs.insert(set.mac).second) << set.mac << " given twice";
      EXPECT_TRUE(lines.insert(set.line).second) << "line " << set.line << " given twice";
    }
  }
  ASSERT_EQ(serials.size(), 800u);
  EXPECT_EQ(*serials.begin(), kFirstSerial);
  EXPECT_EQ(*serials.rbegin(), kFirstSerial + 799);
  EXPECT_EQ(macs.size(), 800u);
  EXPECT_EQ(lines.size(), 800u);
  const std::string after = fields_file_after(16, 800);
  EXPECT_EQ(read_text(path_), after);
  const NumbersResult used_up = travek::numbers_take(path_.c_str());
  EXPECT_EQ(used_up.taking, NumbersTaking::kFieldExhausted);
  EXPECT_EQ(used_up.field, "key");
  EXPECT_EQ(read_text(path_), after);
}

// A hundred takers killed at random moments while another takes beside
// each: after every kill the file parses, its nexts have moved together,
// and no value of any field was given twice.
TEST_F(NumbersE2e, TakersOfFieldsKilledAtRandomMomentsNeverGiveAValueTwice) {
  const std::vector<std::string> values = random_values(20000, 8, 11);
  write_text(dir_ + "/keys.txt", list_text(values, "\n"));
  write_text(path_, fields_file(8));
  std::mt19937 rng(2027);
  std::set<uint64_t> serials, macs, lines;
  for (int run = 0; run < 100; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const KilledTaking taken = kill_a_taker("sets", rng);
    std::vector<TakenSet> sets = sets_in(taken.killed);
    const std::vector<TakenSet> more = sets_in(taken.beside);
    EXPECT_EQ(more.size(), 2u);
    sets.insert(sets.end(), more.begin(), more.end());
    for (const TakenSet& set : sets) {
      expect_together(set, values);
      EXPECT_TRUE(serials.insert(set.serial).second) << set.serial << " given twice";
      EXPECT_TRUE(macs.insert(set.mac).second) << set.mac << " given twice";
      EXPECT_TRUE(lines.insert(set.line).second) << "line " << set.line << " given twice";
    }
    const NumbersFile file = parsed(read_text(path_));
    ASSERT_EQ(file.fields.size(), 2u);
    ASSERT_FALSE(serials.empty());
    EXPECT_GT(file.next, *serials.rbegin());
    // Every next moved, or none did.
    EXPECT_EQ(file.fields[0].next, kFirstMac + 2 * (file.next - kFirstSerial));
    EXPECT_EQ(file.fields[1].next, file.next - kFirstSerial + 1);
  }
  const uint64_t taken = parsed(read_text(path_)).next - kFirstSerial;
  EXPECT_EQ(read_text(path_), fields_file_after(8, taken));
  std::printf("[ info ] %zu sets given of %llu taken\n", serials.size(),
              static_cast<unsigned long long>(taken));
}

// A numbers file with a MAC counter and a four-byte key list, as the store
// takes them.
std::string store_file(const std::string& serial_next, const std::string& mac_next,
                       const std::string& key_next, const std::string& list = "keys.txt") {
  return "address = 0x100\nbytes = 2\nencoding = be\nnext = " + serial_next +
         "\nlast = 100\n"
         "mac.address = 0x110\nmac.bytes = 6\nmac.encoding = be\nmac.next = " +
         mac_next +
         "\nmac.last = 0x0050C2A1FFFE\nmac.step = 2\n"
         "key.address = 0x120\nkey.bytes = 4\nkey.list = " +
         list + "\nkey.next = " + key_next + "\n";
}

// The file's inode: a write-back renames a new one over it.
ino_t inode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

// A taking that cannot give every field gives none, and leaves the file
// as it was: not even rewritten.
TEST_F(NumbersE2e, ATakingThatCannotGiveEveryFieldGivesNone) {
  constexpr uint32_t kListLine = 14;
  const std::string two = "0A0B0C0D\n1a2b3c4d\n";
  const struct {
    const char* name;
    std::string numbers;
    std::string list;
    NumbersTaking taking;
    std::string field;
    uint32_t list_line;
    uint32_t verdict_line;
  } cases[] = {
      {"the list ended", store_file("7", "0x0050C2A10000", "3"), two,
       NumbersTaking::kFieldExhausted, "key", 0, 0},
      {"the list ended, its last line without a line end", store_file("7", "0x0050C2A10000", "3"),
       "0A0B0C0D\r\n1a2b3c4d", NumbersTaking::kFieldExhausted, "key", 0, 0},
      {"a MAC past its last", store_file("7", "0x0050C2A20000", "1"), two,
       NumbersTaking::kFieldExhausted, "mac", 0, 0},
      {"the serial used up before its fields", store_file("101", "0x0050C2A10000", "1"), two,
       NumbersTaking::kExhausted, "", 0, 0},
      {"a line too short", store_file("7", "0x0050C2A10000", "2"), "0A0B0C0D\n1a2b3c4\n",
       NumbersTaking::kListError, "key", 2, 0},
      {"a line too long", store_file("7", "0x0050C2A10000", "2"), "0A0B0C0D\n1a2b3c4d5\n",
       NumbersTaking::kListError, "key", 2, 0},
      {"a digit that is no hex", store_file("7", "0x0050C2A10000", "2"), "0A0B0C0D\n1a2b3c4g\n",
       NumbersTaking::kListError, "key", 2, 0},
      {"0x before the digits", store_file("7", "0x0050C2A10000", "1"), "0x1a2b3c\n",
       NumbersTaking::kListError, "key", 1, 0},
      {"an empty line", store_file("7", "0x0050C2A10000", "2"), "0A0B0C0D\n\n1a2b3c4d\n",
       NumbersTaking::kListError, "key", 2, 0},
      {"a blank after the value", store_file("7", "0x0050C2A10000", "1"), "0A0B0C0D \n",
       NumbersTaking::kListError, "key", 1, 0},
      {"a blank before the value", store_file("7", "0x0050C2A10000", "1"), "\t0A0B0C0D\n",
       NumbersTaking::kListError, "key", 1, 0},
      {"a CR inside the value", store_file("7", "0x0050C2A10000", "1"), "0A0B\r0C0D\n",
       NumbersTaking::kListError, "key", 1, 0},
      {"two CRs before the LF", store_file("7", "0x0050C2A10000", "1"), "0A0B0C0D\r\r\n",
       NumbersTaking::kListError, "key", 1, 0},
      {"no list there", store_file("7", "0x0050C2A10000", "1", "missing.txt"), two,
       NumbersTaking::kInvalid, "", 0, kListLine},
      {"a folder for a list", store_file("7", "0x0050C2A10000", "1", "."), two,
       NumbersTaking::kInvalid, "", 0, kListLine},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(path_, c.numbers);
    write_text(dir_ + "/keys.txt", c.list);
    const ino_t before = inode_of(path_);
    const NumbersResult r = travek::numbers_take(path_.c_str());
    EXPECT_EQ(r.taking, c.taking);
    EXPECT_EQ(r.field, c.field);
    EXPECT_EQ(r.list_line, c.list_line);
    EXPECT_EQ(r.verdict.line, c.verdict_line);
    EXPECT_TRUE(r.values.empty());
    EXPECT_EQ(read_text(path_), c.numbers);
    EXPECT_EQ(inode_of(path_), before) << "rewritten";
  }
}

// Each line is read as written: LF or CRLF, either case, the last line
// without a line end; a faulty line not reached is no fault.
TEST_F(NumbersE2e, AListsLinesAreReadAsTheyAreWritten) {
  write_text(dir_ + "/keys.txt", "0a0b0c0d\r\n1A2B3C4D\nDeAdBeEf\r\nnot a value\n00000000");
  const struct {
    const char* next;
    const char* moved;
    std::vector<uint8_t> value;
  } cases[] = {
      {"1", "2", {0x0A, 0x0B, 0x0C, 0x0D}},
      {"2", "3", {0x1A, 0x2B, 0x3C, 0x4D}},
      {"3", "4", {0xDE, 0xAD, 0xBE, 0xEF}},
      {"5", "6", {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("line ") + c.next);
    write_text(path_, store_file("7", "0x0050C2A10000", c.next));
    EXPECT_EQ(travek::numbers_check(path_.c_str()).taking, NumbersTaking::kOk);
    const NumbersResult r = travek::numbers_take(path_.c_str());
    ASSERT_EQ(r.taking, NumbersTaking::kOk) << r.reason;
    EXPECT_EQ(r.number, 7u);
    ASSERT_EQ(r.values.size(), 2u);
    EXPECT_EQ(r.values[0].value, kFirstMac);
    EXPECT_TRUE(r.values[0].bytes.empty());
    EXPECT_EQ(r.values[1].value, std::stoull(c.next));
    EXPECT_EQ(r.values[1].bytes, c.value);
    EXPECT_EQ(read_text(path_), store_file("8", "0x0050C2A10002", c.moved));
  }
}

// With a command for the serial number the fields are taken alone, and
// only their nexts move; the counter's taking refuses such a file.
TEST_F(NumbersE2e, FieldsBesideACommandAreTakenAlone) {
  const auto with_command = [](const std::string& mac_next, const std::string& key_next) {
    return replaced(store_file("7", mac_next, key_next), "next = 7\nlast = 100\n",
                    "command = echo 5  # next = 7\n");
  };
  write_text(dir_ + "/keys.txt", "0A0B0C0D\n1a2b3c4d\n");
  write_text(path_, with_command("0x0050C2A10000", "2"));
  EXPECT_EQ(travek::numbers_take(path_.c_str()).taking, NumbersTaking::kNoCounter);
  EXPECT_EQ(read_text(path_), with_command("0x0050C2A10000", "2"));
  NumbersResult r = travek::numbers_take_fields(path_.c_str());
  ASSERT_EQ(r.taking, NumbersTaking::kOk) << r.reason;
  ASSERT_EQ(r.values.size(), 2u);
  EXPECT_EQ(r.values[0].value, kFirstMac);
  EXPECT_EQ(r.values[1].bytes, (std::vector<uint8_t>{0x1A, 0x2B, 0x3C, 0x4D}));
  EXPECT_EQ(read_text(path_), with_command("0x0050C2A10002", "3"));
  r = travek::numbers_take_fields(path_.c_str());
  EXPECT_EQ(r.taking, NumbersTaking::kFieldExhausted);
  EXPECT_EQ(r.field, "key");
  EXPECT_EQ(read_text(path_), with_command("0x0050C2A10002", "3"));

  // Nothing to take: nothing is written.
  const std::string bare = "address = 0x100\nbytes = 2\nencoding = be\ncommand = echo 5\n";
  write_text(path_, bare);
  const ino_t before = inode_of(path_);
  r = travek::numbers_take_fields(path_.c_str());
  EXPECT_EQ(r.taking, NumbersTaking::kOk);
  EXPECT_TRUE(r.values.empty());
  EXPECT_EQ(inode_of(path_), before) << "rewritten";
}

// The check opens each list beside the numbers file, wherever the run
// was started, and a list that cannot be opened is the file's fault, on
// its line.
TEST_F(NumbersE2e, TheCheckOpensEachListBesideTheFile) {
  ASSERT_EQ(mkdir((dir_ + "/lists").c_str(), 0700), 0);
  write_text(dir_ + "/lists/keys.txt", "0A0B0C0D\n");
  const std::string text = store_file("7", "0x0050C2A10000", "1", "lists/keys.txt");
  write_text(path_, text);
  ASSERT_NE(std::filesystem::current_path(), std::filesystem::path(dir_));
  NumbersResult r = travek::numbers_check(path_.c_str());
  EXPECT_EQ(r.taking, NumbersTaking::kOk);
  EXPECT_EQ(read_text(path_), text);
  write_text(path_, store_file("7", "0x0050C2A10000", "1", "keys.txt"));
  r = travek::numbers_check(path_.c_str());
  EXPECT_EQ(r.taking, NumbersTaking::kInvalid);
  EXPECT_EQ(r.verdict.fault, NumbersFault::kBadValue);
  EXPECT_EQ(r.verdict.line, 14u);
}

class NumberCommandE2e : public ::testing::Test {
 protected:
  static constexpr const char* kSha =
      "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

  bool draw(const std::string& command, int limit_ms, uint64_t* number, std::string* what) {
    char text[512] = "";
    const bool ok = travek::number_from_command(command.c_str(), "/dev/ttyUSB3", kSha, limit_ms,
                                                number, text, sizeof(text));
    *what = text;
    return ok;
  }

  std::string sqlite(const std::string& sql) {
    const e2e::ChildResult r = e2e::run_child("/usr/bin/sqlite3", {db_, sql});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  TempFolder folder_{"command"};
  const std::string dir_ = folder_.path();
  const std::string db_ = dir_ + "/line.db";
};

// One sequence in a database, shared by takers at once, as line PCs share it.
TEST_F(NumberCommandE2e, ASqliteSequenceGivesEachDrawItsOwnNumber) {
  sqlite("CREATE TABLE seq(n INTEGER); INSERT INTO seq VALUES (100000);");
  const std::string command =
      "sqlite3 -cmd '.timeout 10000' " + db_ + " 'UPDATE seq SET n = n + 1 RETURNING n;'";
  uint64_t number = 0;
  std::string what;
  ASSERT_TRUE(draw(command, 10000, &number, &what)) << what;
  EXPECT_EQ(number, 100001u);

  std::vector<std::unique_ptr<RunningChild>> drawers;
  for (int i = 0; i < 4; ++i) {
    drawers.push_back(std::make_unique<RunningChild>(
        NUMBERS_PROBE_PATH,
        std::vector<std::string>{"command", "10000", "/dev/ttyUSB" + std::to_string(i), kSha,
                                 command + "; " + command}));
  }
  std::set<uint64_t> given = {number};
  for (auto& drawer : drawers) {
    const e2e::ChildResult r = drawer->finish(30000);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out.rfind("number ", 0), 0u) << r.out;
    EXPECT_TRUE(given.insert(std::stoull(r.out.substr(7))).second) << r.out;
  }
  // Each drawer's command drew twice and gave its first: 9 draws in all.
  EXPECT_EQ(sqlite("SELECT n FROM seq;"), "100009\n");
  EXPECT_EQ(given.size(), 5u);
}

// The port and the image's digest are in the command's environment, over
// any of the same names the tool was given.
TEST_F(NumberCommandE2e, ThePortAndTheDigestReachTheCommand) {
  sqlite("CREATE TABLE given(id INTEGER PRIMARY KEY, port TEXT, sha TEXT);");
  setenv("TRAVEK_PORT", "stale", 1);
  const std::string command = "sqlite3 " + db_ +
                              " \"INSERT INTO given(port, sha) VALUES ('$TRAVEK_PORT', "
                              "'$TRAVEK_SHA256') RETURNING id;\"";
  uint64_t number = 0;
  std::string what;
  const bool drawn = draw(command, 10000, &number, &what);
  unsetenv("TRAVEK_PORT");
  ASSERT_TRUE(drawn) << what;
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(sqlite("SELECT port, sha FROM given;"), std::string("/dev/ttyUSB3|") + kSha + "\n");
}

TEST_F(NumberCommandE2e, ACommandThatGivesNoNumberIsToldAsItWas) {
  sqlite("CREATE TABLE other(x);");
  const struct {
    const char* name;
    std::string command;
    std::string what;  // the start of the description
    std::string also;  // and what it holds further on (the program's own words)
  } cases[] = {
      {"a failing database command", "sqlite3 " + db_ + " 'UPDATE seq SET n = n + 1 RETURNING n;'",
       "exited with status 1; error output \"", "no such table: seq"},
      {"a missing program", "sqlite4 " + db_, "exited with status 127; error output \"",
       "sqlite4: not found\""},
      {"a number then a failure", "echo 5; exit 3", "exited with status 3", ""},
      {"killed", "echo 5; kill -9 $$", "was ended by signal 9 (Killed)", ""},
      {"garbage", "echo 'serial: 12'", "printed \"serial: 12\", not a number", ""},
      {"nothing", "true", "printed nothing", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t number = 0;
    std::string what;
    EXPECT_FALSE(draw(c.command, 10000, &number, &what));
    EXPECT_EQ(what.substr(0, c.what.size()), c.what) << what;
    EXPECT_NE(what.find(c.also, c.what.size()), std::string::npos) << what;
  }
}

bool process_gone(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat_file, text);
  const size_t paren = text.rfind(')');
  return text.empty() || (paren != std::string::npos && text.substr(paren + 2, 1) == "Z");
}

bool gone_within(pid_t pid, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (process_gone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return process_gone(pid);
}

// The time limit ends the command and all it started.
TEST_F(NumberCommandE2e, ACommandPastItsTimeIsKilledWithAllItStarted) {
  const std::string pid_file = dir_ + "/child.pid";
  uint64_t number = 0;
  std::string what;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(
      draw("echo waiting >&2; sleep 30 & echo $! > " + pid_file + "; wait", 1000, &number, &what));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(what, "did not end within 1 s; error output \"waiting\"");
  EXPECT_GE(seconds, 1.0);
  EXPECT_LT(seconds, 8.0);
  const pid_t sleeper = std::stoi(read_text(pid_file));
  EXPECT_TRUE(gone_within(sleeper, 5000)) << "pid " << sleeper;
}

// The wait is for the shell, not for whatever it left holding its output,
// and the command reads no keys: its input is empty.
TEST_F(NumberCommandE2e, TheShellsEndIsTheCommandsEnd) {
  uint64_t number = 0;
  std::string what;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(draw("cat; (sleep 20 &); echo 7", 10000, &number, &what)) << what;
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 8.0);
  EXPECT_EQ(number, 7u);
}

// A termination request while the command runs ends the run at once, as
// held requests do, and the run's ending kills the command.
TEST_F(NumberCommandE2e, ATerminationRequestEndsTheWaitAndTheCommand) {
  const std::string pid_file = dir_ + "/child.pid";
  RunningChild probe(NUMBERS_PROBE_PATH, {"command", "20000", "/dev/ttyUSB0", kSha,
                                          "sleep 30 & echo $! > " + pid_file + ".new; mv " +
                                              pid_file + ".new " + pid_file + "; wait"});
  for (int waited = 0; waited < 10000 && !std::filesystem::exists(pid_file); waited += 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(std::filesystem::exists(pid_file));
  const auto start = std::chrono::steady_clock::now();
  probe.signal(SIGTERM);
  const e2e::ChildResult r = probe.finish(10000);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 8.0);
  EXPECT_EQ(r.out, "ended SIGTERM\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(gone_within(std::stoi(read_text(pid_file)), 5000));
}

}  // namespace
