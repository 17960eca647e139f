// The relay's one policy of temporary and permanent failures, case by case: every reply code
// family, the socket errors, the texts the TLS layer gives, the client's own failures, and
// what a reply to RCPT does with its recipient.
#include "smtpclient/failure_class.h"

#include "platform/wsa_numbers.h"

#include <gtest/gtest.h>

using namespace smtpclient;

namespace {

TEST(FailureClass, RepliesAreTemporaryForFourHundredsOnly) {
    const struct {
        int code;
        bool temporary;
    } cases[] = {{0, false},   {221, false}, {251, false}, {354, false}, {421, true},  {450, true},
                 {451, true},  {452, true},  {454, true},  {499, true},  {500, false}, {530, false},
                 {550, false}, {552, false}, {554, false}, {599, false}, {600, false}};
    for (const auto& c : cases) EXPECT_EQ(IsTemporaryReply(c.code), c.temporary) << c.code;
}

TEST(FailureClass, SocketAndTlsErrorsAreTemporaryWhenTheNetworkOrThePeerFailedForNow) {
    using namespace platform;
    const struct {
        int code;
        const char* text;
        bool temporary, sessionRefusal;
    } cases[] = {
        {kWsaECONNREFUSED, "Connection refused", true, true},
        {kWsaECONNRESET, "Connection reset by peer", true, true},
        {kWsaECONNABORTED, "Software caused connection abort", true, true},
        {kWsaENOTCONN, "Socket is not connected", true, true},
        {kWsaETIMEDOUT, "Connection timed out", true, false},
        {10065, "No route to host", true, false},
        {10051, "Network is unreachable", true, false},
        {kWsaEMFILE, "Too many open files", true, false},
        {kWsaTRY_AGAIN, "Non authoritative - host not found", true, false},
        {kWsaHOST_NOT_FOUND, "Host not found", false, false},
        {kWsaNO_RECOVERY, "Non recoverable errors", false, false},
        {kWsaNO_DATA, "Valid name, no data record", false, false},
        {kWsaEINVAL, "Invalid argument", false, false},
        {kWsaEACCES, "Permission denied", false, false},
        // The TLS layer's texts: a peer that closed or reset the connection is for now...
        {kWsaSYSNOTREADY, "TLS handshake failed (SSL error 5)", true, true},
        {kWsaSYSNOTREADY, "TLS connection failed (SSL error 6)", true, true},
        {kWsaSYSNOTREADY, "error:0A000126:SSL routines::unexpected eof while reading", true, true},
        // ...a certificate, a protocol or cipher not shared, a plain server on a TLS port are
        // the same tomorrow.
        {kWsaSYSNOTREADY, "certificate verify failed: self-signed certificate (SSL error 5)", false,
         false},
        {kWsaSYSNOTREADY, "error:0A00042E:SSL routines::tlsv1 alert protocol version", false,
         false},
        {kWsaSYSNOTREADY, "error:0A000410:SSL routines::sslv3 alert handshake failure", false,
         false},
        {kWsaSYSNOTREADY, "error:0A00010B:SSL routines::wrong version number", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsTemporarySocketError(c.code, c.text), c.temporary) << c.code << " " << c.text;
        EXPECT_EQ(IsSessionRefusal(c.code, c.text), c.sessionRefusal) << c.code << " " << c.text;
    }
}

TEST(FailureClass, TheClientsOwnFailuresAndARefusalAfterA454ToAuth) {
    const struct {
        TClientFailure failure;
        bool temporary;
    } cases[] = {
        {TClientFailure::ReplyLimit, false},        {TClientFailure::StartTlsMissing, false},
        {TClientFailure::StartTlsInjection, false}, {TClientFailure::TokenInClear, false},
        {TClientFailure::SecretUnavailable, true},  {TClientFailure::SignInExpired, false},
        {TClientFailure::NoRecipient, false},       {TClientFailure::ThisRelayItself, false},
        {TClientFailure::TextUnreadable, true},     {TClientFailure::Stopped, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClassOf(c.failure).temporary, c.temporary) << static_cast<int>(c.failure);
        EXPECT_FALSE(ClassOf(c.failure).sessionRefused);
        // Only an expired sign-in asks the user to act.
        EXPECT_EQ(ClassOf(c.failure).signInNeeded, c.failure == TClientFailure::SignInExpired);
    }
    EXPECT_TRUE(AfterAuthRefusal(TFailureClass{false, false}, true).temporary);
    EXPECT_FALSE(AfterAuthRefusal(TFailureClass{false, false}, false).temporary);
    EXPECT_TRUE(AfterAuthRefusal(TFailureClass{true, true}, false).sessionRefused);
}

TEST(FailureClass, ARecipientsReplyAcceptsItDefersItRefusesItOrEndsTheTransaction) {
    using R = TRecipientReply;
    const struct {
        int code;
        bool othersAccepted;
        R reply;
    } cases[] = {
        {250, false, R::Accepted},  {251, false, R::Accepted},  {251, true, R::Accepted},
        {452, true, R::TooMany},    {552, true, R::TooMany},    {452, false, R::Temporary},
        {552, false, R::Permanent}, {450, true, R::Temporary},  {451, false, R::Temporary},
        {421, true, R::Temporary},  {550, true, R::Permanent},  {553, false, R::Permanent},
        {0, false, R::Permanent},   {252, false, R::Permanent}, {354, false, R::Permanent},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClassifyRecipientReply(c.code, c.othersAccepted), c.reply)
            << c.code << (c.othersAccepted ? " after others" : " first");
    EXPECT_TRUE(SessionBroken(platform::kWsaECONNRESET, false));
    EXPECT_TRUE(SessionBroken(0, true));
    EXPECT_FALSE(SessionBroken(0, false));
}

} // namespace
