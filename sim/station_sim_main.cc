// station-sim: a simulated station on a pseudo-terminal.
//
// Prints the slave's path on the first line of standard output, serves the
// tool that opens it (travek32 -port:PATH), and prints one JSON verdict line
// per session. Exits 0 only when every session was clean and complete.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
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
    "  --arrive-ms MS           a series of stations on one open port: once the tool\n"
    "                           sets its line back to 9600 bit/s, one stop bit, after a\n"
    "                           session, the next station sends its start byte MS later,\n"
    "                           with no pulse\n"
    "  --jumper-set             on the restart command the station answers and goes back\n"
    "                           into its boot loader (the next station of a series\n"
    "                           arrives MS after that start byte)\n"
    "  --stations N             serve N stations, each on its own pseudo-terminal, their\n"
    "                           paths one a line; --link P makes P1..PN, --flash-out F\n"
    "                           and --verdict F write F.1..F.N (default 1)\n"
    "faults:\n"
    "  --fault-session K        the faults below only in session K of each station\n"
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

int integer(const std::string& text) { return static_cast<int>(number(text)); }
double millis(const std::string& text) { return static_cast<double>(number(text)); }

long at_least(long least, const std::string& text, const char* error) {
  const long value = number(text);
  if (value < least) usage_error(error);
  return value;
}

// One of a few words, or the usage error that lists them.
template <class T, size_t N>
T choice(const std::string& text, const std::pair<const char*, T> (&words)[N], const char* error) {
  for (const auto& [word, value] : words) {
    if (text == word) return value;
  }
  usage_error(error);
}

sim::ClockSpec clock_class(const std::string& text) {
  const long mhz = number(text);
  if (mhz == 10) return sim::kClock10MHz;
  if (mhz == 12) return sim::kClock12MHz;
  if (mhz == 11) return sim::kClock11MHz;
  usage_error("clock is 10, 11 or 12");
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

// Adds to what an earlier option gave.
void add_numbers(std::set<long>* set, const std::string& text) {
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) set->insert(number(item));
}

using sim::Expect;
using sim::PacketFault;
const std::pair<const char*, Expect> kExpects[] = {
    {"resident", Expect::kResident}, {"load", Expect::kLoad}, {"restart", Expect::kRestart}};
const std::pair<const char*, PacketFault> kPacketFaults[] = {
    {"wrong-code", PacketFault::kWrongCode},
    {"bad-crc", PacketFault::kBadCrc},
    {"short", PacketFault::kShort}};

// Each option: its name, whether a value follows, and what it sets.
struct Option {
  const char* name;
  bool takes_value;
  void (*apply)(sim::PtyOptions& o, const std::string& v);
};

using O = sim::PtyOptions;
using V = const std::string;
const Option kOptions[] = {
    {"--clock", true, [](O& o, V& v) { o.station.clock = clock_class(v); }},
    {"--boot-delay", true, [](O& o, V& v) { o.station.boot_delay_ms = millis(v); }},
    {"--start-repeat", true, [](O& o, V& v) { o.station.start_repeat_ms = millis(v); }},
    {"--resident", true, [](O& o, V& v) { o.station.resident = read_file(v); }},
    {"--flags", true, [](O& o, V& v) { o.station.flags = static_cast<uint8_t>(number(v)); }},
    {"--chip0", true, [](O& o, V& v) { o.station.chips[0] = chip(v); }},
    {"--chip1", true, [](O& o, V& v) { o.station.chips[1] = chip(v); }},
    {"--sector-ms", true,
     [](O& o, V& v) { o.station.sector_write_ms = std::strtod(v.c_str(), nullptr); }},
    {"--write-buffers", true, [](O& o, V& v) { o.station.write_buffers = integer(v); }},
    {"--flash-out", true, [](O& o, V& v) { o.flash_out = v; }},
    {"--verdict", true, [](O& o, V& v) { o.verdict_out = v; }},
    {"--link", true, [](O& o, V& v) { o.link_path = v; }},
    {"--sessions", true, [](O& o, V& v) { o.sessions = integer(v); }},
    {"--expect", true,
     [](O& o, V& v) { o.expect = choice(v, kExpects, "expect is resident, load or restart"); }},
    {"--paced", false, [](O& o, V&) { o.paced = true; }},
    {"--arrive-ms", true,
     [](O& o, V& v) {
       o.arrive_ms = static_cast<double>(at_least(0, v, "arrive-ms is 0 or more"));
     }},
    {"--jumper-set", false, [](O& o, V&) { o.station.jumper_set = true; }},
    {"--stations", true,
     [](O& o, V& v) { o.stations = static_cast<int>(at_least(1, v, "stations is 1 or more")); }},
    {"--fault-session", true,
     [](O& o, V& v) {
       o.fault_session = static_cast<int>(at_least(1, v, "fault-session is 1 or more"));
     }},
    {"--echo-wrong", true, [](O& o, V& v) { o.station.faults.echo_wrong_at = integer(v); }},
    {"--echo-missing", true, [](O& o, V& v) { o.station.faults.echo_missing_at = integer(v); }},
    {"--no-u-answer", false, [](O& o, V&) { o.station.faults.no_handshake_answer = true; }},
    {"--u-delay", true, [](O& o, V& v) { o.station.handshake_delay_ms = millis(v); }},
    {"--stall-after", true,
     [](O& o, V& v) { o.station.faults.stall_after_stream_bytes = number(v); }},
    {"--u-answer", true,
     [](O& o, V& v) { o.station.faults.handshake_answer = static_cast<int>(number(v, 16)); }},
    {"--packet", true,
     [](O& o, V& v) {
       o.station.faults.packet =
           choice(v, kPacketFaults, "packet fault is wrong-code, bad-crc or short");
     }},
    {"--warn-sectors", true, [](O& o, V& v) { add_numbers(&o.station.faults.warn_sectors, v); }},
    {"--fail-sector", true, [](O& o, V& v) { o.station.faults.fail_sector = number(v); }},
    {"--broken-report", true,
     [](O& o, V& v) { o.station.faults.broken_report_sector = number(v); }},
    {"--duplicate-report", true,
     [](O& o, V& v) { o.station.faults.duplicate_report_sector = number(v); }},
    {"--silent-after", true,
     [](O& o, V& v) { o.station.faults.silent_after_stream_bytes = number(v); }},
    {"--no-restart-answer", false, [](O& o, V&) { o.station.faults.no_restart_answer = true; }},
    {"--stray-byte", true,
     [](O& o, V& v) { o.station.faults.stray_byte = static_cast<int>(number(v, 16) & 0xFF); }},
};

}  // namespace

int main(int argc, char** argv) {
  sim::PtyOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const Option* o = std::find_if(std::begin(kOptions), std::end(kOptions),
                                   [&](const Option& each) { return opt == each.name; });
    if (o == std::end(kOptions)) usage_error("unknown option " + opt);
    if (o->takes_value && i + 1 >= argc) usage_error(opt + " needs a value");
    o->apply(options, o->takes_value ? argv[++i] : "");
  }
  return sim::run_pty_station(options);
}
