// Time to take a station number from the numbers file (a benchmark, not a
// test: it reports; it stops only if a taking fails). Each taking is timed
// from the call, which waits for the lock, to its return after the rename
// and the folder's flush: once by one process alone, then with 8 processes
// taking at once from one file. The file lies in a new folder under the
// given one (default /tmp), so the figures are that disk's.
//   numbers_bench [FOLDER]
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "numbers/numbers_store.h"

namespace {

constexpr int kProcesses = 8;
constexpr int kTakesEach = 100;
constexpr int kTakesAlone = 200;

double now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Takes count numbers and appends each one's time in ms.
void take(const std::string& path, int count, std::vector<double>* times) {
  for (int i = 0; i < count; ++i) {
    const double start = now_ms();
    const travek::NumbersResult r = travek::numbers_take(path.c_str());
    times->push_back(now_ms() - start);
    if (r.taking != travek::NumbersTaking::kOk) {
      std::fprintf(stderr, "taking failed: %d %s\n", static_cast<int>(r.taking), r.reason);
      std::exit(1);
    }
  }
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[at];
}

void report(const char* what, const std::vector<double>& times, double wall_ms) {
  std::printf("%-34s %5zu takings  median %6.2f ms  p99 %6.2f ms  max %6.2f ms  %6.0f/s\n", what,
              times.size(), percentile(times, 0.5), percentile(times, 0.99), percentile(times, 1.0),
              1e3 * static_cast<double>(times.size()) / wall_ms);
}

}  // namespace

int main(int argc, char** argv) {
  std::string pattern = std::string(argc > 1 ? argv[1] : "/tmp") + "/travek-numbers-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror(pattern.c_str());
    return 1;
  }
  const std::string path = pattern + "/line.numbers";
  std::ofstream(path) << "# bench\naddress = 0xFFF00\nbytes = 4\nencoding = le\nnext = 1\n";

  std::vector<double> alone;
  double start = now_ms();
  take(path, kTakesAlone, &alone);
  report("one process alone", alone, now_ms() - start);

  // The takers start together when the gate closes, and send back their
  // times through a pipe each.
  int gate[2];
  if (pipe(gate) != 0) return 1;
  std::vector<int> results;
  std::vector<pid_t> takers;
  for (int i = 0; i < kProcesses; ++i) {
    int back[2];
    if (pipe(back) != 0) return 1;
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
      close(gate[1]);
      char c;
      if (read(gate[0], &c, 1) != 0) _exit(1);
      std::vector<double> times;
      take(path, kTakesEach, &times);
      const size_t bytes = times.size() * sizeof(double);
      if (write(back[1], times.data(), bytes) != static_cast<ssize_t>(bytes)) _exit(1);
      _exit(0);
    }
    close(back[1]);
    results.push_back(back[0]);
    takers.push_back(pid);
  }
  close(gate[0]);
  start = now_ms();
  close(gate[1]);
  std::vector<double> contended;
  for (int fd : results) {
    std::vector<double> times(kTakesEach);
    size_t got = 0;
    const size_t want = times.size() * sizeof(double);
    while (got < want) {
      const ssize_t n = read(fd, reinterpret_cast<char*>(times.data()) + got, want - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    close(fd);
    contended.insert(contended.end(), times.begin(), times.begin() + got / sizeof(double));
  }
  const double wall = now_ms() - start;
  for (pid_t pid : takers) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  report("8 processes at once, each taking", contended, wall);
  std::filesystem::remove_all(pattern);
  return 0;
}
