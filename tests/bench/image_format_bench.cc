// Parse time of a large image file (a benchmark, not a test: it reports; it
// stops only if a parse fails). A 512 KB random image at 0x80000, written
// as Intel HEX and as S2 records with 16 data bytes each, as objcopy and
// most compilers' tools write them, is parsed several times; the CPU time
// per parse is printed.
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <string>

#include "formats/intel_hex.h"
#include "formats/placed_image.h"
#include "formats/srecord.h"

namespace {

using travek::FormatFault;
using travek::FormatVerdict;
using travek::PlacedImage;

constexpr uint32_t kImageBase = 0x80000;
constexpr uint32_t kImageSize = 0x80000;
constexpr uint32_t kRecordBytes = 16;
constexpr int kRuns = 20;

void put_hex(std::string* text, uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  text->push_back(kDigits[(value >> 4) & 15]);
  text->push_back(kDigits[value & 15]);
}

// One record from its bytes: Intel HEX's ':' and two's complement checksum,
// or an S-record's "Sn" and ones' complement.
void put_record(std::string* text, const char* start, const uint8_t* bytes, size_t n, bool ones) {
  *text += start;
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    put_hex(text, bytes[i]);
    sum += bytes[i];
  }
  put_hex(text, ones ? ~sum : 0x100 - (sum & 0xFF));
  text->push_back('\n');
}

void make_texts(const uint8_t* image, std::string* hex, std::string* srec) {
  for (uint32_t at = 0; at < kImageSize; at += kRecordBytes) {
    const uint32_t address = kImageBase + at;
    if (address % 0x10000 == 0) {
      const uint8_t linear[] = {
          2, 0, 0, 4, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16)};
      put_record(hex, ":", linear, sizeof linear, false);
    }
    uint8_t record[5 + kRecordBytes];
    record[0] = kRecordBytes;
    record[1] = static_cast<uint8_t>(address >> 8);
    record[2] = static_cast<uint8_t>(address);
    record[3] = 0;
    for (uint32_t i = 0; i < kRecordBytes; ++i) record[4 + i] = image[at + i];
    put_record(hex, ":", record, 4 + kRecordBytes, false);
    record[0] = 3 + kRecordBytes + 1;
    record[1] = static_cast<uint8_t>(address >> 16);
    record[2] = static_cast<uint8_t>(address >> 8);
    record[3] = static_cast<uint8_t>(address);
    put_record(srec, "S2", record, 4 + kRecordBytes, true);
  }
  *hex += ":00000001FF\n";
}

bool measure(const char* name, const std::string& text, PlacedImage* image,
             FormatVerdict (*parse)(const uint8_t*, size_t, PlacedImage*)) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const std::clock_t start = std::clock();
  for (int run = 0; run < kRuns; ++run) {
    const FormatVerdict verdict = parse(bytes, text.size(), image);
    if (verdict.fault != FormatFault::kNone || image->high - image->low + 1 != kImageSize) {
      std::printf("%s: the parse failed at line %u\n", name, verdict.line);
      return false;
    }
  }
  const double ms = 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC / kRuns;
  std::printf("  %-10s %9zu bytes of text  %7.2f ms CPU per parse\n", name, text.size(), ms);
  return true;
}

}  // namespace

int main() {
  std::mt19937 rng(13);
  auto image = std::make_unique<uint8_t[]>(kImageSize);
  for (uint32_t i = 0; i < kImageSize; ++i) image[i] = static_cast<uint8_t>(rng());
  std::string hex, srec;
  make_texts(image.get(), &hex, &srec);
  auto placed = std::make_unique<PlacedImage>();
  std::printf("512 KB random image, %u data bytes a record, mean of %d parses:\n", kRecordBytes,
              kRuns);
  const bool ok = measure("Intel HEX", hex, placed.get(), travek::parse_intel_hex) &&
                  measure("S-record", srec, placed.get(), travek::parse_srecord);
  return ok ? 0 : 1;
}
