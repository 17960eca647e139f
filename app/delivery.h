// One delivery: what a worker is handed (copies, so nothing it reads can change under it),
// the send itself, and the log line the window writes when the outcome comes back.
#pragma once

#include "app/account_editor.h"
#include "app/slot_ring.h"

#include <ctime>
#include <functional>
#include <string>

namespace app {

struct DeliveryRequest {
    int slot = 0;
    std::string recipientText;
    StringList lines;
    AccountEditor account;  // the editor when the worker starts
    std::string systemName; // the EHLO/HELO name ("signon")
    int timeoutMs = 30000;
};

struct DeliveryOutcome {
    int slot = 0;
    std::string recipientText;
    bool relayed = false;
    bool failedWithError = false; // an exception, not a refusal: status text only
};

// The part of the recipient text before its first "@", or empty.
std::string SignOnName(const std::string& recipientText);
DeliveryRequest MakeRequest(CompletedMessage&& message, const AccountEditor& account,
                            int timeoutMs = 30000);

// Runs on the worker thread: one RelayMessage through the request's account.
DeliveryOutcome Deliver(const DeliveryRequest& request);

// Starts a worker for the request; `done` runs on the worker thread when it ends and must
// hand the outcome to the GUI thread. Throws when no thread can be started.
void StartDelivery(DeliveryRequest request, std::function<void(const DeliveryOutcome&)> done);

inline constexpr const char* kRelayedPrefix =
    "\xD3\xCA\xBC\xFE\xD7\xAA\xB7\xA2\xB3\xC9\xB9\xA6\xA3\xA1\xBE\xAD"; // 邮件转发成功！经
inline constexpr const char* kFailedPrefix =
    "\xD3\xCA\xBC\xFE\xD7\xAA\xB7\xA2\xCA\xA7\xB0\xDC\xA3\xA1\xBE\xAD"; // 邮件转发失败！经

// "<outcome><mailbox>/From:<sender>/To:<recipients>/Time:<yyyy-M-d H:mm:ss>" (GBK).
std::string LogLine(bool relayed, const std::string& mailbox, const std::string& currentSender,
                    const std::string& recipientText, std::time_t when);

} // namespace app
