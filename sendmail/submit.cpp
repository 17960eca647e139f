#include "sendmail/submit.h"

#include "platform/wsa_numbers.h"
#include "smtpclient/smtpsender.h"
#include "store/spool.h"

namespace sendmail {

namespace {

// A refused step, as sendmail's callers read it: a 4xx (or no reply) may succeed later; a 5xx
// to a recipient names no user the relay takes, another 5xx is a refusal for good.
int Refused(const smtpclient::TSmtpSender& client, std::string& error, bool recipient = false) {
    error = client.FailureReason.empty() ? "the relay ended the session" : client.FailureReason;
    if (client.ResultCode >= 500 && client.ResultCode < 600)
        return recipient ? kExitNoRecipients : kExitUnavailable;
    return kExitTemporary;
}

} // namespace

int SubmitToRelay(const Prepared& message, const std::string& sender, int port, bool& notListening,
                  std::string& error) {
    notListening = false;
    smtpclient::TSmtpSender client("localhost");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(port);
    if (!client.OpenSession()) {
        notListening = client.Sock().LastErrorCode() == platform::kWsaECONNREFUSED;
        error = client.FailureReason;
        return client.ResultCode == 0 ? kExitTemporary : Refused(client, error);
    }
    PreparedLines lines(message);
    if (!client.SendMailFrom(sender, smtpclient::MessageSize(lines))) return Refused(client, error);
    for (const std::string& recipient : message.recipients)
        if (!client.SendRcptTo(recipient)) return Refused(client, error, true);
    if (!client.SendData(lines)) return Refused(client, error);
    client.CloseSession(); // the relay has the message: how QUIT goes changes nothing
    return kExitOk;
}

int SpoolForNextStart(const Prepared& message, const std::string& sender,
                      const std::string& spoolFolder, std::string& id, std::string& error) {
    std::string recipientText;
    for (const std::string& recipient : message.recipients)
        recipientText += (recipientText.empty() ? "" : ",") + recipient;
    PreparedLines lines(message);
    // Written in pieces of some 64 KB: a write a line would be a system call a line.
    auto nextPiece = [&lines](std::string& piece) {
        piece.clear();
        for (std::string line; piece.size() < 65536 && lines.Next(line);) piece += line + "\r\n";
        return !piece.empty();
    };
    auto spooled = store::SpoolWholeMessage(spoolFolder, sender, recipientText, nextPiece, error);
    if (!spooled) return kExitTemporary;
    id = *spooled;
    return kExitOk;
}

} // namespace sendmail
