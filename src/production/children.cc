// The children of a run of many over the process launcher.
#include "production/children.h"
#include "common/messages.h"
#include "console/console.h"

namespace travek {

bool child_start(ChildSet& set, int index, const std::vector<std::string>& args,
                 std::string* output, std::string* errors) {
  set.at[index] = std::make_unique<Process>();
  set.output[index] = output;
  set.errors[index] = errors;
  ProcessLaunch launch;
  launch.args = args;
  launch.input_pipe = true;
  std::string reason;
  if (process_start(*set.at[index], launch, &reason)) return true;
  con_diagnostic(msg::kDiagLine, reason.c_str());
  set.at[index].reset();
  return false;
}

void child_send(ChildSet& set, int index, const char* bytes, size_t length) {
  if (set.at[index]) process_send(*set.at[index], bytes, length);
}

void child_close_input(ChildSet& set, int index) {
  if (set.at[index]) process_close_input(*set.at[index]);
}

void children_wait(ChildSet& set, int wait_ms) {
  Process* running[MAX_PORTS];
  size_t count = 0;
  for (const std::unique_ptr<Process>& p : set.at) {
    if (p && !p->ended) running[count++] = p.get();
  }
  processes_wait(running, count, wait_ms);
  // What the wait read, handed on to the caller's strings.
  for (int i = 0; i < MAX_PORTS; ++i) {
    if (!set.at[i]) continue;
    set.output[i]->append(set.at[i]->output);
    set.errors[i]->append(set.at[i]->errors);
    set.at[i]->output.clear();
    set.at[i]->errors.clear();
  }
}

ChildEnd child_end(const ChildSet& set, int index) {
  const Process* p = set.at[index].get();
  if (p == nullptr) return ChildEnd{true, 0, 0};
  return ChildEnd{p->ended, p->status, p->signal};
}

void child_stop(ChildSet& set, int index) {
  if (set.at[index]) process_stop(*set.at[index]);
}

void child_kill(ChildSet& set, int index) {
  if (set.at[index]) process_kill(*set.at[index]);
}

void children_reset(ChildSet& set) {
  for (std::unique_ptr<Process>& p : set.at) p.reset();
}

}  // namespace travek
