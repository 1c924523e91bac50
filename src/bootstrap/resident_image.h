// The resident image format, its checks, and the divisor byte the PC fills
// in. Words are little-endian; offsets count from the image's first byte:
//   0 magic 0x364D ("M6"), 2 body length L (<= 3014), 4 rate field R
//   (0xFFFE automatic, else even and >= 2400), 6 divisor offset D (the
//   divisor byte lies at 6 + D), 8 the body (L bytes, the part sent),
//   8 + L the CRC of everything before it, low byte first.
#pragma once

#include <cstdint>

#include "bootstrap/clock_class.h"
#include "common/crc16.h"

namespace travek {

struct ResidentImage {
  uint16_t body_length;
  uint16_t rate_field;
  uint16_t divisor_offset;
};

inline constexpr uint16_t RESIDENT_MAGIC = 0x364D;
inline constexpr uint16_t RESIDENT_MAX_BODY = 3014;
inline constexpr uint16_t RATE_AUTOMATIC = 0xFFFE;
inline constexpr uint8_t DIVISOR_MARKER = 0x40;
// Every byte the checks and the patch can reach lies below this offset, so a
// buffer of this size (zero beyond the image) can hold any image safely.
inline constexpr uint32_t RESIDENT_SPAN = 6 + 0xFFFF + 1;

// The rule an image breaks, if any. The tool tells kCrc as a bad CRC and
// every other rule as bad code; the build tells each by its name.
enum class ImageRule {
  kSound,
  kMagic,
  kBodyTooLong,
  kCrc,
  kRate,
  kMarker,
  kBodyTooShort,
  kLength,  // the file is not exactly the image (the build's rule alone)
};

// A byte of an image lying in size bytes; from there on bytes read as zero,
// as they do in the tool's zero-filled buffers.
constexpr uint8_t image_byte(const uint8_t* image, uint32_t size, uint32_t at) {
  return at < size ? image[at] : 0;
}

constexpr uint16_t image_word(const uint8_t* image, uint32_t size, uint32_t at) {
  return static_cast<uint16_t>(image_byte(image, size, at) |
                               (image_byte(image, size, at + 1) << 8));
}

// The rules in the order the tool checks them: the first one broken. Fields
// are filled whatever the outcome.
constexpr ImageRule broken_image_rule(const uint8_t* image, uint32_t size, ResidentImage* fields) {
  fields->body_length = image_word(image, size, 2);
  fields->rate_field = image_word(image, size, 4);
  fields->divisor_offset = image_word(image, size, 6);
  const uint32_t length = fields->body_length;
  const uint32_t rate = fields->rate_field;
  if (image_word(image, size, 0) != RESIDENT_MAGIC) return ImageRule::kMagic;
  if (length > RESIDENT_MAX_BODY) return ImageRule::kBodyTooLong;
  // The trailer lies within the image's bytes, and the CRC over all of it is 0.
  if (length + 10 > size || crc16(image, length + 10, 0) != 0) return ImageRule::kCrc;
  if (rate != RATE_AUTOMATIC && (rate < 2400 || rate % 2 != 0)) return ImageRule::kRate;
  if (image_byte(image, size, 6 + fields->divisor_offset) != DIVISOR_MARKER) {
    return ImageRule::kMarker;
  }
  // A body of 0 or 1 bytes cannot be sent as "all but the last byte, then
  // the last byte": no station code is that short.
  if (length < 2) return ImageRule::kBodyTooShort;
  return ImageRule::kSound;
}

// An image embedded in the build: exactly as long as its header says, and
// sound by the tool's rules.
constexpr ImageRule embedded_image_rule(const uint8_t* image, uint32_t size) {
  ResidentImage fields{};
  const ImageRule rule = broken_image_rule(image, size, &fields);
  if (rule == ImageRule::kMagic || rule == ImageRule::kBodyTooLong) return rule;
  if (size != fields.body_length + 10u) return ImageRule::kLength;
  return rule;
}

// Stops the build with the reason when the embedded image is not sound.
template <const uint8_t* image, uint32_t size>
constexpr bool embedded_image_sound() {
  constexpr ImageRule rule = embedded_image_rule(image, size);
  static_assert(rule != ImageRule::kMagic, "unsound resident image: bad magic (not M6)");
  static_assert(rule != ImageRule::kBodyTooLong && rule != ImageRule::kBodyTooShort,
                "unsound resident image: body length not within 2..3014");
  static_assert(rule != ImageRule::kLength,
                "unsound resident image: its size is not the body length + 10");
  static_assert(rule != ImageRule::kCrc,
                "unsound resident image: CRC check failed (the trailer does not match the image)");
  static_assert(rule != ImageRule::kRate,
                "unsound resident image: rate field neither automatic nor an even rate >= 2400");
  static_assert(rule != ImageRule::kMarker,
                "unsound resident image: no marker 0x40 at the divisor position");
  return rule == ImageRule::kSound;
}

enum class ImageFault { kNone, kBadCode, kBadCrc };

// The checks in their order on an image in a buffer of RESIDENT_SPAN bytes
// or more; fields are filled whatever the outcome.
ImageFault check_image(const uint8_t* image, ResidentImage* fields);

// Returns the fields of a sound image; otherwise reports and ends the run.
ResidentImage validate_image(const uint8_t* image);

// Writes the divisor for the station's clock into the image and returns the
// operating line rate (twice the resolved rate field).
uint32_t patch_image(uint8_t* image, const ClockClass& clock);

}  // namespace travek
