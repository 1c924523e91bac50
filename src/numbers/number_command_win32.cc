// The numbers command on Windows: CreateProcessW of cmd.exe /d /s /c with
// the command in UTF-16, started suspended and put in a job object of its
// own before it runs, so that a command timed out is ended with every
// process it started; a process group of its own keeps Ctrl+C away from
// it. Standard input is the NUL device; its output and error output are
// anonymous pipes, which cannot be waited on: a look into them alternates
// with a short wait on the process, as the station children's wait does.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "common/system_reason.h"
#include "numbers/command_verdict.h"
#include "numbers/number_command.h"

#include <windows.h>

namespace travek {
namespace {

// What is kept of each output stream: a number's line and a reason's.
constexpr size_t kKeep = 4096;
// A look into the pipes between waits on the process.
constexpr DWORD kLookMs = 10;

// The command running, for number_command_kill.
HANDLE volatile running_job = nullptr;
HANDLE volatile running_process = nullptr;

struct Output {
  HANDLE pipe = nullptr;
  std::string kept;
};

void close_handle(HANDLE* h) {
  if (*h != nullptr && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
  *h = nullptr;
}

// Reads what the pipe holds now, keeping the first kKeep bytes.
void drain(Output* o) {
  while (o->pipe != nullptr) {
    DWORD available = 0;
    if (!PeekNamedPipe(o->pipe, nullptr, 0, nullptr, &available, nullptr)) {
      close_handle(&o->pipe);  // every writer has closed it
      return;
    }
    if (available == 0) return;
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(o->pipe, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &got,
                  nullptr)) {
      close_handle(&o->pipe);
      return;
    }
    if (o->kept.size() < kKeep) {
      o->kept.append(buffer, std::min<size_t>(got, kKeep - o->kept.size()));
    }
  }
}

bool say_system(char* what, size_t what_size, const char* doing, DWORD error) {
  char reason[256];
  system_reason(error, reason, sizeof(reason));
  std::snprintf(what, what_size, "%s: %s", doing, reason);
  return false;
}

std::wstring wide(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (n <= 0) return L"";
  std::wstring text(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, text.data(), n);
  text.resize(static_cast<size_t>(n - 1));
  return text;
}

// The tool's environment with the run's two values in place of any of the
// same names (which Windows compares without regard to case).
bool command_environment(const char* port, const char* sha256, std::wstring* block) {
  wchar_t* strings = GetEnvironmentStringsW();
  if (strings == nullptr) return false;
  for (const wchar_t* e = strings; *e != L'\0'; e += std::wcslen(e) + 1) {
    if (_wcsnicmp(e, L"TRAVEK_PORT=", 12) != 0 && _wcsnicmp(e, L"TRAVEK_SHA256=", 14) != 0) {
      block->append(e);
      block->push_back(L'\0');
    }
  }
  FreeEnvironmentStringsW(strings);
  *block += L"TRAVEK_PORT=" + wide(port);
  block->push_back(L'\0');
  *block += L"TRAVEK_SHA256=" + wide(sha256);
  block->push_back(L'\0');
  block->push_back(L'\0');
  return true;
}

void end_command(HANDLE job, HANDLE process) {
  if (job == nullptr || !TerminateJobObject(job, 1)) TerminateProcess(process, 1);
  WaitForSingleObject(process, 5000);
}

}  // namespace

bool number_from_command(const char* command, const char* port, const char* sha256, int limit_ms,
                         uint64_t* number, char* what, size_t what_size) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limit_ms);
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return say_system(what, what_size, "could not be started", GetLastError());
  }
  const std::wstring shell = std::wstring(system) + L"\\cmd.exe";
  std::wstring line = L"cmd.exe /d /s /c \"" + wide(command) + L"\"";
  std::wstring environment;
  if (!command_environment(port, sha256, &environment)) {
    return say_system(what, what_size, "could not be started", GetLastError());
  }

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Output out, err;
  HANDLE out_write = nullptr, err_write = nullptr;
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE || !CreatePipe(&out.pipe, &out_write, &inherit, 0) ||
      !CreatePipe(&err.pipe, &err_write, &inherit, 0) ||
      !SetHandleInformation(out.pipe, HANDLE_FLAG_INHERIT, 0) ||
      !SetHandleInformation(err.pipe, HANDLE_FLAG_INHERIT, 0)) {
    const DWORD error = GetLastError();
    for (HANDLE* h : {&input, &out.pipe, &out_write, &err.pipe, &err_write}) close_handle(h);
    return say_system(what, what_size, "could not be started", error);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION started{};
  const BOOL ok =
      CreateProcessW(shell.c_str(), line.data(), nullptr, nullptr, TRUE,
                     CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                     environment.data(), nullptr, &startup, &started);
  const DWORD start_error = GetLastError();
  for (HANDLE* h : {&input, &out_write, &err_write}) close_handle(h);
  if (!ok) {
    close_handle(&out.pipe);
    close_handle(&err.pipe);
    return say_system(what, what_size, "could not be started", start_error);
  }
  // Without a job (a system that does not nest them) only cmd.exe itself
  // can be ended on the time limit.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr && !AssignProcessToJobObject(job, started.hProcess)) close_handle(&job);
  running_job = job;
  running_process = started.hProcess;
  bool timed_out = false;
  DWORD failed = 0;
  if (ResumeThread(started.hThread) == static_cast<DWORD>(-1)) {
    failed = GetLastError();
  } else {
    for (;;) {
      drain(&out);
      drain(&err);
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        timed_out = true;
        break;
      }
      const ULONGLONG left = deadline - now;
      const DWORD r = WaitForSingleObject(started.hProcess,
                                          left < kLookMs ? static_cast<DWORD>(left) : kLookMs);
      if (r == WAIT_OBJECT_0) break;
      if (r == WAIT_FAILED) {
        failed = GetLastError();
        break;
      }
    }
  }
  if (timed_out || failed != 0) end_command(job, started.hProcess);
  running_job = nullptr;
  running_process = nullptr;
  DWORD status = 0;
  const BOOL known = GetExitCodeProcess(started.hProcess, &status);
  const DWORD status_error = GetLastError();
  drain(&out);
  drain(&err);
  for (HANDLE* h : {&out.pipe, &err.pipe, &job, &started.hThread, &started.hProcess}) {
    close_handle(h);
  }

  if (failed != 0) return say_system(what, what_size, "could not be watched", failed);
  if (!timed_out && !known) {
    return say_system(what, what_size, "could not be watched", status_error);
  }
  CommandRun run{timed_out ? CommandEnding::kTimedOut : CommandEnding::kExited,
                 status,
                 "",
                 limit_ms,
                 std::move(out.kept),
                 std::move(err.kept)};
  return judge_command(run, number, what, what_size);
}

void number_command_kill() {
  const HANDLE job = running_job;
  const HANDLE process = running_process;
  if (job != nullptr) {
    TerminateJobObject(job, 1);
  } else if (process != nullptr) {
    TerminateProcess(process, 1);
  }
}

}  // namespace travek
