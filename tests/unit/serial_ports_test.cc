// The hint for a port that does not exist: the serial ports the machine
// has, from a /dev and /sys made up here.
#include "link/serial_ports.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace travek {
namespace {

namespace fs = std::filesystem;

std::string ports_under(const fs::path& root) {
  char out[512];
  list_serial_ports_in((root / "dev").c_str(), (root / "sys").c_str(), out, sizeof(out));
  return out;
}

TEST(SerialPorts, AdaptersFirstThenBuiltInPortsWithAUart) {
  const fs::path root = fs::temp_directory_path() / ("travek-ports-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "dev/serial/by-id");
  EXPECT_EQ(ports_under(root), "") << "nothing here";

  for (const char* name : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB1", "ttyUSB0", "ttyACM0", "tty1",
                           "null", "ttyCH341USB0"}) {
    std::ofstream(root / "dev" / name);
  }
  // The kernel has a UART behind ttyS0 and ttyS10 only (type 0: none).
  for (const auto& [name, type] : {std::pair{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS10", "4"}}) {
    fs::create_directories(root / "sys/class/tty" / name);
    std::ofstream(root / "sys/class/tty" / name / "type") << type << "\n";
  }
  // A stable name of an adapter listed already, and of one with a name of
  // its own driver's.
  fs::create_symlink("../../ttyUSB1", root / "dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
  fs::create_symlink("../../ttyCH341USB0", root / "dev/serial/by-id/usb-1a86_USB_Serial-if00");

  EXPECT_EQ(ports_under(root),
            "/dev/ttyUSB0, /dev/ttyUSB1, /dev/ttyCH341USB0, /dev/ttyACM0, /dev/ttyS0, /dev/ttyS10");
  fs::remove_all(root);
}

}  // namespace
}  // namespace travek
