// A TCP proxy on the loopback that holds every byte a fixed time in each
// direction, as a network between the tool and a device server would: one
// connection at a time, passed on to a port on 127.0.0.1.
#pragma once

#include <atomic>
#include <thread>

namespace e2e {

class DelayProxy {
 public:
  DelayProxy(int target_port, int delay_ms);
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  int port() const { return port_; }

 private:
  void serve();
  void relay(int client);

  int listener_ = -1;
  int port_ = 0;
  int target_port_;
  int delay_ms_;
  int stop_[2] = {-1, -1};  // written to end the thread
  std::thread thread_;
};

}  // namespace e2e
