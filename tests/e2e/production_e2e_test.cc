// Runs of many stations: the real binary with -ports: against several
// station-sims at once, each on its own pseudo-terminal.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "event_lines.h"
#include "pseudo_terminal.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using e2e::ChildResult;
using e2e::json_lines;
using e2e::random_image;
using e2e::read_text;
using e2e::RunningChild;
using e2e::StationSim;
using nlohmann::json;
using testing_support::Bytes;
using testing_support::contains;
using testing_support::count_of;
using testing_support::TempFile;

const std::string kReminder = "НЕ ЗАБУДЬТЕ СНЯТЬ ПЕРЕМЫЧКУ...";
const std::string kNextBatch = "Следующая партия: \"Enter\"-начать, \"Esc\"-выход";

// What the tool draws on a terminal, read from its master side up to the
// exit prompt, or until nothing comes for 30 s.
std::string drawn_until_exit_prompt(int master) {
  std::string shown;
  char buffer[4096];
  pollfd p{master, POLLIN, 0};
  while (!contains(shown, "Press a key to exit") && poll(&p, 1, 30000) > 0) {
    const ssize_t n = read(master, buffer, sizeof(buffer));
    if (n <= 0) break;
    shown.append(buffer, static_cast<size_t>(n));
  }
  return shown;
}

// Processes whose command line names the port: a child left behind.
int processes_naming(const std::string& port) {
  int found = 0;
  DIR* proc = opendir("/proc");
  for (dirent* entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    std::string cmdline = read_text(std::string("/proc/") + entry->d_name + "/cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (contains(cmdline, "-port:" + port + " ") && contains(cmdline, "-json")) ++found;
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

class ProductionE2e : public ::testing::Test {
 protected:
  // A station whose flash is kept in the test's folder.
  StationSim& station(std::vector<std::string> args) {
    const std::string flash = dir_ + "/flash" + std::to_string(sims_.size());
    args.insert(args.end(), {"--flash-out", flash});
    flashes_.push_back(flash);
    sims_.push_back(std::make_unique<StationSim>(args));
    return *sims_.back();
  }
  std::string ports() const {
    std::string list;
    for (const auto& sim : sims_) list += (list.empty() ? "" : ",") + sim->port();
    return list;
  }
  // The image at the top of the flash, where the automatic start puts it.
  bool flashed(size_t station, const Bytes& image) const {
    const std::string text = read_text(flashes_[station]);
    const Bytes flash(text.begin(), text.end());
    return flash.size() >= image.size() &&
           std::equal(image.begin(), image.end(), flash.end() - static_cast<long>(image.size()));
  }
  static ChildResult finish(RunningChild& run) { return run.finish(60000); }

  e2e::TempFolder folder_{"production"};
  const std::string dir_ = folder_.path();
  const std::string log_ = dir_ + "/line.jsonl";
  std::vector<std::unique_ptr<StationSim>> sims_;  // gone before the folder
  std::vector<std::string> flashes_;
};

// One station fails a sector: the others flash byte for byte and restart
// on the one answer to the one reminder; the summary, the status and the
// log tell it; no line mixes two ports.
TEST_F(ProductionE2e, OneFailingStationLeavesTheOthersUndisturbed) {
  station({"--clock", "11", "--expect", "restart"});
  station({"--clock", "11", "--fail-sector", "3"});
  station({"--clock", "12", "--expect", "restart"});
  Bytes image = random_image(65536);
  TempFile file(image);
  RunningChild run(TRAVEK32_PATH, {"-ports:" + ports(), "-log:" + log_, file.path()});
  ASSERT_TRUE(run.wait_for_output(kReminder, 60000)) << run.out();
  run.send_input("\r");
  ASSERT_TRUE(run.wait_for_output("Press a key to exit", 60000)) << run.out();
  run.send_input("x");
  ChildResult r = finish(run);
  EXPECT_EQ(r.status, 255) << r.out << r.err;
  EXPECT_EQ(count_of(r.out, kReminder), 1u) << r.out;
  EXPECT_TRUE(contains(
      r.out, "\nИтого: успешно 2, с ошибкой 1\n" + sims_[1]->port() + ": Ошибка записи FLASH!\n"));
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("/dev/", 0) != 0) continue;
    const std::string port = line.substr(0, line.find(':'));
    EXPECT_EQ(count_of(line, "/dev/"), 1u) << "two ports in one line: " << line;
    EXPECT_TRUE(port == sims_[0]->port() || port == sims_[1]->port() || port == sims_[2]->port())
        << line;
  }
  for (size_t i : {0u, 2u}) {
    EXPECT_EQ(sims_[i]->finish().status, 0) << sims_[i]->verdict();
    EXPECT_TRUE(flashed(i, image)) << i;
  }
  sims_[1]->finish();

  std::map<std::string, json> by_port;
  for (const json& record : json_lines(read_text(log_))) by_port[record["port"]] = record;
  ASSERT_EQ(by_port.size(), 3u) << read_text(log_);
  for (size_t i = 0; i < 3; ++i) {
    const json& record = by_port[sims_[i]->port()];
    EXPECT_EQ(record["batch"], 1);
    EXPECT_EQ(record["result"], i == 1 ? "flash-write-error" : "ok") << record;
    EXPECT_EQ(record["restart"], i == 1 ? json() : json("answered")) << record;
    EXPECT_EQ(record["bytes"], 65536);
  }
}

// Esc while two stations still wait for their start byte: both cancelled,
// the third, past its wait, completes. A port that does not exist fails
// alone. Every event carries its port and batch; the stream ends with the
// summary.
TEST_F(ProductionE2e, EscCancelsTheWaitingAndEveryEventIsTagged) {
  station({"--boot-delay", "600000"});
  station({"--boot-delay", "600000"});
  station({"--clock", "12"});
  Bytes image = random_image(32768, 5);
  TempFile file(image);
  const std::string missing = "/dev/travek-no-such-port";
  RunningChild run(TRAVEK32_PATH, {"-json", "-y", "-ports:" + ports() + "," + missing,
                                   "-log:" + log_, file.path()});
  ASSERT_TRUE(run.wait_for_output("\"event\":\"loaded\"", 60000)) << run.out();
  run.send_input("\x1b");
  ChildResult r = finish(run);
  EXPECT_EQ(r.status, 255) << r.err;
  std::vector<json> events = json_lines(r.out);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), (json{{"event", "summary"}, {"ok", 1}, {"failed", 3}, {"batches", 1}}));
  std::map<std::string, std::vector<std::string>> order;
  std::map<std::string, json> ends;
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    const json& e = events[i];
    ASSERT_TRUE(e.contains("port")) << e;
    EXPECT_EQ(e["batch"], 1) << e;
    if (e["event"] != "progress") order[e["port"]].push_back(e["event"]);
    if (e["event"] == "end") ends[e["port"]] = e;
  }
  for (size_t i : {0u, 1u}) {
    EXPECT_EQ(ends[sims_[i]->port()]["result"], "cancelled");
    EXPECT_EQ(order[sims_[i]->port()], (std::vector<std::string>{"start", "waiting", "end"}));
  }
  EXPECT_EQ(ends[sims_[2]->port()]["result"], "ok");
  sims_[2]->finish();
  EXPECT_EQ(ends[missing]["result"], "port-unavailable");
  EXPECT_EQ(order[missing], (std::vector<std::string>{"end"}));
  EXPECT_TRUE(contains(r.err, missing + ": travek32: ")) << "a child's reason, with its port";
  EXPECT_TRUE(flashed(2, image));
  EXPECT_EQ(json_lines(read_text(log_)).size(), 4u);
}

