// Children on POSIX: posix_spawn of /proc/self/exe in a process group of its
// own, with pipes for its three standard streams; one ppoll over every
// output pipe, and waitpid once a child's pipes have ended.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/messages.h"
#include "console/console.h"
#include "console/wait_posix.h"
#include "production/children.h"
#include "run/run_options.h"

extern char** environ;

namespace travek {
namespace {

struct Child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
  std::string* output = nullptr;  // the caller's
  std::string* errors = nullptr;
  bool reaped = false;
  int raw_status = 0;
};

Child children[MAX_PORTS];

void close_fd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Reads what the pipe holds; closes it at its end.
void drain(int* fd, std::string* into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(*fd, buffer, sizeof(buffer));
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0 || errno != EAGAIN) close_fd(fd);
      return;
    }
  }
}

// Once both output pipes have ended the process has gone or is going: its
// status is there, or a moment away.
void reap(Child* c) {
  if (c->pid < 0 || c->reaped || c->out >= 0 || c->err >= 0) return;
  while (waitpid(c->pid, &c->raw_status, 0) < 0) {
    if (errno != EINTR) break;
  }
  c->reaped = true;
}

bool spawn_fail(const char* what, int err, int (&in)[2], int (&out)[2], int (&err_pipe)[2]) {
  con_diagnostic(msg::kDiagReason, what, std::strerror(err));
  for (int* p : {in, out, err_pipe}) {
    close_fd(&p[0]);
    close_fd(&p[1]);
  }
  return false;
}

}  // namespace

bool child_start(int index, const std::vector<std::string>& args, std::string* output,
                 std::string* errors) {
  Child& c = children[index];
  c = Child{};
  c.output = output;
  c.errors = errors;
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (length <= 0) return spawn_fail("/proc/self/exe", errno, in, out, err);
  self[length] = '\0';
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return spawn_fail("pipe", errno, in, out, err);
  }
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&files, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&files, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own: Ctrl+C on the terminal reaches the parent alone.
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  argv.push_back(self);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int r = posix_spawn(&c.pid, self, &files, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  if (r != 0) {
    c.pid = -1;
    return spawn_fail(self, r, in, out, err);
  }
  close_fd(&in[0]);
  close_fd(&out[1]);
  close_fd(&err[1]);
  c.in = in[1];
  c.out = out[0];
  c.err = err[0];
  fcntl(c.out, F_SETFL, O_NONBLOCK);
  fcntl(c.err, F_SETFL, O_NONBLOCK);
  return true;
}

void child_send(int index, const char* bytes, size_t length) {
  Child& c = children[index];
  while (c.in >= 0 && length > 0) {
    const ssize_t n = ::write(c.in, bytes, length);
    if (n > 0) {
      bytes += n;
      length -= static_cast<size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      close_fd(&c.in);  // it has stopped reading: it has ended
    }
  }
}

void child_close_input(int index) { close_fd(&children[index].in); }

void children_wait(int wait_ms) {
  pollfd fds[2 * MAX_PORTS];
  int* owners[2 * MAX_PORTS];
  std::string* sinks[2 * MAX_PORTS];
  nfds_t count = 0;
  for (Child& c : children) {
    if (c.out >= 0) {
      fds[count] = {c.out, POLLIN, 0};
      owners[count] = &c.out;
      sinks[count++] = c.output;
    }
    if (c.err >= 0) {
      fds[count] = {c.err, POLLIN, 0};
      owners[count] = &c.err;
      sinks[count++] = c.errors;
    }
  }
  const timespec timeout{wait_ms / 1000, (wait_ms % 1000) * 1000000L};
  if (wait_for(fds, count, &timeout) > 0) {
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents != 0) drain(owners[i], sinks[i]);
    }
  }
  for (Child& c : children) reap(&c);
}

ChildEnd child_end(int index) {
  const Child& c = children[index];
  ChildEnd end;
  end.ended = c.pid < 0 || c.reaped;
  if (c.reaped && WIFEXITED(c.raw_status)) end.status = WEXITSTATUS(c.raw_status);
  if (c.reaped && WIFSIGNALED(c.raw_status)) end.signal = WTERMSIG(c.raw_status);
  return end;
}

void child_stop(int index) {
  const Child& c = children[index];
  if (c.pid > 0 && !c.reaped) kill(c.pid, SIGTERM);
}

void child_kill(int index) {
  const Child& c = children[index];
  if (c.pid > 0 && !c.reaped) kill(c.pid, SIGKILL);
}

void children_reset() {
  for (Child& c : children) {
    close_fd(&c.in);
    close_fd(&c.out);
    close_fd(&c.err);
    if (c.pid > 0 && !c.reaped) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, nullptr, 0);
    }
    c = Child{};
  }
}

}  // namespace travek
