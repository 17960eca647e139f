// The relay without its window: the inbound server, the slot ring, the account in force,
// the account selection at each MAIL and the deliveries. It runs on the thread that made it
// (the platform loop of that thread drives the server) and tells its owner what happened
// through hooks, which all run on that thread; a delivery worker never calls them.
#pragma once

#include "app/core/accounts.h"
#include "app/core/delivery.h"
#include "app/core/delivery_pool.h"
#include "app/core/slot_ring.h"
#include "app/core/spool.h"
#include "platform/message_loop.h"
#include "smtpclient/relay_sessions.h"
#include "smtpclient/smtpsender.h"
#include "smtpserver/smtp_server.h"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace app {

struct RelayCoreOptions {
    std::string srvAddr = "0.0.0.0";
    std::string srvPort = "Smtp";
    int relayTimeoutMs = 30000;
    size_t workers = DeliveryPool::WorkersForDescriptorLimit();
    // Whether a peer address is this machine; unset: loopback or an interface's address.
    std::function<bool(const std::string& address)> isLocalPeer;
    // Where a delivery's journal line goes; unset: standard error.
    std::function<void(const std::string& line)> journal;
    // The spool folder; empty: messages live in memory only (and are lost at an exit).
    std::string spoolFolder;
    // Free files the spool makes ahead in the background (Spool's filesAhead).
    size_t spoolFilesAhead = 0;
    // How long an exit waits for deliveries that had already sent their end of text.
    int shutdownGraceMs = 35000;
    // How long an upstream session is kept open after its last message.
    std::chrono::milliseconds keptSessionIdle = smtpclient::kKeptSessionIdle;
    // While a command delay began less than `busySpan` ago clients are being answered: an
    // outcome pass (and the drawing it leads to) then waits for the next delay to begin, at
    // most `quietWait`. A pass of a few milliseconds held up a reply whenever it fell between
    // a reply and the client's next command; a client sending one message after another is
    // idle only while its command waits out the delay.
    std::chrono::milliseconds busySpan{10};
    std::chrono::milliseconds quietWait{50};
};

class RelayCore {
  public:
    struct Hooks {
        // The account in force (the window's editor); unset: the core's own copy.
        std::function<Account()> readAccount;
        // A selection changed the account in force.
        std::function<void(const Account&)> writeAccount;
        // The account list as it stands now; unset: empty.
        std::function<StringList()> accountList;
        // Status panel 6 (UTF-8).
        std::function<void(const char* text)> status;
        // A delivery was handed its message: the recipients now being sent to.
        std::function<void(const std::string& recipientText)> sending;
        // Finished deliveries, in finishing order, one batch per pass of the loop.
        std::function<void(std::vector<DeliveryOutcome>& batch)> outcomes;
    };

    explicit RelayCore(RelayCoreOptions options = {});
    // Running deliveries are not waited for; their outcomes are dropped.
    ~RelayCore();
    RelayCore(const RelayCore&) = delete;
    RelayCore& operator=(const RelayCore&) = delete;

    Hooks hooks;

    smtpserver::TSmtpServer& Server() { return *server_; }
    SlotRing& Ring() { return ring_; }
    // Resets the ring and switches the server on (throws the socket layer's exception), then
    // hands on what an earlier run left in the spool.
    void Start();
    // Before an exit: no new sessions, deliveries that have not sent their end of text are
    // stopped (their messages stay spooled), the others are waited for up to the grace time
    // and reported; the spool is on disk afterwards.
    void Shutdown();
    // What the relay trusts; read from the settings before Start.
    void SetPolicy(const RelayPolicy& policy) { policy_ = policy; }
    const RelayPolicy& Policy() const { return policy_; }
    // The commands that provide accounts' secrets; read from the settings before Start.
    void SetCredentialCommands(CredentialCommands commands) { credentials_ = std::move(commands); }
    const CredentialCommands& Credentials() const { return credentials_; }

    // HELO: a peer that is not this machine is refused unless remote clients are allowed.
    void CheckPeer(asyncsock::TAsyncSocket* client, bool& shouldClose);

    // The server's three events.
    void MailFrom(asyncsock::TAsyncSocket* client, const std::string& address, std::string& answer);
    void MailTo(asyncsock::TAsyncSocket* client, const std::string& address, std::string& answer);
    void SendData(asyncsock::TAsyncSocket* client, bool lastPart, const std::string& msg);

    // The account selection for the current slot's sender (the hidden button "选择SMTP").
    void SelectAccountForCurrentSender();
    // Hands a completed message to the delivery pool with the account in force.
    void Deliver(CompletedMessage message, const std::string& spoolId = std::string());

