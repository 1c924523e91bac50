// A serial port behind a device server (a Moxa NPort, a Lantronix box,
// ser2net): TCP to rfc2217://HOST:PORT, Telnet with the COM Port Control
// Option (RFC 2217) for the line. The same code on both platforms; the
// socket is the platform's (link/socket.h), the protocol is the pure codec
// (link/rfc2217_codec.h).
//
//  - Opening: the connection within 5 s, then the negotiation within 5 s:
//    BINARY both ways, the server's DO to the client's WILL COM-PORT-OPTION,
//    then SET-LINESTATE-MASK for framing errors and breaks (its answer is
//    not looked at: servers answer what they can notify).
//  - Configuring: rate, 8 data bits, no parity, the stop bits, no flow
//    control, DTR on, RTS off; the answers to the first four are awaited
//    (5 s) and must match. Later rate and stop-bit changes go out in order
//    with the data and are not awaited; their answers are checked as they
//    come, and a mismatch is told on standard error.
//  - RTS is set and cleared without waiting: servers on lines without modem
//    control do not answer. The purge waits for its answer and drops every
//    byte that came before it.
//  - Line errors: NOTIFY-LINESTATE's framing and break bits, kept until the
//    error query takes them.
//  - A connection that closes or fails, a malformed message, or an option
//    the port needs taken back, loses the port. Until the first purge is
//    answered, the port is still being set up: such a failure is told here,
//    with its reason; later the link tells the loss.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "link/port_interface.h"
#include "link/rfc2217_codec.h"
#include "link/socket.h"

namespace travek {
namespace {

namespace telnet = rfc2217;

constexpr uint32_t kConnectMs = 5000;
constexpr uint32_t kNegotiateMs = 5000;
constexpr uint32_t kAnswerMs = 5000;   // the configuration's answers and the purge's
constexpr uint32_t kCommandMs = 1000;  // a command that is not awaited, to go out
constexpr size_t kQueueSize = 16384;   // received data not yet read
constexpr size_t kOutSize = 512;       // commands and answers not yet sent
constexpr size_t kMaxExpected = 16;
constexpr char kSignature[] = "travek32";

// A setting sent whose answer is still to come.
struct Expected {
  uint8_t command;
  uint32_t value;
};

struct NetPort {
  char name[256];
  bool open;
  bool lost;
  bool setting_up;  // from the open until the first purge is answered
  bool told;        // a failure of the set-up has been told
  char failure[200];
  char said[64];  // printable text the server sent while the port was set up
  size_t said_length;

