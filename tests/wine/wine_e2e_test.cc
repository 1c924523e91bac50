// Travek32.exe under Wine: its texts as code page 866 bytes, byte for byte,
// and the serial path through a COM port of the Wine prefix linked to
// station-sim's pseudo-terminal. Wine passes only standard rates to the line,
// so the station is of the 10 MHz class (boot 9600, operating 57600).
#include <iconv.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"
#include "event_lines.h"
#include "loopback.h"
#include "ser2net_process.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using e2e::ChildResult;
using testing_support::contains;
using testing_support::TempFile;

// The UTF-8 text as the Windows build writes it: code page 866, and CRT
// text mode turns every line feed into CR LF.
std::string console_bytes(const std::string& utf8) {
  iconv_t cd = iconv_open("CP866", "UTF-8");
  std::string in = utf8, out(utf8.size(), '\0');
  char* src = in.data();
  char* dst = out.data();
  size_t src_left = in.size(), dst_left = out.size();
  iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  std::string crlf;
  for (char c : out) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return crlf;
}

class WineE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string prefix = TRAVEK_WINE_PREFIX;
    ASSERT_EQ(access((prefix + "/dosdevices").c_str(), F_OK), 0)
        << "\"" << prefix << "\" is not a Wine prefix: make it with wineboot -i";
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    com2_ = prefix + "/dosdevices/com2";
    com12_ = prefix + "/dosdevices/com12";
  }

  // The exe runs from a Windows path of its own folder, with Linux paths
  // to files as Z: paths.
  static ChildResult travek(const std::vector<std::string>& args, int timeout_ms = 60000) {
    std::vector<std::string> all = {TRAVEK_WINDOWS_EXE};
    all.insert(all.end(), args.begin(), args.end());
    e2e::ChildOptions options;
    options.timeout_ms = timeout_ms;
    return e2e::run_child(WINE_PROGRAM, all, options);
  }

  static std::string windows_path(const std::string& path) { return "Z:" + path; }

  static std::string com2_;
  static std::string com12_;
};

std::string WineE2e::com2_;
std::string WineE2e::com12_;

using testing_support::kBanner;
using testing_support::kPressKey;

TEST_F(WineE2e, UsageIsWrittenInCodePage866) {
  ChildResult r = travek({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, console_bytes(kBanner +
                                 "\nФормат: Travek32.exe [-o:xxx] [-a:yyy] [-s] [-com#] имя_файла\n"
                                 "  где: xxx - смещение от начала файла\n"
                                 "       yyy - адрес, начиная с которого писать\n\n" +
                                 kPressKey));
}

TEST_F(WineE2e, SwitchAndFileErrors) {
  TempFile file(std::vector<uint8_t>(64, 0x11));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-com5", windows_path(file.path())}, "\nНедопустимый порт: -com5\n\n"},
      {{"-o:0"}, "\nОшибка при вводе смещения: 0\n\n"},
      {{"-A:xyz"}, "\nОшибка при вводе адреса: xyz\n\n"},
      {{"-x"}, "\nНедопустимый ключ: -x\n\n"},
      {{"-s"}, "\nНе определено имя файла!\n\n\n"},
      {{"Z:\\no\\such.bin"}, "\nОшибка открытия файла: \"Z:\\no\\such.bin\"\n\n"},
  };
  for (const Case& c : cases) {
    ChildResult r = travek(c.args);
    EXPECT_EQ(r.status, 255) << c.args[0];
    EXPECT_EQ(r.out, console_bytes(kBanner + c.message + kPressKey)) << c.args[0];
  }
}

TEST_F(WineE2e, MissingPortIsReported) {
  TempFile file(std::vector<uint8_t>(64, 0x11));
  ChildResult r = travek({"-port:COM9", windows_path(file.path())});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, console_bytes(kBanner +
                                 "\nНедоступен или неисправен порт: COM9\n"
                                 "- возможно захвачен другой программой\n" +
                                 kPressKey));
  EXPECT_TRUE(contains(r.err, "travek32: COM9: "));
}

