// The relay without its window: the inbound server (InboundServer, which hands it each
// message accepted whole), the deliveries and the relay's state: the account in force, the
// account list, the success and failure records (RecordBook), the status and the failed
// messages kept for a resend, and the files that hold them. Its
// owner (the window) opens and saves the files through it, renders the state from what the
// core publishes and hands the user's edits to it as they happen; the core never asks its
// owner for anything. It runs on the thread that made it (the platform
// loop of that thread drives the server); every publication runs on that thread, and a
// delivery worker never calls one.
#pragma once

#include "app/core/accounts.h"
#include "app/core/deferred_messages.h"
#include "app/core/delivery.h"
#include "app/core/delivery_pool.h"
#include "app/core/delivery_scheduler.h"
#include "app/core/inbound_server.h"
#include "app/core/outcome_pacer.h"
#include "app/core/outcome_recorder.h"
#include "app/core/recipient_outcomes.h"
#include "app/core/record_book.h"
#include "app/core/records.h"
#include "app/core/relay_files.h"
#include "app/core/slot_ring.h"
#include "platform/message_loop.h"
#include "smtpclient/relay_sessions.h"
#include "smtpclient/smtpsender.h"
#include "store/aliases.h"
#include "store/retry_schedule.h"
#include "store/spool.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace app {

struct RelayCoreOptions {
    std::string srvAddr = "0.0.0.0";
    // The IPv6 address listened on beside srvAddr: unset, "::" beside "0.0.0.0", "::1" beside
    // a loopback address, none beside another; empty: none.
    std::optional<std::string> srvAddr6;
    std::string srvPort = "Smtp";
    int relayTimeoutMs = 30000;
    size_t workers = DeliveryPool::WorkersForDescriptorLimit();
    // Whether a peer address is this machine; unset: loopback or an interface's address.
    std::function<bool(const std::string& address)> isLocalPeer;
    // Where a delivery's journal line goes; unset: standard error.
    std::function<void(const std::string& line)> journal;
    // The files' folder (with its trailing "/"): the settings, the account list and the result
    // lists (OpenFiles, SaveFiles), and the spool's folder within it unless `spoolFolder`
    // says otherwise. Empty: no files.
    std::string folder;
    // Where the program lies, the second place the test send's sample message is looked for.
    std::string programDir;
    // The system's aliases, read after the folder's own for a RCPT to a local name.
    std::string systemAliases = store::kSystemAliases;
    // The spool folder; empty (and no `folder`): messages live in memory only (and are lost
    // at an exit).
    std::string spoolFolder;
    // Free files the spool makes ahead in the background (Spool's filesAhead): none for a
    // test's few messages, kBusySpoolFiles for the program.
    size_t spoolFilesAhead = 0;
    static constexpr size_t kBusySpoolFiles = store::Spool::kBusyFiles;
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
    // The wall clock the retry schedule reads; unset: the system's (tests move their own).
    std::function<store::WallClock::time_point()> clock;
    // Where a retry falls within its jitter, in [-1, 1]; unset: at random.
    std::function<double()> jitter;
    // How often the deferred messages are looked at for one that is due.
    std::chrono::milliseconds retryCheck{1000};
    // How often the spool is looked at for messages the sendmail command put there while
    // the relay runs (0: only at the start).
    std::chrono::milliseconds spoolScan{30000};
};

// The relay core's timer for the spool's new files (the retry check's is kRetryTimerId).
inline constexpr uintptr_t kSpoolScanTimerId = 5;

// What the status shows: the last of these wins.
enum class RelayStatus {
    None,        // nothing yet, or a test send has begun
    Receiving,   // a MAIL was accepted
    Relayed,     // the last delivery went out
    Failed,      // the upstream refused it or could not be reached
    Error,       // an error, not a refusal, ended it
    TestRelayed, // the test send went out
    TestFailed,
    TestError,
    NoAccount, // the placeholder account is in force and the account list is empty
    Deferred,  // the last delivery failed for now and will be tried again by itself
};

