// Processes on Windows: CreateProcessW started suspended and put in a job
// object of its own before it runs, so that killing it ends every process
// it started; a process group of its own keeps Ctrl+C away from it. Its
// standard streams are anonymous pipes (input, or the NUL device), which
// cannot be waited on: a wait looks into every pipe and then sleeps on the
// processes' handles for a few milliseconds at a time.
#include <algorithm>
#include <cwchar>
#include <string>

#include "common/system_reason.h"
#include "process/process.h"

#include <windows.h>

namespace travek {
namespace {

// A look into the pipes between sleeps: short enough that keys and events
// pass without a delay anyone sees.
constexpr DWORD kLookMs = 10;

HANDLE handle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

void close_handle(intptr_t* h) {
  if (*h != -1 && *h != 0) CloseHandle(handle(*h));
  *h = -1;
}

bool say(std::string* reason, const char* doing, DWORD error) {
  char text[256];
  system_reason(error, text, sizeof(text));
  *reason = std::string(doing) + ": " + text;
  return false;
}

std::wstring wide(const std::string& text, UINT code_page) {
  const int n = MultiByteToWideChar(code_page, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return L"";
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, text.c_str(), -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// An argument as the runtime of the process splits its command line.
void append_quoted(std::wstring* line, const std::wstring& arg) {
  if (!line->empty()) *line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    *line += arg;
    return;
  }
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t ch : arg) {
    if (ch == L'\\') {
      ++backslashes;
      continue;
    }
    *line += std::wstring(ch == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    *line += ch;
  }
  *line += std::wstring(2 * backslashes, L'\\');
  *line += L'"';
}

// The program and its command line; empty on failure.
bool command_line_of(const ProcessLaunch& launch, std::wstring* program, std::wstring* line) {
  wchar_t path[MAX_PATH];
  if (launch.shell) {
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    *program = std::wstring(path) + L"\\cmd.exe";
    *line = L"cmd.exe /d /s /c \"" + wide(launch.command, CP_UTF8) + L"\"";
    return true;
  }
  if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return false;
  *program = path;
  append_quoted(line, *program);
  for (const std::string& a : launch.args)
    append_quoted(line, wide(a, launch.utf8 ? CP_UTF8 : CP_ACP));
  return true;
}

// The tool's environment with the caller's variables in place of any of
// the same names (which Windows compares without regard to case).
bool environment_of(const ProcessLaunch& launch, std::wstring* block) {
  wchar_t* strings = GetEnvironmentStringsW();
  if (strings == nullptr) return false;
  for (const wchar_t* e = strings; *e != L'\0'; e += std::wcslen(e) + 1) {
    bool replaced = false;
    for (const auto& [name, value] : launch.environment) {
      const std::wstring prefix = wide(name, CP_UTF8) + L"=";
      replaced = replaced || _wcsnicmp(e, prefix.c_str(), prefix.size()) == 0;
    }
    if (!replaced) block->append(e).push_back(L'\0');
  }
  FreeEnvironmentStringsW(strings);
  for (const auto& [name, value] : launch.environment) {
    block->append(wide(name, CP_UTF8) + L"=" + wide(value, CP_UTF8)).push_back(L'\0');
  }
  block->push_back(L'\0');
  return true;
}

// Reads what the pipe holds now; closes it at its end.
bool drain(intptr_t* pipe, std::string* into, size_t keep) {
  bool any = false;
  while (*pipe != -1) {
    DWORD available = 0;
    if (!PeekNamedPipe(handle(*pipe), nullptr, 0, nullptr, &available, nullptr)) {
      close_handle(pipe);  // every writer has closed it
      return true;
    }
    if (available == 0) break;
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(handle(*pipe), buffer, std::min<DWORD>(available, sizeof(buffer)), &got,
                  nullptr)) {
      close_handle(pipe);
      return true;
    }
    into->append(buffer, std::min<size_t>(got, keep - std::min(keep, into->size())));
    any = true;
  }
  return any;
}

// Once its process has ended: its status, and what it wrote before.
bool look(Process& p) {
  bool any = drain(&p.out, &p.output, p.keep);
  any = drain(&p.err, &p.errors, p.keep) || any;
  if (p.ended || p.pid == -1 || WaitForSingleObject(handle(p.pid), 0) != WAIT_OBJECT_0) return any;
  DWORD status = 0;
  GetExitCodeProcess(handle(p.pid), &status);
  p.status = static_cast<int>(status);
  drain(&p.out, &p.output, p.keep);
  drain(&p.err, &p.errors, p.keep);
  for (intptr_t* h : {&p.out, &p.err, &p.in}) close_handle(h);
  p.ended = true;
  return true;
}

// Its standard input (a pipe of ours, or the NUL device), output and error
// output: theirs, the ends it inherits; ours kept in the Process.
bool make_pipes(const ProcessLaunch& launch, Process& p, HANDLE theirs[3]) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE ours[3] = {nullptr, nullptr, nullptr};
  bool ok =
      launch.input_pipe
          ? CreatePipe(&theirs[0], &ours[0], &inherit, 0) != 0
          : (theirs[0] = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr)) != INVALID_HANDLE_VALUE;
  if (theirs[0] == INVALID_HANDLE_VALUE) theirs[0] = nullptr;
  ok = ok && CreatePipe(&ours[1], &theirs[1], &inherit, 0) &&
       CreatePipe(&ours[2], &theirs[2], &inherit, 0);
  intptr_t* const kept[3] = {&p.in, &p.out, &p.err};
  for (int i = 0; i < 3; ++i) {
    *kept[i] = ours[i] != nullptr ? reinterpret_cast<intptr_t>(ours[i]) : -1;
    // Only the process's ends go to it.
    if (ours[i] != nullptr) SetHandleInformation(ours[i], HANDLE_FLAG_INHERIT, 0);
  }
  return ok;
}

}  // namespace

