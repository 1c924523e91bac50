// Test images: resident images built to order and files to hold them.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "assets/builtin_resident.h"
#include "common/crc16.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

inline Bytes builtin_image() {
  return Bytes(travek::kBuiltinResident, travek::kBuiltinResident + travek::kBuiltinResidentSize);
}

// Appends the CRC trailer.
inline Bytes seal(Bytes image) {
  uint16_t crc = travek::crc16(image.data(), static_cast<uint32_t>(image.size()), 0);
  image.push_back(static_cast<uint8_t>(crc & 0xFF));
  image.push_back(static_cast<uint8_t>(crc >> 8));
  return image;
}

// A sound resident image: body of the given length, marker at 6 + D.
inline Bytes make_image(uint16_t body_length, uint16_t rate = 0xFFFE, uint16_t divisor_offset = 728,
                        uint8_t fill = 0x90) {
  Bytes image = {0x4D,
                 0x36,
                 static_cast<uint8_t>(body_length & 0xFF),
                 static_cast<uint8_t>(body_length >> 8),
                 static_cast<uint8_t>(rate & 0xFF),
                 static_cast<uint8_t>(rate >> 8),
                 static_cast<uint8_t>(divisor_offset & 0xFF),
                 static_cast<uint8_t>(divisor_offset >> 8)};
  image.reserve(body_length + 10u);
  for (uint32_t i = 0; i < body_length; ++i) image.push_back(static_cast<uint8_t>(fill + i));
  if (6u + divisor_offset < image.size()) image[6 + divisor_offset] = 0x40;
  return seal(image);
}

class TempFile {
 public:
  explicit TempFile(const Bytes& bytes) {
    char pattern[] = "/tmp/travek-test-XXXXXX";
    int fd = mkstemp(pattern);
    close(fd);
    path_ = pattern;
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace testing_support