class RelayCore {
  public:
    // What changed, for the owner to render. Each may be unset.
    struct Observers {
        // Another account is in force: a selection at MAIL or a switch, never an edit the
        // owner made itself.
        std::function<void(const Account&)> accountChanged;
        std::function<void(RelayStatus)> statusChanged;
        // A delivery was handed its message: the recipients now being sent to.
        std::function<void(const std::string& recipientText)> sending;
        // A list was replaced whole (loaded, cleared, archived), not by the owner's edit.
        std::function<void(ListKind)> recordsReplaced;
        // Finished deliveries, in finishing order, one batch per pass of the loop, after
        // their records were appended and the status set. A listed outcome's recordId names
        // its record, the last of its list.
        std::function<void(const std::vector<DeliveryOutcome>& batch)> outcomes;
        // The send queue changed: a message was deferred, retried, failed for good, kept,
        // resent or deleted.
        std::function<void()> queueChanged;
        // The account list was replaced whole (read from its file), not by the owner's edit.
        std::function<void()> accountListReplaced;
    };

    explicit RelayCore(RelayCoreOptions options = {});
    // Running deliveries are not waited for; their outcomes are dropped.
    ~RelayCore();
    RelayCore(const RelayCore&) = delete;
    RelayCore& operator=(const RelayCore&) = delete;

    Observers observers;

    // Reads the folder's files into the relay (published): the settings (account in force,
    // policy, credential commands), the account list and the two result lists. The path of a
    // list that could not be read (those after it are left unread too), or empty. Nothing
    // unread is written over by SaveFiles.
    std::string OpenFiles();
    // A result list over its limit goes to its archive and starts empty (published); one
    // whose archive cannot be appended to keeps its lines.
    void ArchiveLongLists();
    // After Shutdown: the settings, then the success, failure and account lists, each whole.
    // The settings' path when it could not be written (nothing else is then written), or
    // empty.
    std::string SaveFiles();

    // Whether the server is listening (Start succeeded and Shutdown has not come).
    bool Listening() const;
    // The IPv6 address the server listens on too, or empty (none wanted, or IPv6 failed:
    // Ipv6Problem() says why).
    std::string ListeningIpv6() const;
    const std::string& Ipv6Problem() const;
    // Why the spool folder is not used, or empty (it is, or there is none).
    std::string SpoolProblem() const;
    // The spool's folder, or empty when messages live in memory only.
    const std::string& SpoolFolder() const { return options_.spoolFolder; }
    // The pause before each reply (what slows a client sending commands blindly); tests
    // set none.
    void SetReplyDelay(int ms);
    // Resets the ring and switches the server on (throws the socket layer's exception), then
    // hands on what an earlier run left in the spool.
    void Start();
    // Before an exit: no new sessions, deliveries that have not sent their end of text are
    // stopped (their messages stay spooled), the others are waited for up to the grace time
    // and reported; the spool is on disk afterwards.
    void Shutdown();
    // What the relay trusts; read from the settings before Start.
    void SetPolicy(const RelayPolicy& policy) {
        policy_ = policy;
        scheduler_.SetMaxSessions(static_cast<size_t>(policy.maxSessions));
    }
    const RelayPolicy& Policy() const { return policy_; }
    // How a relay through `account` is made under the policy and the commands in force: the
    // deliveries and the test send take it from here alone.
    RelaySettings SettingsFor(const Account& account, const std::string& systemName) const;
    // The commands that provide accounts' secrets; read from the settings before Start.
    void SetCredentialCommands(CredentialCommands commands) { credentials_ = std::move(commands); }
    const CredentialCommands& Credentials() const { return credentials_; }

    // Hands a completed message to the delivery pool, through its bound account or else the
    // account in force now.
    // Never throws for want of a worker: the message then waits among the deferred ones.
    void DeliverSlot(CompletedMessage message, const std::string& spoolId = std::string());

