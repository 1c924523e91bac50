// The unattended line end to end: the real binary with -auto against
// station-sims that place station after station on their ports, each at
// its own pace, with no key between them; a station back with its jumper
// set, a network port whose server goes and comes back, a local port that
// goes, and a parent killed outright.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "event_lines.h"
#include "ser2net_process.h"
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
using testing_support::contains;
using testing_support::TempFile;

// Waits until the line has told n events of the kind; each station's
// record is written before its end event. False at the deadline.
bool wait_events(RunningChild& run, const std::string& name, size_t n, int timeout_ms) {
  return run.wait_for_count("\"event\":\"" + name + "\"", n, timeout_ms);
}

// The processes the given one started, by their parent's id.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent) found.push_back(std::stoi(name));
  }
  return found;
}

// True once the process has ended, within timeout_ms.
bool ends_within(pid_t pid, int timeout_ms) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  pollfd ended{fd, POLLIN, 0};
  const int r = poll(&ended, 1, timeout_ms);
  close(fd);
  return r == 1;
}

class LineE2e : public ::testing::Test {
 protected:
  // A station-sim reached by a link in the test's folder: the link goes with
  // station-sim, so a port reopened later never finds another test's terminal.
  std::unique_ptr<StationSim> linked(const std::string& name, std::vector<std::string> args) {
    args.insert(args.end(), {"--link", port(name), "--flash-out", port(name) + ".flash"});
    return std::make_unique<StationSim>(args);
  }
  std::string port(const std::string& name) const { return dir_ + "/" + name; }

  e2e::TempFolder folder_{"line"};
  const std::string dir_ = folder_.path();
  const std::string log_ = dir_ + "/line.jsonl";
  const std::vector<uint8_t> image_ = e2e::random_image(16384, 21);
  TempFile file_{image_};
};

// Three ports, five stations each, placed at each port's own pace; one
// station fails a sector in the middle of its port's series. Every station
// is recorded once with its cycle, its own number (the failed one's burnt
// and kept), every flash is clean, and the summary's counts and stations an
// hour agree with the records.
TEST_F(LineE2e, ThreePortsFiveStationsEachAtTheirOwnPace) {
  const std::string numbers = dir_ + "/line.numbers";
  std::ofstream(numbers) << "address = 0xFFF00\nbytes = 4\nencoding = le\nnext = 500\n";
  auto fast =
      linked("fast", {"--sessions", "5", "--arrive-ms", "3200", "--verdict", dir_ + "/fast.v"});
  auto slow = linked("slow", {"--sessions", "5", "--arrive-ms", "4000", "--clock", "11",
                              "--verdict", dir_ + "/slow.v"});
  auto failing = linked(
      "failing", {"--sessions", "5", "--arrive-ms", "3500", "--clock", "12", "--fault-session", "3",
                  "--fail-sector", "2", "--verdict", dir_ + "/failing.v"});
  const std::string ports = port("fast") + "," + port("slow") + "," + port("failing");
  const int64_t began = e2e::now_ms();
  RunningChild run(TRAVEK32_PATH, {"-json", "-auto", "-ports:" + ports, "-n:" + numbers,
                                   "-log:" + log_, file_.path()});
  ASSERT_TRUE(wait_events(run, "end", 15, 90000)) << run.out();
  run.send_input("\x1b");
  const ChildResult r = run.finish(30000);
  const double hours = double(e2e::now_ms() - began) / 3600e3;
  EXPECT_EQ(r.status, 255) << "one station failed";
  const std::vector<json> records = json_lines(read_text(log_));
  ASSERT_EQ(records.size(), 15u);
  std::map<std::string, std::vector<int>> cycles;
  std::set<uint64_t> numbers_given;
  std::map<std::string, uint32_t> last_number;
  unsigned ok = 0;
  for (const json& record : records) {
    cycles[record["port"]].push_back(record["cycle"]);
    ASSERT_TRUE(record["number"].is_number()) << record.dump();
    EXPECT_TRUE(numbers_given.insert(record["number"].get<uint64_t>()).second) << record.dump();
    const bool failed_one = record["port"] == port("failing") && record["cycle"] == 3;
    EXPECT_EQ(record["result"], failed_one ? "flash-write-error" : "ok") << record.dump();
    ok += record["result"] == "ok";
    last_number[record["port"]] = record["number"];
  }
  EXPECT_EQ(*numbers_given.begin(), 500u);
  EXPECT_EQ(*numbers_given.rbegin(), 514u) << "every number given once, none skipped";
  for (const auto& [port, seen] : cycles)
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5})) << port;
  for (const char* name : {"fast", "slow", "failing"}) {
    const std::vector<json> verdicts = json_lines(read_text(dir_ + "/" + name + ".v"));
    ASSERT_GE(verdicts.size(), 5u) << name;
    for (size_t k = 0; k < 5; ++k) {
      const bool failed_one = std::string(name) == "failing" && k == 2;
      EXPECT_EQ(verdicts[k]["clean"], true) << name << k << verdicts[k].dump();
      EXPECT_EQ(verdicts[k]["stream_complete"], !failed_one) << name << k;
      EXPECT_EQ(verdicts[k]["resets"], k == 0 ? 1 : 0) << "one pulse, when the port opened";
    }
    // The last station's flash as it left: the image with its number, at
    // 0xFFF00 of the image at the top of the flash.
    std::vector<uint8_t> expected = image_;
    const uint32_t last = last_number[port(name)];
    for (size_t i = 0; i < 4; ++i) expected[expected.size() - 256 + i] = uint8_t(last >> (8 * i));
    const std::string text = read_text(port(name) + ".flash");
    const std::vector<uint8_t> flash(text.begin(), text.end());
    EXPECT_TRUE(flash.size() >= expected.size() &&
                std::equal(expected.begin(), expected.end(), flash.end() - long(expected.size())))
        << name;
  }
  const std::vector<json> events = json_lines(r.out);
  ASSERT_FALSE(events.empty());
  const json summary = events.back();
  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["ok"], ok);
  EXPECT_EQ(summary["failed"], 15 - ok);
  // Fifteen stations in no more than the test's time, and in no less than
  // the four gaps of the quickest port.
  const double per_hour = summary["per_hour"];
  EXPECT_GE(per_hour, 15 / hours);
  EXPECT_LE(per_hour, 15 / (4 * 3.2 / 3600));
}

