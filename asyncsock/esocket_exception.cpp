#include "asyncsock/esocket_exception.h"

#include "platform/socket_error_texts.h"

namespace asyncsock {

std::string WSocketErrorDesc(int code) {
    const platform::SocketErrorText* entry = platform::FindSocketErrorText(code);
    return entry && entry->eventDriven ? entry->eventDriven : "Not a WinSock error";
}

} // namespace asyncsock