Process::~Process() {
  if (pid != -1 && !ended) {
    process_kill(*this);
    WaitForSingleObject(handle(pid), 5000);
  }
  for (intptr_t* h : {&in, &out, &err, &waiter, &pid}) close_handle(h);
}

bool process_start(Process& p, const ProcessLaunch& launch, std::string* reason) {
  p.keep = launch.keep;
  std::wstring program, line, environment;
  if (!command_line_of(launch, &program, &line) ||
      (!launch.environment.empty() && !environment_of(launch, &environment))) {
    return say(reason, "could not be started", GetLastError());
  }
  HANDLE theirs[3] = {nullptr, nullptr, nullptr};
  const bool piped = make_pipes(launch, p, theirs);
  const DWORD pipe_error = GetLastError();
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = theirs[0];
  startup.hStdOutput = theirs[1];
  startup.hStdError = theirs[2];
  PROCESS_INFORMATION started{};
  const BOOL ok =
      piped && CreateProcessW(
                   program.c_str(), line.data(), nullptr, nullptr, TRUE,
                   CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                   environment.empty() ? nullptr : environment.data(), nullptr, &startup, &started);
  const DWORD start_error = piped ? GetLastError() : pipe_error;
  for (HANDLE h : theirs) {
    if (h != nullptr) CloseHandle(h);
  }
  if (!ok) {
    for (intptr_t* h : {&p.in, &p.out, &p.err}) close_handle(h);
    return say(reason, "could not be started", start_error);
  }
  // Without a job (a system that does not nest them) only the process
  // itself can be ended.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr && !AssignProcessToJobObject(job, started.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  p.pid = reinterpret_cast<intptr_t>(started.hProcess);
  p.waiter = job != nullptr ? reinterpret_cast<intptr_t>(job) : -1;
  if (ResumeThread(started.hThread) == static_cast<DWORD>(-1)) process_kill(p);
  CloseHandle(started.hThread);
  return true;
}

void process_send(Process& p, const char* bytes, size_t length) {
  DWORD written = 0;
  if (p.in != -1 &&
      !WriteFile(handle(p.in), bytes, static_cast<DWORD>(length), &written, nullptr)) {
    close_handle(&p.in);
  }
}

void process_close_input(Process& p) { close_handle(&p.in); }

void processes_wait(Process* const* processes, size_t count, int wait_ms) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    bool any = false;
    HANDLE running[MAXIMUM_WAIT_OBJECTS];
    DWORD waiting = 0;
    for (size_t i = 0; i < count; ++i) {
      Process& p = *processes[i];
      any = look(p) || any;
      if (p.pid != -1 && !p.ended && waiting < MAXIMUM_WAIT_OBJECTS) {
        running[waiting++] = handle(p.pid);
      }
    }
    const ULONGLONG passed = GetTickCount64() - start;
    if (any || passed >= static_cast<ULONGLONG>(wait_ms)) return;
    const DWORD nap = static_cast<DWORD>(std::min<ULONGLONG>(wait_ms - passed, kLookMs));
    if (waiting > 0) {
      WaitForMultipleObjects(waiting, running, FALSE, nap);
    } else {
      Sleep(nap);  // pipes still open past their processes' end
    }
  }
}

void process_stop(Process& p) { process_kill(p); }

void process_kill(Process& p) {
  if (p.pid == -1 || p.ended) return;
  if (p.waiter == -1 || !TerminateJobObject(handle(p.waiter), 255)) {
    TerminateProcess(handle(p.pid), 255);
  }
}

// A console closed ends the tool by the system's hand, and the jobs with it.
void processes_kill_dying_with_tool() {}

int64_t process_clock_ms() { return static_cast<int64_t>(GetTickCount64()); }

const char* process_signal_name(int) { return ""; }

}  // namespace travek
