#include "delay_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "child_process.h"
#include "loopback.h"

namespace e2e {
namespace {

void no_delay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

// Bytes read from one side, due on the other at a time.
struct Held {
  int64_t due;
  std::vector<uint8_t> bytes;
};

bool write_all(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

DelayProxy::DelayProxy(int target_port, int delay_ms)
    : target_port_(target_port), delay_ms_(delay_ms) {
  const LoopbackSocket listener = loopback_socket(4);
  listener_ = listener.fd;
  if (listener_ < 0 || pipe2(stop_, O_CLOEXEC) != 0) return;
  port_ = listener.port;
  thread_ = std::thread([this] { serve(); });
}

DelayProxy::~DelayProxy() {
  if (thread_.joinable()) {
    const char end = 0;
    (void)!write(stop_[1], &end, 1);
    thread_.join();
  }
  for (int fd : {listener_, stop_[0], stop_[1]}) {
    if (fd >= 0) close(fd);
  }
}

void DelayProxy::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    relay(client);
  }
}

// Passes one connection on, each chunk held delay_ms, until either end
// closes and what it sent has been passed on, or the proxy ends.
void DelayProxy::relay(int client) {
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in target = loopback_address(target_port_);
  if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof(target))) {
    close(client);
    if (server >= 0) close(server);
    return;
  }
  no_delay(client);
  no_delay(server);
  const int ends[2] = {client, server};
  std::deque<Held> held[2];  // [0]: to the server, [1]: to the client
  bool open[2] = {true, true};
  while ((open[0] && open[1]) || !held[0].empty() || !held[1].empty()) {
    int64_t next = -1;
    for (const auto& queue : held) {
      if (!queue.empty()) next = next < 0 ? queue.front().due : std::min(next, queue.front().due);
    }
    const int timeout = next < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, next - now_ms()));
    pollfd fds[3] = {{open[0] && open[1] ? client : -1, POLLIN, 0},
                     {open[0] && open[1] ? server : -1, POLLIN, 0},
                     {stop_[0], POLLIN, 0}};
    if (poll(fds, 3, timeout) < 0) continue;
    if (fds[2].revents) break;
    for (int side = 0; side < 2; ++side) {
      if (fds[side].revents == 0) continue;
      uint8_t buffer[4096];
      const ssize_t n = read(ends[side], buffer, sizeof(buffer));
      if (n <= 0) {
        open[side] = false;
      } else {
        held[side].push_back({now_ms() + delay_ms_, std::vector<uint8_t>(buffer, buffer + n)});
      }
    }
    for (int side = 0; side < 2; ++side) {
      while (!held[side].empty() && held[side].front().due <= now_ms()) {
        if (!write_all(ends[1 - side], held[side].front().bytes)) held[side].clear();
        if (!held[side].empty()) held[side].pop_front();
      }
    }
  }
  close(client);
  close(server);
}

}  // namespace e2e
