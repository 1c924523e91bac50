// The Telnet and RFC 2217 codec: data with 0xFF at every place, commands
// split at every byte and inside data, the answers to every kind of option
// request, what is malformed, the commands as bytes, and the port's name.
#include "link/rfc2217_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace travek::rfc2217 {
namespace {

using Bytes = std::vector<uint8_t>;

// What a stream decodes to: its data, and its other items as text.
struct Decoding {
  Bytes data;
  std::vector<std::string> items;
  bool operator==(const Decoding&) const = default;
};

std::string describe(const Item& item) {
  switch (item.kind) {
    case Decoded::kWill:
      return "WILL " + std::to_string(item.byte);
    case Decoded::kWont:
      return "WONT " + std::to_string(item.byte);
    case Decoded::kDo:
      return "DO " + std::to_string(item.byte);
    case Decoded::kDont:
      return "DONT " + std::to_string(item.byte);
    case Decoded::kCommand:
      return "command " + std::to_string(item.byte);
    case Decoded::kComPort:
      return "com-port " + std::to_string(item.command) + " " + std::to_string(item.value) + " " +
             std::string(reinterpret_cast<const char*>(item.text), item.text_length);
    case Decoded::kMalformed:
      return "malformed";
    default:
      return "";
  }
}

void feed(Decoder* decoder, const Bytes& bytes, size_t from, size_t to, Decoding* out) {
  for (size_t i = from; i < to; ++i) {
    const Item item = decode(decoder, bytes[i]);
    if (item.kind == Decoded::kData) {
      out->data.push_back(item.byte);
    } else if (item.kind != Decoded::kNothing) {
      out->items.push_back(describe(item));
    }
  }
}

Decoding decoded(const Bytes& bytes) {
  Decoder decoder;
  Decoding out;
  feed(&decoder, bytes, 0, bytes.size(), &out);
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A server's COM-PORT-OPTION message, its value bytes as given.
Bytes server(uint8_t command, const Bytes& value) {
  return Bytes{kIac, kSb, kOptionComPort, static_cast<uint8_t>(command + kServerOffset)} + value +
         Bytes{kIac, kSe};
}

TEST(Rfc2217Codec, DataWithIacAtEveryPlaceGoesThroughWhole) {
  for (size_t length : {1u, 2u, 7u}) {
    for (size_t at = 0; at < length; ++at) {
      Bytes data(length, 'a');
      data[at] = kIac;
      Bytes wire(2 * length);
      wire.resize(encode_data(data.data(), data.size(), wire.data()));
      ASSERT_EQ(wire.size(), length + 1) << at;
      EXPECT_EQ(wire[at], kIac);
      EXPECT_EQ(wire[at + 1], kIac);
      EXPECT_EQ(decoded(wire), (Decoding{data, {}})) << length << " " << at;
    }
  }
  const Bytes all_iac(5, kIac);
  Bytes wire(10);
  EXPECT_EQ(encode_data(all_iac.data(), 5, wire.data()), 10u);
  EXPECT_EQ(decoded(wire), (Decoding{all_iac, {}}));
}

// What ser2net sends on connecting (with a byte the device had already),
// answers with 0xFF in their values, a line-state notice, all among data:
// decoded in two reads split at every byte, the same as in one.
TEST(Rfc2217Codec, StreamSplitAtEveryByteDecodesAlike) {
  const Bytes stream = Bytes{kIac, kWill, 3,   kIac, kDo,  3,     kIac, kWill, 1,   kIac, kDont,
                             1,    kIac,  kDo, 0,    kIac, kWill, 0,    kIac,  kDo, 44,   0x7A} +
                       server(kNotifyModemState, {0}) + Bytes{'a', kIac, kIac, 'b'} +
                       server(kSetBaudRate, {0x00, 0x00, 0x28, 0xE8}) + Bytes{'c'} +
                       server(kSetBaudRate, {0x00, 0x00, kIac, kIac, kIac, kIac}) +
                       server(kNotifyLineState, {0x18}) + Bytes{kIac, 241, kIac, 249, 'd'} +
                       server(kSignature, {'s', 'e', 'r'}) + server(kPurgeData, {3}) +
                       Bytes{kIac, kIac};
  const Decoding whole = decoded(stream);
  EXPECT_EQ(whole.data, (Bytes{0x7A, 'a', kIac, 'b', 'c', 'd', kIac}));
  EXPECT_EQ(whole.items,
            (std::vector<std::string>{"WILL 3", "DO 3", "WILL 1", "DONT 1", "DO 0", "WILL 0",
                                      "DO 44", "com-port 7 0 ", "com-port 1 10472 ",
                                      "com-port 1 65535 ", "com-port 6 24 ", "command 241",
                                      "command 249", "com-port 0 0 ser", "com-port 12 3 "}));
  for (size_t split = 0; split <= stream.size(); ++split) {
    Decoder decoder;
    Decoding parts;
    feed(&decoder, stream, 0, split, &parts);
    feed(&decoder, stream, split, stream.size(), &parts);
    EXPECT_EQ(parts, whole) << "split at " << split;
  }
}

TEST(Rfc2217Codec, MalformedSubnegotiationsBreakTheStreamForGood) {
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"another option's", {kIac, kSb, 24, 0, kIac, kSe}},
      {"a client's command",
       {kIac, kSb, kOptionComPort, kSetBaudRate, 0, 0, 0x25, 0x80, kIac, kSe}},
      {"an unknown command", {kIac, kSb, kOptionComPort, 113, 0, kIac, kSe}},
      {"empty", {kIac, kSb, kOptionComPort, kIac, kSe}},
      {"a rate of three bytes", server(kSetBaudRate, {0, 0x25, 0x80})},
      {"a purge answer of two bytes", server(kPurgeData, {3, 3})},
      {"a suspend with a value", server(kFlowControlSuspend, {1})},
      {"cut by a command", {kIac, kSb, kOptionComPort, 112, 3, kIac, kWill, 0}},
      {"too long", Bytes{kIac, kSb, kOptionComPort, 100} + Bytes(kMaxSubnegotiation, 'x')},
  };
  for (const Case& c : cases) {
    const Decoding d = decoded(Bytes{'a'} + c.bytes + Bytes{'b', kIac, kWill, 0});
    EXPECT_EQ(d.data, Bytes{'a'}) << c.what;
    ASSERT_FALSE(d.items.empty()) << c.what;
    EXPECT_EQ(d.items.front(), "malformed") << c.what;
    for (const std::string& item : d.items) EXPECT_EQ(item, "malformed") << c.what;
  }
  const Bytes signature = server(kSignature, Bytes(kMaxSubnegotiation - 1, 'x'));
  EXPECT_EQ(decoded(signature).items.size(), 1u) << "the longest that fits is whole";
  EXPECT_NE(decoded(signature).items[0], "malformed");
}

