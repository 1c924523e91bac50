// The children back end of the virtual-time line: scripted stand-ins, whose
// time is the line's. A wait for them is a wait on the line, so it moves
// the line's clock and a termination request can end it.
#include "children_virtual.h"

#include <algorithm>
#include <fstream>
#include <limits>

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "virtual_line.h"

namespace sim {

void VirtualChildren::record(double at_ms, int index, ChildCallKind kind, std::string bytes) {
  calls_.push_back({at_ms, index, kind, std::move(bytes)});
}

// What was still to come gives way to the act.
void VirtualChildren::act(Running& child, const ChildAct& act, double now_ms) {
  child.pending.clear();
  for (const ChildWrite& w : act.writes) child.pending.push_back({now_ms + w.after_ms, w});
  std::stable_sort(child.pending.begin(), child.pending.end(),
                   [](const Pending& a, const Pending& b) { return a.at_ms < b.at_ms; });
  child.exit_ms = act.exit_after_ms < 0 ? -1 : now_ms + act.exit_after_ms;
  child.end = {false, act.status, act.signal};
}

bool VirtualChildren::start(int index, const std::vector<std::string>& args, std::string* output,
                            std::string* errors, double now_ms) {
  std::string typed;
  for (const std::string& a : args) typed += a + " ";
  record(now_ms, index, ChildCallKind::kStart, typed);
  Running& child = running_[index];
  child = Running{};
  const auto found = scripts_.find(index);
  if (found == scripts_.end() || found->second.empty()) return false;
  const std::vector<ChildScript>& starts = found->second;
  const int n = started_[index]++;
  child.script = &starts[std::min<size_t>(static_cast<size_t>(n), starts.size() - 1)];
  if (child.script->cannot_start) return false;
  child.live = true;
  for (const std::string& a : args) {
    if (a.rfind("-log:", 0) == 0) child.log_path = a.substr(5);
    if (a.rfind("-batch:", 0) == 0) child.batch = a.substr(7);
    if (a.rfind("-port:", 0) == 0) child.port = a.substr(6);
  }
  child.output = output;
  child.errors = errors;
  act(child, child.script->run, now_ms);
  return true;
}

void VirtualChildren::send(int index, const char* bytes, size_t length, double now_ms) {
  record(now_ms, index, ChildCallKind::kSend, std::string(bytes, length));
  Running& child = running_[index];
  for (size_t i = 0; i < length && child.live; ++i) {
    const auto reaction = child.script->keys.find(static_cast<unsigned char>(bytes[i]));
    if (reaction != child.script->keys.end()) act(child, reaction->second, now_ms);
  }
}

void VirtualChildren::close_input(int index, double now_ms) {
  record(now_ms, index, ChildCallKind::kCloseInput);
  Running& child = running_[index];
  if (!child.live) return;
  const auto reaction = child.script->keys.find(travek::KEY_END_OF_INPUT);
  if (reaction != child.script->keys.end()) act(child, reaction->second, now_ms);
}

void VirtualChildren::stop(int index, double now_ms) {
  Running& child = running_[index];
  if (!child.live) return;  // nothing to signal
  record(now_ms, index, ChildCallKind::kStop);
  if (child.script->stop) act(child, *child.script->stop, now_ms);
}

void VirtualChildren::kill(int index, double now_ms) {
  Running& child = running_[index];
  if (!child.live) return;
  record(now_ms, index, ChildCallKind::kKill);
  child.pending.clear();
  child.exit_ms = now_ms;
  child.end = {false, 0, 9};  // SIGKILL
}

void VirtualChildren::reset() { running_.clear(); }

void VirtualChildren::log_record(const Running& child, const std::string& text) {
  const std::string end = "{\"event\":\"end\",";
  if (child.log_path.empty() || text.rfind(end, 0) != 0 || text.size() < end.size() + 2) return;
  std::string record = "{" + text.substr(end.size(), text.size() - end.size() - 2);
  // A tool's own end names its port; a script's may leave that to the parent.
  if (record.find("\"port\":") == std::string::npos) record += ",\"port\":\"" + child.port + "\"";
  if (!child.batch.empty()) record += ",\"batch\":" + child.batch;
  std::ofstream(child.log_path, std::ios::app) << record << "}\n";
}

double VirtualChildren::next_ms() const {
  double next = std::numeric_limits<double>::infinity();
  for (const auto& [index, child] : running_) {
    if (!child.live) continue;
    if (!child.pending.empty()) next = std::min(next, child.pending.front().at_ms);
    if (child.exit_ms >= 0) next = std::min(next, child.exit_ms);
  }
  return next;
}

void VirtualChildren::deliver(double now_ms) {
  for (auto& [index, child] : running_) {
    if (!child.live) continue;
    const double until = child.exit_ms >= 0 ? std::min(now_ms, child.exit_ms) : now_ms;
    auto due = child.pending.begin();
    for (; due != child.pending.end() && due->at_ms <= until; ++due) {
      if (!due->write.errors) log_record(child, due->write.text);
      (due->write.errors ? child.errors : child.output)->append(due->write.text);
    }
    child.pending.erase(child.pending.begin(), due);
    if (child.exit_ms >= 0 && child.exit_ms <= now_ms) {
      child.live = false;  // what it had still to write is lost with it
      child.pending.clear();
      child.end.ended = true;
    }
  }
}

travek::ChildEnd VirtualChildren::end(int index) const {
  const auto found = running_.find(index);
  return found == running_.end() ? travek::ChildEnd{true, 0, 0} : found->second.end;
}

}  // namespace sim

namespace travek {

using sim::VirtualLine;

bool child_start(ChildSet&, int index, const std::vector<std::string>& args, std::string* output,
                 std::string* errors) {
  VirtualLine& line = VirtualLine::current();
  if (line.children().start(index, args, output, errors, line.now_ms())) return true;
  const std::string reason = "station child " + std::to_string(index) + ": cannot be started";
  con_diagnostic(msg::kDiagLine, reason.c_str());
  return false;
}

void child_send(ChildSet&, int index, const char* bytes, size_t length) {
  VirtualLine& line = VirtualLine::current();
  line.children().send(index, bytes, length, line.now_ms());
}

void child_close_input(ChildSet&, int index) {
  VirtualLine& line = VirtualLine::current();
  line.children().close_input(index, line.now_ms());
}

void children_wait(ChildSet&, int wait_ms) { VirtualLine::current().wait_for_children(wait_ms); }

ChildEnd child_end(const ChildSet&, int index) {
  return VirtualLine::current().children().end(index);
}

void child_stop(ChildSet&, int index) {
  VirtualLine& line = VirtualLine::current();
  line.children().stop(index, line.now_ms());
}

void child_kill(ChildSet&, int index) {
  VirtualLine& line = VirtualLine::current();
  line.children().kill(index, line.now_ms());
}

void children_reset(ChildSet&) { VirtualLine::current().children().reset(); }

}  // namespace travek
