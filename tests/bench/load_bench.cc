// Load-time figures (a benchmark, not a test: it reports, it asserts nothing).
//
// 1. Virtual time: a 512 KB random image loaded at 57600 and 115200 bit/s,
//    with a realistic flash write time, through each adapter profile (its
//    transmit FIFO and receive latency), shown against the line's physical
//    limit: the bytes the load puts on the line divided by the line's bytes
//    per second (10 bits a byte).
// 2. Pseudo-terminal: the real travek32 against station-sim, the same image:
//    wall and CPU time of both processes.
// 3. Many stations: 8, 32 and 64 paced stations of one station-sim and one
//    -ports: run on them, each against one paced port alone, every run with
//    -n: and -log:; the CPU of the tool's parent, of the whole run, and of
//    the simulator beside them.
// 4. Network ports: a paced 128 KB load at 115200 bit/s directly on the
//    pseudo-terminal, through ser2net (RFC 2217 on the loopback), and
//    through ser2net 10 ms further away each way, each against the line's
//    limit.
// 5. The line: 8 ports of mixed stations, each placed 5 s after the last
//    left, in -auto and in -repeat batches over the same wall time.
// An argument (virtual, pty, many, network, line) runs that part alone.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "delay_proxy.h"
#include "event_lines.h"
#include "ser2net_process.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"
#include "virtual_line.h"

extern char** environ;