TEST_F(WineE2e, SendOnlyModeThroughComPortTwelve) {
  // Ports above COM9 are opened as \\.\COM12; the messages name COM12.
  e2e::StationSim sim({"--link", com12_, "--expect", "resident"});
  ASSERT_FALSE(sim.port().empty());
  TempFile resident(testing_support::builtin_image());
  ChildResult r = travek({"-s", "-port:COM12", windows_path(resident.path())});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(
      contains(r.out, console_bytes("\nПорт COM12: Ожидание СТАРТА станции, (\"Esc\"- выход)\n")));
  EXPECT_TRUE(contains(r.out, console_bytes("Ok! FQ: 10mHz\nЗасылаем резидента... T= ")));
  EXPECT_TRUE(contains(r.out, console_bytes(" ms, Резидент: Старт - Ok!\n" + kPressKey)));
  sim.finish();
  EXPECT_EQ(e2e::json_field(sim.verdict(), "clean"), "true") << sim.verdict();
  EXPECT_EQ(e2e::json_field(sim.verdict(), "handshake"), "true");
}

TEST_F(WineE2e, FullFlashThroughTheWineComPort) {
  char flash_path[] = "/tmp/travek-wine-flash-XXXXXX";
  close(mkstemp(flash_path));
  e2e::StationSim sim({"--link", com2_, "--flash-out", flash_path});
  std::mt19937 rng(3);
  std::vector<uint8_t> image(32768);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = i < 8192 ? 0xFF : static_cast<uint8_t>(rng());
  TempFile file(image);
  ChildResult r = travek({windows_path(file.path())}, 120000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, console_bytes("\b\b\b100%  T= ")));
  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 0) << sim.verdict();
  EXPECT_EQ(e2e::json_field(sim.verdict(), "clean"), "true") << sim.verdict();
  std::ifstream in(flash_path, std::ios::binary);
  std::vector<uint8_t> flash((std::istreambuf_iterator<char>(in)), {});
  unlink(flash_path);
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::vector<uint8_t>(flash.end() - static_cast<long>(image.size()), flash.end()) ==
              image);
}

// The top of a flash dump holds the image, as the automatic start puts it.
bool flash_ends_with(const std::string& flash_path, const std::vector<uint8_t>& image) {
  std::ifstream in(flash_path, std::ios::binary);
  std::vector<uint8_t> flash((std::istreambuf_iterator<char>(in)), {});
  unlink(flash_path.c_str());
  return flash.size() >= image.size() &&
         std::equal(image.begin(), image.end(), flash.end() - static_cast<long>(image.size()));
}

std::string temp_path(const char* stem) {
  std::string pattern = std::string("/tmp/travek-wine-") + stem + "-XXXXXX";
  close(mkstemp(pattern.data()));
  return pattern;
}

// A HEX file from objcopy, driven by its events, with its log record: the
// same record in both places, the message texts in UTF-8.
TEST_F(WineE2e, HexFileWithEventsAndLog) {
  const std::string flash = temp_path("flash");
  const std::string log = temp_path("log");
  unlink(log.c_str());
  e2e::StationSim sim({"--link", com2_, "--flash-out", flash});
  std::mt19937 rng(5);
  std::vector<uint8_t> image(16384);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  TempFile bin(image);
  const std::string hex = temp_path("hex");
  ASSERT_EQ(
      std::system(("objcopy -I binary -O ihex --change-addresses 0xFC000 " + bin.path() + " " + hex)
                      .c_str()),
      0);
  ChildResult r =
      travek({"-json", "-y", "-log:" + windows_path(log), "-port:COM2", windows_path(hex)}, 120000);
  unlink(hex.c_str());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<nlohmann::json> events = e2e::json_lines(r.out);
  ASSERT_FALSE(events.empty()) << r.out;
  nlohmann::json end = events.back();
  EXPECT_EQ(end["event"], "end");
  EXPECT_EQ(end["result"], "ok");
  EXPECT_EQ(end["format"], "hex");
  EXPECT_EQ(end["port"], "COM2");
  EXPECT_EQ(end["start_address"], 0xFC000);
  std::vector<nlohmann::json> records = e2e::json_lines(e2e::read_text(log));
  unlink(log.c_str());
  ASSERT_EQ(records.size(), 1u);
  end.erase("event");
  EXPECT_EQ(records[0], end);
  EXPECT_EQ(sim.finish().status, 0) << sim.verdict();
  EXPECT_TRUE(flash_ends_with(flash, image));
}

