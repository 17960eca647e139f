// The least a server can do for the load client: one blocking thread with fixed replies,
// no parsing beyond line ends and the end of data. Its rate is the floor that the client
// and the kernel's round trips allow, for judging the other servers' figures. With a
// command delay it sleeps that long before answering each command line (not the message
// text), which makes its rate the bound a server with that delay can reach on this machine.
#pragma once

#include <thread>

namespace bench {

class FloorServer {
  public:
    // Listens on a loopback port of its own and serves one connection.
    explicit FloorServer(int commandDelayMs = 0);
    ~FloorServer();
    int Port() const { return port_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

} // namespace bench
