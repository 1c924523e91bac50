// The console of the real binary on a terminal, as an operator has it: the
// tool is the foreground job of a pseudo-terminal that is its controlling
// terminal, its keys and its screen. Keys at their moments, signals, and the
// terminal put back as it was on every way out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "pseudo_terminal.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using testing_support::contains;

using e2e::ChildResult;
using e2e::RunningChild;
using testing_support::TempFile;

// A terminal in the usual line mode with echo and signals, and what the
// program on it has shown.
class Terminal {
 public:
  Terminal() {
    slave_ = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY);
    set_line_mode();
  }
  ~Terminal() { close(slave_); }
  int fd() const { return slave_; }

  void type(const std::string& keys) {
    ASSERT_EQ(write(pty_.master(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Reads the screen until it shows the text; false at the deadline.
  bool wait_for(const std::string& text, int timeout_ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (screen_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{pty_.master(), POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[4096];
      const ssize_t n = read(pty_.master(), buf, sizeof(buf));
      if (n <= 0) return false;
      screen_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  const std::string& screen() const { return screen_; }

  void set_line_mode() {
    termios t;
    tcgetattr(slave_, &t);
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_iflag |= ICRNL;
    tcsetattr(slave_, TCSANOW, &t);
  }
  // True while the terminal is in its usual line mode with echo.
  bool line_mode() const {
    termios t;
    tcgetattr(slave_, &t);
    return (t.c_lflag & ICANON) && (t.c_lflag & ECHO) && (t.c_iflag & ICRNL);
  }
  // Waits until the terminal is in (or out of) line mode; false at the deadline.
  bool becomes(bool line, int timeout_ms = 5000) const {
    for (int waited = 0; line_mode() != line; waited += 10) {
      if (waited >= timeout_ms) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  // Sends a signal to the job in the foreground, as the terminal would.
  void signal_job(int sig) const {
    pid_t job = 0;
    if (ioctl(pty_.master(), TIOCGPGRP, &job) == 0 && job > 0) kill(-job, sig);
  }

 private:
  e2e::PseudoTerminal pty_;
  int slave_ = -1;
  std::string screen_;
};

// True when nobody holds the port exclusively any more.
bool released(const std::string& port) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  int exclusive = -1;
  ioctl(fd, TIOCGEXCL, &exclusive);
  close(fd);
  return exclusive == 0;
}

const std::string kWaiting = "Ожидание СТАРТА";
const std::string kLoading = "Загрузка FLASH:";
const std::string kPrompt = "ПЕРЕМЫЧКУ";
const std::string kExitPrompt = "Press a key to exit";
const std::string kRestart = "Попытка рестарта";

enum class Moment { kStartWait, kLoad, kPrompt };

TEST(KeysE2e, EachKeyAtItsMoment) {
  const struct {
    const char* what;
    Moment moment;
    std::string keys;
    std::vector<std::string> station;
    std::string answer;  // typed once the prompt shows
    int status;
    bool restart;
  } cases[] = {
      {"an arrow in the start wait is no Esc",
       Moment::kStartWait,
       "\x1b[A",
       {"--boot-delay", "3000"},
       "\r",
       0,
       true},
      {"a lone Esc in the start wait cancels",
       Moment::kStartWait,
       "\x1b",
       {"--boot-delay", "1000000"},
       "",
       255,
       false},
      {"Enter typed during the load does not answer the prompt",
       Moment::kLoad,
       "\r",
       {"--sector-ms", "20"},
       "\x1b",
       0,
       false},
      {"Ctrl+Z during the load does not stop it",
       Moment::kLoad,
       "\x1a",
       {"--sector-ms", "20"},
       "\r",
       0,
       true},
      {"Esc at the prompt skips the restart", Moment::kPrompt, "\x1b", {}, "", 0, false},
      {"an arrow at the prompt is no Esc", Moment::kPrompt, "\x1b[A", {}, "\r", 0, true},
  };
  TempFile image(std::vector<uint8_t>(32768, 0x6B));
  for (const auto& c : cases) {
    e2e::StationSim sim(c.station);
    Terminal terminal;
    RunningChild travek(TRAVEK32_PATH, {"-port:" + sim.port(), image.path()}, {}, -1, -1,
                        terminal.fd());
    const std::string moments[] = {kWaiting, kLoading, kPrompt};
    const std::string& when = moments[static_cast<int>(c.moment)];
    ASSERT_TRUE(terminal.wait_for(when)) << c.what << terminal.screen();
    terminal.type(c.keys);
    if (c.status == 0) {
      ASSERT_TRUE(terminal.wait_for(kPrompt)) << c.what << terminal.screen();
      terminal.type(c.answer);
    }
    ASSERT_TRUE(terminal.wait_for(kExitPrompt)) << c.what << terminal.screen();
    terminal.type("x");
    ChildResult r = travek.finish(10000);
    EXPECT_EQ(r.status, c.status) << c.what << terminal.screen();
    EXPECT_EQ(contains(terminal.screen(), kRestart), c.restart) << c.what;
    EXPECT_TRUE(terminal.becomes(true)) << c.what << ": the terminal is not put back";
  }
}

TEST(SignalsE2e, EachSignalAtItsMoment) {
  const struct {
    const char* what;
    int sig;
    std::string typed;  // or the key that raises it
    int status;         // how the run ends
  } cases[] = {
      // A closed terminal window or a service manager: a failed run, with
      // the terminal and the port let go.
      {"SIGTERM in the start wait", SIGTERM, "", 255},
      {"SIGHUP in the start wait", SIGHUP, "", 255},
      // Once the port is set up the run is not cut off.
      {"Ctrl+C in the start wait", 0, "\x03", -1},
      {"Ctrl+\\ in the start wait", 0, "\x1c", -1},
  };
  TempFile image(std::vector<uint8_t>(4096, 0x33));
  for (const auto& c : cases) {
    e2e::PseudoTerminal port;  // no station behind it
    Terminal terminal;
    RunningChild travek(TRAVEK32_PATH, {"-port:" + port.slave_path(), image.path()}, {}, -1, -1,
                        terminal.fd());
    ASSERT_TRUE(terminal.wait_for(kWaiting)) << c.what << terminal.screen();
    if (c.sig != 0) terminal.signal_job(c.sig);
    terminal.type(c.typed);
    if (c.status < 0) {
      // Still waiting: only the operator's Esc ends it.
      terminal.type("\x1b");
      ASSERT_TRUE(terminal.wait_for("отменена оператором")) << c.what << terminal.screen();
      ASSERT_TRUE(terminal.wait_for(kExitPrompt)) << c.what;
      terminal.type("x");
    }
    ChildResult r = travek.finish(10000);
    EXPECT_EQ(r.status, 255) << c.what << terminal.screen();
    EXPECT_TRUE(terminal.becomes(true)) << c.what << ": the terminal is not put back";
    EXPECT_TRUE(released(port.slave_path())) << c.what << ": the port is still exclusive";
  }
}

TEST(SignalsE2e, StoppedAndResumedTheKeysStillWork) {
  e2e::StationSim sim({"--sector-ms", "20"});
  TempFile image(std::vector<uint8_t>(32768, 0x6B));
  Terminal terminal;
  RunningChild travek(TRAVEK32_PATH, {"-port:" + sim.port(), image.path()}, {}, -1, -1,
                      terminal.fd());
  ASSERT_TRUE(terminal.wait_for(kLoading)) << terminal.screen();
  EXPECT_FALSE(terminal.line_mode()) << "keys one by one, without echo";
  terminal.signal_job(SIGSTOP);
  terminal.set_line_mode();  // as the shell leaves it while the job is stopped
  terminal.signal_job(SIGCONT);
  EXPECT_TRUE(terminal.becomes(false)) << "the key mode is not put back on resume";
  ASSERT_TRUE(terminal.wait_for(kPrompt)) << terminal.screen();
  terminal.type("\r");
  ASSERT_TRUE(terminal.wait_for(kExitPrompt)) << terminal.screen();
  terminal.type("x");
  EXPECT_EQ(travek.finish(10000).status, 0) << terminal.screen();
  EXPECT_TRUE(contains(terminal.screen(), kRestart));
  EXPECT_TRUE(terminal.becomes(true));
}

TEST(ConsoleE2e, TerminalIsRestoredAfterANormalEnd) {
  Terminal terminal;
  RunningChild travek(TRAVEK32_PATH, {}, {}, -1, -1, terminal.fd());
  ASSERT_TRUE(terminal.wait_for(kExitPrompt));
  EXPECT_FALSE(terminal.line_mode()) << "keys one by one, without echo";
  terminal.type("x");
  EXPECT_EQ(travek.finish(10000).status, 0);
  EXPECT_TRUE(terminal.becomes(true));
}

TEST(ConsoleE2e, CtrlCDoesNotCutTheRunShortThroughPipes) {
  e2e::PseudoTerminal port;
  TempFile image(std::vector<uint8_t>(4096, 0x33));
  RunningChild travek(TRAVEK32_PATH, {"-port:" + port.slave_path(), image.path()});
  ASSERT_TRUE(travek.wait_for_output(kWaiting, 10000)) << travek.out();
  travek.signal(SIGINT);
  travek.signal(SIGQUIT);
  travek.signal(SIGTSTP);
  travek.send_input("\x1b");  // the run ends only when the operator says so
  travek.close_input();
  ChildResult r = travek.finish(10000);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.out, "Загрузка отменена оператором"));
}

// What the tool shows on a terminal: the light of a sector with a warning.
std::string screen_of_a_load_with_a_warning(const std::vector<std::string>& env) {
  e2e::StationSim sim({"--warn-sectors", "0", "--sector-ms", "40"});
  e2e::PseudoTerminal screen;
  // Held open here too: a pseudo-terminal whose last slave closes drops
  // what is still unread on its master.
  int slave = open(screen.slave_path().c_str(), O_RDWR | O_NOCTTY);
  TempFile image(std::vector<uint8_t>(1024, 0x5A));
  RunningChild travek(TRAVEK32_PATH, {"-port:" + sim.port(), image.path()}, env, -1, slave);
  travek.close_input();
  std::string shown;
  char buf[4096];
  pollfd p{screen.master(), POLLIN, 0};
  while (shown.find(kExitPrompt) == std::string::npos && poll(&p, 1, 10000) > 0) {
    ssize_t n = read(screen.master(), buf, sizeof(buf));
    if (n <= 0) break;
    shown.append(buf, static_cast<size_t>(n));
  }
  travek.finish(10000);
  close(slave);
  return shown;
}

TEST(ConsoleColourE2e, StatusLightIsRedOnATerminalUnlessNoColor) {
  // Whether the warning itself gets a redraw depends on the wall clock (the
  // 90 ms throttle); the final light after a warning is always red. The
  // cursor is shown either way.
  std::string coloured = screen_of_a_load_with_a_warning({});
  EXPECT_TRUE(contains(coloured, "100\x1b[91m%\x1b[0m  T= "));
  EXPECT_TRUE(contains(coloured, "\x1b[?25h"));
  std::string plain = screen_of_a_load_with_a_warning({"NO_COLOR=1"});
  EXPECT_FALSE(contains(plain, "\x1b[9"));
  EXPECT_FALSE(contains(plain, "\x1b[0m"));
  EXPECT_TRUE(contains(plain, "\x1b[?25h"));
  EXPECT_TRUE(contains(plain, "100%  T= "));
}

}  // namespace
