// ser2net serving one device on a free loopback port, as a child process
// with a configuration of its own: RFC 2217 over Telnet (or, to play a
// server that does not speak it, plain TCP). Killed when it goes.
#pragma once

#include <memory>
#include <string>

#include "child_process.h"

namespace e2e {

class Ser2net {
 public:
  explicit Ser2net(const std::string& device, bool telnet = true);
  ~Ser2net();
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  // False when ser2net never came to listen.
  bool listening() const { return listening_; }
  int port() const { return port_; }
  // rfc2217://127.0.0.1:PORT
  std::string url() const;
  // SIGKILL, at once: the server is gone mid-connection.
  void kill();
  // Serves again, on the same port, after a kill: false if it cannot.
  bool restart();

 private:
  bool start(const std::string& device, bool telnet);
  bool launch();

  std::string folder_;
  std::string config_;
  std::unique_ptr<RunningChild> child_;
  int port_ = 0;
  bool listening_ = false;
};

}  // namespace e2e
