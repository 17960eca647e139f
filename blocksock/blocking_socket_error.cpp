#include "blocksock/blocking_socket_error.h"

#include "platform/socket_error_texts.h"

namespace blocksock {

std::string GetErrorDesc(int code) {
    if (code == 0) return std::string();
    const platform::SocketErrorText* entry = platform::FindSocketErrorText(code);
    if (entry && entry->blocking) return entry->blocking;
    return "Other Winsock error (" + std::to_string(code) + ")";
}

} // namespace blocksock
