// Telnet (RFC 854, 855, 856, 858) with the COM Port Control Option (RFC
// 2217), the client's side: bytes from the server in, data bytes and option
// events out; data and commands in, bytes for the server out. Pure: no I/O,
// no clock; the network port (network_port.cc) does the rest.
//
// Principles of operation:
//  - Decoding is one byte at a time, so a command or a subnegotiation may
//    be split across reads at any byte and arrive in the middle of data.
//  - Strict: an option other than those the client knows (BINARY,
//    SUPPRESS-GO-AHEAD, COM-PORT-OPTION) is refused; a subnegotiation that
//    is not a server's COM-PORT-OPTION message of the right length, or that
//    is cut by another command, is malformed, and the connection is then
//    beyond use.
//  - Options are negotiated by the Q method (RFC 1143, without its queue):
//    a request is answered only when it would change the option, so no
//    loop of answers can arise.
//  - 0xFF in data is doubled on the way out and undoubled on the way in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travek::rfc2217 {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kOptionBinary = 0;
inline constexpr uint8_t kOptionEcho = 1;
inline constexpr uint8_t kOptionSuppressGoAhead = 3;
inline constexpr uint8_t kOptionComPort = 44;

// COM-PORT-OPTION commands, as the client sends them; the server answers
// with the same command plus kServerOffset.
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// Values of the commands the client uses.
inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kStopSizeOne = 1;
inline constexpr uint8_t kStopSizeTwo = 2;
inline constexpr uint8_t kControlNoFlowControl = 1;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;
inline constexpr uint8_t kPurgeBoth = 3;
// NOTIFY-LINESTATE bits.
inline constexpr uint8_t kLineOverrun = 0x02;
inline constexpr uint8_t kLineParity = 0x04;
inline constexpr uint8_t kLineFraming = 0x08;
inline constexpr uint8_t kLineBreak = 0x10;

// The longest subnegotiation taken (a signature text, at most).
inline constexpr size_t kMaxSubnegotiation = 128;

enum class Decoded : uint8_t {
  kNothing,  // the byte was part of something not yet whole
  kData,     // a data byte
  kWill,     // the server's WILL, WONT, DO or DONT of an option
  kWont,
  kDo,
  kDont,
  kCommand,    // a one-byte Telnet command (NOP, GA, ...): nothing to do
  kComPort,    // a whole COM-PORT-OPTION message from the server
  kMalformed,  // the connection is beyond use; everything after is too
};

struct Item {
  Decoded kind;
  uint8_t byte;         // kData: the byte; negotiation: the option; kCommand: it
  uint8_t command;      // kComPort: the command, as the client sends it (1..12)
  uint32_t value;       // kComPort: the value (SET-BAUDRATE's 32 bits, else one byte)
  const uint8_t* text;  // kComPort, kSignature: the text (in the decoder)
  size_t text_length;
};

struct Decoder {
  uint8_t state = 0;
  uint8_t verb = 0;  // WILL..DONT awaiting its option
  uint8_t sub[kMaxSubnegotiation] = {};
  size_t sub_length = 0;
};

Item decode(Decoder* decoder, uint8_t byte);

// The state of the options, both ways.
enum class OptionState : uint8_t { kNo, kYes, kWantYes };
struct Negotiation {
  OptionState ours[3] = {};    // BINARY, SGA, COM-PORT: what the client does
  OptionState theirs[3] = {};  // BINARY, SGA, COM-PORT: what the server does
  bool refused = false;        // the server refused an option the client needs
};

// The client's requests on connecting: WILL and DO BINARY, WILL
// COM-PORT-OPTION. Writes them to out (room for 9 bytes); the count.
size_t negotiation_start(Negotiation* negotiation, uint8_t* out);
// Answers the server's WILL, WONT, DO or DONT of an option; writes the
// answer, if any, to out (room for 3 bytes); the count.
size_t negotiation_answer(Negotiation* negotiation, Decoded verb, uint8_t option, uint8_t* out);
// BINARY both ways and COM-PORT-OPTION accepted.
bool negotiation_done(const Negotiation& negotiation);

// Data with every 0xFF doubled; out has room for 2 * n. The count.
size_t encode_data(const uint8_t* data, size_t n, uint8_t* out);
// A client's COM-PORT-OPTION command with its value (four bytes for
// SET-BAUDRATE, none for the signature, else one), 0xFF doubled; out has
// room for kMaxCommand bytes. The count.
inline constexpr size_t kMaxCommand = 14;
size_t encode_command(uint8_t command, uint32_t value, uint8_t* out);
// The client's signature, as the answer to the server's request for it;
// out has room for kMaxCommand + 2 * length bytes.
size_t encode_signature(const char* text, size_t length, uint8_t* out);

// "rfc2217://HOST:PORT" (the scheme in any case), HOST a name, an IPv4
// address or an IPv6 address in brackets, PORT 1..65535 in decimal.
bool is_network_name(const char* name);
bool parse_network_name(const char* name, char* host, size_t host_size, char* port,
                        size_t port_size);

}  // namespace travek::rfc2217