// Every kind of request, as the client's state first stands: accepted,
// acknowledged, refused, or left unanswered.
TEST(Rfc2217Codec, OptionRequestsAreAnsweredOnlyWhenTheyChangeSomething) {
  struct Case {
    Decoded verb;
    uint8_t option;
    bool after_start;  // the client's own requests went out first
    Bytes answer;
    bool refused;
  } cases[] = {
      {Decoded::kWill, kOptionEcho, false, {kIac, kDont, kOptionEcho}, false},
      {Decoded::kDo, kOptionEcho, false, {kIac, kWont, kOptionEcho}, false},
      {Decoded::kDont, kOptionEcho, false, {}, false},
      {Decoded::kWont, kOptionEcho, false, {}, false},
      {Decoded::kWill, 24, false, {kIac, kDont, 24}, false},  // terminal type
      {Decoded::kDo, 31, false, {kIac, kWont, 31}, false},    // window size
      {Decoded::kWill, kOptionSuppressGoAhead, false, {kIac, kDo, 3}, false},
      {Decoded::kDo, kOptionSuppressGoAhead, false, {kIac, kWill, 3}, false},
      {Decoded::kWill, kOptionComPort, false, {kIac, kDont, 44}, false},
      {Decoded::kDo, kOptionComPort, false, {kIac, kWill, 44}, false},
      {Decoded::kDo, kOptionComPort, true, {}, false},  // the acknowledgement
      {Decoded::kWill, kOptionBinary, true, {}, false},
      {Decoded::kDo, kOptionBinary, true, {}, false},
      {Decoded::kDont, kOptionComPort, true, {}, true},
      {Decoded::kWont, kOptionBinary, true, {}, true},
      {Decoded::kDont, kOptionBinary, true, {}, true},
      {Decoded::kDont, kOptionSuppressGoAhead, true, {}, false},
  };
  for (const Case& c : cases) {
    Negotiation n;
    uint8_t out[9];
    if (c.after_start) {
      EXPECT_EQ(negotiation_start(&n, out), 9u);
    }
    const size_t count = negotiation_answer(&n, c.verb, c.option, out);
    EXPECT_EQ(Bytes(out, out + count), c.answer) << static_cast<int>(c.verb) << " " << +c.option;
    EXPECT_EQ(n.refused, c.refused) << static_cast<int>(c.verb) << " " << +c.option;
    // Said again, the same request needs no answer: no loop of answers.
    if (c.verb == Decoded::kWill || c.verb == Decoded::kDo) {
      const bool accepted = c.answer.empty() || c.answer[1] == kDo || c.answer[1] == kWill;
      if (accepted) {
        EXPECT_EQ(negotiation_answer(&n, c.verb, c.option, out), 0u);
      }
    }
  }
}

