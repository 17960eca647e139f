// The messages that failed for now and wait for their next attempt, each with its schedule
// (the rules are store/retry_schedule's: which failures count, how long between attempts,
// when a message's lifetime ends), and the send queue's view of them.
//
// Runs on the relay core's thread. Its retry check is a timer of the core's window
// (kRetryTimerId): the core hands the window's messages to HandleMessage, and when the check
// comes `due` runs, which takes the messages whose time has come.
#pragma once

#include "app/core/accounts.h"
#include "app/core/delivery.h"
#include "platform/message_loop.h"
#include "store/retry_schedule.h"
#include "store/spool.h"

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace app {

inline constexpr uintptr_t kRetryTimerId = 4;

// A message the send queue shows: one deferred for a retry, or a failed one kept for a
// resend.
struct QueuedMessage {
    bool failed = false;
    uint64_t id = 0; // a deferred message's number, or a failed one's record
    std::string spoolId;
    store::WallClock::time_point received;
    std::string sender, recipientText; // as the local client submitted them
    long long size = 0;                // its text's bytes (-1: unknown)
    int attempts = 0;                  // deferred: attempts that counted
    store::WallClock::time_point next; // deferred: when it is tried again
    std::string lastReason;
};

// What a spool file says of a queued message (`spool` may be null: nothing).
QueuedMessage QueuedFromSpool(const store::Spool* spool, const std::string& spoolId);

class DeferredMessages {
  public:
    using Request = std::shared_ptr<DeliveryRequest>;
    using Clock = std::function<store::WallClock::time_point()>;

    DeferredMessages(Clock clock, std::function<double()> jitter,
                     std::function<void(const std::string&)> journal,
                     std::chrono::milliseconds retryCheck)
        : clock_(std::move(clock)), jitter_(std::move(jitter)), journal_(std::move(journal)),
          retryCheck_(retryCheck) {}
    // `spool` may be null; before the first Defer.
    void Bind(std::shared_ptr<store::Spool> spool, platform::WindowHandle window) {
        spool_ = std::move(spool);
        window_ = window;
    }
    // The retry check: some messages may be due.
    std::function<void()> due;

    // A temporary failure that `policy` has tried again: kept with its next schedule (its
    // spool record too), the journal told; false when it is to fail now (not temporary,
    // retries off, or its lifetime ended, which its reason then says).
    bool DeferIfTemporary(DeliveryOutcome& outcome, const Request& request,
                          const RelayPolicy& policy, std::time_t now);
    // Waits for its schedule's next time (a message resumed from the spool, or one no worker
    // could take).
    void Wait(Request request);
    // The messages whose time has come, taken out.
    std::vector<Request> TakeDue();
    // A deferred message taken out, or null.
    Request Take(uint64_t messageId);
    // A deferred message deleted with its spool file; false when there is none.
    bool Delete(uint64_t messageId);
    size_t Count() const { return waiting_.size(); }
    // The send queue's deferred part, soonest first.
    std::vector<QueuedMessage> Queue() const;

    // One of the window's messages; true when it was the retry check's.
    bool HandleMessage(const platform::Message& message);

  private:
    void ArmCheck();

    Clock clock_;
    std::function<double()> jitter_;
    std::function<void(const std::string&)> journal_;
    std::chrono::milliseconds retryCheck_;
    std::shared_ptr<store::Spool> spool_;
    platform::WindowHandle window_ = 0;
    bool timerSet_ = false;
    // By their message number; each request holds its schedule.
    std::map<uint64_t, Request> waiting_;
};

} // namespace app
