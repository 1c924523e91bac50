// station-sim: a simulated station on a pseudo-terminal.
//
// Prints the slave's path on the first line of standard output, serves the
// tool that opens it (travek32 -port:PATH), and prints one JSON verdict line
// per session. Exits 0 only when every session was clean and complete.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "pty_station.h"

namespace {

const char kUsage[] =
    "usage: station-sim [options]\n"
    "  --clock 10|11|12         clock class (default 10)\n"
    "  --boot-delay MS          reset release to start byte (default 20)\n"
    "  --start-repeat MS        resend the start byte until the PC talks (default: once)\n"
    "  --resident FILE          the resident image the PC must send (default: built-in)\n"
    "  --flags N                station flags byte (default 0)\n"
    "  --chip0 MM:DD:UU:SS      chip 0: manufacturer, device, sector units, size code (hex)\n"
    "  --chip1 MM:DD:UU:SS      chip 1 (default 00:00:00:00, absent)\n"
    "  --sector-ms MS           flash write time per sector (default 0)\n"
    "  --write-buffers N        sectors held while writing (default 2)\n"
    "  --flash-out FILE         write the flash contents here after each session\n"
    "  --verdict FILE           append each session's JSON verdict here\n"
    "  --link PATH              make PATH a symlink to the slave\n"
    "  --sessions N             sessions to serve, 0 for no limit (default 1)\n"
    "  --expect resident|load|restart   what makes a session complete (default load)\n"
    "  --paced                  read and write no faster than the line would carry the\n"
    "                           bytes at the tool's rate and framing\n"
    "faults:\n"
    "  --echo-wrong K | --echo-missing K      body byte K echoed changed / not at all\n"
    "  --no-u-answer | --u-answer HEX         handshake silent / answered wrongly\n"
    "  --u-delay MS             the resident answers 'U' this late\n"
    "  --packet wrong-code|bad-crc|short      a faulty station packet\n"
    "  --warn-sectors K,K,...  --fail-sector K  --broken-report K  --duplicate-report K\n"
    "  --silent-after N         the resident hangs after N stream bytes\n"
    "  --stall-after N          after N stream bytes the station stops reading the line\n"
    "                           but goes on granting credit\n"
    "  --no-restart-answer      the restart command is not answered\n"
    "  --stray-byte HEX         a foreign lone byte before the first start byte\n";

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "station-sim: %s\n%s", what.c_str(), kUsage);
  std::exit(2);
}

long number(const std::string& text, int base = 0) {
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, base);
  if (text.empty() || *end != '\0') usage_error("not a number: " + text);
  return value;
}

sim::Chip chip(const std::string& text) {
  unsigned m, d, u, s;
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x", &m, &d, &u, &s) != 4) {
    usage_error("chip is MM:DD:UU:SS in hex: " + text);
  }
  return sim::Chip{static_cast<uint8_t>(m), static_cast<uint8_t>(d), static_cast<uint8_t>(u),
                   static_cast<uint8_t>(s)};
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) usage_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  sim::PtyOptions o;
  sim::StationConfig& st = o.station;
  sim::StationFaults& f = st.faults;
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage_error(opt + " needs a value");
      return argv[++i];
    };
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (opt == "--clock") {
      long mhz = number(value());
      if (mhz == 10) {
        st.clock = sim::kClock10MHz;
      } else if (mhz == 12) {
        st.clock = sim::kClock12MHz;
      } else if (mhz == 11) {
        st.clock = sim::kClock11MHz;
      } else {
        usage_error("clock is 10, 11 or 12");
      }
    } else if (opt == "--boot-delay") {
      st.boot_delay_ms = static_cast<double>(number(value()));
    } else if (opt == "--start-repeat") {
      st.start_repeat_ms = static_cast<double>(number(value()));
    } else if (opt == "--resident") {
      st.resident = read_file(value());
    } else if (opt == "--flags") {
      st.flags = static_cast<uint8_t>(number(value()));
    } else if (opt == "--chip0") {
      st.chips[0] = chip(value());
    } else if (opt == "--chip1") {
      st.chips[1] = chip(value());
    } else if (opt == "--sector-ms") {
      st.sector_write_ms = std::strtod(value().c_str(), nullptr);
    } else if (opt == "--write-buffers") {
      st.write_buffers = static_cast<int>(number(value()));
    } else if (opt == "--flash-out") {
      o.flash_out = value();
    } else if (opt == "--verdict") {
      o.verdict_out = value();
    } else if (opt == "--link") {
      o.link_path = value();
    } else if (opt == "--sessions") {
      o.sessions = static_cast<int>(number(value()));
    } else if (opt == "--expect") {
      std::string e = value();
      if (e == "resident") {
        o.expect = sim::Expect::kResident;
      } else if (e == "load") {
        o.expect = sim::Expect::kLoad;
      } else if (e == "restart") {
        o.expect = sim::Expect::kRestart;
      } else {
        usage_error("expect is resident, load or restart");
      }
    } else if (opt == "--paced") {
      o.paced = true;
    } else if (opt == "--echo-wrong") {
      f.echo_wrong_at = static_cast<int>(number(value()));
    } else if (opt == "--echo-missing") {
      f.echo_missing_at = static_cast<int>(number(value()));
    } else if (opt == "--no-u-answer") {
      f.no_handshake_answer = true;
    } else if (opt == "--u-delay") {
      st.handshake_delay_ms = static_cast<double>(number(value()));
    } else if (opt == "--stall-after") {
      o.stall_after = number(value());
    } else if (opt == "--u-answer") {
      f.handshake_answer = static_cast<int>(number(value(), 16));
    } else if (opt == "--packet") {
      std::string p = value();
      if (p == "wrong-code") {
        f.packet = sim::PacketFault::kWrongCode;
      } else if (p == "bad-crc") {
        f.packet = sim::PacketFault::kBadCrc;
      } else if (p == "short") {
        f.packet = sim::PacketFault::kShort;
      } else {
        usage_error("packet fault is wrong-code, bad-crc or short");
      }
    } else if (opt == "--warn-sectors") {
      std::stringstream list(value());
      std::string item;
      while (std::getline(list, item, ',')) f.warn_sectors.insert(number(item));
    } else if (opt == "--fail-sector") {
      f.fail_sector = number(value());
    } else if (opt == "--broken-report") {
      f.broken_report_sector = number(value());
    } else if (opt == "--duplicate-report") {
      f.duplicate_report_sector = number(value());
    } else if (opt == "--silent-after") {
      f.silent_after_stream_bytes = number(value());
    } else if (opt == "--no-restart-answer") {
      f.no_restart_answer = true;
    } else if (opt == "--stray-byte") {
      f.stray_byte = static_cast<int>(number(value(), 16) & 0xFF);
    } else {
      usage_error("unknown option " + opt);
    }
  }
  return sim::run_pty_station(o);
}
