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
        // connection during the handshake or later is not.
        if (text.rfind("certificate verify failed", 0) == 0) return false;
        return text.find("(SSL error 5)") != std::string::npos ||
               text.find("(SSL error 6)") != std::string::npos ||
               text.find("unexpected eof") != std::string::npos;
    default:
        // Refused, unreachable, timed out, reset, aborted, out of descriptors or buffers, the
        // name server not answering (11002): the network or the upstream, for now.
        return true;
    }
}

bool IsSessionRefusal(int code, const std::string& text) {
    if (code == platform::kWsaSYSNOTREADY) return IsTemporarySocketError(code, text);
    return code == platform::kWsaECONNREFUSED || code == platform::kWsaECONNRESET ||
           code == platform::kWsaECONNABORTED || code == platform::kWsaENOTCONN;
}

TFailureClass ClassOf(TClientFailure failure) {
    if (failure == TClientFailure::SignInExpired) return TFailureClass{false, false, true};
    switch (failure) {
    case TClientFailure::SecretUnavailable: // the message's lifetime bounds one that never works
    case TClientFailure::TextUnreadable:    // the spool's disk, for now
    case TClientFailure::Stopped:           // the message stays spooled for the next start
        return TFailureClass{true, false};
    case TClientFailure::ReplyLimit:
    case TClientFailure::StartTlsMissing:
    case TClientFailure::StartTlsInjection:
    case TClientFailure::TokenInClear:
    case TClientFailure::SignInExpired: // revoked, or unused for months: retries cannot pass
    case TClientFailure::NoRecipient:
    case TClientFailure::ThisRelayItself:
        break;
    }
    return TFailureClass{false, false};
}

TFailureClass AfterAuthRefusal(TFailureClass failure, bool authRefusalTemporary) {
    failure.temporary |= authRefusalTemporary;
    return failure;
}

TRecipientReply ClassifyRecipientReply(int code, bool othersAccepted) {
    if (code == 250 || code == 251) return TRecipientReply::Accepted;
    if ((code == 452 || code == 552) && othersAccepted) return TRecipientReply::TooMany;
    // Before any recipient was accepted no limit of recipients can have been reached: a 552
    // is then the mailbox's own (over its quota), a 452 the server's storage for now.
    if (IsTemporaryReply(code)) return TRecipientReply::Temporary;
    return TRecipientReply::Permanent;
}

bool SessionBroken(int socketError, bool replyLimitHit) {
    return socketError != 0 || replyLimitHit;
}

} // namespace smtpclient