// Two COM ports at once: each station flashed by a child of its own.
TEST_F(WineE2e, TwoComPortsAtOnce) {
  const std::string flash2 = temp_path("flash2");
  const std::string flash12 = temp_path("flash12");
  e2e::StationSim sim2({"--link", com2_, "--flash-out", flash2});
  e2e::StationSim sim12({"--link", com12_, "--flash-out", flash12});
  std::mt19937 rng(6);
  std::vector<uint8_t> image(8192);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  TempFile file(image);
  ChildResult r = travek({"-json", "-y", "-ports:COM2,COM12", windows_path(file.path())}, 120000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<nlohmann::json> events = e2e::json_lines(r.out);
  ASSERT_FALSE(events.empty()) << r.out;
  EXPECT_EQ(events.back(),
            (nlohmann::json{{"event", "summary"}, {"ok", 2}, {"failed", 0}, {"batches", 1}}));
  EXPECT_EQ(sim2.finish().status, 0) << sim2.verdict();
  EXPECT_EQ(sim12.finish().status, 0) << sim12.verdict();
  EXPECT_TRUE(flash_ends_with(flash2, image));
  EXPECT_TRUE(flash_ends_with(flash12, image));
}

// A network port where nothing listens: the port message, and Winsock's
// reason on standard error.
TEST_F(WineE2e, RefusedNetworkPortIsReported) {
  TempFile file(std::vector<uint8_t>(64, 0x11));
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(e2e::free_loopback_port());
  ChildResult r = travek({"-port:" + url, windows_path(file.path())});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, console_bytes(kBanner + "\nНедоступен или неисправен порт: " + url +
                                 "\n- возможно захвачен другой программой\n" + kPressKey));
  EXPECT_TRUE(contains(r.err, "travek32: " + url + ": ")) << r.err;
}

// Through Winsock to ser2net on the loopback: a full flash at the 11 MHz
// class, whose 10472 and 115200 bit/s the server sets on its line (a Wine
// COM port could not).
TEST_F(WineE2e, FullFlashThroughWinsockToSer2net) {
  const std::string flash = temp_path("flash-net");
  e2e::StationSim sim({"--clock", "11", "--flash-out", flash});
  e2e::Ser2net server(sim.port());
  ASSERT_TRUE(server.listening());
  std::mt19937 rng(8);
  std::vector<uint8_t> image(32768);
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = i % 5 == 0 ? 0xFF : static_cast<uint8_t>(rng());
  }
  TempFile file(image);
  ChildResult r = travek({"-y", "-port:" + server.url(), windows_path(file.path())}, 120000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, console_bytes("\nПорт " + server.url() + ": Ожидание СТАРТА")));
  EXPECT_TRUE(contains(r.out, console_bytes("Ok! FQ: 11mHz\n")));
  EXPECT_TRUE(contains(r.out, console_bytes("\b\b\b100%  T= ")));
  EXPECT_EQ(sim.finish().status, 0) << sim.verdict();
  EXPECT_EQ(e2e::json_field(sim.verdict(), "clean"), "true") << sim.verdict();
  EXPECT_TRUE(flash_ends_with(flash, image));
}

// A station's serial number taken by the Windows build: written into the
// image in the flash, shown in code page 866, carried by the log record,
// and the numbers file moved on with its CRLF lines kept.
TEST_F(WineE2e, StationNumberFromTheNumbersFile) {
  const std::string flash = temp_path("number-flash");
  const std::string log = temp_path("number-log");
  const std::string numbers = temp_path("numbers");
  std::ofstream(numbers, std::ios::binary)
      << "# line 3\r\naddress = 0xFFF00\r\nbytes = 6\r\nencoding = dec\r\nnext = 4711\r\n";
  e2e::StationSim sim({"--link", com2_, "--flash-out", flash});
  const std::vector<uint8_t> image(16384, 0x5A);
  TempFile file(image);
  ChildResult r = travek(
      {"-y", "-log:" + windows_path(log), "-n:" + windows_path(numbers), windows_path(file.path())},
      120000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, console_bytes("Номер станции:     4711\n\nЗагрузка FLASH:")));
  EXPECT_EQ(sim.finish().status, 0) << sim.verdict();
  std::vector<uint8_t> expected = image;
  const std::string digits = "004711";
  std::copy(digits.begin(), digits.end(), expected.end() - 0x100);
  EXPECT_TRUE(flash_ends_with(flash, expected));
  EXPECT_EQ(e2e::json_field(e2e::read_text(log), "number"), "4711");
  EXPECT_EQ(e2e::read_text(numbers),
            "# line 3\r\naddress = 0xFFF00\r\nbytes = 6\r\nencoding = dec\r\nnext = 4712\r\n");
  unlink(log.c_str());
  unlink(numbers.c_str());
  unlink((numbers + ".lock").c_str());
}

