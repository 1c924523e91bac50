// Intel HEX and S-record files as the field's own tools write them, loaded
// by the real binary into station-sim: each flashes what the raw image with
// the matching -a: flashes, and what srec_cat, converting the same file back
// to a binary, says the flash must hold.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using e2e::ChildResult;
using e2e::StationSim;
using testing_support::Bytes;
using testing_support::contains;

constexpr uint32_t kFlashBase = 0x80000;  // the simulator's 512 KB chip

class FormatsE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v objcopy srec_cat >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "objcopy or srec_cat is missing";
    }
    char pattern[] = "/tmp/travek-formats-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string write_random(const std::string& name, size_t size, unsigned seed) const {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
    return path(name);
  }

  // Runs a shell command in the test's folder; its failure fails the test.
  void shell(const std::string& command) const {
    ASSERT_EQ(std::system(("cd " + dir_ + " && " + command).c_str()), 0) << command;
  }

  static Bytes read_all(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  // The flash after the tool has loaded the file; empty if the run failed.
  Bytes flash_after(const std::vector<std::string>& args, std::string* out = nullptr) const {
    const std::string flash = path("flash.out");
    std::remove(flash.c_str());
    StationSim sim({"--flash-out", flash});
    std::vector<std::string> all = {"-port:" + sim.port()};
    all.insert(all.end(), args.begin(), args.end());
    ChildResult r = e2e::run_child(TRAVEK32_PATH, all);
    if (out != nullptr) *out = r.out;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    ChildResult s = sim.finish();
    EXPECT_EQ(s.status, 0) << sim.verdict();
    return r.status == 0 ? read_all(flash) : Bytes{};
  }

  std::string dir_;
};

TEST_F(FormatsE2e, FilesTheToolchainsWriteFlashWhatTheRawImageFlashes) {
  const struct Case {
    const char* name;
    uint32_t address;  // sector-aligned, in the flash
    size_t size;
    std::string make;  // makes FILE from image.bin
    const char* format;
  } cases[] = {
      {"objcopy ihex", 0xE0000, 20000,
       "objcopy -I binary -O ihex --change-addresses 0xE0000 image.bin FILE", "-intel"},
      // Type 02 segment records across the 64 KB line.
      {"objcopy ihex, segments", 0x8FF00, 40000,
       "objcopy -I binary -O ihex --change-addresses 0x8FF00 image.bin FILE", "-intel"},
      {"objcopy srec", 0xC0000, 30000,
       "objcopy -I binary -O srec --change-addresses 0xC0000 image.bin FILE", "-motorola"},
      {"srec_cat intel", 0xF0000, 65536,
       "srec_cat image.bin -binary -offset 0xF0000 -o FILE -intel", "-intel"},
      {"srec_cat intel, segments", 0x8FF00, 5000,
       "srec_cat image.bin -binary -offset 0x8FF00 -o FILE -intel -address-length=3", "-intel"},
      {"srec_cat motorola", 0xA0000, 12345,
       "srec_cat image.bin -binary -offset 0xA0000 -o FILE -motorola", "-motorola"},
      {"srec_cat motorola, CRLF and a start address", 0x81000, 3000,
       "srec_cat image.bin -binary -offset 0x81000 -o FILE -motorola -crlf "
       "-execution-start-address=0x81000",
       "-motorola"},
  };
  unsigned seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_random("image.bin", c.size, seed++);
    std::string make = c.make;
    make.replace(make.find("FILE"), 4, "image.file");
    shell(make);
    // srec_cat's own reading of the file: erased flash with its bytes.
    shell(std::string("srec_cat image.file ") + c.format + " -fill 0xFF " +
          std::to_string(kFlashBase) + " 0x100000 -offset -" + std::to_string(kFlashBase) +
          " -o oracle.bin -binary");
    std::string out;
    const Bytes from_file = flash_after({path("image.file")}, &out);
    char address[16];
    std::snprintf(address, sizeof(address), "-a:0x%X", c.address);
    const Bytes from_raw = flash_after({address, path("image.bin")});
    ASSERT_EQ(from_file.size(), 524288u);
    EXPECT_TRUE(from_file == from_raw) << "the file flashes other than the raw image with -a:";
    EXPECT_TRUE(from_file == read_all(path("oracle.bin"))) << "srec_cat reads the file otherwise";
    EXPECT_TRUE(contains(out, "Объем загружаемых данных:  " + std::to_string(c.size) + " байт"));
  }
}

TEST_F(FormatsE2e, GapsAreErasedFlashAndTheLoadStartsAtTheSector) {
  // Two stretches 6 KB apart, the first 16 bytes into its sector.
  write_random("a.bin", 1000, 21);
  write_random("b.bin", 777, 22);
  shell("srec_cat a.bin -binary -offset 0xE0010 b.bin -binary -offset 0xE1810 -o gaps.hex -intel");
  shell(
      "srec_cat gaps.hex -intel -fill 0xFF 0x80000 0x100000 -offset -0x80000 -o oracle.bin "
      "-binary");
  std::string out;
  const Bytes flash = flash_after({path("gaps.hex")}, &out);
  EXPECT_TRUE(flash == read_all(path("oracle.bin")));
  // From the lowest address to the highest.
  EXPECT_TRUE(
      contains(out, "Объем загружаемых данных:  " + std::to_string(0x1810 + 777 - 0x10) + " байт"));
}

TEST_F(FormatsE2e, RefusedFilesSendNothingToTheStation) {
  shell("printf ':0400000001020304F2\\r\\n:00000001FF\\r\\n' > good.hex");
  shell("printf ':0400000001020304F2\\n:00000001FF\\n' > bad.srec");  // not S-records
  shell("printf ':04000000010203\\n' > short.hex");
  shell("printf ':00000001FF\\n' > empty.hex");
  shell("printf 'S1130000000102030405060708090A0B0C0D0E0F74\\nS5030002FA\\n' > count.s19");
  const struct Case {
    std::vector<std::string> args;
    std::string message;
    bool port_opened;
  } cases[] = {
      {{"-f:srec", path("bad.srec")}, "\nОшибка формата файла, строка 1: неверная запись\n", true},
      {{path("short.hex")}, "\nОшибка формата файла, строка 1: неверная запись\n", true},
      {{path("count.s19")}, "\nОшибка формата файла, строка 2: неверное число записей\n", true},
      {{"-f:HEX", path("empty.hex")}, "\nПлохой размер загружаемой части файла!\n\n", true},
      {{"-a:0xE0000", path("good.hex")}, "\nКлюч -a: неприменим к файлу Intel HEX\n\n", false},
      {{"-O:5", path("count.s19")}, "\nКлюч -O: неприменим к файлу Motorola S-record\n\n", false},
      {{"-sx", path("good.hex")}, "\nКлюч -s неприменим к файлу Intel HEX\n\n", false},
      {{"-f:elf", path("good.hex")}, "\nНедопустимый формат файла: elf\n\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    StationSim sim({"--expect", "resident"});
    std::vector<std::string> args = {"-port:" + sim.port()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ChildResult r = e2e::run_child(TRAVEK32_PATH, args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, testing_support::kBanner + c.message + testing_support::kPressKey);
    if (c.port_opened) {
      sim.finish();
      EXPECT_EQ(e2e::json_field(sim.verdict(), "body_bytes"), "0") << sim.verdict();
      EXPECT_NE(e2e::json_field(sim.verdict(), "resets"), "0") << "the pulse comes first";
    }
  }
}

}  // namespace
