#include "smtpclient/failure_class.h"

#include "platform/wsa_numbers.h"

namespace smtpclient {

bool IsTemporaryReply(int code) {
    return code >= 400 && code <= 499;
}

bool IsTemporarySocketError(int code, const std::string& text) {
    switch (code) {
    case platform::kWsaHOST_NOT_FOUND: // the name does not exist: no later try finds it
    case platform::kWsaNO_RECOVERY:
    case platform::kWsaNO_DATA:
    case platform::kWsaEINVAL:
    case platform::kWsaEACCES:
        return false;
    case platform::kWsaSYSNOTREADY:
        // A TLS failure. A certificate that fails verification or a protocol or cipher the
        // server does not share is the same tomorrow; a peer that closed or reset the
        // connection during the handshake or later (OpenSSL's system-call and end-of-stream
        // errors, 5 and 6) is a server restarting or shedding load.
        if (text.rfind("certificate verify failed", 0) == 0) return false;
        return text.find("(SSL error 5)") != std::string::npos ||
               text.find("(SSL error 6)") != std::string::npos;
    default:
        // Refused, unreachable, timed out, reset, aborted, out of descriptors or buffers, the
        // name server not answering (11002): the network or the upstream, for now.
        return true;
    }
}

bool IsSessionRefusal(int code) {
    return code == platform::kWsaECONNREFUSED || code == platform::kWsaECONNRESET ||
           code == platform::kWsaECONNABORTED || code == platform::kWsaENOTCONN;
}

} // namespace smtpclient
