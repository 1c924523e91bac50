// The numbers command on POSIX: posix_spawn of /bin/sh -c in a process group
// of its own, standard input from /dev/null, its output and error output on
// pipes. One wait_for() covers both pipes and a pidfd of the shell (Linux
// 5.3), so the wait ends when the shell does, even when something it left
// behind still holds the pipes; on the time limit the whole group is killed.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/wait_posix.h"
#include "numbers/command_verdict.h"
#include "numbers/number_command.h"

extern char** environ;

namespace travek {
namespace {

// What is kept of each output stream: a number's line and a reason's.
constexpr size_t kKeep = 4096;

// The group of the command running, for number_command_kill.
volatile sig_atomic_t running_group = 0;

struct Output {
  int fd = -1;
  std::string kept;
};

void close_fd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Reads what the pipe holds, keeping the first kKeep bytes; closes it at
// its end or on an error.
void drain(Output* o) {
  char buffer[4096];
  while (o->fd >= 0) {
    const ssize_t n = ::read(o->fd, buffer, sizeof(buffer));
    if (n > 0) {
      if (o->kept.size() < kKeep) {
        o->kept.append(buffer, std::min(static_cast<size_t>(n), kKeep - o->kept.size()));
      }
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0 || errno != EAGAIN) close_fd(&o->fd);
      return;
    }
  }
}

int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool say(char* what, size_t what_size, const char* doing, int error) {
  std::snprintf(what, what_size, "%s: %s", doing, std::strerror(error));
  return false;
}

// The tool's environment with the run's two values in place of any of the
// same names.
std::vector<std::string> command_environment(const char* port, const char* sha256) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TRAVEK_PORT=", 12) != 0 && std::strncmp(*e, "TRAVEK_SHA256=", 14) != 0) {
      env.emplace_back(*e);
    }
  }
  env.push_back(std::string("TRAVEK_PORT=") + port);
  env.push_back(std::string("TRAVEK_SHA256=") + sha256);
  return env;
}

// Starts the shell; 0 or the error.
int spawn(const char* command, const char* port, const char* sha256, int out, int err, pid_t* pid) {
  posix_spawn_file_actions_t files;
  posix_spawnattr_t attributes;
  int r = posix_spawn_file_actions_init(&files);
  if (r != 0) return r;
  r = posix_spawnattr_init(&attributes);
  if (r != 0) {
    posix_spawn_file_actions_destroy(&files);
    return r;
  }
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  // What the tool ignores or handles, the command meets as usual.
  for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
  std::vector<std::string> env = command_environment(port, sha256);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char sh[] = "sh", dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
  // A group of its own: the terminal's keys reach the tool alone, and a
  // command timed out is killed with all it started.
  if ((r = posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) == 0 &&
      (r = posix_spawn_file_actions_adddup2(&files, out, STDOUT_FILENO)) == 0 &&
      (r = posix_spawn_file_actions_adddup2(&files, err, STDERR_FILENO)) == 0 &&
      (r = posix_spawnattr_setpgroup(&attributes, 0)) == 0 &&
      (r = posix_spawnattr_setsigmask(&attributes, &none)) == 0 &&
      (r = posix_spawnattr_setsigdefault(&attributes, &defaults)) == 0 &&
      (r = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                     POSIX_SPAWN_SETSIGDEF)) == 0) {
    r = posix_spawn(pid, "/bin/sh", &files, &attributes, argv, envp.data());
  }
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  return r;
}

// Waits for the shell to end, reading its output, until the deadline.
// 0 when it ended; ETIMEDOUT; or the error of the wait.
int watch(int pidfd, Output* out, Output* err, int64_t deadline) {
  for (;;) {
    pollfd fds[3];
    Output* owners[3] = {nullptr, nullptr, nullptr};
    nfds_t count = 0;
    fds[count++] = {pidfd, POLLIN, 0};
    for (Output* o : {out, err}) {
      if (o->fd < 0) continue;
      owners[count] = o;
      fds[count++] = {o->fd, POLLIN, 0};
    }
    const int64_t left = deadline - now_ms();
    if (left <= 0) return ETIMEDOUT;
    const timespec timeout{static_cast<time_t>(left / 1000),
                           static_cast<long>(left % 1000) * 1000000};
    const int n = wait_for(fds, count, &timeout);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    for (nfds_t i = 1; i < count; ++i) {
      if (fds[i].revents != 0) drain(owners[i]);
    }
    if (fds[0].revents != 0) return 0;
  }
}

}  // namespace

bool number_from_command(const char* command, const char* port, const char* sha256, int limit_ms,
                         uint64_t* number, char* what, size_t what_size) {
  const int64_t deadline = now_ms() + limit_ms;
  int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    const int e = errno;
    for (int* fd : {&out_pipe[0], &out_pipe[1], &err_pipe[0], &err_pipe[1]}) close_fd(fd);
    return say(what, what_size, "could not be started", e);
  }
  pid_t pid = -1;
  const int started = spawn(command, port, sha256, out_pipe[1], err_pipe[1], &pid);
  close_fd(&out_pipe[1]);
  close_fd(&err_pipe[1]);
  Output out, err;
  out.fd = out_pipe[0];
  err.fd = err_pipe[0];
  if (started != 0) {
    close_fd(&out.fd);
    close_fd(&err.fd);
    return say(what, what_size, "could not be started", started);
  }
  running_group = pid;
  int watched = 0;
  int pidfd = -1;
  // Only the tool's ends wait no longer than there is something to read.
  if (fcntl(out.fd, F_SETFL, O_NONBLOCK) != 0 || fcntl(err.fd, F_SETFL, O_NONBLOCK) != 0) {
    watched = errno;
  } else if ((pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) < 0) {
    watched = errno;
  } else {
    watched = watch(pidfd, &out, &err, deadline);
  }
  if (watched != 0) kill(-pid, SIGKILL);
  running_group = 0;
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  if (pidfd >= 0) ::close(pidfd);
  // What it wrote before it ended is in the pipes now.
  drain(&out);
  drain(&err);
  close_fd(&out.fd);
  close_fd(&err.fd);
  if (watched != 0 && watched != ETIMEDOUT) {
    return say(what, what_size, "could not be watched", watched);
  }

  CommandRun run{CommandEnding::kExited, 0, "", limit_ms, std::move(out.kept), std::move(err.kept)};
  if (watched == ETIMEDOUT) {
    run.ending = CommandEnding::kTimedOut;
  } else if (WIFSIGNALED(raw)) {
    run.ending = CommandEnding::kSignal;
    run.code = static_cast<unsigned long>(WTERMSIG(raw));
    run.signal_name = strsignal(WTERMSIG(raw));
  } else {
    run.code = static_cast<unsigned long>(WEXITSTATUS(raw));
  }
  return judge_command(run, number, what, what_size);
}

void number_command_kill() {
  const pid_t group = running_group;
  if (group > 0) kill(-group, SIGKILL);
}

}  // namespace travek