// -repeat: a second batch on Enter, the end on Esc; each batch its summary,
// then the totals.
TEST_F(ProductionE2e, RepeatRunsBatchAfterBatch) {
  station({"--sessions", "2"});
  station({"--sessions", "2", "--clock", "11"});
  TempFile file(random_image(16384, 7));
  RunningChild run(TRAVEK32_PATH,
                   {"-y", "-repeat", "-ports:" + ports(), "-log:" + log_, file.path()});
  ASSERT_TRUE(run.wait_for_count(kNextBatch, 1, 60000)) << run.out();
  run.send_input("\r");
  ASSERT_TRUE(run.wait_for_count(kNextBatch, 2, 60000)) << run.out();
  run.send_input("\x1b");
  run.close_input();
  ChildResult r = finish(run);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(count_of(r.out, "\nИтого: успешно 2, с ошибкой 0\n"), 2u) << r.out;
  EXPECT_TRUE(contains(r.out, kNextBatch + "\n\nИтого: успешно 4, с ошибкой 0\n"));
  for (auto& sim : sims_) EXPECT_EQ(sim->finish().status, 0) << sim->verdict();
  std::vector<json> records = json_lines(read_text(log_));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[3]["batch"], 2);
}

// SIGTERM mid-load: every station's run recorded as terminated, no child
// left, and the next run has the ports.
TEST_F(ProductionE2e, TerminationEndsEveryStationAndFreesThePorts) {
  station({"--paced", "--sessions", "2", "--clock", "11"});
  station({"--paced", "--sessions", "2", "--clock", "11"});
  TempFile file(random_image(16384, 9));
  RunningChild run(TRAVEK32_PATH,
                   {"-json", "-y", "-ports:" + ports(), "-log:" + log_, file.path()});
  ASSERT_TRUE(run.wait_for_output("\"percent\":10", 60000)) << run.out();
  run.signal(SIGTERM);
  ChildResult r = finish(run);
  EXPECT_EQ(r.status, 255);
  std::vector<json> records = json_lines(read_text(log_));
  ASSERT_EQ(records.size(), 2u);
  for (const json& record : records) EXPECT_EQ(record["result"], "terminated") << record;
  EXPECT_EQ(json_lines(r.out).back()["event"], "summary");
  for (auto& sim : sims_) EXPECT_EQ(processes_naming(sim->port()), 0);

  RunningChild again(TRAVEK32_PATH, {"-json", "-y", "-ports:" + ports(), file.path()});
  ChildResult second = finish(again);
  EXPECT_EQ(second.status, 0) << second.out << second.err;
  EXPECT_EQ(count_of(second.out, "\"result\":\"ok\""), 2u);
}

