// Scripted stand-ins for the children of a run of many, on the virtual-time
// line: the parent's own code starts, feeds, waits for, stops and kills
// them through production/children.h, and each does what its script says at
// virtual times. Nothing is a real process, so a child can die by any
// signal, exit without its end, never start, or write a broken line, and
// the test sees exactly what the parent sent to each and when.
//
// A script is acts: one from the child's start, and the ones that replace
// whatever is still to come when the child reads a byte, its input closes,
// or it is asked to stop. An act writes lines at times after its cue and
// then, if it says so, exits. A child given -log: appends the record of
// the end line it writes to that log first, with its -batch:, as the
// tool's own run does.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "production/children.h"

namespace sim {

struct ChildWrite {
  double after_ms;
  std::string text;     // written as is: a line needs its own line feed
  bool errors = false;  // to its standard error
};

struct ChildAct {
  std::vector<ChildWrite> writes;
  double exit_after_ms = -1;  // after the cue; < 0: it goes on
  int status = 0;
  int signal = 0;  // ended by this signal instead
};

struct ChildScript {
  bool cannot_start = false;
  ChildAct run;                  // from its start
  std::map<int, ChildAct> keys;  // on reading this byte; KEY_END_OF_INPUT: its input closed
  std::optional<ChildAct> stop;  // on a stop request (SIGTERM); without it, it ignores one
};

enum class ChildCallKind { kStart, kSend, kCloseInput, kStop, kKill };

// What the parent did to a child, and when.
struct ChildCall {
  double at_ms;
  int index;
  ChildCallKind kind;
  std::string bytes;  // sent; for a start, its arguments, a space after each
};

class VirtualChildren {
 public:
  // Each start of the child of this index takes the next script; the last
  // one serves every start after it.
  void script(int index, std::vector<ChildScript> starts) { scripts_[index] = std::move(starts); }
  const std::vector<ChildCall>& calls() const { return calls_; }

  // Back-end entry points.
  bool start(int index, const std::vector<std::string>& args, std::string* output,
             std::string* errors, double now_ms);
  void send(int index, const char* bytes, size_t length, double now_ms);
  void close_input(int index, double now_ms);
  void stop(int index, double now_ms);
  void kill(int index, double now_ms);
  void reset();
  // The next time a child writes or exits; +infinity if none will.
  double next_ms() const;
  // Hands on what is due by now.
  void deliver(double now_ms);
  travek::ChildEnd end(int index) const;

 private:
  struct Pending {
    double at_ms;
    ChildWrite write;
  };
  struct Running {
    bool live = false;  // started, not yet exited
    const ChildScript* script = nullptr;
    std::string* output = nullptr;
    std::string* errors = nullptr;
    std::vector<Pending> pending;
    std::string log_path;  // -log:, where it appends its own record
    std::string batch;     // -batch:
    std::string port;      // -port:
    double exit_ms = -1;
    travek::ChildEnd end{true, 0, 0};
  };
  void act(Running& child, const ChildAct& act, double now_ms);
  static void log_record(const Running& child, const std::string& text);
  void record(double at_ms, int index, ChildCallKind kind, std::string bytes = "");

  std::map<int, std::vector<ChildScript>> scripts_;
  std::map<int, int> started_;
  std::map<int, Running> running_;
  std::vector<ChildCall> calls_;
};

}  // namespace sim
