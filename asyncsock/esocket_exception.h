// The exception type of the event-driven socket layer and its error texts.
#pragma once

#include <stdexcept>
#include <string>

namespace asyncsock {

class ESocketException : public std::runtime_error {
  public:
    explicit ESocketException(const std::string& message) : std::runtime_error(message) {}
};

// Description of a Windows Sockets error number, as this layer words it ("Not a WinSock
// error" for numbers it does not know).
std::string WSocketErrorDesc(int code);

} // namespace asyncsock
