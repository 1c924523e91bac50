// Load-time figures (a benchmark, not a test: it reports, it asserts nothing).
//
// 1. Virtual time: a 512 KB random image loaded at 57600 and 115200 bit/s,
//    with a realistic flash write time, through each adapter profile (its
//    transmit FIFO and receive latency), shown against the line's physical
//    limit: the bytes the load puts on the line divided by the line's bytes
//    per second (10 bits a byte).
// 2. Pseudo-terminal: the real travek32 against station-sim, the same image:
//    wall and CPU time of both processes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/images.h"
#include "virtual_line.h"

extern char** environ;

namespace {

using testing_support::Bytes;

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

void pty_figures(const testing_support::TempFile& file) {
  std::printf("\nPseudo-terminal, the same image, travek32 against station-sim (no flash time):\n");
  char sim_out[] = "/tmp/travek-bench-XXXXXX";
  int sim_fd = mkstemp(sim_out);
  auto start = std::chrono::steady_clock::now();
  pid_t sim = spawn({STATION_SIM_PATH}, sim_fd);
  std::string port;
  for (int i = 0; i < 200 && port.empty(); ++i) {
    usleep(10000);
    char buf[256] = {};
    if (pread(sim_fd, buf, sizeof(buf) - 1, 0) > 0 &&
        std::string(buf).find('\n') != std::string::npos) {
      port = std::string(buf).substr(0, std::string(buf).find('\n'));
    }
  }
  int null_fd = open("/dev/null", O_WRONLY);
  auto tool_start = std::chrono::steady_clock::now();
  pid_t tool = spawn({TRAVEK32_PATH, "-port:" + port, file.path()}, null_fd);
  Usage t = finish(tool, tool_start);
  Usage s = finish(sim, start);
  close(null_fd);
  close(sim_fd);
  unlink(sim_out);
  std::printf("  travek32:    wall %.2f s, user %.2f s, system %.2f s (status %d)\n", t.wall_s,
              t.user_s, t.system_s, t.status);
  std::printf("  station-sim: user %.2f s, system %.2f s (status %d)\n", s.user_s, s.system_s,
              s.status);
}

}  // namespace

int main() {
  testing_support::TempFile file(random_image());
  virtual_figures(file);
  pty_figures(file);
  return 0;
}
