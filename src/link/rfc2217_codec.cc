#include "link/rfc2217_codec.h"

#include <cctype>
#include <cstring>

namespace travek::rfc2217 {
namespace {

enum State : uint8_t { kInData, kAfterIac, kAfterVerb, kSbOption, kInSb, kSbAfterIac, kBroken };

Item item(Decoded kind, uint8_t byte = 0) { return Item{kind, byte, 0, 0, nullptr, 0}; }

// The value length of each server message, by command; -1 any (text).
constexpr int kValueLength[] = {-1, 4, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1};

Item finish_subnegotiation(Decoder* d) {
  d->state = kInData;
  if (d->sub_length == 0 || d->sub[0] < kServerOffset || d->sub[0] > kServerOffset + kPurgeData) {
    d->state = kBroken;
    return item(Decoded::kMalformed);
  }
  const uint8_t command = static_cast<uint8_t>(d->sub[0] - kServerOffset);
  const size_t length = d->sub_length - 1;
  const int expected = kValueLength[command];
  if (expected >= 0 && length != static_cast<size_t>(expected)) {
    d->state = kBroken;
    return item(Decoded::kMalformed);
  }
  Item result = item(Decoded::kComPort);
  result.command = command;
  for (size_t i = 0; i < length && expected >= 0; ++i) {
    result.value = result.value << 8 | d->sub[1 + i];
  }
  if (expected < 0) {
    result.text = d->sub + 1;
    result.text_length = length;
  }
  return result;
}

Item broken(Decoder* d) {
  d->state = kBroken;
  return item(Decoded::kMalformed);
}

// The index of an option the client knows, or -1.
int known(uint8_t option) {
  switch (option) {
    case kOptionBinary:
      return 0;
    case kOptionSuppressGoAhead:
      return 1;
    case kOptionComPort:
      return 2;
    default:
      return -1;
  }
}

size_t put3(uint8_t* out, uint8_t verb, uint8_t option) {
  out[0] = kIac;
  out[1] = verb;
  out[2] = option;
  return 3;
}

}  // namespace

Item decode(Decoder* d, uint8_t byte) {
  switch (d->state) {
    case kInData:
      if (byte == kIac) {
        d->state = kAfterIac;
        return item(Decoded::kNothing);
      }
      return item(Decoded::kData, byte);
    case kAfterIac:
      d->state = kInData;
      if (byte == kIac) return item(Decoded::kData, kIac);
      if (byte >= kWill && byte <= kDont) {
        d->verb = byte;
        d->state = kAfterVerb;
        return item(Decoded::kNothing);
      }
      if (byte == kSb) {
        d->state = kSbOption;
        return item(Decoded::kNothing);
      }
      return item(Decoded::kCommand, byte);
    case kAfterVerb: {
      d->state = kInData;
      constexpr Decoded kVerbs[] = {Decoded::kWill, Decoded::kWont, Decoded::kDo, Decoded::kDont};
      return item(kVerbs[d->verb - kWill], byte);
    }
    case kSbOption:
      if (byte != kOptionComPort) return broken(d);
      d->state = kInSb;
      d->sub_length = 0;
      return item(Decoded::kNothing);
    case kInSb:
      if (byte == kIac) {
        d->state = kSbAfterIac;
        return item(Decoded::kNothing);
      }
      break;
    case kSbAfterIac:
      if (byte == kSe) return finish_subnegotiation(d);
      if (byte != kIac) return broken(d);
      d->state = kInSb;
      break;
    default:
      return item(Decoded::kMalformed);
  }
  // A byte of the subnegotiation's own.
  if (d->sub_length == sizeof(d->sub)) return broken(d);
  d->sub[d->sub_length++] = byte;
  return item(Decoded::kNothing);
}

size_t negotiation_start(Negotiation* n, uint8_t* out) {
  n->ours[0] = n->theirs[0] = n->ours[2] = OptionState::kWantYes;
  size_t count = put3(out, kWill, kOptionBinary);
  count += put3(out + count, kDo, kOptionBinary);
  return count + put3(out + count, kWill, kOptionComPort);
}

size_t negotiation_answer(Negotiation* n, Decoded verb, uint8_t option, uint8_t* out) {
  const int i = known(option);
  const bool asked_to_enable = verb == Decoded::kWill || verb == Decoded::kDo;
  const bool about_server = verb == Decoded::kWill || verb == Decoded::kWont;
  // The server itself may do BINARY and SGA; the client does all three.
  const bool allowed = i >= 0 && !(about_server && i == 2);
  if (!allowed) {
    if (!asked_to_enable) return 0;  // already off
    return put3(out, about_server ? kDont : kWont, option);
  }
  OptionState& state = about_server ? n->theirs[i] : n->ours[i];
  const bool needed = i == 0 || (i == 2 && !about_server);
  if (asked_to_enable) {
    const OptionState was = state;
    state = OptionState::kYes;
    if (was != OptionState::kNo) return 0;
    return put3(out, about_server ? kDo : kWill, option);
  }
  const OptionState was = state;
  state = OptionState::kNo;
  if (needed && was != OptionState::kNo) n->refused = true;
  if (was != OptionState::kYes) return 0;
  return put3(out, about_server ? kDont : kWont, option);
}

bool negotiation_done(const Negotiation& n) {
  return n.ours[0] == OptionState::kYes && n.theirs[0] == OptionState::kYes &&
         n.ours[2] == OptionState::kYes;
}

size_t encode_data(const uint8_t* data, size_t n, uint8_t* out) {
  size_t count = 0;
  for (size_t i = 0; i < n; ++i) {
    out[count++] = data[i];
    if (data[i] == kIac) out[count++] = kIac;
  }
  return count;
}

size_t encode_command(uint8_t command, uint32_t value, uint8_t* out) {
  size_t count = 0;
  out[count++] = kIac;
  out[count++] = kSb;
  out[count++] = kOptionComPort;
  out[count++] = command;
  const int length = command == kSignature ? 0 : command == kSetBaudRate ? 4 : 1;
  for (int i = length - 1; i >= 0; --i) {
    const uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
    count += encode_data(&byte, 1, out + count);
  }
  out[count++] = kIac;
  out[count++] = kSe;
  return count;
}

size_t encode_signature(const char* text, size_t length, uint8_t* out) {
  size_t count = encode_command(kSignature, 0, out) - 2;  // without IAC SE
  count += encode_data(reinterpret_cast<const uint8_t*>(text), length, out + count);
  out[count++] = kIac;
  out[count++] = kSe;
  return count;
}

bool is_network_name(const char* name) {
  static const char kScheme[] = "rfc2217://";
  for (size_t i = 0; i + 1 < sizeof(kScheme); ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != kScheme[i]) return false;
  }
  return true;
}

