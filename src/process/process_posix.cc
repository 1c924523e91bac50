// Processes on POSIX: posix_spawn in a process group of its own, the
// standard streams on pipes (or /dev/null), one wait_for() over every
// output pipe and a pidfd of each process (Linux 5.3), so that a wait ends
// when a process does even while something it left behind holds its pipes.
// Without pidfds, a process has ended once both its pipes have.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "console/wait_posix.h"
#include "process/pipe_posix.h"
#include "process/process.h"

extern char** environ;

namespace travek {
namespace {

// The groups to kill when the tool is ended from outside at once: read in
// a signal handler.
constexpr int kDyingSlots = 8;
volatile sig_atomic_t dying[kDyingSlots] = {};

void mark_dying(pid_t pid, bool on) {
  for (volatile sig_atomic_t& slot : dying) {
    if (on ? slot == 0 : slot == pid) {
      slot = on ? pid : 0;
      return;
    }
  }
}

void close_fd(intptr_t* fd) {
  if (*fd >= 0) ::close(static_cast<int>(*fd));
  *fd = -1;
}

bool say(std::string* reason, const char* doing, int error) {
  *reason = std::string(doing) + ": " + std::strerror(error);
  return false;
}

// The tool's environment with the caller's variables in place of any of
// the same names.
std::vector<std::string> environment_of(const ProcessLaunch& launch) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    bool replaced = false;
    for (const auto& [name, value] : launch.environment) {
      replaced = replaced ||
                 (std::strncmp(*e, name.c_str(), name.size()) == 0 && (*e)[name.size()] == '=');
    }
    if (!replaced) env.emplace_back(*e);
  }
  for (const auto& [name, value] : launch.environment) env.push_back(name + "=" + value);
  return env;
}

std::vector<std::string> argv_of(const ProcessLaunch& launch, std::string* program) {
  if (launch.shell) {
    *program = "/bin/sh";
    return {"sh", "-c", launch.command};
  }
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length <= 0) return {};
  *program = std::string(self, static_cast<size_t>(length));
  std::vector<std::string> argv = {*program};
  argv.insert(argv.end(), launch.args.begin(), launch.args.end());
  return argv;
}

// Starts the program on these descriptors; 0 or the error.
int spawn(const std::string& program, std::vector<std::string>& argv, std::vector<std::string>& env,
          const int fds[3], bool input_empty, pid_t* pid) {
  std::vector<char*> args, envp;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawnattr_t attributes;
  int r = posix_spawn_file_actions_init(&files);
  if (r != 0) return r;
  if ((r = posix_spawnattr_init(&attributes)) != 0) {
    posix_spawn_file_actions_destroy(&files);
    return r;
  }
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  // What the tool ignores or handles, the process meets as usual.
  for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
  // A group of its own: the terminal's keys reach the tool alone, and a
  // process killed is killed with all it started.
  if ((r = input_empty
               ? posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0)
               : posix_spawn_file_actions_adddup2(&files, fds[0], STDIN_FILENO)) == 0 &&
      (r = posix_spawn_file_actions_adddup2(&files, fds[1], STDOUT_FILENO)) == 0 &&
      (r = posix_spawn_file_actions_adddup2(&files, fds[2], STDERR_FILENO)) == 0 &&
      (r = posix_spawnattr_setpgroup(&attributes, 0)) == 0 &&
      (r = posix_spawnattr_setsigmask(&attributes, &none)) == 0 &&
      (r = posix_spawnattr_setsigdefault(&attributes, &defaults)) == 0 &&
      (r = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                     POSIX_SPAWN_SETSIGDEF)) == 0) {
    r = posix_spawn(pid, program.c_str(), &files, &attributes, args.data(), envp.data());
  }
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  return r;
}

// Once exited: its status, and what it wrote before, to the last byte
// there is; pipes something it left behind still holds are let go.
void finish(Process& p, int raw) {
  drain_pipe(&p.out, &p.output, p.keep);
  drain_pipe(&p.err, &p.errors, p.keep);
  for (intptr_t* fd : {&p.out, &p.err, &p.in, &p.waiter}) close_fd(fd);
  mark_dying(static_cast<pid_t>(p.pid), false);
  if (WIFEXITED(raw)) p.status = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) p.signal = WTERMSIG(raw);
  p.ended = true;
}

void reap_if_ended(Process& p) {
  if (p.ended || p.pid <= 0) return;
  int raw = 0;
  const pid_t pid = static_cast<pid_t>(p.pid);
  // Without a pidfd the pipes' end is all there is to go by.
  const bool pipes_ended = p.waiter < 0 && p.out < 0 && p.err < 0;
  pid_t r;
  while ((r = waitpid(pid, &raw, pipes_ended ? 0 : WNOHANG)) < 0 && errno == EINTR) {
  }
  if (r == pid) finish(p, raw);
}

}  // namespace

