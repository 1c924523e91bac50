// The configure step checks the resident it embeds by the tool's own rules:
// configured on a scratch folder with -DTRAVEK_RESIDENT= naming an image
// that breaks one rule, it stops with that rule's reason; a sound image is
// embedded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "event_lines.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using testing_support::Bytes;
using testing_support::make_image;
using testing_support::seal;

// With its trailer dropped, changed, and sealed again.
Bytes resealed(Bytes image, size_t at, uint8_t value) {
  image.resize(image.size() - 2);
  image[at] = value;
  return seal(image);
}

struct Row {
  const char* rule;
  Bytes image;
  const char* reason;  // null: sound
};

// CMake wraps a long message over lines.
std::string one_line(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n' || c == ' ') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

TEST(ResidentEmbed, AnUnsoundImageStopsTheConfigureStepWithItsReason) {
  Bytes crc = make_image(1102);
  crc.back() ^= 0x01;
  Bytes longer = make_image(1102);
  longer.push_back(0);
  Bytes one_byte = {0x4D, 0x36, 0x01, 0x00, 0xFE, 0xFF, 0x02, 0x00, 0x40};  // marker in the body
  const Row rows[] = {
      {"sound, longest body", make_image(3014), nullptr},
      {"magic", resealed(make_image(1102), 1, 0x37), "bad magic (not M6)"},
      {"body too long", resealed(make_image(1102), 3, 0x0C), "body length not within 2..3014"},
      {"body too short", seal(one_byte), "body length not within 2..3014"},
      {"size", longer, "its size is not the body length + 10"},
      {"crc", crc, "CRC check failed (the trailer does not match the image)"},
      {"rate", make_image(200, 2401, 100), "rate field neither automatic nor an even rate >= 2400"},
      {"marker", resealed(make_image(1102), 734, 0x41), "no marker 0x40 at the divisor position"},
  };
  const e2e::TempFolder scratch("configure");
  e2e::ChildOptions options;
  options.timeout_ms = 60000;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rule);
    const testing_support::TempFile image(row.image);
    const e2e::ChildResult r =
        e2e::run_child(TRAVEK_CMAKE,
                       {"-S", TRAVEK_SOURCE_DIR, "-B", scratch.path(), "-G", TRAVEK_CMAKE_GENERATOR,
                        "-DCMAKE_CXX_COMPILER=" TRAVEK_CXX_COMPILER, "-DTRAVEK_TESTS=OFF",
                        "-DTRAVEK_RESIDENT=" + image.path()},
                       options);
    const std::string said = one_line(r.out + r.err);
    if (row.reason == nullptr) {
      EXPECT_EQ(r.status, 0) << said;
      EXPECT_TRUE(testing_support::contains(said, "Embedded resident: " + image.path()));
    } else {
      EXPECT_NE(r.status, 0) << said;
      EXPECT_TRUE(testing_support::contains(
          said, "Resident image " + image.path() + ": " + row.reason + " "));
    }
  }
}

}  // namespace
