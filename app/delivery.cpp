#include "app/delivery.h"

#include "app/message_text.h"
#include "smtpclient/smtpsender.h"

namespace app {

std::string SignOnName(const std::string& recipientText) {
    size_t at = recipientText.find('@');
    return at == std::string::npos ? std::string() : recipientText.substr(0, at);
}

DeliveryRequest MakeRequest(CompletedMessage&& message, const Account& account, int timeoutMs) {
    DeliveryRequest request;
    request.sender = std::move(message.sender);
    request.recipientText = std::move(message.recipientText);
    request.pieces = std::move(message.pieces);
    request.account = account;
    request.systemName = SignOnName(request.recipientText);
    request.timeoutMs = timeoutMs;
    return request;
}

bool RelayThrough(const Account& account, const std::string& systemName, int timeoutMs,
                  const std::string& recipientText, smtpclient::TLineSource& lines) {
    smtpclient::TRelayOptions options;
    options.AutoTLS = account.startTls;
    options.FullSSL = account.implicitTls;
    options.SystemName = systemName;
    options.TimeoutMs = timeoutMs;
    return smtpclient::RelayMessage(options, account.mailbox, recipientText,
                                    account.host + ":" + account.port, lines, account.user,
                                    account.password);
}

DeliveryOutcome Deliver(DeliveryRequest&& request) {
    DeliveryOutcome outcome;
    outcome.sender = request.sender;
    outcome.recipientText = request.recipientText;
    try {
        PieceLines lines(std::move(request.pieces));
        outcome.relayed = RelayThrough(request.account, request.systemName, request.timeoutMs,
                                       request.recipientText, lines);
    } catch (...) {
        // Out of memory and the like: the window shows the error text and lists nothing.
        outcome.failedWithError = true;
    }
    return outcome;
}

std::string LogLine(bool relayed, const std::string& mailbox, const std::string& currentSender,
                    const std::string& recipientText, std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char time[64];
    std::snprintf(time, sizeof(time), "%d-%d-%d %d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return std::string(relayed ? kRelayedPrefix : kFailedPrefix) + mailbox +
           "/From:" + currentSender + "/To:" + recipientText + "/Time:" + time;
}

} // namespace app
