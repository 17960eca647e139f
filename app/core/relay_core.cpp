#include "app/core/relay_core.h"

#include "app/core/local_peers.h"
#include "blocksock/sockapi.h"
#include "store/file_location.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace app {

namespace {
// The window's other messages and timers are the outcome pacer's.
constexpr uint32_t kAcceptedReady = platform::kWmUser + 101;
constexpr uintptr_t kSessionSweepTimer = 2;

void WriteToStandardError(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

// The IPv6 twin of an IPv4 listening address: local programs that reach "localhost" over
// ::1 first (as Node.js does) find the relay there too.
std::string Ipv6Beside(const std::string& address) {
    if (address == "0.0.0.0") return "::";
    if (address.rfind("127.", 0) == 0) return "::1";
    return std::string();
}

double RandomJitter() {
    static thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_real_distribution<double>(-1.0, 1.0)(generator);
}

} // namespace

RelayCore::RelayCore(RelayCoreOptions options)
    : options_(std::move(options)), files_(options_.folder),
      pacer_(options_.busySpan, options_.quietWait, [this] { ReportOutcomes(); }),
      scheduler_(options_.workers, static_cast<size_t>(RelayPolicy{}.maxSessions)) {
    outcomeWindow_ =
        platform::MessageLoop::Current().CreateHiddenWindow([this](const platform::Message& m) {
            if (pacer_.HandleMessage(m)) return;
            if (m.msg == kAcceptedReady) SubmitAccepted();
            if (deferred_.HandleMessage(m)) return;
            if (m.msg == platform::kWmTimer && m.wParam == kSpoolScanTimerId) {
                platform::MessageLoop::Current().KillTimer(outcomeWindow_, kSpoolScanTimerId);
                spoolScanSet_ = false;
                ScanSpool();
            }
            if (m.msg == platform::kWmTimer && m.wParam == kSessionSweepTimer) {
                platform::MessageLoop::Current().KillTimer(outcomeWindow_, kSessionSweepTimer);
                sweepTimerSet_ = false;
                SweepKeptSessions();
            }
        });
    pacer_.Bind(outcomeWindow_);
    if (!options_.isLocalPeer) options_.isLocalPeer = IsThisMachine;
    if (!options_.journal) options_.journal = WriteToStandardError;
    if (!options_.clock) options_.clock = [] { return store::WallClock::now(); };
    if (!options_.jitter) options_.jitter = RandomJitter;
    if (options_.spoolFolder.empty()) options_.spoolFolder = store::SpoolFolderOf(options_.folder);
    if (!options_.spoolFolder.empty())
        spool_ = std::make_shared<store::Spool>(options_.spoolFolder, options_.spoolFilesAhead);
    InboundServer::Listening listening;
    listening.address = options_.srvAddr;
    listening.address6 = options_.srvAddr6 ? *options_.srvAddr6 : Ipv6Beside(options_.srvAddr);
    listening.port = options_.srvPort;
    inbound_ = std::make_unique<InboundServer>(listening, spool_, HandOver());
    scheduler_.Bind(spool_, outcomeWindow_);
    recorder_.Bind(spool_);
    deferred_.Bind(spool_, outcomeWindow_);
    deferred_.due = [this] { RunDueRetries(); };
    recorder_.defer = [this](DeliveryOutcome& outcome, const Request& request, std::time_t now) {
        return deferred_.DeferIfTemporary(outcome, request, policy_, now);
    };
    recorder_.copied = [this](const std::string& spoolId) { knownSpoolIds_.insert(spoolId); };
    scheduler_.unstartable = [this](std::vector<Request> waiting) {
        // They wait among the deferred messages for the next retry check.
        for (Request& request : waiting) deferred_.Wait(std::move(request));
    };
}

InboundServer::HandOver RelayCore::HandOver() {
    InboundServer::HandOver handOver;
    handOver.peerAllowed = [this](const std::string& peer) {
        return policy_.remoteClients || options_.isLocalPeer(peer);
    };
    handOver.mailFrom = [this](const std::string& sender) {
        SetStatus(RelayStatus::Receiving);
        return SelectAccountFor(sender);
    };
    if (files_.Enabled())
        handOver.localName = [this](const std::string& name, std::string& answer) {
            return ResolveLocalName(name, answer);
        };
    handOver.accepted = [this](CompletedMessage message, const std::string& spoolId) {
        Accept(std::move(message), spoolId);
    };
    handOver.commandDelayed = [this] { pacer_.CommandDelayBegun(); };
    return handOver;
}

bool RelayCore::Listening() const {
    return inbound_->Active();
}

const std::string& RelayCore::Ipv6Problem() const {
    return inbound_->Ipv6Problem();
}

std::string RelayCore::SpoolProblem() const {
    return spool_ && !spool_->Ok() ? spool_->Problem() : std::string();
}

void RelayCore::SetReplyDelay(int ms) {
    inbound_->SetReplyDelay(ms);
}

std::string RelayCore::ListeningIpv6() const {
    return inbound_->ListeningIpv6();
}

RelayCore::~RelayCore() {
    inbound_.reset();
    platform::MessageLoop::Current().DestroyWindow(outcomeWindow_);
}

void RelayCore::Start() {
    inbound_->Start();
    ownPort_ = blocksock::ResolveServicePort(options_.srvPort, AF_UNSPEC, IPPROTO_TCP, SOCK_STREAM);
    ResumeSpooled();
}

void RelayCore::LoadAccount(const Account& account) {
    account_ = account;
    if (observers.accountChanged) observers.accountChanged(account_);
    ShowAccountSetUp();
}

void RelayCore::SetAccountInForce(const Account& account) {
    account_ = account;
    ShowAccountSetUp();
}

void RelayCore::LoadAccountList(StringList lines) {
    SetAccountList(std::move(lines));
    if (observers.accountListReplaced) observers.accountListReplaced();
}

void RelayCore::SetAccountList(StringList lines) {
    accountList_ = std::move(lines);
    ShowAccountSetUp();
}

bool RelayCore::SwitchAccount() {
    if (!app::SwitchAccount(accountList_, switchPosition_, account_)) return false;
    if (observers.accountChanged) observers.accountChanged(account_);
    ShowAccountSetUp();
    return true;
}

bool RelayCore::NoAccountSetUp() const {
    return accountList_.empty() && account_.host == kDefaultSmtpHost &&
           account_.mailbox == kDefaultMailbox;
}

void RelayCore::ShowAccountSetUp() {
    bool none = NoAccountSetUp();
    if (none && status_ == RelayStatus::None) SetStatus(RelayStatus::NoAccount);
    if (!none && status_ == RelayStatus::NoAccount) SetStatus(RelayStatus::None);
}

void RelayCore::SetStatus(RelayStatus status) {
    status_ = status;
    if (observers.statusChanged) observers.statusChanged(status);
}

void RelayCore::Accept(CompletedMessage message, const std::string& spoolId) {
    if (!spoolId.empty()) knownSpoolIds_.insert(spoolId);
    accepted_.push_back(Prepare(std::move(message), spoolId));
    // The loop's own post: it comes at the end of this pass, after the reply.
    if (accepted_.size() == 1)
        platform::MessageLoop::PostMessage(outcomeWindow_, kAcceptedReady, 0, 0);
}

void RelayCore::SubmitAccepted() {
    std::vector<Request> accepted;
    accepted.swap(accepted_);
    if (spool_) spool_->SyncSoon();
    for (const Request& request : accepted) Submit(request);
}

BoundAccount RelayCore::SelectAccountFor(const std::string& sender) {
    Account account = account_;
    // Published only when a line changed it: the owner rewrites what it shows, under a user
    // who may be typing there at that moment.
    if (SelectAccount(accountList_, sender, currentSender_, account) && !(account == account_)) {
        account_ = account;
        if (observers.accountChanged) observers.accountChanged(account_);
    }
    return BoundAccount{account_, currentSender_};
}

RelaySettings RelayCore::SettingsFor(const Account& account, const std::string& systemName) const {
    RelaySettings settings;
    settings.systemName = systemName;
    settings.timeoutMs = options_.relayTimeoutMs;
    settings.verifyCert = policy_.verifyCert;
    settings.tlsMinimumVersion = TlsVersionNumber(policy_.tlsMinimum);
    settings.ownPort = ownPort_;
    settings.credential = credentials_.For(account.mailbox);
    return settings;
}

void RelayCore::DeliverSlot(CompletedMessage message, const std::string& spoolId) {
    Submit(Prepare(std::move(message), spoolId));
}

RelayCore::Request RelayCore::Prepare(CompletedMessage message, const std::string& spoolId) {
    signon_ = SignOnName(message.recipientText);
    BoundAccount bound =
        message.bound ? std::move(*message.bound) : BoundAccount{account_, currentSender_};
    auto request =
        std::make_shared<DeliveryRequest>(MakeRequest(std::move(message), bound.account));
    request->listedSender = std::move(bound.listedSender);
    request->settings = SettingsFor(request->account, signon_);
    request->spoolId = spoolId;
    if (spool_ && !spoolId.empty() && request->pieces.empty())
        request->textPath = spool_->TextPath(spoolId);
    request->messageId = ++nextMessageId_;
    request->upstream = UpstreamOf(request->account);
    request->received = Now();
    return request;
}

void RelayCore::Submit(const Request& request) {
    if (observers.sending) observers.sending(request->recipientText);
    scheduler_.Submit(request);
}

void RelayCore::ReportOutcomes() {
    std::vector<DeliveryScheduler::Finished> finished = scheduler_.TakeFinished();
    if (finished.empty()) return;
    std::time_t now = std::time(nullptr);
    // What is published: an outcome per message, or per part of one whose recipients fared
    // differently; stopped deliveries are none (their messages wait for the next start).
    std::vector<DeliveryOutcome> batch;
    for (auto& [outcome, request] : finished)
        recorder_.Record(std::move(outcome), request, now, batch);
    if (!batch.empty()) {
        const DeliveryOutcome& last = batch.back();
        if (!last.relayed) lastFailureReason_ = last.reason;
        status_ = last.failedWithError ? RelayStatus::Error
                  : last.relayed       ? RelayStatus::Relayed
                  : last.deferred      ? RelayStatus::Deferred
                                       : RelayStatus::Failed;
        // One publication per pass: the owner renders the records, the status and the
        // counters once. A deferred outcome has no record: no line, no sound.
        if (observers.outcomes) observers.outcomes(batch);
        // The send queue changes only when a message is deferred or failed (a retry that went
        // out left it when it was sent).
        if (std::any_of(batch.begin(), batch.end(),
                        [](const DeliveryOutcome& outcome) { return !outcome.relayed; }))
            PublishQueue();
    }
    ArmSessionSweep();
}

void RelayCore::SweepKeptSessions() {
    if (scheduler_.KeptSessions() == 0) return;
    scheduler_.CloseIdleSessions(options_.keptSessionIdle);
    ArmSessionSweep();
}

void RelayCore::ArmSessionSweep() {
    if (sweepTimerSet_ || scheduler_.KeptSessions() == 0) return;
    auto idle = static_cast<uint32_t>(std::max<long>(1, options_.keptSessionIdle.count()));
    sweepTimerSet_ =
        platform::MessageLoop::Current().SetTimer(outcomeWindow_, kSessionSweepTimer, idle);
}

} // namespace app