  telnet::Decoder decoder;
  telnet::Negotiation negotiation;
  uint8_t queue[kQueueSize];
  size_t head;
  size_t count;
  uint8_t out[kOutSize];
  size_t out_count;
  uint32_t errors;  // CE_* mask
  Expected expected[kMaxExpected];
  size_t expected_count;
  bool mismatch;  // while configuring: an answer that does not match
  Expected asked;
  uint32_t answered;
  bool purging;
  bool purged;
};

NetPort net;

const char* setting_name(uint8_t command) {
  static const char* const kNames[] = {"", "the rate", "the data size", "the parity",
                                       "the stop size"};
  return command < std::size(kNames) ? kNames[command] : "";
}

const char* command_name(uint8_t command) {
  static const char* const kNames[] = {
      "", "SET-BAUDRATE", "SET-DATASIZE", "SET-PARITY", "SET-STOPSIZE", "", "", "", "", "", "",
      "", "PURGE-DATA"};
  return command < std::size(kNames) ? kNames[command] : "";
}

void lose(const char* reason) {
  if (net.lost) return;
  net.lost = true;
  std::snprintf(net.failure, sizeof(net.failure), "%s", reason);
}

// The failure of a port still being set up, told once.
template <class... Args>
void tell_setup(FormatFor<const char*, Args...> format, Args... args) {
  if (!net.setting_up || net.told) return;
  net.told = true;
  con_diagnostic(format, static_cast<const char*>(net.name), args...);
}

// A lost port still being set up: the reason, and what the server said
// before it closed ("Port already in use").
void tell_setup_loss() {
  net.said[net.said_length] = '\0';
  if (net.said_length > 0) {
    tell_setup(msg::kDiagNetSaying, +net.failure, +net.said);
  } else {
    tell_setup(msg::kDiagReason, +net.failure);
  }
}

// A wait for the server that ended without its answer: the loss, or else
// the silence.
template <class... Args>
void tell_silence(FormatFor<const char*, Args...> format, Args... args) {
  if (net.lost) {
    tell_setup_loss();
  } else {
    tell_setup(format, args...);
  }
}

void put(const uint8_t* bytes, size_t n) {
  if (net.out_count + n > kOutSize) {
    lose(msg::kNetClosed);  // the server has long stopped reading
    return;
  }
  std::memcpy(net.out + net.out_count, bytes, n);
  net.out_count += n;
}

void put_command(uint8_t command, uint32_t value) {
  uint8_t bytes[telnet::kMaxCommand];
  put(bytes, telnet::encode_command(command, value, bytes));
}

// A setting sent, its answer expected.
void ask(uint8_t command, uint32_t value) {
  put_command(command, value);
  if (net.expected_count == kMaxExpected) return;  // too many unanswered: not checked
  net.expected[net.expected_count++] = Expected{command, value};
}

uint8_t stop_size(int stop_bits) {
  return stop_bits == 2 ? telnet::kStopSizeTwo : telnet::kStopSizeOne;
}

// The server's answer to a setting: the oldest of that command's requests.
void answered(uint8_t command, uint32_t value) {
  size_t i = 0;
  while (i < net.expected_count && net.expected[i].command != command) ++i;
  if (i == net.expected_count) return;  // not asked for: a notice of the server's own
  const Expected asked = net.expected[i];
  std::copy(net.expected + i + 1, net.expected + net.expected_count, net.expected + i);
  --net.expected_count;
  if (value == asked.value) return;
  if (!net.setting_up) {
    con_diagnostic(msg::kDiagNetSetting, net.name, setting_name(command),
                   static_cast<unsigned>(value), static_cast<unsigned>(asked.value));
  } else if (!net.mismatch) {  // told when the configuration's answers are in
    net.mismatch = true;
    net.asked = asked;
    net.answered = value;
  }
}

// A COM-PORT-OPTION message from the server. Control answers, modem state,
// flow control and mask answers need nothing.
void on_message(const telnet::Item& item) {
  if (item.command >= telnet::kSetBaudRate && item.command <= telnet::kSetStopSize) {
    answered(item.command, item.value);
  } else if (item.command == telnet::kNotifyLineState) {
    if (item.value & telnet::kLineFraming) net.errors |= CE_FRAME;
    if (item.value & telnet::kLineBreak) net.errors |= CE_BREAK;
    if (item.value & telnet::kLineParity) net.errors |= CE_RXPARITY;
    if (item.value & telnet::kLineOverrun) net.errors |= CE_OVERRUN;
  } else if (item.command == telnet::kPurgeData && net.purging) {
    net.purged = true;
    net.count = 0;  // everything before the answer
  } else if (item.command == telnet::kSignature && item.text_length == 0) {
    // The server asks for the client's.
    uint8_t bytes[telnet::kMaxCommand + 2 * sizeof(kSignature)];
    put(bytes, telnet::encode_signature(kSignature, sizeof(kSignature) - 1, bytes));
  }
}

void take_data(uint8_t byte) {
  // A full queue loses its oldest byte, as a driver's overruns.
  if (net.count == kQueueSize) {
    net.head = (net.head + 1) % kQueueSize;
    --net.count;
    net.errors |= CE_RXOVER;
  }
  net.queue[(net.head + net.count) % kQueueSize] = byte;
  ++net.count;
  if (net.setting_up && byte >= 0x20 && byte < 0x7F && net.said_length + 1 < sizeof(net.said)) {
    net.said[net.said_length++] = static_cast<char>(byte);
  }
}

void take_byte(uint8_t byte) {
  const telnet::Item item = telnet::decode(&net.decoder, byte);
  if (item.kind == telnet::Decoded::kData) {
    take_data(item.byte);
  } else if (item.kind >= telnet::Decoded::kWill && item.kind <= telnet::Decoded::kDont) {
    uint8_t answer[3];
    put(answer, telnet::negotiation_answer(&net.negotiation, item.kind, item.byte, answer));
    // Taken back once the port is set up: its data and control are gone.
    if (net.negotiation.refused && telnet::negotiation_done(net.negotiation)) {
      lose(msg::kNetMalformed);
    }
  } else if (item.kind == telnet::Decoded::kComPort) {
    on_message(item);
  } else if (item.kind == telnet::Decoded::kMalformed) {
    lose(msg::kNetMalformed);
  }
}

// Sends what is waiting to go, as far as the connection takes it now.
void send_waiting() {
  while (net.out_count > 0 && !net.lost) {
    char reason[200];
    const long sent = socket_send(net.out, net.out_count, reason, sizeof(reason));
    if (sent < 0) lose(reason);
    if (sent <= 0) return;
    const size_t n = static_cast<size_t>(sent);
    std::memmove(net.out, net.out + n, net.out_count - n);
    net.out_count -= n;
  }
}

// Takes what the connection has now, and sends the answers it calls for.
// False once the port is lost.
bool pump() {
  uint8_t in[2048];
  while (!net.lost) {
    char reason[200];
    const long n = socket_receive(in, sizeof(in), reason, sizeof(reason));
    if (n < 0) lose(reason);
    if (n <= 0) break;
    for (long i = 0; i < n && !net.lost; ++i) take_byte(in[i]);
  }
  send_waiting();
  return !net.lost;
}

uint32_t take(uint8_t* dest, uint32_t max) {
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(max, net.count));
  for (uint32_t i = 0; i < n; ++i) dest[i] = net.queue[(net.head + i) % kQueueSize];
  net.head = (net.head + n) % kQueueSize;
  net.count -= n;
  return n;
}

// Sends bytes whole within the watch's deadline, what waits to go first,
// taking in what comes meanwhile. *sent: the bytes of data the connection
// took.
bool send_within(const uint8_t* data, size_t n, const SocketWatch& watch, size_t* sent) {
  *sent = 0;
  for (;;) {
    if (!pump()) return false;
    if (net.out_count == 0 && *sent < n) {
      char reason[200];
      const long took = socket_send(data + *sent, n - *sent, reason, sizeof(reason));
      if (took < 0) {
        lose(reason);
        return false;
      }
      *sent += static_cast<size_t>(took);
    }
    if (net.out_count == 0 && *sent == n) return true;
    if (!socket_wait_writable(watch)) return false;
  }
}

// What waits to go, sent within the watch's deadline.
bool flush(const SocketWatch& watch) {
  size_t sent = 0;
  return send_within(nullptr, 0, watch, &sent);
}

// Commands that are not awaited: a connection that cannot take them within
// the limit has stopped.
bool send_commands(uint32_t limit_ms) {
  if (flush(socket_watch(limit_ms))) return true;
  lose(msg::kNetTimedOut);
  return false;
}

// What the waits for the server wait for.
bool negotiated() { return telnet::negotiation_done(net.negotiation) || net.negotiation.refused; }
bool answers_in() { return net.expected_count == 0 || net.mismatch; }
bool purge_answered() { return net.purged; }

// Sends what waits to go, then waits for the server until what is awaited
// has arrived, or the deadline.
bool exchange(bool (*arrived)(), SocketWatch* watch) {
  if (!flush(*watch)) return false;
  while (pump() && !arrived()) {
    if (!socket_wait_readable(watch)) {
      pump();
      break;
    }
  }
  return arrived();
}

bool net_accepts(const char* name) { return telnet::is_network_name(name); }

bool net_is_open() { return net.open; }

void net_close() {
  socket_close();
  net.open = false;
}

bool net_open(const char* name) {
  net = NetPort{};
  std::snprintf(net.name, sizeof(net.name), "%s", name);
  char host[256];
  char service[8];
  if (!telnet::parse_network_name(name, host, sizeof(host), service, sizeof(service))) {
    con_diagnostic(msg::kDiagNetName, net.name);
    return false;
  }
  char reason[200];
  if (!socket_connect(host, service, kConnectMs, reason, sizeof(reason))) {
    con_diagnostic(msg::kDiagReason, net.name, reason);
    return false;
  }
  net.open = net.setting_up = true;
  uint8_t requests[9];
  put(requests, telnet::negotiation_start(&net.negotiation, requests));
  SocketWatch watch = socket_watch(kNegotiateMs);
  const bool done = exchange(negotiated, &watch);
  if (net.negotiation.refused) {
    const bool com_port_refused = net.negotiation.ours[2] == telnet::OptionState::kNo;
    tell_setup(msg::kDiagNetRefused, com_port_refused ? "COM-PORT-OPTION" : "BINARY");
  } else if (!done) {
    tell_silence(msg::kDiagNetSilent);
  } else {
    put_command(telnet::kSetLineStateMask, telnet::kLineFraming | telnet::kLineBreak);
    if (flush(watch)) return true;
    tell_setup_loss();
  }
  net_close();
  return false;
}

bool net_configure(uint32_t rate, int data_bits, int stop_bits) {
  net.expected_count = 0;
  net.mismatch = false;
  ask(telnet::kSetBaudRate, rate);
  ask(telnet::kSetDataSize, static_cast<uint8_t>(data_bits));
  ask(telnet::kSetParity, telnet::kParityNone);
  ask(telnet::kSetStopSize, stop_size(stop_bits));
  put_command(telnet::kSetControl, telnet::kControlNoFlowControl);
  put_command(telnet::kSetControl, telnet::kControlDtrOn);
  put_command(telnet::kSetControl, telnet::kControlRtsOff);
  SocketWatch watch = socket_watch(kAnswerMs);
  const bool answered_all = exchange(answers_in, &watch);
  if (net.mismatch) {
    net.told = true;
    con_diagnostic(msg::kDiagNetSetting, net.name, setting_name(net.asked.command),
                   static_cast<unsigned>(net.answered), static_cast<unsigned>(net.asked.value));
    return false;
  }
  if (!answered_all) tell_silence(msg::kDiagNetUnanswered, command_name(net.expected[0].command));
  return answered_all;
}

bool net_set_line(uint32_t rate, int stop_bits) {
  ask(telnet::kSetBaudRate, rate);
  ask(telnet::kSetStopSize, stop_size(stop_bits));
  return send_commands(kCommandMs);
}

bool net_set_rts(bool on) {
  put_command(telnet::kSetControl, on ? telnet::kControlRtsOn : telnet::kControlRtsOff);
  if (send_commands(kCommandMs)) return true;
  tell_setup_loss();
  return false;
}

bool net_clear_errors(uint32_t* mask) {
  pump();
  *mask = net.lost ? 0 : net.errors;
  net.errors = 0;
  return true;
}

bool net_purge() {
  if (net.lost) return false;
  net.purging = true;
  net.purged = false;
  put_command(telnet::kPurgeData, telnet::kPurgeBoth);
  SocketWatch watch = socket_watch(kAnswerMs);
  const bool purged = exchange(purge_answered, &watch);
  net.purging = false;
  if (!purged) {
    tell_silence(msg::kDiagNetUnanswered, command_name(telnet::kPurgeData));
    return false;
  }
  net.setting_up = false;
  return true;
}

uint32_t net_read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms) {
  SocketWatch watch = socket_watch(total_ms);
  uint32_t got = take(dest, n);
  while (got < n && pump()) {
    got += take(dest + got, n - got);
    // A final look after the deadline: a late wake-up must not lose a reply
    // that is already there.
    if (got < n && !socket_wait_readable(&watch)) {
      pump();
      break;
    }
  }
  return got + take(dest + got, n - got);
}

