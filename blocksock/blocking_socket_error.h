// Error texts of the blocking socket layer and the exception it raises when asked to.
#pragma once

#include <stdexcept>
#include <string>

namespace blocksock {

// "" for 0; the listed texts; "Other Winsock error (N)" for anything else.
std::string GetErrorDesc(int code);

class EBlockingSocketError : public std::runtime_error {
  public:
    EBlockingSocketError(const std::string& message, int errorCode, std::string errorMessage)
        : std::runtime_error(message), ErrorCode(errorCode), ErrorMessage(std::move(errorMessage)) {
    }
    int ErrorCode;
    std::string ErrorMessage;
};

} // namespace blocksock
