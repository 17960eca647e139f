// The least a server can do for the load client: one blocking thread with fixed replies,
// no parsing beyond line ends and the end of data. Its rate is the floor that the client
// and the kernel's round trips allow, for judging the other servers' figures.
#pragma once

#include <thread>

namespace bench {

class FloorServer {
  public:
    FloorServer(); // listens on a loopback port of its own, serves one connection
    ~FloorServer();
    int Port() const { return port_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

} // namespace bench
