// Station after station in one process: a station's run leaves nothing
// behind for the next. A run that fails midway (a wrong echo), then sound
// runs, in one process: what the sound runs show (console text, events,
// record, flash) is what the same runs show in a fresh process of their own
// (this test binary started anew, which does those runs first thing, before
// any test, and writes down what it saw).
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/images.h"
#include "virtual_line.h"

extern char** environ;

namespace sim {
namespace {

using testing_support::Bytes;
using testing_support::TempFile;

constexpr char kFreshDir[] = "TRAVEK_FRESH_RUN_DIR";
constexpr char kFreshImage[] = "TRAVEK_FRESH_RUN_IMAGE";

// What a sound run shows, the wall-clock time of its records aside.
struct Seen {
  std::string console;
  std::string events;
  std::string record;
  Bytes flash;
};

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string without_time(const std::string& json) {
  return std::regex_replace(json, std::regex("\"time\":\"[^\"]*\""), "\"time\":\"\"");
}

// One sound load as text with its log, one with -json: what they show.
Seen sound_runs(const std::string& image, const std::string& dir) {
  Seen seen;
  const std::string text_log = dir + "/text.log", json_log = dir + "/json.log";
  {
    VirtualLine line;
    EXPECT_EQ(line.run_tool({"-y", "-log:" + text_log, image}), 0) << line.output();
    seen.console = line.output();
    seen.flash = line.verdict().flash;
  }
  {
    VirtualLine line;
    EXPECT_EQ(line.run_tool({"-y", "-json", "-log:" + json_log, image}), 0) << line.events();
    seen.events = without_time(line.events());
  }
  seen.record = without_time(read_text(text_log) + read_text(json_log));
  return seen;
}

void write_seen(const Seen& seen, const std::string& dir) {
  std::ofstream(dir + "/console") << seen.console;
  std::ofstream(dir + "/events") << seen.events;
  std::ofstream(dir + "/record") << seen.record;
  std::ofstream(dir + "/flash", std::ios::binary)
      .write(reinterpret_cast<const char*>(seen.flash.data()),
             static_cast<std::streamsize>(seen.flash.size()));
}

Seen read_seen(const std::string& dir) {
  const std::string flash = read_text(dir + "/flash");
  return {read_text(dir + "/console"), read_text(dir + "/events"), read_text(dir + "/record"),
          Bytes(flash.begin(), flash.end())};
}

// The fresh process: asked for by the test below, it does the sound runs
// before any test, and ends.
class FreshProcess : public testing::Environment {
 public:
  void SetUp() override {
    const char* dir = std::getenv(kFreshDir);
    const char* image = std::getenv(kFreshImage);
    if (dir == nullptr || image == nullptr) return;
    write_seen(sound_runs(image, dir), dir);
    std::_Exit(0);
  }
};

testing::Environment* const kFreshProcess = testing::AddGlobalTestEnvironment(new FreshProcess);

// This binary started anew, told to do the sound runs alone.
void run_fresh_process(const std::string& image, const std::string& dir) {
  std::vector<std::string> env = {std::string(kFreshDir) + "=" + dir,
                                  std::string(kFreshImage) + "=" + image};
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char filter[] = "--gtest_filter=StationRuns.*";
  char* argv[] = {self, filter, nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, self, nullptr, nullptr, argv, envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

std::string make_dir(const char* name) {
  char pattern[] = "/tmp/travek-runs-XXXXXX";
  const std::string dir = std::string(mkdtemp(pattern)) + "/";
  mkdir((dir + name).c_str(), 0700);
  return dir + name;
}

TEST(StationRuns, ASoundRunAfterAFailedOneIsThatOfAFreshProcess) {
  std::mt19937 rng(7);
  Bytes bytes(16384);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  TempFile image(bytes);
  const std::string here = make_dir("here"), fresh = make_dir("fresh");

  StationConfig wrong_echo;
  wrong_echo.faults.echo_wrong_at = 100;
  {
    VirtualLine line(wrong_echo);
    ASSERT_EQ(line.run_tool({"-y", "-log:" + here + "/failed.log", image.path()}), 255);
    ASSERT_NE(read_text(here + "/failed.log").find("\"result\":\"resident-comm-error\""),
              std::string::npos);
  }
  const Seen after_failure = sound_runs(image.path(), here);
  run_fresh_process(image.path(), fresh);
  const Seen alone = read_seen(fresh);

  EXPECT_NE(after_failure.console.find("Старт - Ok!"), std::string::npos);
  EXPECT_EQ(after_failure.console, alone.console);
  EXPECT_EQ(after_failure.events, alone.events);
  EXPECT_EQ(after_failure.record, alone.record);
  EXPECT_EQ(after_failure.flash, alone.flash);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after_failure.flash.end() - 16384));
}

}  // namespace
}  // namespace sim
