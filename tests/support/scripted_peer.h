// A TCP server on 127.0.0.1 that plays a script on the first connection it accepts: send
// these bytes as one packet, pause, read, close or reset. It runs on its own thread, so a
// blocking client can be tested against exact packet boundaries.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct PeerStep {
    enum Kind { Send, Pause, ReadLine, ReadPacket, Close, Reset, Hold } kind;
    std::string bytes; // for Send
    int ms = 0;        // for Pause and Hold
};

inline PeerStep Packet(std::string bytes) {
    return {PeerStep::Send, std::move(bytes), 0};
}
inline PeerStep Pause(int ms) {
    return {PeerStep::Pause, {}, ms};
}
inline PeerStep ExpectLine() {
    return {PeerStep::ReadLine, {}, 0};
}
// One read of whatever has arrived (waiting for the first byte): what the client sent in
// one write, as LinesRead keeps it.
inline PeerStep ExpectPacket() {
    return {PeerStep::ReadPacket, {}, 0};
}
inline PeerStep CloseConnection() {
    return {PeerStep::Close, {}, 0};
}
inline PeerStep ResetConnection() {
    return {PeerStep::Reset, {}, 0};
}
// Keeps the connection open, silent, for up to `ms` (or until the client closes).
inline PeerStep Hold(int ms) {
    return {PeerStep::Hold, {}, ms};
}

class ScriptedPeer {
  public:
    explicit ScriptedPeer(std::vector<PeerStep> script);
    ~ScriptedPeer();
    int Port() const { return port_; }
    // Lines the peer read (for ExpectLine steps) and packets (ExpectPacket), in order,
    // available after Join().
    const std::vector<std::string>& LinesRead() const { return lines_; }
    void Join();

  private:
    int listener_ = -1;
    int port_ = 0;
    std::vector<PeerStep> script_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

} // namespace testsupport