// A station back in its boot loader with its jumper set is not flashed
// again; the next one placed is.
TEST_F(LineE2e, AStationBackWithItsJumperIsNotFlashedTwice) {
  auto sim = linked("jumper", {"--sessions", "2", "--jumper-set", "--arrive-ms", "3500",
                               "--verdict", dir_ + "/verdicts"});
  RunningChild run(TRAVEK32_PATH,
                   {"-json", "-auto", "-port:" + port("jumper"), "-log:" + log_, file_.path()});
  ASSERT_TRUE(wait_events(run, "end", 2, 60000)) << run.out();
  ASSERT_TRUE(run.wait_for_output("\"jumper-set\"", 10000));
  run.send_input("\x1b");
  const ChildResult r = run.finish(30000);
  EXPECT_EQ(r.status, 0) << r.out;
  const std::vector<json> records = json_lines(read_text(log_));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["cycle"], 2);
  std::vector<json> returned;
  for (const json& e : json_lines(r.out)) {
    if (e["event"] == "jumper-set") returned.push_back(e);
  }
  ASSERT_GE(returned.size(), 1u);
  EXPECT_EQ(returned[0]["cycle"], 1);
  EXPECT_EQ(returned[0]["port"], port("jumper"));
  const std::vector<json> verdicts = json_lines(read_text(dir_ + "/verdicts"));
  ASSERT_GE(verdicts.size(), 2u);
  for (size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(verdicts[k]["stream_complete"], true) << k;
    EXPECT_EQ(verdicts[k]["clean"], true) << "nothing sent to it once back: " << verdicts[k].dump();
  }
}

