#include "bootstrap/resident_image.h"

#include "common/constants.h"
#include "common/crc16.h"
#include "run/fail.h"

namespace travek {

ImageFault check_image(const uint8_t* image, ResidentImage* fields) {
  fields->body_length = read_le16(image + 2);
  fields->rate_field = read_le16(image + 4);
  fields->divisor_offset = read_le16(image + 6);
  const uint32_t length = fields->body_length;
  const uint32_t rate = fields->rate_field;
  if (read_le16(image) != RESIDENT_MAGIC) return ImageFault::kBadCode;
  if (length > RESIDENT_MAX_BODY) return ImageFault::kBadCode;
  if (crc16(image, length + 10, 0) != 0) return ImageFault::kBadCrc;
  if (rate != RATE_AUTOMATIC && (rate < 2400 || rate % 2 != 0)) return ImageFault::kBadCode;
  if (image[6 + fields->divisor_offset] != DIVISOR_MARKER) return ImageFault::kBadCode;
  // A body of 0 or 1 bytes cannot be sent as "all but the last byte, then
  // the last byte": no station code is that short.
  if (length < 2) return ImageFault::kBadCode;
  return ImageFault::kNone;
}

ResidentImage validate_image(const uint8_t* image) {
  ResidentImage fields;
  const ImageFault fault = check_image(image, &fields);
  if (fault == ImageFault::kBadCrc) fail("bad-resident-crc");
  if (fault != ImageFault::kNone) fail("bad-resident-code");
  return fields;
}

uint32_t patch_image(uint8_t* image, const ClockClass& clock) {
  uint32_t rate = read_le16(image + 4);
  if (rate == RATE_AUTOMATIC) rate = clock.boot_rate == 10472 ? 57600 : 28800;
  uint32_t divisor = (clock.clock_div32 - rate / 2) / rate;
  image[6 + read_le16(image + 6)] = static_cast<uint8_t>(divisor & 0xFF);
  return 2 * rate;
}

}  // namespace travek
