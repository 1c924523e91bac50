#include "console/oem_text.h"

#include <cstdint>

namespace travek {
namespace {

// Code page 866 from 0x80 on; below that it is ASCII.
constexpr char16_t kUpperHalf[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B,
    0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433,
    0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B,
    0x044C, 0x044D, 0x044E, 0x044F, 0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

char oem_of(uint32_t code) {
  if (code < 0x80) return static_cast<char>(code);
  for (int i = 0; i < 128; ++i) {
    if (kUpperHalf[i] == code) return static_cast<char>(0x80 + i);
  }
  return '?';
}

// The length of the well-formed UTF-8 sequence at p (at most left bytes)
// and its code; 0 when there is none.
size_t sequence_at(const unsigned char* p, size_t left, uint32_t* code) {
  const unsigned char lead = p[0];
  size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (lead >= 0xF5 || length == 0 || length > left) return 0;
  uint32_t value = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = value << 6 | (p[i] & 0x3F);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

void append_utf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | code >> 6);
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xE0 | code >> 12);
    *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::string utf8_to_oem(const char* text, size_t length) {
  std::string out;
  out.reserve(length);
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  for (size_t at = 0; at < length;) {
    uint32_t code = 0;
    const size_t n = p[at] < 0x80 ? 0 : sequence_at(p + at, length - at, &code);
    if (n == 0) {
      out += static_cast<char>(p[at++]);  // ASCII, or a byte that is not UTF-8
    } else {
      out += oem_of(code);
      at += n;
    }
  }
  return out;
}

std::string oem_to_utf8(const char* text) {
  std::string out;
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    append_utf8(*p < 0x80 ? *p : kUpperHalf[*p - 0x80], &out);
  }
  return out;
}

void to_oem(char* text) {
  for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p != 0; ++p) {
    if (*p == 0xA8) {
      *p = 0xF0;  // Ё
    } else if (*p == 0xB8) {
      *p = 0xF1;  // ё
    } else if (*p >= 0xC0 && *p <= 0xEF) {
      *p = static_cast<unsigned char>(*p - 0x40);  // А..п
    } else if (*p >= 0xF0) {
      *p = static_cast<unsigned char>(*p - 0x10);  // р..я
    }
  }
}

}  // namespace travek
