// station-sim over a real pseudo-terminal, driven by a tiny client written
// here: bootstrap, station packet, a short stream and the restart.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "assets/builtin_resident.h"
#include "common/crc16.h"
#include "link/termios2_linux.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using testing_support::contains;
using Bytes = std::vector<uint8_t>;

Bytes read_n(int fd, size_t n, int timeout_ms) {
  Bytes got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (got.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    uint8_t buf[2048];
    ssize_t r = read(fd, buf, std::min(sizeof(buf), n - got.size()));
    if (r <= 0) break;
    got.insert(got.end(), buf, buf + r);
  }
  return got;
}

void write_all(int fd, const Bytes& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

Bytes with_crc(Bytes bytes) {
  uint16_t crc = travek::crc16(bytes.data(), static_cast<uint32_t>(bytes.size()), 0);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

TEST(StationSimE2e, ScriptedClientBootstrapsStreamsAndRestarts) {
  char flash_path[] = "/tmp/travek-flash-XXXXXX";
  close(mkstemp(flash_path));
  e2e::StationSim sim({"--clock", "12", "--chip0", "1F:D5:02:FE", "--expect", "restart",
                       "--flash-out", flash_path});
  ASSERT_FALSE(sim.port().empty());
  int fd = open(sim.port().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(travek::termios2::set_raw(fd, 9600, 1));
  tcflush(fd, TCIOFLUSH);  // what the reset pulse ends with

  Bytes start = read_n(fd, 1, 2000);
  ASSERT_EQ(start.size(), 1u);
  EXPECT_EQ(start[0], 0xEB);  // 0x55 at 11520, seen at 9600

  Bytes body(travek::kBuiltinResident + 8,
             travek::kBuiltinResident + travek::kBuiltinResidentSize - 2);
  body[726] = 12;  // (375000 - 14400) / 28800
  ASSERT_TRUE(travek::termios2::set_raw(fd, 11520, 2));
  write_all(fd, body);
  EXPECT_EQ(read_n(fd, body.size(), 5000), body);

  ASSERT_TRUE(travek::termios2::set_raw(fd, 57600, 1));
  write_all(fd, {'U'});
  EXPECT_EQ(read_n(fd, 1, 2000), Bytes{'U'});
  Bytes packet = read_n(fd, 12, 2000);
  ASSERT_EQ(packet.size(), 12u);
  EXPECT_EQ(packet[0], 0xEE);
  EXPECT_EQ(travek::crc16(packet.data(), 12, 0), 0);
  EXPECT_EQ(packet[4], 0x02);  // chip 0 sector units

  // Two pages fill one 128-byte sector at 0xE0000 (page 0x3800).
  write_all(fd, with_crc({0x00, 0x38}));
  Bytes stream = with_crc({0x00, 0xB8, 0x12, 0x34});
  Bytes page{0x01, 0x38};
  for (int i = 0; i < 64; ++i) page.push_back(static_cast<uint8_t>(i));
  page = with_crc(page);
  stream.insert(stream.end(), page.begin(), page.end());
  write_all(fd, stream);
  EXPECT_EQ(read_n(fd, 1, 2000), Bytes{0x0F});
  write_all(fd, {'S', 'R'});
  EXPECT_EQ(read_n(fd, 1, 2000).size(), 1u);
  close(fd);

  e2e::ChildResult r = sim.finish();
  std::string v = sim.verdict();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(e2e::json_field(v, "clean"), "true") << v;
  EXPECT_EQ(e2e::json_field(v, "divisor"), "12");
  EXPECT_EQ(e2e::json_field(v, "pages_fill"), "1");
  EXPECT_EQ(e2e::json_field(v, "pages_full"), "1");
  EXPECT_EQ(e2e::json_field(v, "restart"), "true");

  std::ifstream in(flash_path, std::ios::binary);
  Bytes flash((std::istreambuf_iterator<char>(in)), {});
  unlink(flash_path);
  ASSERT_EQ(flash.size(), 131072u);  // 0xE0000..0xFFFFF
  EXPECT_EQ(flash[0], 0x12);
  EXPECT_EQ(flash[63], 0x34);
  EXPECT_EQ(flash[64 + 5], 5);
  EXPECT_EQ(flash[128], 0xFF);
}

TEST(StationSimE2e, ViolationMakesTheExitStatusNonZero) {
  e2e::StationSim sim({"--expect", "resident"});
  int fd = open(sim.port().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(travek::termios2::set_raw(fd, 9600, 1));
  tcflush(fd, TCIOFLUSH);
  ASSERT_EQ(read_n(fd, 1, 2000), Bytes{0x55});
  // The body with the one stop bit of the waiting line: the boot loader
  // needs two, so it is garbled.
  Bytes body(travek::kBuiltinResident + 8, travek::kBuiltinResident + 40);
  write_all(fd, body);
  read_n(fd, body.size(), 300);
  close(fd);
  e2e::ChildResult r = sim.finish();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(e2e::json_field(sim.verdict(), "clean"), "false");
  EXPECT_TRUE(contains(sim.verdict(), "framing error"));
}

// Paced, a load takes at least the line's time for the stream at the rate
// the tool chose (10 bits a byte), and still lands byte for byte; unpaced,
// the same load is far quicker. Only the lower bound is asserted: a loaded
// machine may be slower, never faster than the line.
TEST(StationSimE2e, PacedStationTakesTheLinesTime) {
  testing_support::Bytes image(8192);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  testing_support::TempFile file(image);
  char flash_path[] = "/tmp/travek-flash-XXXXXX";
  close(mkstemp(flash_path));
  e2e::StationSim sim({"--clock", "11", "--paced", "--flash-out", flash_path});
  e2e::ChildResult run =
      e2e::run_child(TRAVEK32_PATH, {"-y", "-json", "-port:" + sim.port(), file.path()});
  EXPECT_EQ(sim.finish().status, 0) << sim.verdict();
  ASSERT_TRUE(contains(run.out, "\"result\":\"ok\"")) << run.out << run.err;
  const size_t at = run.out.find("\"load_ms\":");
  ASSERT_NE(at, std::string::npos);
  const long load_ms = std::stol(run.out.substr(at + 10));
  const double stream_bytes = 8192 + 8192 / 64 * 4;  // the pages and their address and CRC
  EXPECT_GE(load_ms, static_cast<long>(stream_bytes * 10 / 115200 * 1000 * 0.98)) << run.out;
  std::ifstream in(flash_path, std::ios::binary);
  Bytes flash((std::istreambuf_iterator<char>(in)), {});
  unlink(flash_path);
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.end() - 8192))
      << "image not at the top of flash";
}

// A 10 MHz station's bootstrap with the built-in resident, from its start
// byte to the station packet: whether every echo and answer came right.
bool bootstrap(int fd) {
  Bytes body(travek::kBuiltinResident + 8,
             travek::kBuiltinResident + travek::kBuiltinResidentSize - 2);
  body[726] = 10;  // (312500 - 14400) / 28800
  if (!travek::termios2::set_raw(fd, 9600, 2)) return false;
  if (write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) return false;
  if (read_n(fd, body.size(), 5000) != body) return false;
  if (!travek::termios2::set_raw(fd, 57600, 1) || write(fd, "U", 1) != 1) return false;
  return read_n(fd, 13, 2000).size() == 13;
}

// Then one 256-byte sector of fill records at 0xE0000 and the restart.
bool load_and_restart(int fd) {
  Bytes stream = with_crc({0x00, 0x38});
  for (uint8_t page = 0; page < 4; ++page) {
    const Bytes fill = with_crc({page, 0xB8, 0x5A, 0xA5});
    stream.insert(stream.end(), fill.begin(), fill.end());
  }
  if (write(fd, stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) return false;
  if (read_n(fd, 1, 2000) != Bytes{0x0F}) return false;
  return write(fd, "SR", 2) == 2 && read_n(fd, 1, 2000).size() == 1;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// One port held open: after each session the client sets the line back to
// 9600 bit/s, one stop bit, and the next station's start byte comes without
// a pulse. The jumper is set, so each restarted station comes back first.
// Only lower bounds of time are asserted: a loaded machine is only slower.
TEST(StationSimE2e, SeriesServesStationAfterStationOnOneOpenPort) {
  e2e::StationSim sim({"--arrive-ms", "400", "--sessions", "3", "--jumper-set", "--expect",
                       "restart", "--fault-session", "2", "--echo-wrong", "5"});
  int fd = open(sim.port().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(travek::termios2::set_raw(fd, 9600, 1));
  tcflush(fd, TCIOFLUSH);  // the one pulse, for the first station
  ASSERT_EQ(read_n(fd, 1, 2000), Bytes{0x55});
  for (int session = 1; session <= 3; ++session) {
    SCOPED_TRACE(session);
    const bool faulty = session == 2;
    EXPECT_EQ(bootstrap(fd), !faulty);
    if (!faulty) {
      ASSERT_TRUE(load_and_restart(fd));
    }
    ASSERT_TRUE(travek::termios2::set_raw(fd, 9600, 1));
    tcflush(fd, TCIOFLUSH);  // emptying the queues is no pulse once the series is under way
    if (session == 3) break;
    if (!faulty) {
      ASSERT_EQ(read_n(fd, 1, 2000), Bytes{0x55});  // the same station, come back
    }
    const int64_t from = e2e::now_ms();
    ASSERT_EQ(read_n(fd, 1, 5000), Bytes{0x55});  // the next station
    EXPECT_GE(e2e::now_ms() - from, 250);
  }
  // The last station leaves 400 ms after it came back: the port goes away.
  EXPECT_EQ(read_n(fd, 1, 5000), Bytes{0x55});
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  close(fd);
  e2e::ChildResult r = sim.finish();
  EXPECT_EQ(r.status, 1) << r.out << r.err;  // the second station's session failed
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  for (int session = 1; session <= 3; ++session) {
    const std::string& v = lines[static_cast<size_t>(session)];
    EXPECT_EQ(e2e::json_field(v, "clean"), "true") << v;
    EXPECT_EQ(e2e::json_field(v, "resets"), session == 1 ? "1" : "0") << v;
    EXPECT_EQ(e2e::json_field(v, "restart"), session == 2 ? "false" : "true") << v;
    EXPECT_EQ(e2e::json_field(v, "start_bytes"), session == 2 ? "1" : "2") << v;
  }
}

// Three stations in one process: paths one a line, links and verdict files
// numbered, and the exit status for all of them.
TEST(StationSimE2e, SeveralStationsEachOnItsOwnPseudoTerminal) {
  char dir[] = "/tmp/travek-stations-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string base = dir;
  e2e::StationSim sim({"--stations", "3", "--expect", "resident", "--link", base + "/station",
                       "--verdict", base + "/verdict"},
                      3);
  ASSERT_EQ(sim.ports().size(), 3u);
  std::vector<int> fds;
  for (size_t k = 0; k < 3; ++k) {
    char target[64] = {};
    const std::string link = base + "/station" + std::to_string(k + 1);
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0) << link;
    EXPECT_EQ(std::string(target), sim.ports()[k]);
    fds.push_back(open(link.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_GE(fds.back(), 0);
    ASSERT_TRUE(travek::termios2::set_raw(fds.back(), 9600, 1));
    tcflush(fds.back(), TCIOFLUSH);
  }
  // All three wait for their client at once; the third gets the start of
  // the body with one stop bit, which its boot loader takes as framing errors.
  for (size_t k = 0; k < 3; ++k) ASSERT_EQ(read_n(fds[k], 1, 2000), Bytes{0x55});
  EXPECT_TRUE(bootstrap(fds[0]));
  EXPECT_TRUE(bootstrap(fds[1]));
  write_all(fds[2], Bytes(travek::kBuiltinResident + 8, travek::kBuiltinResident + 40));
  read_n(fds[2], 32, 300);
  for (int fd : fds) close(fd);
  e2e::ChildResult r = sim.finish();
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  for (size_t k = 0; k < 3; ++k) EXPECT_EQ(lines[k], sim.ports()[k]);
  for (int k = 1; k <= 3; ++k) {
    const std::string prefix = "{\"station\":" + std::to_string(k) + ",";
    const auto line = std::find_if(lines.begin() + 3, lines.end(), [&](const std::string& l) {
      return l.compare(0, prefix.size(), prefix) == 0;
    });
    ASSERT_NE(line, lines.end()) << r.out;
    std::ifstream in(base + "/verdict." + std::to_string(k));
    std::string from_file;
    std::getline(in, from_file);
    EXPECT_EQ("{" + from_file.substr(1), "{" + line->substr(prefix.size()));
    EXPECT_EQ(e2e::json_field(from_file, "clean"), k == 3 ? "false" : "true") << from_file;
    std::remove((base + "/verdict." + std::to_string(k)).c_str());
    EXPECT_NE(access((base + "/station" + std::to_string(k)).c_str(), F_OK), 0);  // removed
  }
  rmdir(dir);
}

}  // namespace
