// The COM ports of a Windows machine, as the registry's SERIALCOMM map has
// them (one value a port, its data the port's name).
#include <cstdio>
#include <cstring>

#include "link/serial_ports.h"

#include <windows.h>

namespace travek {

void list_serial_ports(char* out, size_t size) {
  out[0] = '\0';
  HKEY map;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
      ERROR_SUCCESS) {
    return;
  }
  size_t used = 0;
  for (DWORD index = 0;; ++index) {
    char value[256];
    DWORD value_size = sizeof(value);
    char port[64];
    DWORD port_size = sizeof(port) - 1;
    DWORD type = 0;
    const LONG r = RegEnumValueA(map, index, value, &value_size, nullptr, &type,
                                 reinterpret_cast<BYTE*>(port), &port_size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    port[port_size] = '\0';
    const int n = std::snprintf(out + used, size - used, "%s%s", used == 0 ? "" : ", ", port);
    if (n < 0 || static_cast<size_t>(n) >= size - used) break;
    used += static_cast<size_t>(n);
  }
  RegCloseKey(map);
}

}  // namespace travek
