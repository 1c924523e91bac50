// The serial ports of a Linux machine, from /dev and /sys.
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/serial_ports.h"

namespace travek {
namespace {

// The names in a folder (without "." and "..").
std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
  }
  return names;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A built-in port is listed only where the kernel found a UART behind it.
bool uart_behind(const std::string& sys, const std::string& name) {
  FILE* file = std::fopen((sys + "/class/tty/" + name + "/type").c_str(), "r");
  if (file == nullptr) return false;
  int type = 0;
  const bool known = std::fscanf(file, "%d", &type) == 1 && type != 0;
  std::fclose(file);
  return known;
}

// USB adapters first, then built-in ports; by number within each.
bool listed_before(const std::string& a, const std::string& b) {
  auto rank = [](const std::string& name) { return starts_with(name, "ttyS") ? 1 : 0; };
  auto number = [](const std::string& name) {
    const size_t digits = name.find_first_of("0123456789");
    return digits == std::string::npos ? -1 : std::atoi(name.c_str() + digits);
  };
  if (rank(a) != rank(b)) return rank(a) < rank(b);
  const std::string kind_a = a.substr(0, a.find_first_of("0123456789"));
  const std::string kind_b = b.substr(0, b.find_first_of("0123456789"));
  if (kind_a != kind_b) return kind_b < kind_a;  // ttyUSB before ttyACM
  if (number(a) != number(b)) return number(a) < number(b);
  return a < b;
}

}  // namespace

void list_serial_ports_in(const char* dev, const char* sys, char* out, size_t size) {
  const std::string dev_root = dev;
  std::vector<std::string> found;
  for (const std::string& name : names_in(dev_root)) {
    if (starts_with(name, "ttyUSB") || starts_with(name, "ttyACM") ||
        (starts_with(name, "ttyS") && uart_behind(sys, name))) {
      found.push_back(name);
    }
  }
  // The stable names point at the devices themselves.
  const std::string by_id = dev_root + "/serial/by-id";
  for (const std::string& link : names_in(by_id)) {
    char target[PATH_MAX];
    const ssize_t n = readlink((by_id + "/" + link).c_str(), target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    const char* base = std::strrchr(target, '/');
    found.emplace_back(base != nullptr ? base + 1 : target);
  }
  std::sort(found.begin(), found.end(), listed_before);
  found.erase(std::unique(found.begin(), found.end()), found.end());

  std::string list;
  for (const std::string& name : found) list += (list.empty() ? "/dev/" : ", /dev/") + name;
  std::snprintf(out, size, "%s", list.c_str());
}

void list_serial_ports(char* out, size_t size) { list_serial_ports_in("/dev", "/sys", out, size); }

}  // namespace travek