// A network port whose server is killed mid-load: that station ends with
// its step's message; when the server is back, on the same port, the next
// station is flashed. A local port that goes is told as gone.
TEST_F(LineE2e, APortLostAndBack) {
  auto sim = linked("net", {"--sessions", "0", "--arrive-ms", "3200", "--paced", "--clock", "11"});
  e2e::Ser2net server(port("net"));
  ASSERT_TRUE(server.listening());
  const std::vector<uint8_t> big = e2e::random_image(65536, 22);
  TempFile file(big);
  RunningChild run(TRAVEK32_PATH,
                   {"-json", "-auto", "-port:" + server.url(), "-log:" + log_, file.path()});
  ASSERT_TRUE(run.wait_for_output("\"percent\":20", 60000)) << run.out();
  server.kill();
  ASSERT_TRUE(wait_events(run, "end", 1, 30000)) << run.out();
  ASSERT_TRUE(run.wait_for_output("\"port-lost\"", 10000)) << run.out();
  ASSERT_TRUE(server.restart());
  ASSERT_TRUE(wait_events(run, "end", 2, 90000)) << run.out();
  run.send_input("\x1b");
  const ChildResult r = run.finish(30000);
  const std::vector<json> records = json_lines(read_text(log_));
  ASSERT_GE(records.size(), 2u);
  EXPECT_NE(records[0]["result"], "ok");
  EXPECT_EQ(records[1]["result"], "ok") << records[1].dump();
  EXPECT_EQ(records[1]["cycle"], 2);

  // A local port that goes away: its line shows it.
  auto gone = linked("gone", {"--sessions", "0", "--arrive-ms", "60000"});
  const std::string local_port = port("gone");
  RunningChild local(TRAVEK32_PATH, {"-auto", "-port:" + local_port, file_.path()});
  ASSERT_TRUE(local.wait_for_output(local_port + ": готово", 30000)) << local.out();
  gone.reset();
  EXPECT_TRUE(local.wait_for_output(local_port + ": порт недоступен", 30000)) << local.out();
  local.send_input("\x1b");
  ASSERT_TRUE(local.wait_for_output("Press a key", 30000)) << local.out();
  local.send_input("x");
  EXPECT_FALSE(local.finish(30000).timed_out);
}

// The parent killed outright while one station is under way: that station
// is finished and recorded by its port's process, which then ends, as the
// other port's does at once; every station the parent saw start has its
// record, and none is flashed unseen afterwards.
TEST_F(LineE2e, AKilledParentLosesNoRecord) {
  auto a = linked("a", {"--sessions", "0", "--arrive-ms", "3100", "--paced"});
  auto b = linked("b", {"--sessions", "0", "--arrive-ms", "3300", "--paced"});
  RunningChild run(TRAVEK32_PATH, {"-json", "-auto", "-ports:" + port("a") + "," + port("b"),
                                   "-log:" + log_, file_.path()});
  ASSERT_TRUE(wait_events(run, "end", 2, 60000)) << run.out();
  ASSERT_TRUE(wait_events(run, "clock", 3, 60000)) << run.out();
  const std::vector<pid_t> ports = children_of(run.pid());
  ASSERT_EQ(ports.size(), 2u);
  run.signal(SIGKILL);
  run.finish(10000);
  for (pid_t pid : ports) EXPECT_TRUE(ends_within(pid, 30000)) << "a port's process left running";
  using Station = std::pair<std::string, int>;  // port, cycle
  auto station_of = [](const json& j) { return Station{j["port"], j["cycle"]}; };
  std::set<Station> started, recorded;
  for (const json& e : json_lines(run.out().substr(0, run.out().rfind('\n') + 1))) {
    if (e["event"] == "clock") started.insert(station_of(e));
  }
  for (const json& record : json_lines(read_text(log_))) {
    EXPECT_TRUE(recorded.insert(station_of(record)).second) << record.dump();
    EXPECT_EQ(record["result"], "ok") << record.dump();
  }
  EXPECT_GE(started.size(), 3u);
  for (const Station& s : started) EXPECT_EQ(recorded.count(s), 1u) << s.first << " " << s.second;
  // A station that began just as the parent died, its start not yet passed
  // on, is recorded too; none began after: at most one a port past those seen.
  std::map<std::string, int> seen_last;
  for (const Station& s : started) seen_last[s.first] = std::max(seen_last[s.first], s.second);
  for (const Station& s : recorded) EXPECT_LE(s.second, seen_last[s.first] + 1) << s.first;
}

}  // namespace
