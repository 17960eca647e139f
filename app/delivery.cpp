#include "app/delivery.h"

#include "platform/tick.h"
#include "smtpclient/smtpsender.h"

namespace app {

std::string SignOnName(const std::string& recipientText) {
    size_t at = recipientText.find('@');
    return at == std::string::npos ? std::string() : recipientText.substr(0, at);
}

DeliveryRequest MakeRequest(CompletedMessage&& message, const AccountEditor& account,
                            int timeoutMs) {
    DeliveryRequest request;
    request.slot = message.slot;
    request.recipientText = message.recipientText;
    request.lines = MessageLines(std::move(message.pieces));
    request.account = account;
    request.systemName = SignOnName(message.recipientText);
    request.timeoutMs = timeoutMs;
    return request;
}

DeliveryOutcome Deliver(const DeliveryRequest& request) {
    DeliveryOutcome outcome;
    outcome.slot = request.slot;
    outcome.recipientText = request.recipientText;
    try {
        smtpclient::TRelayOptions options;
        options.AutoTLS = request.account.CheckBox5;
        options.FullSSL = request.account.CheckBox4;
        options.SystemName = request.systemName;
        options.TimeoutMs = request.timeoutMs;
        outcome.relayed =
            smtpclient::RelayMessage(options, request.account.Edit1, request.recipientText,
                                     request.account.Edit5 + ":" + request.account.Edit14,
                                     request.lines, request.account.Edit7, request.account.Edit8);
    } catch (...) {
        // Out of memory and the like: the window shows the error text and lists nothing.
        outcome.failedWithError = true;
    }
    return outcome;
}

void StartDelivery(DeliveryRequest request, std::function<void(const DeliveryOutcome&)> done) {
    platform::StartDetachedThread(
        [request = std::move(request), done = std::move(done)] { done(Deliver(request)); });
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
