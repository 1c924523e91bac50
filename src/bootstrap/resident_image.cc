#include "bootstrap/resident_image.h"

#include "common/constants.h"
#include "run/fail.h"

namespace travek {

ImageFault check_image(const uint8_t* image, ResidentImage* fields) {
  const ImageRule rule = broken_image_rule(image, RESIDENT_SPAN, fields);
  return rule == ImageRule::kSound ? ImageFault::kNone
         : rule == ImageRule::kCrc ? ImageFault::kBadCrc
                                   : ImageFault::kBadCode;
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
