// The console of the real binary: Ctrl+C during a run, and the terminal on
// standard input put back as it was on every way out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "pseudo_terminal.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using e2e::ChildResult;
using e2e::RunningChild;
using testing_support::contains;

// A terminal for the tool's keys, in the usual line mode with echo.
class KeyboardTerminal {
 public:
  KeyboardTerminal() {
    slave_ = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY);
    termios t;
    tcgetattr(slave_, &t);
    t.c_lflag |= ICANON | ECHO;
    t.c_iflag |= ICRNL;
    tcsetattr(slave_, TCSANOW, &t);
  }
  ~KeyboardTerminal() { close(slave_); }
  int fd() const { return slave_; }
  void type(const std::string& keys) {
    ASSERT_EQ(write(pty_.master(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // True while the terminal is in its usual line mode with echo.
  bool line_mode() const {
    termios t;
    tcgetattr(slave_, &t);
    return (t.c_lflag & ICANON) && (t.c_lflag & ECHO) && (t.c_iflag & ICRNL);
  }

 private:
  e2e::PseudoTerminal pty_;
  int slave_ = -1;
};

class ConsoleE2e : public ::testing::Test {
 protected:
  testing_support::TempFile image_{std::vector<uint8_t>(4096, 0x33)};
  e2e::PseudoTerminal port_;  // a port with no station behind it
};

TEST_F(ConsoleE2e, CtrlCDoesNotCutTheRunShort) {
  RunningChild travek(TRAVEK32_PATH, {"-port:" + port_.slave_path(), image_.path()});
  ASSERT_TRUE(travek.wait_for_output("Ожидание СТАРТА", 10000)) << travek.out();
  travek.signal(SIGINT);
  travek.signal(SIGQUIT);
  travek.send_input("\x1b");  // the run ends only when the operator says so
  travek.close_input();
  ChildResult r = travek.finish(10000);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.out, "Загрузка отменена оператором"));
}

TEST_F(ConsoleE2e, TerminalIsRestoredAfterANormalEnd) {
  KeyboardTerminal keyboard;
  RunningChild travek(TRAVEK32_PATH, {}, {}, keyboard.fd());
  ASSERT_TRUE(travek.wait_for_output("Press a key to exit", 10000));
  EXPECT_FALSE(keyboard.line_mode()) << "keys one by one, without echo";
  keyboard.type("x");
  ChildResult r = travek.finish(10000);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(keyboard.line_mode());
}

TEST_F(ConsoleE2e, TerminalIsRestoredAfterAFailureAndAfterASignal) {
  KeyboardTerminal keyboard;
  {
    RunningChild travek(TRAVEK32_PATH, {"-port:" + port_.slave_path(), image_.path()}, {},
                        keyboard.fd());
    ASSERT_TRUE(travek.wait_for_output("Ожидание СТАРТА", 10000)) << travek.out();
    keyboard.type("\x1b");
    ASSERT_TRUE(travek.wait_for_output("Press a key to exit", 10000)) << travek.out();
    keyboard.type("\r");
    EXPECT_EQ(travek.finish(10000).status, 255);
    EXPECT_TRUE(keyboard.line_mode());
  }
  {
    RunningChild travek(TRAVEK32_PATH, {"-port:" + port_.slave_path(), image_.path()}, {},
                        keyboard.fd());
    ASSERT_TRUE(travek.wait_for_output("Ожидание СТАРТА", 10000)) << travek.out();
    travek.signal(SIGTERM);
    EXPECT_EQ(travek.finish(10000).status, 128 + SIGTERM);
    EXPECT_TRUE(keyboard.line_mode());
  }
}

// What the tool shows on a terminal: the light of a sector with a warning.
std::string screen_of_a_load_with_a_warning(const std::vector<std::string>& env) {
  e2e::StationSim sim({"--warn-sectors", "0", "--sector-ms", "40"});
  e2e::PseudoTerminal screen;
  // Held open here too: a pseudo-terminal whose last slave closes drops
  // what is still unread on its master.
  int slave = open(screen.slave_path().c_str(), O_RDWR | O_NOCTTY);
  testing_support::TempFile image(std::vector<uint8_t>(1024, 0x5A));
  RunningChild travek(TRAVEK32_PATH, {"-port:" + sim.port(), image.path()}, env, -1, slave);
  travek.close_input();
  std::string shown;
  char buf[4096];
  pollfd p{screen.master(), POLLIN, 0};
  while (shown.find("Press a key to exit") == std::string::npos && poll(&p, 1, 10000) > 0) {
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
  // 90 ms throttle); the final light after a warning is always red.
  std::string coloured = screen_of_a_load_with_a_warning({});
  EXPECT_TRUE(contains(coloured, "100\x1b[91m%\x1b[0m  T= "));
  std::string plain = screen_of_a_load_with_a_warning({"NO_COLOR=1"});
  EXPECT_FALSE(contains(plain, "\x1b["));
  EXPECT_TRUE(contains(plain, "100%  T= "));
}

}  // namespace
