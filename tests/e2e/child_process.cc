#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace e2e {

int64_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

namespace {

int status_of(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// The job's parent on its terminal: waits for it, then ends as it did.
[[noreturn]] void serve_as_shell(pid_t job) {
  int raw = 0;
  while (waitpid(job, &raw, 0) < 0 && errno == EINTR) {
  }
  _exit(status_of(raw));
}

// Makes the terminal this process's own and this process its foreground
// job, with a parent in the same session as a shell would be.
void become_job_on(int terminal_fd) {
  setsid();
  ioctl(terminal_fd, TIOCSCTTY, 0);
  const pid_t job = fork();
  if (job > 0) serve_as_shell(job);
  setpgid(0, 0);
  ::signal(SIGTTOU, SIG_IGN);  // taking the foreground from the background
  tcsetpgrp(terminal_fd, getpid());
  ::signal(SIGTTOU, SIG_DFL);
}

}  // namespace

RunningChild::RunningChild(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, int stdin_fd, int stdout_fd,
                           int terminal_fd) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return;
  }
  if (terminal_fd >= 0) stdin_fd = stdout_fd = terminal_fd;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(stdin_fd >= 0 ? stdin_fd : in[0], 0);
    dup2(stdout_fd >= 0 ? stdout_fd : out[1], 1);
    dup2(err[1], 2);
    if (terminal_fd >= 0) {
      become_job_on(terminal_fd);
    } else {
      setpgid(0, 0);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    ::signal(SIGPIPE, SIG_DFL);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  ::signal(SIGPIPE, SIG_IGN);
}

RunningChild::~RunningChild() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) close(fd);
  }
}

bool RunningChild::pump(int timeout_ms) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  int open = (out_ >= 0) + (err_ >= 0);
  if (open == 0) return false;
  if (poll(fds, 2, timeout_ms) <= 0) return true;
  char buf[4096];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    ssize_t n = read(fds[i].fd, buf, sizeof(buf));
    if (n > 0) {
      (i == 0 ? result_.out : result_.err).append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
      close(fds[i].fd);
      (i == 0 ? out_ : err_) = -1;
    }
  }
  return true;
}

bool RunningChild::wait_for_output(const std::string& text, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  while (result_.out.find(text) == std::string::npos) {
    int64_t left = deadline - now_ms();
    if (left <= 0 || !pump(static_cast<int>(left))) return false;
  }
  return true;
}

bool RunningChild::wait_until(const std::function<bool()>& done, int timeout_ms) {
  const int64_t deadline = now_ms() + timeout_ms;
  while (!done()) {
    const int64_t left = deadline - now_ms();
    if (left <= 0) return false;
    const int step = static_cast<int>(left < 100 ? left : 100);
    if (!pump(step)) poll(nullptr, 0, step);  // output closed: only done() is left to watch
  }
  return true;
}

bool RunningChild::wait_for_count(const std::string& text, size_t n, int timeout_ms) {
  return wait_until(
      [&] {
        size_t found = 0;
        for (size_t at = 0; (at = result_.out.find(text, at)) != std::string::npos; ++at) ++found;
        return found >= n;
      },
      timeout_ms);
}

void RunningChild::send_input(const std::string& text) {
  size_t done = 0;
  while (in_ >= 0 && done < text.size()) {
    ssize_t n = write(in_, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

void RunningChild::close_input() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void RunningChild::close_output() {
  if (out_ >= 0) close(out_);
  out_ = -1;
}

void RunningChild::signal(int sig) { kill(pid_, sig); }

ChildResult RunningChild::finish(int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  int raw = 0;
  rusage usage{};
  bool exited = false;
  while (!exited && pump(50)) {
    exited = wait4(pid_, &raw, WNOHANG, &usage) == pid_;
    if (!exited && now_ms() > deadline) {
      result_.timed_out = true;
      kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
      break;
    }
  }
  // Processes the child left behind may hold its pipes open: take what is
  // there once it has gone, without waiting for them.
  if (exited) {
    size_t before;
    do {
      before = result_.out.size() + result_.err.size();
      pump(20);
    } while (result_.out.size() + result_.err.size() != before);
  } else {
    while (wait4(pid_, &raw, 0, &usage) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
  result_.status = status_of(raw);
  result_.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return result_;
}

ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      const ChildOptions& options) {
  RunningChild child(program, args, options.env);
  child.send_input(options.input);
  if (!options.keep_input_open) child.close_input();
  return child.finish(options.timeout_ms);
}

}  // namespace e2e
