#include "numbers/number_command.h"

#include <cstdio>
#include <string>

#include "numbers/command_verdict.h"
#include "process/process.h"

namespace travek {
namespace {

// What is kept of each output stream: a number's line and a reason's.
constexpr size_t kKeep = 4096;

bool say(char* what, size_t what_size, const std::string& text) {
  std::snprintf(what, what_size, "%s", text.c_str());
  return false;
}

}  // namespace

bool number_from_command(const char* command, const char* port, const char* sha256, int limit_ms,
                         uint64_t* number, char* what, size_t what_size) {
  ProcessLaunch launch;
  launch.shell = true;
  launch.command = command;
  launch.environment = {{"TRAVEK_PORT", port}, {"TRAVEK_SHA256", sha256}};
  launch.keep = kKeep;
  launch.dies_with_tool = true;
  Process shell;
  std::string reason;
  if (!process_start(shell, launch, &reason)) return say(what, what_size, reason);
  const int64_t deadline = process_clock_ms() + limit_ms;
  Process* const watched[] = {&shell};
  bool timed_out = false;
  while (!shell.ended) {
    const int64_t left = deadline - process_clock_ms();
    if (left <= 0 && !timed_out) {
      timed_out = true;
      process_kill(shell);  // with everything it started
    }
    processes_wait(watched, 1, left > 0 ? static_cast<int>(left) : 100);
  }
  CommandRun run{CommandEnding::kExited,
                 static_cast<unsigned long>(shell.status),
                 "",
                 limit_ms,
                 std::move(shell.output),
                 std::move(shell.errors)};
  if (timed_out) {
    run.ending = CommandEnding::kTimedOut;
  } else if (shell.signal != 0) {
    run.ending = CommandEnding::kSignal;
    run.code = static_cast<unsigned long>(shell.signal);
    run.signal_name = process_signal_name(shell.signal);
  }
  return judge_command(run, number, what, what_size);
}

}  // namespace travek