uint32_t net_read_available(uint8_t* dest, uint32_t max, uint32_t first_ms) {
  pump();
  uint32_t got = take(dest, max);
  if (got > 0 || net.lost) return got;
  SocketWatch watch = socket_watch(first_ms);
  while (got == 0 && socket_wait_readable(&watch) && pump()) got = take(dest, max);
  if (got > 0) return got;
  pump();
  return take(dest, max);
}

bool net_write(const uint8_t* data, uint32_t n, uint32_t limit_ms, uint32_t* written) {
  *written = 0;
  if (net.lost) return false;
  const SocketWatch watch = socket_watch(limit_ms);
  constexpr uint32_t kPiece = 256;
  uint8_t encoded[2 * kPiece];
  for (uint32_t at = 0; at < n;) {
    const uint32_t piece = std::min(kPiece, n - at);
    const size_t length = telnet::encode_data(data + at, piece, encoded);
    size_t sent = 0;
    if (!send_within(encoded, length, watch, &sent)) {
      // The data bytes that went out whole; a doubled 0xFF cut in half is
      // completed before anything else goes, and counts as taken.
      for (size_t k = 0, pos = 0; k < piece && pos < sent; ++k) {
        pos += data[at + k] == telnet::kIac ? 2 : 1;
        if (pos > sent) put(&telnet::kIac, 1);
        ++*written;
      }
      return false;
    }
    at += piece;
    *written = at;
  }
  return true;
}

bool net_send_now(uint8_t byte, uint32_t limit_ms) {
  uint32_t written = 0;
  return net_write(&byte, 1, limit_ms, &written);
}

bool net_lost() { return net.lost; }

}  // namespace

const PortInterface kNetworkPort = {
    net_accepts,        net_open,    net_is_open,      net_close, net_configure,
    net_set_line,       net_set_rts, net_clear_errors, net_purge, net_read_exact,
    net_read_available, net_write,   net_send_now,     net_lost,
};

}  // namespace travek