// On a terminal: one line per port, redrawn in place, cut to a narrow
// terminal's width, the failed station's line red.
TEST_F(ProductionE2e, TerminalViewKeepsOneLinePerPortInPlace) {
  station({"--clock", "11"});
  station({"--clock", "11", "--fail-sector", "0"});
  TempFile file(random_image(16384, 4));
  e2e::PseudoTerminal screen;
  winsize narrow{};
  narrow.ws_col = 40;
  narrow.ws_row = 24;
  ASSERT_EQ(ioctl(screen.master(), TIOCSWINSZ, &narrow), 0);
  // Held open here too: a pseudo-terminal whose last slave closes drops
  // what is still unread on its master.
  const int slave = open(screen.slave_path().c_str(), O_RDWR | O_NOCTTY);
  RunningChild run(TRAVEK32_PATH, {"-y", "-ports:" + ports(), file.path()}, {}, -1, slave);
  run.close_input();
  const std::string shown = drawn_until_exit_prompt(screen.master());
  EXPECT_EQ(run.finish(10000).status, 255);
  close(slave);
  EXPECT_TRUE(contains(shown, "\x1b[2A")) << "the two lines drawn over again";
  EXPECT_TRUE(contains(shown, "\r\x1b[91m" + sims_[1]->port()));
  EXPECT_TRUE(contains(shown, "Итого: успешно 1, с ошибкой 1"));  // the terminal's CR LF
  EXPECT_TRUE(contains(shown, sims_[0]->port() + "  готово"));
  // Every drawn line, without its colour, within 39 characters.
  size_t lines = 0;
  for (size_t end = shown.find("\x1b[K"); end != std::string::npos;
       end = shown.find("\x1b[K", end + 1)) {
    std::string line = shown.substr(0, end);
    line = line.substr(line.rfind('\r') + 1);
    for (const std::string code : {"\x1b[91m", "\x1b[0m"}) {
      for (size_t at; (at = line.find(code)) != std::string::npos;) line.erase(at, code.size());
    }
    const size_t characters = std::count_if(line.begin(), line.end(), [](char c) {
      return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    });
    EXPECT_LE(characters, 39u) << line;
    ++lines;
  }
  EXPECT_GE(lines, 4u);
}

// On a terminal, a station that loaded with sector warnings: the count in
// red on its line, and after the totals a line for its port; with NO_COLOR
// the same without the colour.
TEST_F(ProductionE2e, TerminalViewShowsSectorsWithAWarning) {
  station({"--clock", "11", "--warn-sectors", "3,4", "--sessions", "2"});
  TempFile file(random_image(16384, 6));
  for (const bool colour : {true, false}) {
    SCOPED_TRACE(colour ? "colour" : "NO_COLOR");
    e2e::PseudoTerminal screen;
    const int slave = open(screen.slave_path().c_str(), O_RDWR | O_NOCTTY);
    std::vector<std::string> env;
    if (!colour) env.push_back("NO_COLOR=1");
    RunningChild run(TRAVEK32_PATH, {"-y", "-ports:" + ports(), file.path()}, env, -1, slave);
    run.close_input();
    const std::string shown = drawn_until_exit_prompt(screen.master());
    EXPECT_EQ(run.finish(10000).status, 0);
    close(slave);
    const std::string count = "предупреждений: 2";
    EXPECT_TRUE(contains(
        shown, colour ? "  \x1b[91m" + count + "\x1b[0m  11mHz" : "  " + count + "  11mHz"));
    EXPECT_EQ(count_of(shown, "\x1b[91m"), colour ? count_of(shown, count) : 0u);
    EXPECT_TRUE(contains(shown, "Итого: успешно 1, с ошибкой 0\r\n" + sims_[0]->port() +
                                    ": секторов с предупреждением: 2\r\n"));
  }
  EXPECT_EQ(sims_[0]->finish().status, 0) << sims_[0]->verdict();
}

}  // namespace
