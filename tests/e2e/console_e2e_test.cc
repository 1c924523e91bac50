// The console of the real binary: Ctrl+C during a run, and the terminal on
// standard input put back as it was on every way out.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "pseudo_terminal.h"
#include "support/images.h"

namespace {

using e2e::ChildResult;
using e2e::RunningChild;

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
  EXPECT_NE(r.out.find("Загрузка отменена оператором"), std::string::npos) << r.out;
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

}  // namespace
