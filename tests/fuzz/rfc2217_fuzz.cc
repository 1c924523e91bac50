// libFuzzer target: the Telnet and RFC 2217 codec. The input is, at once, a
// server's stream (decoded byte by byte, every option request answered),
// data to send (encoded and decoded back) and a port name (parsed). A crash,
// a sanitizer report or a broken rule aborts:
//  - the data out never outnumbers the bytes in; nothing but "malformed"
//    follows a malformed item;
//  - every answer is one IAC WILL/WONT/DO/DONT of the option asked about;
//  - data goes through encoding and decoding unchanged;
//  - a name taken as sound has a host and a port of 1..65535.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/rfc2217_codec.h"

namespace telnet = travek::rfc2217;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  telnet::Decoder decoder;
  telnet::Negotiation negotiation;
  uint8_t start[9];
  if (size > 0 && (data[0] & 1)) telnet::negotiation_start(&negotiation, start);
  size_t data_out = 0;
  bool broken = false;
  for (size_t i = 0; i < size; ++i) {
    const telnet::Item item = telnet::decode(&decoder, data[i]);
    if (broken && item.kind != telnet::Decoded::kMalformed) std::abort();
    switch (item.kind) {
      case telnet::Decoded::kData:
        ++data_out;
        break;
      case telnet::Decoded::kWill:
      case telnet::Decoded::kWont:
      case telnet::Decoded::kDo:
      case telnet::Decoded::kDont: {
        uint8_t answer[3];
        const size_t n = telnet::negotiation_answer(&negotiation, item.kind, item.byte, answer);
        if (n != 0 && (n != 3 || answer[0] != telnet::kIac || answer[1] < telnet::kWill ||
                       answer[2] != item.byte)) {
          std::abort();
        }
        break;
      }
      case telnet::Decoded::kComPort:
        if (item.command > telnet::kPurgeData) std::abort();
        if (item.text_length > telnet::kMaxSubnegotiation) std::abort();
        break;
      case telnet::Decoded::kMalformed:
        broken = true;
        break;
      default:
        break;
    }
  }
  if (data_out > size) std::abort();

  std::vector<uint8_t> wire(2 * size);
  wire.resize(telnet::encode_data(data, size, wire.data()));
  telnet::Decoder back;
  std::vector<uint8_t> again;
  for (uint8_t byte : wire) {
    const telnet::Item item = telnet::decode(&back, byte);
    if (item.kind == telnet::Decoded::kData) {
      again.push_back(item.byte);
    } else if (item.kind != telnet::Decoded::kNothing) {
      std::abort();
    }
  }
  if (again.size() != size || (size > 0 && std::memcmp(again.data(), data, size) != 0)) {
    std::abort();
  }

  const std::string name = "rfc2217://" + std::string(reinterpret_cast<const char*>(data), size);
  char host[64];
  char port[8];
  if (telnet::parse_network_name(name.c_str(), host, sizeof(host), port, sizeof(port))) {
    const long number = std::strtol(port, nullptr, 10);
    if (host[0] == '\0' || number < 1 || number > 65535) std::abort();
  }
  return 0;
}
