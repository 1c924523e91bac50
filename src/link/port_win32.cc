// Windows serial port through the communications interface: CreateFileA
// without sharing, the kept DCB, COMMTIMEOUTS set per read mode and per
// write (its limit in the write fields), synchronous ReadFile and WriteFile,
// and timeGetTime for the millisecond clock. A read, write or error query
// that fails on the open port means the device has gone (a USB adapter
// pulled out): the port is lost and nothing more is tried on it.
#include <cstdio>
#include <cstring>

#include "common/constants.h"
#include "common/messages.h"
#include "common/system_reason.h"
#include "console/console.h"
#include "link/port.h"
#include "link/port_interface.h"
#include "link/serial_ports.h"

// After our own headers: <windows.h> defines the CE_* constants again, as macros.
#include <windows.h>

namespace travek {
namespace {

struct PortState {
  HANDLE handle = INVALID_HANDLE_VALUE;
  char name[256] = {};
  DCB settings{};           // the kept line settings record
  bool modem_lines = true;  // false on a virtual port without RTS
  bool lost = false;
};

PortState port;

void report(DWORD error) {
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    con_diagnostic(msg::kDiagHeldByOther, port.name);
    return;
  }
  char reason[256];
  system_reason(error, reason, sizeof(reason));
  if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
    con_diagnostic(msg::kDiagReason, port.name, reason);
    return;
  }
  // No such port: name the ones there are.
  char ports[512];
  list_serial_ports(ports, sizeof(ports));
  if (ports[0] != '\0') {
    con_diagnostic(msg::kDiagNoSuchPort, port.name, reason, ports);
  } else {
    con_diagnostic(msg::kDiagNoPortsHere, port.name, reason);
  }
}

void set_timeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD write_limit = 0) {
  COMMTIMEOUTS timeouts{interval, multiplier, constant, 0, write_limit};
  SetCommTimeouts(port.handle, &timeouts);
}

bool device_open(const char* name) {
  port = PortState{};
  std::snprintf(port.name, sizeof(port.name), "%s", name);
  // Ports above COM9 exist only under the device namespace.
  char device[sizeof(port.name) + 4];
  std::snprintf(device, sizeof(device), "%s%s",
                std::strncmp(name, "\\\\.\\", 4) == 0 ? "" : "\\\\.\\", name);
  port.handle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port.handle == INVALID_HANDLE_VALUE) {
    report(GetLastError());
    return false;
  }
  // Millisecond sleeps and clock, instead of the default 15.6 ms ticks.
  timeBeginPeriod(1);
  return true;
}

bool device_is_open() { return port.handle != INVALID_HANDLE_VALUE; }

void device_close() {
  if (port.handle == INVALID_HANDLE_VALUE) return;
  CloseHandle(port.handle);
  port.handle = INVALID_HANDLE_VALUE;
  timeEndPeriod(1);
}

bool device_configure(uint32_t rate, int data_bits, int stop_bits) {
  DCB& dcb = port.settings;
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(port.handle, &dcb)) {
    report(GetLastError());
    return false;
  }
  dcb.Parity = NOPARITY;
  dcb.BaudRate = rate;
  dcb.ByteSize = static_cast<BYTE>(data_bits);
  dcb.StopBits = stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  // The low 16 bits of the flag word masked with 0x8491, then bits 0 and 4
  // set: binary, no parity check, no handshake of any kind, DTR held on, RTS
  // left to the reset pulse. fTXContinueOnXoff, fErrorChar and the reserved
  // bits keep what the port reported.
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(port.handle, &dcb) || !SetupComm(port.handle, LINK_BLOCK, LINK_BLOCK)) {
    report(GetLastError());
    return false;
  }
  return true;
}

bool device_set_line(uint32_t rate, int stop_bits) {
  port.settings.BaudRate = rate;
  port.settings.StopBits = stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  return SetCommState(port.handle, &port.settings) != 0;
}

bool device_set_rts(bool on) {
  if (!port.modem_lines) return true;
  if (port.lost) return false;
  if (EscapeCommFunction(port.handle, on ? SETRTS : CLRRTS)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_NOT_SUPPORTED) {  // a virtual port without modem-control lines
    port.modem_lines = false;
    return true;
  }
  report(error);
  return false;
}

bool device_clear_errors(uint32_t* mask) {
  DWORD errors = 0;
  COMSTAT status;
  if (!port.lost && !ClearCommError(port.handle, &errors, &status)) port.lost = true;
  *mask = port.lost ? 0 : errors;
  return true;
}

bool device_purge() {
  if (port.lost) return false;
  if (PurgeComm(port.handle, PURGE_TXCLEAR | PURGE_RXCLEAR)) return true;
  report(GetLastError());
  return false;
}

// A read with these read timeouts; a failure loses the port.
uint32_t read_with(uint8_t* dest, uint32_t n, DWORD interval, DWORD multiplier, DWORD constant) {
  if (port.lost) return 0;
  set_timeouts(interval, multiplier, constant);
  DWORD got = 0;
  if (!ReadFile(port.handle, dest, n, &got, nullptr)) port.lost = true;
  return got;
}

uint32_t device_read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms) {
  return read_with(dest, n, 0, 0, total_ms);
}

// With both interval and multiplier MAXDWORD, ReadFile returns at once with
// whatever is queued, or with the first byte to arrive.
uint32_t device_read_available(uint8_t* dest, uint32_t max, uint32_t first_ms) {
  return read_with(dest, max, MAXDWORD, MAXDWORD, first_ms);
}

bool device_write(const uint8_t* data, uint32_t n, uint32_t limit_ms, uint32_t* written) {
  *written = 0;
  if (port.lost) return false;
  set_timeouts(0, 0, 0, limit_ms);
  DWORD done = 0;
  if (!WriteFile(port.handle, data, n, &done, nullptr)) port.lost = true;
  *written = done;
  return !port.lost && done == n;
}

bool device_send_now(uint8_t byte, uint32_t limit_ms) {
  if (port.lost) return false;
  // Where the driver cannot send a byte ahead of the queue, send it plainly:
  // the queue is empty whenever this is used.
  if (TransmitCommChar(port.handle, static_cast<char>(byte))) return true;
  uint32_t written = 0;
  return device_write(&byte, 1, limit_ms, &written);
}

bool device_lost() { return port.lost; }

// Every name not taken by another transport.
bool device_accepts(const char*) { return true; }

}  // namespace

const PortInterface kSerialDevice = {
    device_accepts,        device_open,    device_is_open,      device_close, device_configure,
    device_set_line,       device_set_rts, device_clear_errors, device_purge, device_read_exact,
    device_read_available, device_write,   device_send_now,     device_lost,
};

const char* port_name_for_digit(char digit) {
  static char name[] = "COM2";
  name[3] = digit;
  return name;
}

uint32_t port_clock_ms() { return timeGetTime(); }

void port_sleep_ms(uint32_t ms) {
  const DWORD start = timeGetTime();
  for (DWORD passed; (passed = timeGetTime() - start) < ms;) Sleep(ms - passed);
}

}  // namespace travek
