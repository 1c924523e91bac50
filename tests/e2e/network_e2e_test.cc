// Network ports: the real binary through a real ser2net (RFC 2217 over
// Telnet) to station-sim's pseudo-terminal, each test with servers of its
// own on free loopback ports.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "delay_proxy.h"
#include "event_lines.h"
#include "loopback.h"
#include "ser2net_process.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using e2e::ChildResult;
using e2e::json_field;
using e2e::json_lines;
using e2e::read_text;
using e2e::RunningChild;
using e2e::Ser2net;
using e2e::StationSim;
using nlohmann::json;
using testing_support::Bytes;
using testing_support::contains;
using testing_support::kPressKey;
using testing_support::TempFile;

const std::string kPortMessage = "- возможно захвачен другой программой";

// A station served by a ser2net of its own.
struct Served {
  std::unique_ptr<StationSim> sim;
  std::unique_ptr<Ser2net> server;
  std::string flash;
};

class NetworkE2e : public ::testing::Test {
 protected:
  Served& serve(std::vector<std::string> args) {
    Served served;
    served.flash = dir_ + "/flash" + std::to_string(stations_.size());
    args.insert(args.end(), {"--flash-out", served.flash});
    served.sim = std::make_unique<StationSim>(args);
    served.server = std::make_unique<Ser2net>(served.sim->port());
    stations_.push_back(std::move(served));
    return stations_.back();
  }

  static ChildResult tool(const std::vector<std::string>& args, const std::string& input = "") {
    e2e::ChildOptions options;
    options.input = input;
    options.timeout_ms = 120000;
    return e2e::run_child(TRAVEK32_PATH, args, options);
  }

  // The image at the top of the flash, where the automatic start puts it.
  static bool flashed(const Served& served, const Bytes& image) {
    const std::string text = read_text(served.flash);
    const Bytes flash(text.begin(), text.end());
    return flash.size() >= image.size() &&
           std::equal(image.begin(), image.end(), flash.end() - static_cast<long>(image.size()));
  }

  e2e::TempFolder folder_{"network"};
  const std::string dir_ = folder_.path();
  const std::string log_ = dir_ + "/line.jsonl";
  std::vector<Served> stations_;  // gone before the folder
};

// Every clock class byte for byte, its rates (10472 and 11520 bit/s among
// them) and two stop bits set by the server; the 10 MHz image all 0xFF
// pages and 0xFF bytes among data, every one of them doubled on the wire.
TEST_F(NetworkE2e, FullLoadsAtEveryClockClass) {
  for (const char* clock : {"10", "11", "12"}) {
    SCOPED_TRACE(clock);
    Served& station = serve({"--clock", clock, "--expect", "restart"});
    ASSERT_TRUE(station.server->listening());
    Bytes image = e2e::random_image(65536, static_cast<unsigned>(clock[1]));
    if (clock[1] == '0') {
      for (size_t i = 0; i < image.size(); ++i) {
        if (i < 16384 || i % 7 == 0) image[i] = 0xFF;
      }
    }
    TempFile file(image);
    const std::string url = station.server->url();
    ChildResult r = tool({"-y", "-port:" + url, file.path()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "\nПорт " + url + ": Ожидание СТАРТА станции"));
    EXPECT_TRUE(contains(r.out, std::string("Ok! FQ: ") + clock + "mHz\n"));
    EXPECT_TRUE(contains(r.out, "\b\b\b100%  T= "));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(station.sim->finish().status, 0) << station.sim->verdict();
    EXPECT_EQ(json_field(station.sim->verdict(), "clean"), "true") << station.sim->verdict();
    EXPECT_EQ(json_field(station.sim->verdict(), "resets"), "1") << "one pulse, not the leaving";
    EXPECT_EQ(json_field(station.sim->verdict(), "restart"), "true");
    EXPECT_TRUE(flashed(station, image));
  }
}

