#include "verdict.h"

#include <cstdio>

namespace sim {
namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", c);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string to_json(const Verdict& v) {
  char numbers[640];
  std::snprintf(numbers, sizeof(numbers),
                "\"resets\":%d,\"start_bytes\":%d,\"body_bytes\":%ld,\"resident_started\":%s,"
                "\"divisor\":%d,\"resident_rate\":%.0f,\"handshake\":%s,\"packet_sent\":%s,"
                "\"start_page\":%ld,\"pages_full\":%ld,\"pages_fill\":%ld,\"stream_bytes\":%ld,"
                "\"sectors_written\":%ld,\"stream_complete\":%s,\"restart\":%s,"
                "\"flash_base\":%u,",
                v.resets, v.start_bytes, v.body_bytes, v.resident_started ? "true" : "false",
                v.divisor, v.resident_rate, v.handshake ? "true" : "false",
                v.packet_sent ? "true" : "false", v.start_page, v.pages_full, v.pages_fill,
                v.stream_bytes, v.sectors_written, v.stream_complete() ? "true" : "false",
                v.restart ? "true" : "false", v.flash_base);
  std::string json = "{\"clean\":";
  json += v.clean() ? "true," : "false,";
  json += numbers;
  json += "\"violations\":[";
  for (size_t i = 0; i < v.violations.size(); ++i) {
    if (i > 0) json += ",";
    json += quoted(v.violations[i]);
  }
  return json + "]}";
}

}  // namespace sim