// A station's fields taken by the Windows build: a MAC block and a key
// from a list beside the numbers file, each in the flash, shown in code
// page 866 by value and by line, the record carrying them; the file moved
// on with its CRLF lines kept, and no key told anywhere.
TEST_F(WineE2e, StationFieldsFromTheNumbersFile) {
  const std::string flash = temp_path("fields-flash");
  const std::string log = temp_path("fields-log");
  const std::string numbers = temp_path("fields-numbers");
  const std::string keys = temp_path("fields-keys");
  const std::string text =
      "address = 0xFFF00\r\nbytes = 4\r\nencoding = le\r\nnext = 4711\r\n"
      "mac.address = 0xFFF10\r\nmac.bytes = 6\r\nmac.encoding = be\r\n"
      "mac.next = 0x0050C2A10000\r\nmac.step = 2\r\nmac.show = hex\r\n"
      "key.address = 0xFFF20\r\nkey.bytes = 8\r\nkey.list = " +
      keys.substr(keys.rfind('/') + 1) + "\r\nkey.next = 2\r\n";
  std::ofstream(numbers, std::ios::binary) << text;
  const std::vector<std::string> list = {"0F1E2D3C4B5A6978", "c3d2e1f0a9b8c7d6",
                                         "13579BDF02468ACE"};
  std::ofstream(keys, std::ios::binary) << list[0] << "\r\n" << list[1] << "\r\n" << list[2];
  e2e::StationSim sim({"--link", com2_, "--flash-out", flash});
  const std::vector<uint8_t> image(16384, 0x5A);
  TempFile file(image);
  ChildResult r = travek(
      {"-y", "-log:" + windows_path(log), "-n:" + windows_path(numbers), windows_path(file.path())},
      120000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, console_bytes("Номер станции:     4711\nПоле mac: 0050C2A10000\n"
                                            "Поле key: строка 2\n\nЗагрузка FLASH:")));
  EXPECT_EQ(sim.finish().status, 0) << sim.verdict();
  std::vector<uint8_t> expected = image;
  const std::vector<uint8_t> fields = {0x67, 0x12, 0,    0,                              // 4711
                                       0x00, 0x50, 0xC2, 0xA1, 0x00, 0x00,               // the MAC
                                       0xC3, 0xD2, 0xE1, 0xF0, 0xA9, 0xB8, 0xC7, 0xD6};  // line 2
  std::copy(fields.begin(), fields.begin() + 4, expected.end() - 0x100);
  std::copy(fields.begin() + 4, fields.begin() + 10, expected.end() - 0xF0);
  std::copy(fields.begin() + 10, fields.end(), expected.end() - 0xE0);
  EXPECT_TRUE(flash_ends_with(flash, expected));
  const std::string logged = e2e::read_text(log);
  const std::vector<nlohmann::json> records = e2e::json_lines(logged);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].value("fields", nlohmann::json("absent")),
            (nlohmann::json{{"mac", 0x0050C2A10000}, {"key", {{"line", 2}}}}));
  std::string moved = text;
  moved.replace(moved.find("next = 4711"), 11, "next = 4712");
  moved.replace(moved.find("0x0050C2A10000"), 14, "0x0050C2A10002");
  moved.replace(moved.find("key.next = 2"), 12, "key.next = 3");
  EXPECT_EQ(e2e::read_text(numbers), moved);
  for (std::string key : list) {
    for (const auto& to_case : {::toupper, ::tolower}) {
      std::transform(key.begin(), key.end(), key.begin(), to_case);
      for (const std::string& told : {r.out, r.err, logged}) {
        EXPECT_FALSE(contains(told, key.substr(0, 8))) << key;
        EXPECT_FALSE(contains(told, key.substr(8))) << key;
      }
    }
  }
  for (const std::string& path : {log, numbers, numbers + ".lock", keys}) unlink(path.c_str());
}

