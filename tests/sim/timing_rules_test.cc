// Every timing rule of the tool at its boundary, in virtual time: for each
// rule, runs just inside and just outside it (or at the moment it acts) and
// the outcome each must give. An outcome is the exit status, and where it
// matters the message that ended the step and how many milliseconds of the
// tool's clock after its reference point it came.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "common/constants.h"
#include "support/images.h"
#include "support/virtual_run.h"
#include "virtual_line.h"

namespace sim {
namespace {

using testing_support::Bytes;
using testing_support::TempFile;
using testing_support::written_at;

// Milliseconds of the tool's clock from one moment to another.
long clock_ms_between(double from_ms, double to_ms) {
  return static_cast<long>(std::floor(to_ms) - std::floor(from_ms));
}

// "+N", for N milliseconds after a reference point.
std::string after(long ms) {
  std::string text = "+";  // built up, not "+" + ...: GCC 12 warns falsely there at -O3
  text += std::to_string(ms);
  return text;
}

std::string ended(int status, const std::string& message, long after_ms) {
  return std::to_string(status) + " " + message + " " + after(after_ms);
}

// A 1 KB image: four 256-byte sectors of an AT29C040, all in the last batch.
int load_four_sectors(VirtualLine& line) {
  Bytes image(1024);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  TempFile file(image);
  return line.run_tool({file.path()});
}

int send_only(VirtualLine& line) {
  TempFile file(testing_support::builtin_image());
  return line.run_tool({"-s", file.path()});
}

// The status, and if the run ended on this message, when.
std::string outcome(VirtualLine& line, int status, const std::string& message, double from_ms) {
  const double at = written_at(line, message);
  if (at < 0) return std::to_string(status);
  return ended(status, message, clock_ms_between(from_ms, at));
}

// The times at which the status light was redrawn.
std::vector<double> light_redraws(const VirtualLine& line) {
  std::vector<double> at;
  for (const ConsoleWrite& w : line.console_log()) {
    if (w.text == "%") at.push_back(w.at_ms);
  }
  return at;
}

struct Rule {
  const char* name;
  std::function<std::string(double)> run;
  std::vector<std::pair<double, std::string>> cases;  // parameter, outcome
};

const Rule kRules[] = {
    {"the resident's answer to 'U' is awaited 100 ms",
     [](double answer_delay_ms) {
       StationConfig station;
       station.handshake_delay_ms = answer_delay_ms;
       VirtualLine line(station);
       const int status = send_only(line);
       return outcome(line, status, "молчит!", line.writes().back().at_ms);
     },
     // 'U' and its answer take 0.35 ms on the line besides the delay.
     {{99.6, "0"}, {99.7, "255 молчит! +100"}}},

    {"an echo is awaited 120 ms after its chunk has left the line",
     [](double missing_echo) {
       // A CP210x holds 640 bytes of the 1101-byte chunk when its write
       // returns; the chunk is on the line for 1261 ms.
       StationConfig station;
       station.faults.echo_missing_at = static_cast<int>(missing_echo);
       VirtualOptions options;
       options.adapter = kCp210x;
       VirtualLine line(station, options);
       const int status = send_only(line);
       return outcome(line, status, "Станция не отвечает!", line.writes().front().at_ms);
     },
     {{-1, "0"}, {1100, "255 Станция не отвечает! +1381"}}},

    {"a write may take its line time and one second",
     [](double stall_after_bytes) {
       StationConfig station;
       station.flags = 0x03;  // no jumper prompt: straight to the restart
       VirtualOptions options;
       options.stall_after_bytes = static_cast<long>(stall_after_bytes);
       VirtualLine line(station, options);
       TempFile file(Bytes(2048, 0x5A));
       const int status = line.run_tool({file.path()});
       const double last_write = line.writes().back().at_ms;
       for (const char* silence :
            {"Станция не отвечает!", "молчит!", "Резидент не приглашает!", "Bad!"}) {
         if (written_at(line, silence) >= 0) return outcome(line, status, silence, last_write);
       }
       return std::to_string(status);
     },
     // The resident's body (1101 bytes at 9600 bit/s with two stop bits
     // take 1261 ms), its last byte, 'U', the start record, the image (32
     // pages of one word: a batch of 192 bytes, 33 ms at 57600), "SR".
     {{0, "255 Станция не отвечает! +2261"},
      {1101, "255 Станция не отвечает! +1001"},
      {1102, "255 молчит! +1000"},
      {1103, "255 Резидент не приглашает! +1000"},
      {1107, "255 Резидент не приглашает! +1033"},
      {1299, "0 Bad! +1000"},
      {-1, "0"}}},

    {"a lost port: each wait runs out asleep, Esc still ends the start wait",
     [](double lost_at_ms) {
       StationConfig station;
       station.boot_delay_ms = 1e9;  // never starts
       VirtualOptions options;
       options.lose_port_at_ms = lost_at_ms;
       VirtualLine line(station, options);
       line.press(1000, travek::KEY_ESC);
       const int status = send_only(line);
       const std::string told = line.diagnostics() == "COM2: the device has gone away\n"
                                    ? ", told once"
                                    : ", told: " + line.diagnostics();
       return outcome(line, status, "отменена", 0) + told;
     },
     // Spinner steps start at 12 ms and every 100 ms after.
     {{500, "255 отменена +1012, told once"}}},

    {"the spinner re-pulses the line before its read",
     [](double) {
       // A lone byte, then within 5 ms a byte with a framing error: the next
       // step resets the station at once instead of after another read.
       StationConfig station;
       station.faults.start_line_fault = LineFault::kByteAndFraming;
       VirtualLine line(station);
       const int status = send_only(line);
       return std::to_string(status) + " FQ " +
              after(clock_ms_between(0, written_at(line, "FQ: 10mHz")));
     },
     {{0, "0 FQ +59"}}},

    {"reports are awaited 100 ms",
     [](double sector_write_ms) {
       StationConfig station;
       station.sector_write_ms = sector_write_ms;
       VirtualLine line(station);
       const int status = load_four_sectors(line);
       return outcome(line, status, "Резидент не приглашает!", 0).substr(0, 3);
     },
     {{100, "0"}, {100.5, "255"}}},

    {"the status light changes at most every 90 ms",
     [](double sector_write_ms) {
       // The second sector has a warning; the good one after it turns the
       // light back unless it comes within 90 ms.
       StationConfig station;
       station.sector_write_ms = sector_write_ms;
       station.faults.warn_sectors = {1};
       VirtualLine line(station);
       load_four_sectors(line);
       const std::vector<double> at = light_redraws(line);
       return at.size() < 2 ? std::string("no redraw") : after(clock_ms_between(at[0], at[1]));
     },
     {{90, "+180"}, {91, "+91"}}},

    {"the final light waits 100 ms after the last report",
     [](double) {
       StationConfig station;
       station.sector_write_ms = 50;
       station.faults.warn_sectors = {3};  // the last sector: its light is fresh
       VirtualLine line(station);
       load_four_sectors(line);
       const std::vector<double> at = light_redraws(line);
       const bool red = testing_support::ends_with(
           line.output().substr(0, line.output().find("  T= ")), "{red}%{normal}");
       return at.size() < 2 ? std::string("no final light")
                            : after(clock_ms_between(at[at.size() - 2], at.back())) +
                                  (red ? " red" : " not red");
     },
     {{0, "+101 red"}}},

    {"the restart is answered within 500 ms",
     [](double) {
       StationConfig station;
       station.flags = 0x03;
       station.faults.no_restart_answer = true;
       VirtualLine line(station);
       const int status = load_four_sectors(line);
       return outcome(line, status, "Bad!", line.writes().back().done_ms);
     },
     {{0, "0 Bad! +500"}}},
};

TEST(TimingRules, EachRuleHoldsAtItsBoundary) {
  for (const Rule& rule : kRules) {
    for (const auto& [parameter, expected] : rule.cases) {
      EXPECT_EQ(rule.run(parameter), expected) << rule.name << ", parameter " << parameter;
    }
  }
}

}  // namespace
}  // namespace sim
