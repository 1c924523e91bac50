// The real binary with pipes for its console: start-up, switches, file and
// port checks, and the exit status of every way the run can end early.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "pseudo_terminal.h"
#include "support/output.h"

namespace {

using e2e::ChildResult;
using testing_support::contains;

using testing_support::kBanner;
using testing_support::kPressKey;

class DriverE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/travek-e2e-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string make_file(const std::string& name, size_t size) {
    std::string path = dir_ + "/" + name;
    std::ofstream file(path, std::ios::binary);
    std::string bytes(size, '\x5A');
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  static ChildResult tool(const std::vector<std::string>& args, const std::string& input = "") {
    e2e::ChildOptions options;
    options.input = input;
    return e2e::run_child(TRAVEK32_PATH, args, options);
  }

  // What a run that fails right after the banner writes.
  static std::string failing(const std::string& message) { return kBanner + message + kPressKey; }

  // A file that loads leads to the wait for the station; Esc ends it there.
  static bool loaded(const ChildResult& r) {
    return r.status == 255 && r.out.find("Ожидание СТАРТА станции") != std::string::npos &&
           r.out.find("Загрузка отменена оператором") != std::string::npos;
  }

  std::string dir_;
};

TEST_F(DriverE2e, NoArgumentsShowsUsageAndEndsWithStatusZero) {
  ChildResult r = tool({});
  EXPECT_EQ(r.out, kBanner +
                       "\nФормат: Travek32.exe [-o:xxx] [-a:yyy] [-s] [-com#] имя_файла\n"
                       "  где: xxx - смещение от начала файла\n"
                       "       yyy - адрес, начиная с которого писать\n\n" +
                       kPressKey);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(DriverE2e, SwitchErrorsEndWithTheirMessageAndStatus255) {
  std::string file = make_file("image.bin", 16);
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-com5", file}, "\nНедопустимый порт: -com5\n\n"},
      {{"-COM0"}, "\nНедопустимый порт: -COM0\n\n"},
      {{"-o:0", file}, "\nОшибка при вводе смещения: 0\n\n"},
      {{"-o:abc"}, "\nОшибка при вводе смещения: abc\n\n"},
      {{"-a:xyz", file}, "\nОшибка при вводе адреса: xyz\n\n"},
      {{"-x", file}, "\nНедопустимый ключ: -x\n\n"},
      {{"-port:", file}, "\nНедопустимый порт: -port:\n\n"},
      {{"-s", "-com1", "-o:5"}, "\nНе определено имя файла!\n\n\n"},
  };
  for (const Case& c : cases) {
    ChildResult r = tool(c.args);
    EXPECT_EQ(r.out, failing(c.message)) << c.args[0];
    EXPECT_EQ(r.status, 255) << c.args[0];
  }
}

TEST_F(DriverE2e, MissingFileIsReportedWithTheOsReason) {
  ChildResult r = tool({dir_ + "/nosuch.bin"});
  EXPECT_EQ(r.out, failing("\nОшибка открытия файла: \"" + dir_ + "/nosuch.bin\"\n\n"));
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.err, "nosuch.bin: No such file or directory"));
  // Only a regular file will do: a FIFO would block the run for ever, and a
  // device or a directory has no size to load.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& name : {fifo, std::string("/dev/zero"), dir_}) {
    e2e::ChildOptions options;
    options.timeout_ms = 10000;
    ChildResult n = e2e::run_child(TRAVEK32_PATH, {name}, options);
    EXPECT_EQ(n.out, failing("\nОшибка открытия файла: \"" + name + "\"\n\n")) << name;
    EXPECT_EQ(n.err, "travek32: " + name + ": not a regular file\n") << name;
  }
}