TEST_F(NetworkE2e, SendOnlyStartsTheResident) {
  Served& station = serve({"--clock", "12", "--expect", "resident"});
  TempFile resident(testing_support::builtin_image());
  ChildResult r = tool({"-s", "-port:" + station.server->url(), resident.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Ok! FQ: 12mHz\nЗасылаем резидента... T= "));
  EXPECT_TRUE(contains(r.out, " ms, Резидент: Старт - Ok!\n" + kPressKey));
  EXPECT_EQ(station.sim->finish().status, 0) << station.sim->verdict();
  EXPECT_EQ(json_field(station.sim->verdict(), "handshake"), "true");
}

// Each fault ends with its message, its end event and its log record, as on
// a local port; the record names the port as given.
TEST_F(NetworkE2e, FaultsEndWithTheirMessagesAndRecords) {
  struct Case {
    std::vector<std::string> sim;
    std::string input;
    std::string result;
    std::string message;  // null for a good end
  } cases[] = {
      {{"--echo-wrong", "700"}, "", "resident-comm-error", "Ошибка связи при загрузке резидента!"},
      {{"--echo-missing", "5"}, "", "station-no-response", "Станция не отвечает!"},
      {{"--warn-sectors", "3,4"}, "", "ok", ""},
      {{"--fail-sector", "2"}, "", "flash-write-error", "Ошибка записи FLASH!"},
      {{"--boot-delay", "100000"}, "\x1b", "cancelled", "Загрузка отменена оператором"},
  };
  TempFile file(e2e::random_image(8192, 3));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    Served& station = serve(c.sim);
    const std::string url = station.server->url();
    ChildResult r = tool({"-y", "-json", "-log:" + log_, "-port:" + url, file.path()}, c.input);
    EXPECT_EQ(r.status, c.message.empty() ? 0 : 255) << r.out << r.err;
    std::vector<json> events = json_lines(r.out);
    ASSERT_FALSE(events.empty()) << r.out;
    json end = events.back();
    EXPECT_EQ(end["event"], "end");
    EXPECT_EQ(end["port"], url);
    EXPECT_EQ(end["result"], c.result);
    if (!c.message.empty()) {
      EXPECT_EQ(end["message"], c.message);
    }
    if (c.result == "ok") {
      std::vector<int> warned;
      for (const json& e : events) {
        if (e["event"] == "warning") warned.push_back(e["sector"]);
      }
      EXPECT_EQ(warned, (std::vector<int>{3, 4}));
    }
    end.erase("event");
    EXPECT_EQ(json_lines(read_text(log_)).back(), end);
    station.sim->finish();
  }
  EXPECT_EQ(json_lines(read_text(log_)).size(), std::size(cases));
}

// A listener whose backlog is full: the host takes no more connections and
// says nothing, as one that does not answer.
class SilentHost {
 public:
  SilentHost() {
    const e2e::LoopbackSocket listener = e2e::loopback_socket(0);
    listener_ = listener.fd;
    port_ = listener.port;
    const sockaddr_in address = e2e::loopback_address(port_);
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(filler_, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  }
  ~SilentHost() {
    close(filler_);
    close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

// A host that takes the connection and hangs up at once.
class HangingUpHost {
 public:
  HangingUpHost() {
    const e2e::LoopbackSocket listener = e2e::loopback_socket(4);
    listener_ = listener.fd;
    port_ = listener.port;
    thread_ = std::thread([this] {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd >= 0) close(fd);
    });
  }
  ~HangingUpHost() {
    shutdown(listener_, SHUT_RDWR);  // ends an accept still waiting
    thread_.join();
    close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// Every way the opening fails is the port message, with the reason on
// standard error as one line. The two that wait out the 5 s limits run at
// once.
TEST_F(NetworkE2e, OpeningFailuresAreThePortMessageWithTheReason) {
  TempFile file(e2e::random_image(4096, 8));
  const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(e2e::free_loopback_port());
  SilentHost silent;
  const std::string not_answering = "rfc2217://127.0.0.1:" + std::to_string(silent.port());
  HangingUpHost hanging_up;
  const std::string hangs_up = "rfc2217://127.0.0.1:" + std::to_string(hanging_up.port());
  // ser2net with plain TCP: it never negotiates.
  auto plain_sim = std::make_unique<StationSim>(std::vector<std::string>{"--boot-delay", "100000"});
  Ser2net plain(plain_sim->port(), false);
  ASSERT_TRUE(plain.listening());
  const std::string no_rfc2217 = plain.url();
  // ser2net whose port another client holds.
  Served& station = serve({"--boot-delay", "100000"});
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = e2e::loopback_address(station.server->port());
  ASSERT_EQ(connect(holder, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  const std::string busy = station.server->url();

  struct Case {
    std::string url;
    std::string reason;
  } cases[] = {
      {refused, "Connection refused"},
      {not_answering, "Connection timed out"},
      {hangs_up, "the server closed the connection"},
      {no_rfc2217, "no RFC 2217 negotiation within 5 s"},
      {busy, "the server closed the connection, saying \"Port already in use\""},
      {"rfc2217://127.0.0.1", "not a network port name (rfc2217://HOST:PORT)"},
  };
  std::vector<std::unique_ptr<RunningChild>> runs;
  const auto start = std::chrono::steady_clock::now();
  for (const Case& c : cases) {
    runs.push_back(std::make_unique<RunningChild>(
        TRAVEK32_PATH, std::vector<std::string>{"-port:" + c.url, file.path()}));
    runs.back()->close_input();
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].url);
    ChildResult r = runs[i]->finish(30000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.out, "\nНедоступен или неисправен порт: " + cases[i].url + "\n" +
                                    kPortMessage + "\n" + kPressKey));
    EXPECT_EQ(r.err, "travek32: " + cases[i].url + ": " + cases[i].reason + "\n");
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 4.9) << "the limits are 5 s";
  close(holder);
}

// One exchange of a scripted server: its reply, once the client's bytes
// after the previous trigger hold this one (any bytes, when there is none).
struct Exchange {
  Bytes trigger, reply;
};

// A server of the test's own that breaks a rule: it sends its opening at
// once, then each exchange's reply in turn, then holds the connection until
// the client leaves.
class ScriptedServer {
 public:
  ScriptedServer(Bytes opening, std::vector<Exchange> exchanges)
      : opening_(std::move(opening)), exchanges_(std::move(exchanges)) {
    const e2e::LoopbackSocket listener = e2e::loopback_socket(4);
    listener_ = listener.fd;
    port_ = listener.port;
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() { end(); }
  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

  // Everything the client sent, once it has left.
  const Bytes& received() {
    end();
    return got_;
  }

 private:
  void end() {
    if (!thread_.joinable()) return;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }

  void serve() {
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    size_t next = 0;
    auto from = got_.begin();
    (void)!write(fd, opening_.data(), opening_.size());
    for (;;) {
      while (next < exchanges_.size()) {
        const Exchange& e = exchanges_[next];
        const auto found = std::search(from, got_.end(), e.trigger.begin(), e.trigger.end());
        if (found == got_.end()) break;
        (void)!write(fd, e.reply.data(), e.reply.size());
        from = found + static_cast<long>(e.trigger.size());
        ++next;
      }
      uint8_t buffer[512];
      const ssize_t n = read(fd, buffer, sizeof(buffer));
      if (n <= 0) break;
      const long seen = from - got_.begin();
      got_.insert(got_.end(), buffer, buffer + n);
      from = got_.begin() + seen;
    }
    close(fd);
  }

  Bytes opening_;
  std::vector<Exchange> exchanges_;
  Bytes got_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

constexpr uint8_t kIac = 255, kSb = 250, kSe = 240, kWill = 251, kDo = 253, kDont = 254;
constexpr uint8_t kComPort = 44;

// A COM-PORT-OPTION subnegotiation of the server's.
Bytes from_server(uint8_t command, const Bytes& value) {
  Bytes bytes = {kIac, kSb, kComPort, command};
  for (uint8_t byte : value) bytes.push_back(byte);
  bytes.push_back(kIac);
  bytes.push_back(kSe);
  return bytes;
}

Bytes joined(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    for (uint8_t byte : part) all.push_back(byte);
  }
  return all;
}

// BINARY both ways and COM-PORT-OPTION accepted.
const Bytes kAccepting = {kIac, kWill, 0, kIac, kDo, 0, kIac, kDo, kComPort};
// The client's SET-BAUDRATE and PURGE-DATA, as far as the command.
const Bytes kSetRate = {kIac, kSb, kComPort, 1};
const Bytes kPurge = {kIac, kSb, kComPort, 12};
const Bytes kPurged = from_server(112, {3});
// NOTIFY-LINESTATE: a framing error.
const Bytes kFramingError = from_server(106, {0x08});

// The answers to the configuration: the rate's third byte as given, 8 data
// bits, no parity, one stop bit.
Bytes configured(uint8_t rate_high) {
  return joined({from_server(101, {0, 0, rate_high, 0x80}), from_server(102, {8}),
                 from_server(103, {1}), from_server(104, {1})});
}

// Servers that break the rules are refused at the opening, each with its
// reason: a rate other than the one asked for, the option refused, a
// malformed subnegotiation, a purge never answered (the 5 s limit), even
// when a line-state notice comes while its answer is awaited. Esc is sent
// ahead, so that a port taken as good ends the run at once.
TEST_F(NetworkE2e, ServersThatBreakTheRulesAreRefused) {
  const std::string purge_unanswered = "the server did not answer PURGE-DATA within 5 s";
  struct Case {
    Bytes opening;
    std::vector<Exchange> exchanges;
    std::string reason;
  } cases[] = {
      {kAccepting, {{kSetRate, configured(0x96)}}, "the server set the rate to 38528, not 9600"},
      {{kIac, kWill, 0, kIac, kDo, 0, kIac, kDont, kComPort},
       {},
       "the server refused the Telnet COM-PORT-OPTION option"},
      {kAccepting,
       {{{}, from_server(101, {0, 0x25, 0x80})}},
       "a malformed RFC 2217 message from the server"},
      {kAccepting, {{kSetRate, configured(0x25)}}, purge_unanswered},
      {kAccepting, {{kSetRate, configured(0x25)}, {kPurge, kFramingError}}, purge_unanswered},
  };
  TempFile file(e2e::random_image(4096, 8));
  std::vector<std::unique_ptr<ScriptedServer>> servers;
  std::vector<std::unique_ptr<RunningChild>> runs;
  for (const Case& c : cases) {
    servers.push_back(std::make_unique<ScriptedServer>(c.opening, c.exchanges));
    runs.push_back(std::make_unique<RunningChild>(
        TRAVEK32_PATH, std::vector<std::string>{"-port:" + servers.back()->url(), file.path()}));
    runs.back()->send_input("\x1b");
    runs.back()->close_input();
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].reason);
    ChildResult r = runs[i]->finish(30000);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.out, "\nНедоступен или неисправен порт: " + servers[i]->url() + "\n"));
    EXPECT_EQ(r.err, "travek32: " + servers[i]->url() + ": " + cases[i].reason + "\n");
  }
}

// Once the port is set up, a purge the server leaves unanswered (the pulse
// again after a line error in the wait for the station) is no failure of
// the set-up: nothing of it on standard error, and the wait goes on to the
// operator's Esc.
TEST_F(NetworkE2e, PurgeUnansweredAfterTheSetUpIsNotToldAsItsFailure) {
  // The first purge answered, a framing error notified ahead of the answer.
  ScriptedServer server(kAccepting,
                        {{kSetRate, configured(0x25)}, {kPurge, joined({kFramingError, kPurged})}});
  TempFile file(e2e::random_image(4096, 8));
  RunningChild run(TRAVEK32_PATH, {"-port:" + server.url(), file.path()});
  run.send_input("\x1b");
  run.close_input();
  ChildResult r = run.finish(30000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.out, "\nЗагрузка отменена оператором\n")) << r.out;
  EXPECT_EQ(r.err, "");
  const Bytes& sent = server.received();
  size_t purges = 0;
  for (auto at = sent.begin();
       (at = std::search(at, sent.end(), kPurge.begin(), kPurge.end())) != sent.end(); ++at) {
    ++purges;
  }
  EXPECT_EQ(purges, 2u) << "the pulse again after the line error";
}

