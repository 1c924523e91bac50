// libFuzzer target: a whole default run of the tool in virtual time, every
// byte the station sends taken from the input: start byte, echo, answer to
// 'U', packet, credit and reports, the answer to the restart (the script's
// form is in sim/scripted_station.h). The input's first byte chooses the
// adapter and how the operator's keys come; the rest is the script.
//
// The operator presses Enter, then Esc, once the script has long run out:
// a run still waiting for the station is cancelled then, a run at the
// jumper prompt restarts the station, and every other step ends by its own
// deadline. A crash, a sanitizer report, a run that waits past its virtual
// deadline or calls the line over and over without waiting (the last two
// raise an exception) is a failure.
//
// TRAVEK_FUZZ_SHOW=1 prints each run's console output and exit status.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "common/constants.h"
#include "scripted_station.h"
#include "support/images.h"
#include "virtual_line.h"

namespace {

// 4 KB to load: random pages, runs of 0xFF, pages of one repeated word.
const testing_support::TempFile& image_file() {
  static const testing_support::TempFile file([] {
    testing_support::Bytes image(4096);
    std::mt19937 rng(9);
    for (size_t i = 0; i < image.size(); ++i) {
      const size_t page = i / 64;
      image[i] = page % 4 == 1 ? 0xFF : page % 4 == 2 ? (i % 2 ? 0x12 : 0x34) : rng();
    }
    return image;
  }());
  return file;
}

// Each byte of the script may cost a record and its time on the line.
constexpr double kLineMsPerScriptByte = 12;
constexpr double kOperatorPatienceMs = 5000;
constexpr double kLastStepsMs = 60000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  auto station = std::make_unique<sim::ScriptedStation>(data + 1, size - 1);
  const double quiet_ms =
      station->script_ms() + kLineMsPerScriptByte * static_cast<double>(size) + kOperatorPatienceMs;

  sim::VirtualOptions options;
  constexpr size_t kProfiles = std::size(sim::kAdapters) + 1;
  const size_t profile = choice % kProfiles;
  options.adapter = profile == 0 ? sim::kIdealPort : sim::kAdapters[profile - 1];
  options.keyboard = (choice & 0x80) != 0;
  options.time_limit_ms = quiet_ms + kLastStepsMs;
  sim::VirtualLine line(std::move(station), options);
  line.press(quiet_ms, travek::KEY_ENTER);
  line.press(quiet_ms + 1, travek::KEY_ESC);
  const int status = line.run_tool({image_file().path()});
  if (std::getenv("TRAVEK_FUZZ_SHOW") != nullptr) {
    for (const sim::PcWrite& w : line.writes()) {
      std::fprintf(stderr, "[PC writes %zu bytes at %.3f ms, done at %.3f ms]\n", w.bytes.size(),
                   w.at_ms, w.done_ms);
    }
    std::fprintf(stderr, "%s\n[status %d at %.1f ms]\n", line.output().c_str(), status,
                 line.now_ms());
  }
  if (status != 0 && status != 255) std::abort();  // no other way to end
  return 0;
}