    // The account in force and the account list; Set* are the owner's edits (not published).
    const Account& AccountInForce() const { return account_; }
    void SetAccountInForce(const Account& account);
    // Put in force from the settings (published).
    void LoadAccount(const Account& account);
    const StringList& AccountList() const { return accountList_; }
    // Read from its file (published).
    void LoadAccountList(StringList lines);
    // The owner's edit: the list as now shown.
    void SetAccountList(StringList lines);
    // Only the settings' placeholder could send: every delivery would fail.
    bool NoAccountSetUp() const;
    // The next line of the list into force, round the list (published); false when empty.
    bool SwitchAccount();
    const std::string& CurrentSender() const { return currentSender_; }

    // The success and failure records.
    const RecordList& Records(ListKind kind) const { return records_.List(kind); }
    // The lists as read from their files (published).
    void LoadRecords(ListKind kind, const StringList& lines);
    // Both lists emptied (published); kept failed messages stay kept.
    void ClearRecords();
    // The owner's edit of a list: its lines as now shown, each with the record it came from.
    void EditRecords(ListKind kind, const std::vector<ShownLine>& shown);

    RelayStatus Status() const { return status_; }
    // Why the last failed delivery or test send failed.
    const std::string& LastFailureReason() const { return lastFailureReason_; }
    // The sample message the test send sends, or empty when there is none.
    std::string SampleMessagePath() const;
    // A test send is being asked for: the status says nothing until it ends (published).
    void BeginTestSend();
    // The test send: the sample message to `typedAddress` (GBK; trimmed and lowered here)
    // through the account in force, on a session of its own, blocking until its end. Its
    // outcome is journaled and its status published; nothing when an error, not a refusal,
    // ended it (the status says so).
    std::optional<DeliveryOutcome> TestSend(const std::string& typedAddress);

    // A failed message kept for a resend, by its failure record: sent again through the
    // account then in force; false when it is not (or no longer) kept.
    bool Resend(uint64_t recordId);
    // Every kept failed message, listed or not; how many went.
    size_t ResendAll();
    // Deletes the kept message of a failure record; the record stays.
    bool DeleteKept(uint64_t recordId);
    // Failed messages kept for a resend.
    size_t KeptFailures() const;

    // The send queue: the deferred messages, soonest first, then the kept failed ones.
    std::vector<QueuedMessage> Queue() const;
    // Messages deferred for a retry.
    size_t DeferredCount() const { return deferred_.Count(); }
    // A queued message tried again now (a failed one as Resend does); false when it is gone.
    bool RetryNow(const QueuedMessage& message);
    // A queued message deleted with its spool file; false when it is gone.
    bool DeleteQueued(const QueuedMessage& message);
    // Sends the deferred messages whose time has come (the retry timer's work).
    void RunDueRetries();
    // The sessions the relay now opens at once to an account's upstream at most.
    size_t SessionLimit(const Account& account) const {
        return scheduler_.Limit(UpstreamOf(account));
    }

    const std::string& SignOn() const { return signon_; }
    // Deliveries handed over whose outcome has not been reported yet.
    size_t DeliveriesRunning() const { return scheduler_.Running(); }
    size_t Workers() const { return scheduler_.Workers(); }
    // Upstream sessions open between messages.
    size_t KeptSessions() const { return scheduler_.KeptSessions(); }
    // The most connections the relay had open at once to an account's upstream, from before
    // each connect until its socket was closed.
    size_t PeakConnections(const Account& account) const {
        return scheduler_.PeakConnections(UpstreamOf(account));
    }

    using Request = DeliveryScheduler::Request;

  private:
    // Tests look inside (the ring's slots, the spool's files) through it.
    friend struct RelayCoreProbe;
    SlotRing& Ring() { return inbound_->Ring(); }
    store::Spool* SpoolOf() { return spool_.get(); }