    // Failed messages kept in the spool, by their failure-list line (GBK).
    struct Failure {
        std::string spoolId; // empty when the message itself could not be kept
        std::string reason;
    };
    const Failure* FailureOf(const std::string& logLine) const;
    // Sends a kept failed message again (through the account then in force); false when it
    // is no longer kept.
    bool Resend(const std::string& logLine);
    // Every kept failed message; how many went.
    size_t ResendAll();
    // Deletes a kept failed message; its line stays as a record.
    bool DeleteKept(const std::string& logLine);
    // Failed messages kept for a resend.
    size_t KeptFailures() const;
    Spool* SpoolOf() { return spool_.get(); }

    Account AccountInForce() const;
    void SetAccountInForce(const Account& account);
    const std::string& CurrentSender() const { return currentSender_; }
    const std::string& SignOn() const { return signon_; }
    // Deliveries handed over whose outcome has not been reported yet.
    size_t DeliveriesRunning() const { return running_; }
    size_t Workers() const { return pool_.MaxWorkers(); }
    // Upstream sessions open between messages.
    size_t KeptSessions() const { return sessions_->Kept(); }

  private:
    using Request = std::shared_ptr<DeliveryRequest>;
    // The delivery of a message with the account in force now (and the window told of it).
    Request Prepare(CompletedMessage message, const std::string& spoolId);
    // Hands a prepared delivery to the workers; throws as DeliveryPool::Submit does.
    void Submit(const Request& request);
    // The worker's job: relay, hand a relayed message back to the spool, queue the outcome.
    void SubmitToPool(const Request& request);
    // Hands over the messages accepted during this pass, at its end: their clients' "250 OK "
    // went out first, and waking a worker (and the spool's syncer) would otherwise put a
    // switch of threads before each of those replies.
    void SubmitAccepted();
    // Reports now, or once the pace allows when a pass ran less than the pace ago.
    void PaceOutcomes();
    // Reports now when no client is being answered, else at the next command delay's start.
    void ReportWhenQuiet(std::chrono::steady_clock::time_point now);
    // A command delay has begun (the server's event).
    void QuietMoment();
    void ReportNow();
    void ReportOutcomes();
    // While upstream sessions are kept, a sweep runs once per idle time: it closes, on a
    // worker, the sessions idle that long.
    void ArmSessionSweep();
    void SweepKeptSessions();
    void Record(DeliveryOutcome& outcome, const std::string& mailbox, std::time_t now);
    void ResumeSpooled();
    void SelectAccountFor(const std::string& sender);
    // Writes a data piece to the connection's spool file; the committed id at the last part
    // (empty without a spool). Throws ERefuseMessage when the message could not be kept.
    std::string SpoolPiece(asyncsock::TAsyncSocket* client, const std::string& sender,
                           const std::string& recipientText, bool lastPart,
                           const std::string& piece);

    RelayCoreOptions options_;
    RelayPolicy policy_;
    CredentialCommands credentials_;
    std::unique_ptr<smtpserver::TSmtpServer> server_;
    SlotRing ring_;
    Account account_;
    std::string currentSender_;
    std::string signon_ = "signon";
    size_t running_ = 0;
    platform::WindowHandle outcomeWindow_ = 0;
    std::chrono::steady_clock::time_point lastReport_{};
    bool paceTimerSet_ = false;
    // An outcome pass waiting for a command delay to begin, then posted to the end of the
    // pass in which one began.
    enum class Quiet { None, Waiting, Posted } quiet_ = Quiet::None;
    std::chrono::steady_clock::time_point lastDelayBegun_{};
    bool sweepTimerSet_ = false;
    // Shared with the workers, which relay over them and keep them.
    std::shared_ptr<smtpclient::TRelaySessions> sessions_ =
        std::make_shared<smtpclient::TRelaySessions>();
    // Shared with the workers, which hand relayed messages back to it.
    std::shared_ptr<Spool> spool_;
    // Connections whose message is being written to the spool; an empty id: it could not be.
    std::unordered_map<asyncsock::TAsyncSocket*, std::string> spooling_;
    // By failure-list line; several when equal lines failed within the same second.
    using FailureMap = std::unordered_multimap<std::string, Failure>;
    FailureMap failures_;
    FailureMap::iterator KeptFailure(const std::string& logLine);
    uint64_t nextSerial_ = 0;
    std::unordered_map<uint64_t, std::shared_ptr<smtpclient::TRelayControl>> inFlight_;
    // Prepared in this pass, handed to the workers at its end.
    std::vector<Request> accepted_;
    // Outcomes of finished deliveries; shared with the workers so that a late worker never
    // writes into a freed core.
    struct OutcomeQueue {
        std::mutex mutex;
        std::vector<DeliveryOutcome> outcomes;
    };
    std::shared_ptr<OutcomeQueue> finished_ = std::make_shared<OutcomeQueue>();
    DeliveryPool pool_;
};

} // namespace app