TEST_F(DriverE2e, MissingPortIsReportedBeforeTheFileSizeIsChecked) {
  std::string empty = make_file("empty.bin", 0);
  ChildResult r = tool({"-port:/dev/travek-no-such-port", empty});
  EXPECT_EQ(r.out, failing("\nНедоступен или неисправен порт: /dev/travek-no-such-port\n"
                           "- возможно захвачен другой программой\n"));
  EXPECT_EQ(r.status, 255);
  // With the serial ports the machine has, whatever they are here.
  EXPECT_TRUE(contains(r.err, "travek32: /dev/travek-no-such-port: No such file or directory ("));
  EXPECT_TRUE(contains(r.err, "serial ports here")) << r.err;
}

TEST_F(DriverE2e, PortHeldByAnotherProgramIsRefused) {
  e2e::PseudoTerminal pty;
  int holder = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  ChildResult r = tool({"-port:" + pty.slave_path(), make_file("image.bin", 64)});
  close(holder);
  EXPECT_EQ(r.out, failing("\nНедоступен или неисправен порт: " + pty.slave_path() +
                           "\n- возможно захвачен другой программой\n"));
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.err, "held by another program"));
}

TEST_F(DriverE2e, PortIsNoLongerExclusiveAfterTheRun) {
  // A pseudo-terminal outlives the tool's descriptor: left exclusive, it
  // would refuse every later program but root's.
  e2e::PseudoTerminal pty;
  EXPECT_TRUE(loaded(tool({"-port:" + pty.slave_path(), make_file("image.bin", 64)}, "\x1b")));
  int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  int exclusive = -1;
  ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  close(fd);
  EXPECT_EQ(exclusive, 0);
}

TEST_F(DriverE2e, SomethingThatIsNotASerialDeviceIsRefused) {
  ChildResult r = tool({"-port:/dev/null", make_file("image.bin", 64)});
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.out, "\nНедоступен или неисправен порт: /dev/null\n"));
  EXPECT_TRUE(contains(r.err, "/dev/null: Not a serial device"));
}

TEST_F(DriverE2e, LoadedSizeLimits) {
  e2e::PseudoTerminal pty;
  std::string port = "-port:" + pty.slave_path();
  const std::string bad_size = failing("\nПлохой размер загружаемой части файла!\n\n");

  EXPECT_EQ(tool({port, make_file("over.bin", 524289)}).out, bad_size);
  EXPECT_EQ(tool({port, make_file("empty.bin", 0)}).out, bad_size);

  ChildResult exact = tool({port, make_file("exact.bin", 524288)}, "\x1b");
  EXPECT_TRUE(loaded(exact)) << exact.out;

  // With an offset, the limit applies to the part after it.
  std::string big = make_file("big.bin", 524288 + 16);
  EXPECT_EQ(tool({port, "-o:15", big}).out, bad_size);
  ChildResult after = tool({port, "-o:16", big}, "\x1b");
  EXPECT_TRUE(loaded(after)) << after.out;
}

TEST_F(DriverE2e, OffsetMustBeBelowTheFileSize) {
  e2e::PseudoTerminal pty;
  std::string port = "-port:" + pty.slave_path();
  std::string file = make_file("small.bin", 100);
  ChildResult equal = tool({port, "-o:100", file});
  EXPECT_EQ(equal.out, failing("\nСмещение больше или равно длине файла!\n\n"));
  EXPECT_EQ(equal.status, 255);
  EXPECT_EQ(tool({port, "-o:0x1000", file}).out, equal.out);
  EXPECT_TRUE(loaded(tool({port, "-o:99", file}, "\x1b")));
}

TEST_F(DriverE2e, LastFileNameIsTheInputFile) {
  e2e::PseudoTerminal pty;
  std::string port = "-port:" + pty.slave_path();
  // The first name is opened too, so a missing first file still fails.
  ChildResult first_missing = tool({port, dir_ + "/missing", make_file("ok.bin", 64)});
  EXPECT_EQ(first_missing.status, 255);
  ChildResult last_empty = tool({port, make_file("ok.bin", 64), make_file("empty.bin", 0)});
  EXPECT_EQ(last_empty.out, failing("\nПлохой размер загружаемой части файла!\n\n"));
}

}  // namespace