namespace {

using testing_support::Bytes;
using testing_support::count_of;

constexpr size_t kImageSize = 524288;

Bytes random_image() {
  std::mt19937 rng(11);
  Bytes image(kImageSize);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  return image;
}

// The "T= N ms" of the load line.
long load_ms(const std::string& out) {
  size_t at = out.find("%{normal}  T= ");
  return at == std::string::npos ? -1 : std::stol(out.substr(at + 14));
}

void virtual_figures(const testing_support::TempFile& file) {
  std::printf("Virtual time, 512 KB random image, AT29C040 (256-byte sectors, 10 ms each):\n");
  std::printf("  %-8s %-14s %9s %12s %10s %7s\n", "line", "adapter", "load [s]", "on line [B]",
              "limit [s]", "ratio");
  struct Line {
    sim::ClockSpec clock;
    double pc_rate;
  } lines[] = {{sim::kClock12MHz, 57600}, {sim::kClock11MHz, 115200}};
  for (const Line& l : lines) {
    for (const sim::Adapter& adapter : sim::kAdapters) {
      sim::StationConfig config;
      config.clock = l.clock;
      config.sector_write_ms = 10;
      sim::VirtualOptions options;
      options.adapter = adapter;
      sim::VirtualLine line(config, options);
      int status = line.run_tool({file.path()});
      long ms = load_ms(line.output());
      // The stream's bytes: the start record and every page record.
      size_t on_line = 0;
      for (const sim::PcWrite& w : line.writes()) {
        if (w.at_ms >= 0 && !w.priority && w.bytes.size() != 1101 && w.bytes.size() != 1) {
          on_line += w.bytes.size();
        }
      }
      double limit = static_cast<double>(on_line) / (l.pc_rate / 10);
      std::printf("  %-8.0f %-14s %9.2f %12zu %10.2f %7.3f%s\n", l.pc_rate, adapter.name,
                  ms / 1000.0, on_line, limit, ms / 1000.0 / limit,
                  status == 0 && line.verdict().clean() ? "" : "  FAILED");
    }
  }
}

struct Usage {
  double wall_s = 0, user_s = 0, system_s = 0;
  int status = -1;
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

pid_t spawn(const std::vector<std::string>& args, int out_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

Usage finish(pid_t pid, std::chrono::steady_clock::time_point started) {
  Usage u;
  int raw = 0;
  rusage r{};
  wait4(pid, &raw, 0, &r);
  u.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  u.user_s = seconds(r.ru_utime);
  u.system_s = seconds(r.ru_stime);
  u.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return u;
}

// A station-sim started with its pseudo-terminal's path read from its
// first line of output.
struct Sim {
  pid_t pid = -1;
  std::string port;
  std::chrono::steady_clock::time_point started;
};

Sim start_sim(const std::vector<std::string>& args) {
  Sim sim;
  char out_path[] = "/tmp/travek-bench-XXXXXX";
  int fd = mkstemp(out_path);
  sim.started = std::chrono::steady_clock::now();
  sim.pid = spawn(args, fd);
  for (int i = 0; i < 200 && sim.port.empty(); ++i) {
    usleep(10000);
    char buf[256] = {};
    if (pread(fd, buf, sizeof(buf) - 1, 0) > 0 &&
        std::string(buf).find('\n') != std::string::npos) {
      sim.port = std::string(buf).substr(0, std::string(buf).find('\n'));
    }
  }
  close(fd);
  unlink(out_path);
  return sim;
}

void pty_figures(const testing_support::TempFile& file) {
  std::printf("\nPseudo-terminal, the same image, travek32 against station-sim (no flash time):\n");
  Sim sim = start_sim({STATION_SIM_PATH});
  int null_fd = open("/dev/null", O_WRONLY);
  auto tool_start = std::chrono::steady_clock::now();
  pid_t tool = spawn({TRAVEK32_PATH, "-port:" + sim.port, file.path()}, null_fd);
  Usage t = finish(tool, tool_start);
  Usage s = finish(sim.pid, sim.started);
  close(null_fd);
  std::printf("  travek32:    wall %.2f s, user %.2f s, system %.2f s (status %d)\n", t.wall_s,
              t.user_s, t.system_s, t.status);
  std::printf("  station-sim: user %.2f s, system %.2f s (status %d)\n", s.user_s, s.system_s,
              s.status);
}

// A process's own CPU seconds so far and its parent, from /proc; false once
// it has gone.
bool own_cpu(pid_t pid, double* cpu, pid_t* parent) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return false;
  char text[1024] = {};
  const size_t n = std::fread(text, 1, sizeof(text) - 1, f);
  std::fclose(f);
  const char* after_name = std::strrchr(text, ')');
  if (n == 0 || after_name == nullptr) return false;
  char state = 0;
  int ppid = 0;
  unsigned long utime = 0, stime = 0;
  // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
  if (std::sscanf(after_name + 2, "%c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &state,
                  &ppid, &utime, &stime) != 4) {
    return false;
  }
  *cpu = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  *parent = ppid;
  return true;
}

// Waits for the tool, sampling its own CPU time as it runs (the last sample
// stands for it). The usage wait4 gives is the tool's and that of every
// child it has waited for: the whole run's CPU.
Usage watch(pid_t tool, std::chrono::steady_clock::time_point started, double* parent_cpu) {
  Usage u;
  for (;;) {
    int raw = 0;
    rusage r{};
    if (wait4(tool, &raw, WNOHANG, &r) == tool) {
      u.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      u.user_s = seconds(r.ru_utime);
      u.system_s = seconds(r.ru_stime);
      u.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return u;
    }
    pid_t parent = 0;
    own_cpu(tool, parent_cpu, &parent);
    usleep(50000);
  }
}

struct ManyRun {
  Usage usage;
  double parent_cpu = 0;
  double sims_cpu = 0;  // the station-sim's, on the same cores
  int loaded = 0;       // stations whose session was clean and complete
};

// One run of the tool on this many paced stations, all served by one
// station-sim, with -n: and -log: when their files are named (one station
// alone: a single run, -port:).
ManyRun many_run(int stations, const std::string& image, const std::string& numbers,
                 const std::string& log) {
  e2e::StationSim sim({"--paced", "--clock", "11", "--stations", std::to_string(stations)},
                      static_cast<size_t>(stations));
  std::string ports;
  for (const std::string& port : sim.ports()) ports += (ports.empty() ? "" : ",") + port;
  int null_fd = open("/dev/null", O_WRONLY);
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::string> args = {TRAVEK32_PATH, "-y", "-json"};
  if (!numbers.empty()) args.insert(args.end(), {"-n:" + numbers, "-log:" + log});
  args.insert(args.end(), {(stations == 1 ? "-port:" : "-ports:") + ports, image});
  const pid_t tool = spawn(args, null_fd);
  ManyRun run;
  run.usage = watch(tool, started, &run.parent_cpu);
  close(null_fd);
  const e2e::ChildResult served = sim.finish(30000);
  for (const nlohmann::json& verdict : e2e::json_lines(served.out.substr(served.out.find('{')))) {
    run.loaded += verdict["clean"] == true && verdict["stream_complete"] == true;
  }
  run.sims_cpu = served.cpu_s;
  return run;
}

// The runs of many stations: up to 64 paced stations at once (the most a
// run takes) against one alone, each station taking its serial number from
// one numbers file and recorded in one log; the wall time's ratio, and the
// CPU the tool takes, its parent and every child together, per second of
// wall time.
void production_figures() {
  std::mt19937 rng(3);
  Bytes image(65536);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  testing_support::TempFile file(image);
  e2e::TempFolder folder("bench-many");
  const std::string numbers = folder.path() + "/line.numbers";
  const std::string log = folder.path() + "/line.jsonl";
  {
    // The field in the image's last bytes, where the automatic start puts it.
    std::ofstream text(numbers);
    text << "# the bench's line\naddress = 0xFFFF0\nbytes = 4\nencoding = le\nnext = 100001\n";
  }
  double load[1] = {};
  getloadavg(load, 1);
  std::printf(
      "\nMany stations: one station-sim serving every port, paced (11 MHz class, 115200 bit/s), 64 "
      "KB random "
      "image, -y, -n: and -log: (load average before: %.2f)\n",
      load[0]);
  const ManyRun one = many_run(1, file.path(), numbers, log);
  const double one_cpu = one.usage.user_s + one.usage.system_s;
  std::printf("  1 port alone: wall %.2f s (status %d), CPU %.2f %% of a core\n", one.usage.wall_s,
              one.usage.status, 100 * one_cpu / one.usage.wall_s);
  for (const int stations : {8, 32, 64, -64}) {
    // The last run without numbers and log, for what they add.
    const bool bare = stations < 0;
    const ManyRun many =
        many_run(std::abs(stations), file.path(), bare ? "" : numbers, bare ? "" : log);
    const double cpu = many.usage.user_s + many.usage.system_s;
    std::printf(
        "  %2d ports%s: wall %.2f s (status %d, %d stations loaded), ratio %.3f (goal <= 1.02)\n"
        "      CPU of a core: the tool %.2f %% (goal < 25 %%), its parent alone %.2f %%; the "
        "station-sim %.2f %%\n",
        std::abs(stations), bare ? " without -n: and -log:" : "", many.usage.wall_s,
        many.usage.status, many.loaded, many.usage.wall_s / one.usage.wall_s,
        100 * cpu / many.usage.wall_s, 100 * many.parent_cpu / many.usage.wall_s,
        100 * many.sims_cpu / many.usage.wall_s);
  }
  // What the log tied together: a record for each station, each its own number.
  std::set<uint64_t> given;
  size_t records = 0;
  std::istringstream lines(e2e::read_text(log));
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    ++records;
    if (record.is_object() && record["number"].is_number_unsigned()) {
      given.insert(record["number"].get<uint64_t>());
    }
  }
  std::printf("  log: %zu records, %zu distinct numbers\n", records, given.size());
}

// One paced load to the port; its load time from the end event (0 when it
// did not end well).
double paced_load_s(const std::string& port, const testing_support::TempFile& file) {
  e2e::ChildOptions options;
  options.timeout_ms = 120000;
  const e2e::ChildResult r =
      e2e::run_child(TRAVEK32_PATH, {"-y", "-json", "-port:" + port, file.path()}, options);
  const size_t at = r.out.find("\"load_ms\":");
  if (r.status != 0 || at == std::string::npos) return 0;
  return std::atof(r.out.c_str() + at + 10) / 1000;
}

// The same paced load three ways, in one run: the cost of the network.
void network_figures() {
  constexpr size_t kSize = 131072;
  std::mt19937 rng(4);
  Bytes image(kSize);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  testing_support::TempFile file(image);
  // The pages with their address and CRC, and the start record.
  const double on_line = static_cast<double>(kSize + kSize / 64 * 4 + 4);
  const double limit_s = on_line * 10 / 115200;
  std::printf(
      "\nNetwork ports: a paced station-sim (11 MHz class, 115200 bit/s), 128 KB random image, "
      "-y; line limit %.2f s:\n",
      limit_s);
  const std::vector<std::string> sim_args = {"--paced", "--clock", "11"};
  struct Way {
    const char* name;
    int server;  // 0: direct, 1: ser2net, 2: ser2net and the delay
  } ways[] = {{"direct on the pseudo-terminal", 0},
              {"through ser2net", 1},
              {"through ser2net, 10 ms each way", 2}};
  for (const Way& way : ways) {
    e2e::StationSim sim(sim_args);
    std::unique_ptr<e2e::Ser2net> server;
    std::unique_ptr<e2e::DelayProxy> proxy;
    std::string port = sim.port();
    if (way.server > 0) {
      server = std::make_unique<e2e::Ser2net>(sim.port());
      port = server->url();
    }
    if (way.server > 1) {
      proxy = std::make_unique<e2e::DelayProxy>(server->port(), 10);
      port = "rfc2217://127.0.0.1:" + std::to_string(proxy->port());
    }
    const double load_s = paced_load_s(port, file);
    const int sim_status = sim.finish(30000).status;
    std::printf("  %-32s load %6.2f s, ratio %.3f (goal <= 1.02)%s\n", way.name, load_s,
                load_s / limit_s, load_s > 0 && sim_status == 0 ? "" : "  FAILED");
  }
}

// A line of 8 ports: two stations of the 10 MHz class, four of 11 (one of
// them with slower sector writes), two of 12; each port's next station is
// placed 5 s after its last one left.
std::vector<std::unique_ptr<e2e::StationSim>> line_stations(std::string* ports) {
  const std::vector<std::vector<std::string>> kinds = {{"--stations", "2", "--clock", "10"},
                                                       {"--stations", "3", "--clock", "11"},
                                                       {"--clock", "11", "--sector-ms", "8"},
                                                       {"--stations", "2", "--clock", "12"}};
  std::vector<std::unique_ptr<e2e::StationSim>> sims;
  ports->clear();
  for (std::vector<std::string> args : kinds) {
    args.insert(args.end(), {"--paced", "--sessions", "0", "--arrive-ms", "5000"});
    const size_t count = args[0] == "--stations" ? std::stoul(args[1]) : 1;
    sims.push_back(std::make_unique<e2e::StationSim>(args, count));
    for (const std::string& port : sims.back()->ports())
      *ports += (ports->empty() ? "" : ",") + port;
  }
  return sims;
}

// Stations a run of the line ends well within the wall time, by its own
// end events. With -repeat the bench presses Enter as soon as every
// station of the batch is back: 5 s after the batch's prompt, which comes
// when its last station has ended.
int line_stations_within(bool unattended, const std::string& image, int wall_s) {
  std::string ports;
  const auto sims = line_stations(&ports);
  std::vector<std::string> args = {"-json", "-ports:" + ports, image};
  args.insert(args.begin(), unattended ? "-auto" : "-repeat");
  if (!unattended) args.insert(args.begin(), "-y");
  e2e::RunningChild run(TRAVEK32_PATH, args);
  const int64_t deadline = e2e::now_ms() + wall_s * 1000;
  size_t prompts = 0;
  int64_t enter_at = -1;
  while (e2e::now_ms() < deadline) {
    run.wait_for_output("\x01never\x01", 100);  // reads what comes meanwhile
    const size_t now_prompts = count_of(run.out(), "\"event\":\"prompt\"");
    if (now_prompts > prompts) {
      prompts = now_prompts;
      enter_at = e2e::now_ms() + 5000;
    }
    if (enter_at >= 0 && e2e::now_ms() >= enter_at) {
      run.send_input("\n");
      enter_at = -1;
    }
  }
  const std::string told = run.out();
  // Esc in the middle of a batch may go to its stations: again until the run ends.
  for (int i = 0; i < 120 && count_of(run.out(), "\"event\":\"summary\"") == 0; ++i) {
    run.send_input("\x1b");
    run.wait_for_output("\"event\":\"summary\"", 1000);
  }
  run.finish(30000);
  int ok = 0;
  for (const nlohmann::json& e : e2e::json_lines(told.substr(0, told.rfind('\n') + 1))) {
    ok += e["event"] == "end" && e["result"] == "ok";
  }
  return ok;
}

// The unattended line against batches with Enter, over the same wall time.
void line_figures() {
  std::mt19937 rng(5);
  Bytes image(65536);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  testing_support::TempFile file(image);
  constexpr int kWallS = 120;
  std::printf(
      "\nThe line: 8 paced ports (two of 10 MHz, four of 11, one of them with 8 ms sector "
      "writes, two of 12), 64 KB random image, each port's next station 5 s after its last "
      "one left; %d s of each:\n",
      kWallS);
  const int batches = line_stations_within(false, file.path(), kWallS);
  const int line = line_stations_within(true, file.path(), kWallS);
  const double hours = kWallS / 3600.0;
  std::printf("  -repeat, Enter once every station is back: %3d stations, %6.1f an hour\n", batches,
              batches / hours);
  std::printf("  -auto:                                     %3d stations, %6.1f an hour\n", line,
              line / hours);
  std::printf("  ratio %.2f (goal >= 1.25)\n", batches > 0 ? double(line) / batches : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string part = argc > 1 ? argv[1] : "";
  if (part.empty() || part == "virtual" || part == "pty") {
    testing_support::TempFile file(random_image());
    if (part != "pty") virtual_figures(file);
    if (part != "virtual") pty_figures(file);
  }
  if (part.empty() || part == "many") production_figures();
  if (part.empty() || part == "network") network_figures();
  if (part.empty() || part == "line") line_figures();
  return 0;
}