// The unattended line on two COM ports, three stations each placed at its
// port's own pace: each flashed once and recorded with its cycle, the
// line ended by Esc, the summary with the line's counts.
TEST_F(WineE2e, UnattendedLineOnTwoComPorts) {
  e2e::TempFolder folder("wine-line");
  const std::string dir = folder.path();
  e2e::StationSim sim2({"--link", com2_, "--sessions", "3", "--arrive-ms", "3200", "--flash-out",
                        dir + "/flash2", "--verdict", dir + "/verdict2"});
  e2e::StationSim sim12({"--link", com12_, "--sessions", "3", "--arrive-ms", "3600", "--flash-out",
                         dir + "/flash12", "--verdict", dir + "/verdict12"});
  const std::vector<uint8_t> image = e2e::random_image(8192, 12);
  TempFile file(image);
  e2e::RunningChild run(WINE_PROGRAM,
                        {TRAVEK_WINDOWS_EXE, "-json", "-auto", "-ports:COM2,COM12",
                         "-log:" + windows_path(dir + "/line.jsonl"), windows_path(file.path())});
  ASSERT_TRUE(run.wait_for_count("\"event\":\"end\"", 6, 120000)) << run.out();
  run.send_input("\x1b");
  const ChildResult r = run.finish(60000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<nlohmann::json> events = e2e::json_lines(r.out);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["event"], "summary");
  EXPECT_EQ(events.back()["ok"], 6);
  std::map<std::string, std::vector<int>> cycles;
  for (const nlohmann::json& record : e2e::json_lines(e2e::read_text(dir + "/line.jsonl"))) {
    EXPECT_EQ(record["result"], "ok") << record;
    cycles[record["port"]].push_back(record["cycle"]);
  }
  EXPECT_EQ(cycles,
            (std::map<std::string, std::vector<int>>{{"COM2", {1, 2, 3}}, {"COM12", {1, 2, 3}}}));
  for (const std::string name : {"2", "12"}) {
    const std::vector<nlohmann::json> verdicts =
        e2e::json_lines(e2e::read_text(dir + "/verdict" + name));
    ASSERT_EQ(verdicts.size(), 3u) << name;
    for (const nlohmann::json& v : verdicts) {
      EXPECT_EQ(v["clean"], true) << v;
      EXPECT_EQ(v["stream_complete"], true) << v;
    }
    EXPECT_TRUE(flash_ends_with(dir + "/flash" + name, image)) << name;
  }
}

// A job as a line engineer on Windows writes it: a COM port, the image by
// a relative path with backslashes, its hash as older certutil gives it
// (upper case, in pairs with spaces). The job is shown, the image flashed,
// and the record names the job and its text's hash.
TEST_F(WineE2e, JobWithAComPortAndABackslashedRelativeImage) {
  e2e::TempFolder folder("wine-job");
  const std::string dir = folder.path();
  std::filesystem::create_directories(dir + "/jobs");
  std::filesystem::create_directories(dir + "/images");
  const std::vector<uint8_t> image = e2e::random_image(8192, 13);
  std::ofstream(dir + "/images/fw.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
  const ChildResult hashed = e2e::run_child("/usr/bin/sha256sum", {dir + "/images/fw.bin"});
  ASSERT_EQ(hashed.status, 0);
  std::string spaced;
  for (size_t i = 0; i < 64; i += 2) {
    spaced += (i ? " " : "") + hashed.out.substr(i, 2);
  }
  std::transform(spaced.begin(), spaced.end(), spaced.begin(), ::toupper);
  const std::string job = "name = wine-line\r\nimage = ..\\images\\fw.bin\r\nsha256 = " + spaced +
                          "\r\nports = COM2\r\nmode = single\r\nrestart = yes\r\n"
                          "log = line.jsonl\r\n";
  std::ofstream(dir + "/jobs/line.job", std::ios::binary) << job;
  e2e::StationSim sim({"--link", com2_, "--flash-out", dir + "/flash"});
  std::string job_path = windows_path(dir + "/jobs/line.job");
  std::replace(job_path.begin(), job_path.end(), '/', '\\');
  const ChildResult r = travek({"-job:" + job_path}, 120000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, console_bytes("Задание: wine-line\nОбраз: ..\\images\\fw.bin, "
                                            "SHA-256 " +
                                            hashed.out.substr(0, 12) + "\n")));
  EXPECT_EQ(sim.finish().status, 0) << sim.verdict();
  EXPECT_TRUE(flash_ends_with(dir + "/flash", image));
  const std::vector<nlohmann::json> records =
      e2e::json_lines(e2e::read_text(dir + "/jobs/line.jsonl"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "ok");
  EXPECT_EQ(records[0]["job"], "wine-line");
  const ChildResult job_hash = e2e::run_child("/usr/bin/sha256sum", {dir + "/jobs/line.job"});
  EXPECT_EQ(records[0]["job_sha256"], job_hash.out.substr(0, 64));
}

}  // namespace
