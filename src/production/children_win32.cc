// Children on Windows: CreateProcess of this program's own file in a process
// group of its own (Ctrl+C does not reach it), with anonymous pipes for its
// three standard streams. Anonymous pipes cannot be waited on, so a wait
// looks into every pipe and then sleeps on the processes' handles for a few
// milliseconds at a time.
#include <string>

#include "common/messages.h"
#include "common/system_reason.h"
#include "console/console.h"
#include "production/children.h"
#include "run/run_options.h"

#include <windows.h>

namespace travek {
namespace {

struct Child {
  HANDLE process = nullptr;
  HANDLE in = nullptr;
  HANDLE out = nullptr;
  HANDLE err = nullptr;
  std::string* output = nullptr;  // the caller's
  std::string* errors = nullptr;
  bool exited = false;
  DWORD status = 0;
};

Child children[MAX_PORTS];

// A look into the pipes between sleeps: short enough that keys and events
// pass without a delay anyone sees.
constexpr DWORD kLookMs = 10;

void close_handle(HANDLE* h) {
  if (*h != nullptr) CloseHandle(*h);
  *h = nullptr;
}

void report(const char* what) {
  char reason[256];
  system_reason(GetLastError(), reason, sizeof(reason));
  con_diagnostic(msg::kDiagReason, what, reason);
}

// An argument as the runtime of the child splits its command line.
void append_quoted(std::string* line, const std::string& arg) {
  if (!line->empty()) *line += ' ';
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
    *line += arg;
    return;
  }
  *line += '"';
  size_t backslashes = 0;
  for (char ch : arg) {
    if (ch == '\\') {
      ++backslashes;
      continue;
    }
    if (ch == '"')
      *line += std::string(2 * backslashes + 1, '\\');
    else
      *line += std::string(backslashes, '\\');
    backslashes = 0;
    *line += ch;
  }
  *line += std::string(2 * backslashes, '\\');
  *line += '"';
}

// Reads what the pipe holds; closes it at its end. True if anything came.
bool drain(HANDLE* pipe, std::string* into) {
  bool any = false;
  while (*pipe != nullptr) {
    DWORD available = 0;
    if (!PeekNamedPipe(*pipe, nullptr, 0, nullptr, &available, nullptr)) {
      close_handle(pipe);  // the child's end has closed
      return true;
    }
    if (available == 0) break;
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(*pipe, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &got,
                  nullptr)) {
      close_handle(pipe);
      return true;
    }
    into->append(buffer, got);
    any = true;
  }
  return any;
}

// True when the process has ended, whatever its pipes still hold.
bool gone(const Child& c) {
  return c.process != nullptr && WaitForSingleObject(c.process, 0) == WAIT_OBJECT_0;
}

bool look(Child* c) {
  bool any = drain(&c->out, c->output);
  any = drain(&c->err, c->errors) || any;
  if (!c->exited && c->out == nullptr && c->err == nullptr && gone(*c)) {
    GetExitCodeProcess(c->process, &c->status);
    c->exited = true;
    any = true;
  }
  return any;
}

}  // namespace

bool child_start(int index, const std::vector<std::string>& args, std::string* output,
                 std::string* errors) {
  Child& c = children[index];
  c = Child{};
  c.output = output;
  c.errors = errors;
  char self[MAX_PATH];
  if (GetModuleFileNameA(nullptr, self, sizeof(self)) == 0) {
    report("GetModuleFileName");
    return false;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in_read = nullptr, out_write = nullptr, err_write = nullptr;
  if (!CreatePipe(&in_read, &c.in, &inherit, 0) || !CreatePipe(&c.out, &out_write, &inherit, 0) ||
      !CreatePipe(&c.err, &err_write, &inherit, 0)) {
    report("CreatePipe");
    for (HANDLE* h : {&in_read, &out_write, &err_write, &c.in, &c.out, &c.err}) close_handle(h);
    return false;
  }
  // Only the child's ends go to the child.
  for (HANDLE h : {c.in, c.out, c.err}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  std::string line;
  append_quoted(&line, self);
  for (const std::string& a : args) append_quoted(&line, a);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION started{};
  const BOOL ok = CreateProcessA(self, line.data(), nullptr, nullptr, TRUE,
                                 CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &started);
  for (HANDLE* h : {&in_read, &out_write, &err_write}) close_handle(h);
  if (!ok) {
    report(self);
    for (HANDLE* h : {&c.in, &c.out, &c.err}) close_handle(h);
    return false;
  }
  CloseHandle(started.hThread);
  c.process = started.hProcess;
  return true;
}

void child_send(int index, const char* bytes, size_t length) {
  Child& c = children[index];
  DWORD written = 0;
  if (c.in != nullptr && !WriteFile(c.in, bytes, static_cast<DWORD>(length), &written, nullptr)) {
    close_handle(&c.in);
  }
}

void child_close_input(int index) { close_handle(&children[index].in); }

void children_wait(int wait_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    bool any = false;
    HANDLE running[MAX_PORTS];
    DWORD count = 0;
    for (Child& c : children) {
      any = look(&c) || any;
      if (c.process != nullptr && !c.exited && !gone(c)) running[count++] = c.process;
    }
    const DWORD passed = GetTickCount() - start;
    if (any || passed >= static_cast<DWORD>(wait_ms)) return;
    const DWORD left = static_cast<DWORD>(wait_ms) - passed;
    const DWORD nap = left < kLookMs ? left : kLookMs;
    if (count > 0) {
      WaitForMultipleObjects(count, running, FALSE, nap);
    } else {
      Sleep(nap);  // pipes still open past their processes' end
    }
  }
}

ChildEnd child_end(int index) {
  const Child& c = children[index];
  ChildEnd end;
  end.ended = c.process == nullptr || c.exited;
  end.status = static_cast<int>(c.status);
  return end;
}

void child_stop(int index) { child_kill(index); }

void child_kill(int index) {
  Child& c = children[index];
  if (c.process != nullptr && !c.exited) TerminateProcess(c.process, 255);
}

void children_reset() {
  for (Child& c : children) {
    if (c.process != nullptr && !c.exited) {
      TerminateProcess(c.process, 255);
      WaitForSingleObject(c.process, INFINITE);
    }
    for (HANDLE* h : {&c.process, &c.in, &c.out, &c.err}) close_handle(h);
    c = Child{};
  }
}

}  // namespace travek