    // The delivery of a message through its bound account (and its recipients published).
    Request Prepare(CompletedMessage message, const std::string& spoolId);
    // A new attempt of a delivery (its recipients published), to the scheduler.
    void Submit(const Request& request);
    // Before a retry: the account line its sender selects now, and the settings in force.
    void Rebind(const Request& request);
    // A message read back from the spool at a start, deferred until its record's time or
    // started now.
    void ResumeDeferred(const store::Envelope& envelope, const store::Spool::Entry& entry);
    store::WallClock::time_point Now() const { return options_.clock(); }
    void PublishQueue();
    // Hands over the messages accepted during this pass, at its end: their clients' "250 OK "
    // went out first, and waking a worker (and the spool's syncer) would otherwise put a
    // switch of threads before each of those replies.
    void SubmitAccepted();
    // The outcome pass: what the workers finished into the records, the spool and the
    // schedule, published as one batch (run when the pacer says).
    void ReportOutcomes();
    // While upstream sessions are kept, a sweep runs once per idle time: it closes, on a
    // worker, the sessions idle that long.
    void ArmSessionSweep();
    void SweepKeptSessions();
    void ResumeSpooled();
    // A message found in the spool (at the start, or by a scan): resumed, kept as failed, or
    // set aside when its file cannot be read.
    void ResumeEntry(const store::Spool::Entry& entry);
    // A spool file that is no message, listed in the send queue as failed.
    void KeepUnreadable(const std::string& spoolId, const std::string& reason);
    void ArmSpoolScan();
    // Picks up what appeared in the spool since the last look.
    void ScanSpool();
    // Selects the account for `sender` into force; what the selection bound.
    BoundAccount SelectAccountFor(const std::string& sender);
    void SetStatus(RelayStatus status);
    // The status says so while no account is set up, and stops saying so once one is.
    void ShowAccountSetUp();
    // A RCPT to a local name ("root"): the addresses its aliases (the folder's, then the
    // system's) or the mail domain give it, or none with `answer` the refusal saying how to
    // give it one. Read at each such RCPT, so that an edit of the file counts at once.
    std::vector<std::string> ResolveLocalName(const std::string& name, std::string& answer) const;
    // What the inbound server's transactions hand to the core.
    InboundServer::HandOver HandOver();
    // A message its client handed over whole: prepared now, submitted at the pass's end.
    void Accept(CompletedMessage message, const std::string& spoolId);

    RelayCoreOptions options_;
    RelayFiles files_;
    RelayPolicy policy_;
    CredentialCommands credentials_;
    Account account_;
    StringList accountList_;
    size_t switchPosition_ = 0;
    std::string currentSender_;
    RelayStatus status_ = RelayStatus::None;
    std::string lastFailureReason_;
    RecordBook records_;
    OutcomeRecorder recorder_{records_,
                              [this](const std::string& line) { options_.journal(line); }};
    std::string signon_ = "signon";
    uint16_t ownPort_ = 0;
    platform::WindowHandle outcomeWindow_ = 0;
    OutcomePacer pacer_;
    bool sweepTimerSet_ = false;
    // Shared with the workers, which hand relayed messages back to it.
    std::shared_ptr<store::Spool> spool_;
    // Every spool message this run knows of: a scan picks up the others.
    std::unordered_set<std::string> knownSpoolIds_;
    bool spoolScanSet_ = false;
    DeferredMessages deferred_{
        [this] { return options_.clock(); }, [this] { return options_.jitter(); },
        [this](const std::string& line) { options_.journal(line); }, options_.retryCheck};
    uint64_t nextMessageId_ = 0;
    // Prepared in this pass, handed to the workers at its end.
    std::vector<Request> accepted_;
    DeliveryScheduler scheduler_;
    // Made last and gone first: its transactions reach everything above.
    std::unique_ptr<InboundServer> inbound_;
};

} // namespace app
