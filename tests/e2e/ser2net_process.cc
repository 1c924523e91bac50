#include "ser2net_process.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "loopback.h"

namespace e2e {
namespace {

// Listening on 127.0.0.1:port, by the kernel's table.
bool listens(int port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[32];
  std::snprintf(wanted, sizeof(wanted), "0100007F:%04X", port);
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

// The process has ended (a zombie) or is not there.
bool ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t close = text.rfind(')');
  return close == std::string::npos || text.substr(close + 2, 1) == "Z";
}

}  // namespace

Ser2net::Ser2net(const std::string& device, bool telnet) {
  // ser2net reads a file as YAML by its name's ending.
  char pattern[] = "/tmp/travek-ser2net-XXXXXX";
  folder_ = mkdtemp(pattern);
  config_ = folder_ + "/ser2net.yaml";
  // Another program may take the free port before ser2net does: try again.
  for (int attempt = 0; attempt < 5 && !listening_; ++attempt) listening_ = start(device, telnet);
}

Ser2net::~Ser2net() {
  child_.reset();
  std::remove(config_.c_str());
  std::remove((folder_ + "/ser2net.pid").c_str());
  rmdir(folder_.c_str());
}

bool Ser2net::start(const std::string& device, bool telnet) {
  port_ = free_loopback_port();
  std::ofstream(config_) << "connection: &station\n"
                         << "  accepter: " << (telnet ? "telnet(rfc2217)," : "") << "tcp,127.0.0.1,"
                         << port_ << "\n"
                         << "  connector: serialdev," << device << ",9600n81,local\n";
  return launch();
}

bool Ser2net::launch() {
  // -n: in the foreground; -u: no UUCP lock files; the pid file in /tmp.
  child_ = std::make_unique<RunningChild>(
      "/usr/sbin/ser2net",
      std::vector<std::string>{"-n", "-u", "-c", config_, "-P", folder_ + "/ser2net.pid"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (listens(port_)) return true;
    if (ended(child_->pid())) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  child_.reset();
  return false;
}

std::string Ser2net::url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

void Ser2net::kill() {
  if (child_ != nullptr) child_->signal(SIGKILL);
}

bool Ser2net::restart() {
  child_.reset();
  listening_ = launch();
  return listening_;
}

}  // namespace e2e
