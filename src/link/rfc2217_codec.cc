#include "link/rfc2217_codec.h"

#include <cctype>
#include <cstring>

namespace travek::rfc2217 {
namespace {

enum State : uint8_t { kInData, kAfterIac, kAfterVerb, kSbOption, kInSb, kSbAfterIac, kBroken };

Item item(Decoded kind, uint8_t byte = 0) { return Item{kind, byte, 0, 0, nullptr, 0}; }

// The value length of each server message, by command; -1 any (text).
constexpr int kValueLength[] = {-1, 4, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1};

// A byte that moves the decoder on, with nothing whole yet.
Item go(Decoder* d, State next) {
  d->state = next;
  return item(Decoded::kNothing);
}

Item broken(Decoder* d) {
  d->state = kBroken;
  return item(Decoded::kMalformed);
}

Item finish_subnegotiation(Decoder* d) {
  d->state = kInData;
  if (d->sub_length == 0 || d->sub[0] < kServerOffset || d->sub[0] > kServerOffset + kPurgeData) {
    return broken(d);
  }
  const uint8_t command = static_cast<uint8_t>(d->sub[0] - kServerOffset);
  const size_t length = d->sub_length - 1;
  const int expected = kValueLength[command];
  if (expected >= 0 && length != static_cast<size_t>(expected)) return broken(d);
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

// The index of an option the client knows, or -1.
int known(uint8_t option) {
  return option == kOptionBinary            ? 0
         : option == kOptionSuppressGoAhead ? 1
         : option == kOptionComPort         ? 2
                                            : -1;
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
      return byte == kIac ? go(d, kAfterIac) : item(Decoded::kData, byte);
    case kAfterIac:
      d->state = kInData;
      if (byte == kIac) return item(Decoded::kData, kIac);
      if (byte >= kWill && byte <= kDont) {
        d->verb = byte;
        return go(d, kAfterVerb);
      }
      if (byte == kSb) return go(d, kSbOption);
      return item(Decoded::kCommand, byte);
    case kAfterVerb: {
      d->state = kInData;
      constexpr Decoded kVerbs[] = {Decoded::kWill, Decoded::kWont, Decoded::kDo, Decoded::kDont};
      return item(kVerbs[d->verb - kWill], byte);
    }
    case kSbOption:
      if (byte != kOptionComPort) return broken(d);
      d->sub_length = 0;
      return go(d, kInSb);
    case kInSb:
      if (byte == kIac) return go(d, kSbAfterIac);
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
  const uint8_t consent = about_server ? kDo : kWill;
  const uint8_t refusal = about_server ? kDont : kWont;
  // The server itself may do BINARY and SGA; the client does all three.
  if (i < 0 || (about_server && i == 2)) {
    return asked_to_enable ? put3(out, refusal, option) : 0;  // else off already
  }
  OptionState& state = about_server ? n->theirs[i] : n->ours[i];
  const OptionState was = state;
  state = asked_to_enable ? OptionState::kYes : OptionState::kNo;
  if (asked_to_enable) return was == OptionState::kNo ? put3(out, consent, option) : 0;
  const bool needed = i == 0 || (i == 2 && !about_server);
  if (needed && was != OptionState::kNo) n->refused = true;
  return was == OptionState::kYes ? put3(out, refusal, option) : 0;
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

// A client's COM-PORT-OPTION message: the command and its value's bytes.
size_t encode_message(uint8_t command, const uint8_t* value, size_t length, uint8_t* out) {
  const uint8_t head[] = {kIac, kSb, kOptionComPort, command};
  std::memcpy(out, head, sizeof(head));
  size_t count = sizeof(head) + encode_data(value, length, out + sizeof(head));
  out[count++] = kIac;
  out[count++] = kSe;
  return count;
}

size_t encode_command(uint8_t command, uint32_t value, uint8_t* out) {
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  const size_t length = command == kSignature ? 0 : command == kSetBaudRate ? 4 : 1;
  return encode_message(command, bytes + 4 - length, length, out);
}

size_t encode_signature(const char* text, size_t length, uint8_t* out) {
  return encode_message(kSignature, reinterpret_cast<const uint8_t*>(text), length, out);
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
  const bool bracketed = *at == '[';
  at += bracketed;
  const char* host_end = std::strchr(at, bracketed ? ']' : ':');
  if (host_end == nullptr) return false;
  const char* colon = host_end + bracketed;
  // An IPv6 address in brackets; else a name or an IPv4 address.
  for (const char* c = at; c < host_end; ++c) {
    const unsigned char ch = static_cast<unsigned char>(*c);
    const bool allowed = bracketed ? std::isxdigit(ch) || ch == ':' || ch == '.'
                                   : std::isalnum(ch) || ch == '-' || ch == '.' || ch == '_';
    if (!allowed) return false;
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