// The server killed mid-load: the loss told once, the step's own message,
// the record; nothing hangs.
TEST_F(NetworkE2e, ServerKilledMidLoadEndsTheRunWithItsRecord) {
  Served& station = serve({"--paced", "--clock", "11"});
  TempFile file(e2e::random_image(65536, 4));
  const std::string url = station.server->url();
  RunningChild run(TRAVEK32_PATH, {"-y", "-json", "-log:" + log_, "-port:" + url, file.path()});
  run.close_input();
  ASSERT_TRUE(run.wait_for_output("\"percent\":10", 60000)) << run.out();
  station.server->kill();
  ChildResult r = run.finish(30000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "travek32: " + url + ": the device has gone away\n");
  std::vector<json> events = json_lines(r.out);
  ASSERT_FALSE(events.empty());
  json end = events.back();
  EXPECT_EQ(end["event"], "end");
  EXPECT_NE(end["result"], "ok");
  EXPECT_EQ(end["status"], 255);
  end.erase("event");
  EXPECT_EQ(json_lines(read_text(log_)), std::vector<json>{end});
  EXPECT_LT(r.cpu_s, 2.0) << "nothing spins";
}

// Four network ports and a local pseudo-terminal in one run.
TEST_F(NetworkE2e, ManyStationsAcrossTheNetworkAndOneLocal) {
  for (int i = 0; i < 4; ++i) serve({"--clock", i % 2 ? "11" : "12"});
  const std::string local_flash = dir_ + "/local";
  StationSim local({"--clock", "10", "--flash-out", local_flash});
  std::string ports;
  for (const Served& s : stations_) ports += s.server->url() + ",";
  ports += local.port();
  Bytes image = e2e::random_image(16384, 6);
  TempFile file(image);
  RunningChild run(TRAVEK32_PATH, {"-y", "-json", "-ports:" + ports, "-log:" + log_, file.path()});
  ChildResult r = run.finish(120000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<json> events = json_lines(r.out);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), (json{{"event", "summary"}, {"ok", 5}, {"failed", 0}, {"batches", 1}}));
  std::map<std::string, std::string> results;
  for (const json& record : json_lines(read_text(log_))) results[record["port"]] = record["result"];
  ASSERT_EQ(results.size(), 5u) << read_text(log_);
  for (Served& s : stations_) {
    EXPECT_EQ(results[s.server->url()], "ok");
    EXPECT_EQ(s.sim->finish().status, 0) << s.sim->verdict();
    EXPECT_TRUE(flashed(s, image));
  }
  EXPECT_EQ(results[local.port()], "ok");
  EXPECT_EQ(local.finish().status, 0) << local.verdict();
}

// 10 ms more each way between the tool and the server: a paced load still
// goes through.
TEST_F(NetworkE2e, PacedLoadThroughTenMillisecondsEachWay) {
  Served& station = serve({"--paced", "--clock", "11"});
  e2e::DelayProxy proxy(station.server->port(), 10);
  ASSERT_NE(proxy.port(), 0);
  Bytes image = e2e::random_image(32768, 9);
  TempFile file(image);
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(proxy.port());
  ChildResult r = tool({"-y", "-json", "-port:" + url, file.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\"result\":\"ok\""));
  EXPECT_EQ(station.sim->finish().status, 0) << station.sim->verdict();
  EXPECT_TRUE(flashed(station, image));
}

}  // namespace