bool drain_pipe(intptr_t* fd, std::string* into, size_t keep) {
  char buffer[4096];
  bool any = false;
  while (*fd >= 0) {
    const ssize_t n = ::read(static_cast<int>(*fd), buffer, sizeof(buffer));
    if (n > 0) {
      into->append(buffer, std::min(static_cast<size_t>(n), keep - std::min(keep, into->size())));
      any = true;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // Its end, or a failure: nothing more will come. Only EAGAIN after a
      // failed read means there is more to come later.
      if (n == 0 || errno != EAGAIN) close_fd(fd);
      break;
    }
  }
  return any;
}

Process::~Process() {
  if (pid > 0 && !ended) {
    kill(-static_cast<pid_t>(pid), SIGKILL);
    while (waitpid(static_cast<pid_t>(pid), nullptr, 0) < 0 && errno == EINTR) {
    }
    mark_dying(static_cast<pid_t>(pid), false);
  }
  for (intptr_t* fd : {&in, &out, &err, &waiter}) close_fd(fd);
}

bool process_start(Process& p, const ProcessLaunch& launch, std::string* reason) {
  p.keep = launch.keep;
  std::string program;
  std::vector<std::string> argv = argv_of(launch, &program);
  if (argv.empty()) return say(reason, "/proc/self/exe", errno);
  std::vector<std::string> env = environment_of(launch);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  const bool piped = (!launch.input_pipe || pipe2(in, O_CLOEXEC) == 0) &&
                     pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0;
  const int pipe_error = errno;
  const int fds[3] = {in[0], out[1], err[1]};
  pid_t pid = -1;
  const int r = piped ? spawn(program, argv, env, fds, !launch.input_pipe, &pid) : pipe_error;
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  p.in = in[1];
  p.out = out[0];
  p.err = err[0];
  if (r != 0) {
    for (intptr_t* fd : {&p.in, &p.out, &p.err}) close_fd(fd);
    return say(reason, piped ? program.c_str() : "pipe", r);
  }
  p.pid = pid;
  if (launch.dies_with_tool) mark_dying(pid, true);
  p.waiter = static_cast<intptr_t>(syscall(SYS_pidfd_open, pid, 0));
  // Only the tool's ends wait no longer than there is something to read.
  fcntl(static_cast<int>(p.out), F_SETFL, O_NONBLOCK);
  fcntl(static_cast<int>(p.err), F_SETFL, O_NONBLOCK);
  return true;
}

void process_send(Process& p, const char* bytes, size_t length) {
  while (p.in >= 0 && length > 0) {
    const ssize_t n = ::write(static_cast<int>(p.in), bytes, length);
    if (n > 0) {
      bytes += n;
      length -= static_cast<size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      close_fd(&p.in);  // it has stopped reading: it has ended
    }
  }
}

void process_close_input(Process& p) { close_fd(&p.in); }

void processes_wait(Process* const* processes, size_t count, int wait_ms) {
  // Each descriptor waited on, and the stream it is of: a pidfd has none.
  struct Watched {
    intptr_t* fd;
    std::string* into;
    size_t keep;
  };
  std::vector<pollfd> fds;
  std::vector<Watched> watched;
  for (size_t i = 0; i < count; ++i) {
    Process& p = *processes[i];
    if (p.ended || p.pid <= 0) continue;
    for (const Watched& w : {Watched{&p.out, &p.output, p.keep}, Watched{&p.err, &p.errors, p.keep},
                             Watched{&p.waiter, nullptr, 0}}) {
      if (*w.fd < 0) continue;
      fds.push_back({static_cast<int>(*w.fd), POLLIN, 0});
      watched.push_back(w);
    }
  }
  const timespec timeout{wait_ms / 1000, (wait_ms % 1000) * 1000000L};
  if (wait_for(fds.data(), fds.size(), &timeout) > 0) {
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents != 0 && watched[i].into != nullptr) {
        drain_pipe(watched[i].fd, watched[i].into, watched[i].keep);
      }
    }
  }
  for (size_t i = 0; i < count; ++i) reap_if_ended(*processes[i]);
}

void process_stop(Process& p) {
  if (p.pid > 0 && !p.ended) kill(static_cast<pid_t>(p.pid), SIGTERM);
}

void process_kill(Process& p) {
  if (p.pid > 0 && !p.ended) kill(-static_cast<pid_t>(p.pid), SIGKILL);
}

void processes_kill_dying_with_tool() {
  for (volatile sig_atomic_t& slot : dying) {
    const pid_t group = slot;
    if (group > 0) kill(-group, SIGKILL);
  }
}

const char* process_signal_name(int signal) { return strsignal(signal); }

int64_t process_clock_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace travek