// ser2net's opening, answered: DONT ECHO to its WILL ECHO, the SGA offers
// taken; done once BINARY is both ways and COM-PORT-OPTION accepted.
TEST(Rfc2217Codec, Ser2netOpeningNegotiatesTheOptions) {
  Negotiation n;
  Bytes sent(9);
  negotiation_start(&n, sent.data());
  EXPECT_EQ(sent, (Bytes{kIac, kWill, 0, kIac, kDo, 0, kIac, kWill, 44}));
  const Bytes opening = {kIac, kWill, 3,   kIac, kDo,  3,     kIac, kWill, 1,   kIac, kDont,
                         1,    kIac,  kDo, 0,    kIac, kWill, 0,    kIac,  kDo, 44};
  Decoder decoder;
  Bytes answers;
  for (size_t i = 0; i < opening.size(); ++i) {
    EXPECT_FALSE(negotiation_done(n));
    const Item item = decode(&decoder, opening[i]);
    if (item.kind == Decoded::kNothing) continue;
    uint8_t out[3];
    answers.insert(answers.end(), out, out + negotiation_answer(&n, item.kind, item.byte, out));
  }
  EXPECT_TRUE(negotiation_done(n));
  EXPECT_FALSE(n.refused);
  EXPECT_EQ(answers, (Bytes{kIac, kDo, 3, kIac, kWill, 3, kIac, kDont, 1}));
}

TEST(Rfc2217Codec, CommandsAsBytes) {
  struct Case {
    uint8_t command;
    uint32_t value;
    Bytes bytes;
  } cases[] = {
      {kSetBaudRate, 10472, {kIac, kSb, 44, 1, 0x00, 0x00, 0x28, 0xE8, kIac, kSe}},
      {kSetBaudRate,
       0xFF00FFFF,
       {kIac, kSb, 44, 1, kIac, kIac, 0, kIac, kIac, kIac, kIac, kIac, kSe}},
      {kSetDataSize, 8, {kIac, kSb, 44, 2, 8, kIac, kSe}},
      {kSetParity, kParityNone, {kIac, kSb, 44, 3, 1, kIac, kSe}},
      {kSetStopSize, kStopSizeTwo, {kIac, kSb, 44, 4, 2, kIac, kSe}},
      {kSetControl, kControlRtsOn, {kIac, kSb, 44, 5, 11, kIac, kSe}},
      {kSetLineStateMask, 0x18, {kIac, kSb, 44, 10, 0x18, kIac, kSe}},
      {kPurgeData, kPurgeBoth, {kIac, kSb, 44, 12, 3, kIac, kSe}},
  };
  for (const Case& c : cases) {
    uint8_t out[kMaxCommand];
    EXPECT_EQ(Bytes(out, out + encode_command(c.command, c.value, out)), c.bytes) << +c.command;
  }
  uint8_t out[kMaxCommand + 8];
  EXPECT_EQ(Bytes(out, out + encode_signature("t\xFF", 2, out)),
            (Bytes{kIac, kSb, 44, 0, 't', kIac, kIac, kIac, kSe}));
}

TEST(Rfc2217Codec, NetworkPortNames) {
  struct Case {
    const char* name;
    const char* host;  // null: not a sound name
    const char* port;
  } cases[] = {
      {"rfc2217://fixture3.local:4001", "fixture3.local", "4001"},
      {"RFC2217://10.0.0.7:4002", "10.0.0.7", "4002"},
      {"rfc2217://[fd00::7]:4001", "fd00::7", "4001"},
      {"rfc2217://[::1]:65535", "::1", "65535"},
      {"rfc2217://host_1-a:1", "host_1-a", "1"},
      {"rfc2217://host", nullptr, nullptr},
      {"rfc2217://host:", nullptr, nullptr},
      {"rfc2217://:4001", nullptr, nullptr},
      {"rfc2217://host:0", nullptr, nullptr},
      {"rfc2217://host:65536", nullptr, nullptr},
      {"rfc2217://host:123456", nullptr, nullptr},
      {"rfc2217://host:40x1", nullptr, nullptr},
      {"rfc2217://fd00::7:4001", nullptr, nullptr},
      {"rfc2217://[fd00::7]4001", nullptr, nullptr},
      {"rfc2217://[]:4001", nullptr, nullptr},
      {"rfc2217://[fd00::g]:4001", nullptr, nullptr},
      {"rfc2217://user@host:4001", nullptr, nullptr},
      {"rfc2217://host:4001/", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(is_network_name(c.name)) << c.name;
    char host[64] = "";
    char port[8] = "";
    const bool sound = parse_network_name(c.name, host, sizeof(host), port, sizeof(port));
    EXPECT_EQ(sound, c.host != nullptr) << c.name;
    if (sound && c.host != nullptr) {
      EXPECT_STREQ(host, c.host);
      EXPECT_STREQ(port, c.port);
    }
  }
  for (const char* other : {"/dev/ttyUSB0", "COM12", "rfc2217:/host:1", "rfc2217", ""}) {
    EXPECT_FALSE(is_network_name(other)) << other;
  }
  char small[4];
  char port[8];
  EXPECT_FALSE(parse_network_name("rfc2217://abcd:1", small, sizeof(small), port, sizeof(port)))
      << "a host longer than its room";
}

}  // namespace
}  // namespace travek::rfc2217