bool parse_network_name(const char* name, char* host, size_t host_size, char* port,
                        size_t port_size) {
  if (!is_network_name(name)) return false;
  const char* at = name + 10;
  const char* host_end;
  const char* colon;
  if (*at == '[') {
    ++at;
    host_end = std::strchr(at, ']');
    if (host_end == nullptr) return false;
    colon = host_end + 1;
    for (const char* c = at; c < host_end; ++c) {
      if (!std::isxdigit(static_cast<unsigned char>(*c)) && *c != ':' && *c != '.') return false;
    }
  } else {
    colon = std::strchr(at, ':');
    if (colon == nullptr) return false;
    host_end = colon;
    for (const char* c = at; c < host_end; ++c) {
      if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '-' && *c != '.' && *c != '_') {
        return false;
      }
    }
  }
  const size_t host_length = static_cast<size_t>(host_end - at);
  if (*colon != ':' || host_length == 0 || host_length >= host_size) return false;
  const char* digits = colon + 1;
  const size_t digit_count = std::strlen(digits);
  if (digit_count == 0 || digit_count > 5 || digit_count >= port_size) return false;
  unsigned long number = 0;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
    number = number * 10 + static_cast<unsigned long>(*c - '0');
  }
  if (number == 0 || number > 65535) return false;
  std::memcpy(host, at, host_length);
  host[host_length] = '\0';
  std::memcpy(port, digits, digit_count + 1);
  return true;
}

}  // namespace travek::rfc2217
