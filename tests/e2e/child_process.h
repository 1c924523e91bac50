// Runs a program with arguments, feeds its standard input, collects its
// output, and never waits longer than a deadline.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

// The monotonic clock in milliseconds, for the deadlines of the tests' waits.
int64_t now_ms();

struct ChildResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
  bool timed_out = false;
  double cpu_s = 0;  // user and system time the child used
};

struct ChildOptions {
  std::string input;  // written to standard input, which is then closed
  bool keep_input_open = false;
  int timeout_ms = 20000;
  std::vector<std::string> env;  // extra NAME=VALUE entries
};

ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      const ChildOptions& options = {});

// A child left running: for tests that act on it while it works.
class RunningChild {
 public:
  // stdin_fd, stdout_fd: descriptors to give the child instead of pipes (a
  // terminal, say); what goes to such a stdout is not collected here.
  // terminal_fd: a terminal to run the program on as an interactive shell
  // runs a job: in a session of its own with that terminal as controlling
  // terminal, standard input and output, and the program as the foreground
  // process group, whose parent (the "shell") waits for it and passes its
  // status on. Keys typed there raise signals in the program as they would.
  RunningChild(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {}, int stdin_fd = -1, int stdout_fd = -1,
               int terminal_fd = -1);
  ~RunningChild();
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;

  // Waits until the output contains text; false at the deadline or exit.
  bool wait_for_output(const std::string& text, int timeout_ms);
  // Reads what the program writes until done() holds, looking at least
  // every 100 ms (done may watch a file, not the output), on past the
  // program's exit; false at the deadline.
  bool wait_until(const std::function<bool()>& done, int timeout_ms);
  // Waits until the output holds text n times.
  bool wait_for_count(const std::string& text, size_t n, int timeout_ms);
  void send_input(const std::string& text);
  void close_input();
  // Stops reading the program's standard output, as a pager that quits.
  void close_output();
  void signal(int sig);
  // Waits for the end; kills the child at the deadline.
  ChildResult finish(int timeout_ms);
  const std::string& out() const { return result_.out; }
  pid_t pid() const { return pid_; }

 private:
  bool pump(int timeout_ms);  // reads what is there; false once both pipes closed

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  ChildResult result_;
};

}  // namespace e2e
