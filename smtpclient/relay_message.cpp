// One message relayed over a session of its own or a kept one: the session steps of
// smtpsender.cpp in the order RelayMessage takes them, each recipient decided on its own.
#include "smtpclient/failure_class.h"
#include "smtpclient/protoutil.h"
#include "smtpclient/relay_sessions.h"
#include "smtpclient/smtpsender.h"

#include <algorithm>
#include <optional>
#include <sys/socket.h>

namespace smtpclient {

void SplitHostAndPort(const std::string& hostAndPort, std::string& host, std::string& port) {
    std::string text = protoutil::Trim(hostAndPort);
    std::string after;
    if (!text.empty() && text.front() == '[' && text.find(']') != std::string::npos) {
        size_t close = text.find(']');
        host = text.substr(1, close - 1);
        after = protoutil::Trim(protoutil::TextAfter(text.substr(close + 1), ":"));
        if (text.substr(close + 1).find(':') == std::string::npos) after.clear();
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        host = text; // a bare IPv6 literal: its colons are not a port separator
    } else {
        host = protoutil::Trim(protoutil::TextBefore(hostAndPort, ":"));
        after = protoutil::Trim(protoutil::TextAfter(hostAndPort, ":"));
        if (after == hostAndPort) after.clear();
    }
    port = !after.empty() ? after : "25";
}

namespace {
int SizeValue(long long size) {
    return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
}

// Added to the reason of a connection lost (or a reply not come) after the whole text went
// out: the one moment at which a retry may deliver a second copy (RFC 1047).
constexpr const char* kMayHaveCopy =
    "; the whole text had been sent, so the server may have kept the message and the retry "
    "may deliver a second copy";
// The largest text sent as one BDAT chunk with its envelope; a larger one goes as DATA. Held
// in memory by its worker for the write, and a text this size takes longer to send than
// the round trip it saves.
constexpr long long kMaxChunkedTextBytes = 128 * 1024;
} // namespace

int MessageSize(const TLineSource& lines) {
    return SizeValue(lines.Size());
}

bool TRelayReport::AllDelivered() const {
    return !recipients.empty() &&
           std::all_of(recipients.begin(), recipients.end(), [](const TRecipientOutcome& r) {
               return r.state == TRecipientOutcome::State::Delivered;
           });
}

std::vector<std::string> RecipientAddresses(const std::string& recipients) {
    std::vector<std::string> addresses;
    std::string rest = recipients;
    while (!rest.empty()) {
        std::string address =
            protoutil::ExtractAddress(protoutil::Trim(protoutil::TakeQuotedField(rest, ',', '"')));
        if (address.empty()) {
            if (addresses.empty()) break; // nothing yet: an empty field ends the list
            continue;
        }
        // The same address twice is one recipient: it gets the message once.
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
            addresses.push_back(std::move(address));
    }
    return addresses;
}

bool RelayMessage(const TRelayOptions& options, const std::string& sender,
                  const std::string& recipients, const std::string& hostAndPort,
                  const std::vector<std::string>& lines, const std::string& userName,
                  const std::string& password, std::string* failureReason,
                  TFailureClass* failureClass) {
    TVectorLineSource source(lines);
    return RelayMessage(options, sender, recipients, hostAndPort, source, userName, password,
                        failureReason, failureClass);
}

bool RelayMessage(const TRelayOptions& options, const std::string& sender,
                  const std::string& recipients, const std::string& hostAndPort, TLineSource& lines,
                  const std::string& userName, const std::string& password,
                  std::string* failureReason, TFailureClass* failureClass) {
    TRelayReport report;
    bool delivered =
        RelayMessage(options, sender, recipients, hostAndPort, lines, userName, password, report);
    if (delivered) return true;
    if (failureReason) *failureReason = report.reason;
    if (failureClass) *failureClass = report.failureClass;
    return false;
}

namespace {

// Unhooks a relay's control from the connection when the relay ends, also on errors.
struct ControlDetach {
    TRelayControl* control;
    void Release() {
        if (control) control->Detach();
        control = nullptr;
    }
    ~ControlDetach() { Release(); }
};

// Hooks this message's control to `socket`; a relay stopped already finds the connection shut.
void AttachControl(TRelayControl* control, blocksock::TBlockingSocket& socket) {
    if (control && !control->Attach(socket.Handle())) ::shutdown(socket.Handle(), SHUT_RDWR);
}

void PrepareForMessage(TSmtpSender& client, const TRelayOptions& options) {
    client.Timeout = options.TimeoutMs;
    client.FailureReason.clear();
    client.FailureClass = TFailureClass{};
    TRelayControl* control = options.Control;
    client.MayEndData = nullptr;
    if (control) client.MayEndData = [control] { return control->BeginEndOfData(); };
}

// A session counted as open to its upstream while a relay uses it: given back to be kept, or
// ended with the relay (also when the relay throws).
class SessionInUse {
  public:
    // `established`: a kept session, greeted long ago; a new one is established once greeted.
    SessionInUse(TRelaySessions* sessions, const TSessionKey& key, bool established)
        : sessions_(sessions), key_(key), established_(established) {}
    ~SessionInUse() {
        if (sessions_) sessions_->Ended(key_, established_);
    }
    // The new session's upstream has greeted it: from now on it counts as open there.
    void Established() {
        if (sessions_ && !established_) sessions_->Established(key_);
        established_ = true;
    }
    SessionInUse(const SessionInUse&) = delete;
    SessionInUse& operator=(const SessionInUse&) = delete;

    // A session that has carried its message: kept for the next one, without the hooks of
    // this one's caller, whose control does not outlive the call.
    void GiveBack(std::unique_ptr<TSmtpSender> client) {
        client->MayEndData = nullptr;
        client->Sock().OnAfterConnect = nullptr;
        sessions_->Give(key_, std::move(client));
        sessions_ = nullptr;
    }
    bool Keeps() const { return sessions_ != nullptr; }

  private:
    TRelaySessions* sessions_;
    const TSessionKey& key_;
    bool established_;
};

// The message's lines, noting whether any was taken: until then nothing of the text has gone
// out and the source can still be handed to another session.
class TTakenLines : public TLineSource {
  public:
    explicit TTakenLines(TLineSource& lines) : lines_(lines) {}
    long long Size() const override { return lines_.Size(); }
    bool Next(std::string& line) override {
        taken_ = true;
        return lines_.Next(line);
    }
    // Read back to its start, nothing of it is taken any more.
    bool Rewind() override {
        bool rewound = lines_.Rewind();
        taken_ = taken_ && !rewound;
        return rewound;
    }
    bool Taken() const { return taken_; }

  private:
    TLineSource& lines_;
    bool taken_ = false;
};

using State = TRecipientOutcome::State;

// The transactions that carry one message to its recipients over one session: each recipient
// decided on its own, those a server takes no more of in one transaction sent in the next.
class Transactions {
  public:
    enum class End {
        Usable, // every transaction ended with the server's reply to the text: keep it
        Closed, // a step failed: end the session
        Stale,  // a kept session failed before deciding anything: try a new session
    };

    Transactions(TSmtpSender& client, const std::string& sender, const std::string& recipientText,
                 TTakenLines& lines, TRelayReport& report)
        : client_(client), sender_(protoutil::ExtractAddress(sender)),
          recipientText_(recipientText), lines_(lines), report_(report),
          pipelined_(client.Pipelining()), chunking_(pipelined_ && client.Chunking()) {}

    // `kept`: the session carried an earlier message, and may have been ended by its
    // upstream meanwhile (closed, a 421, a limit of messages per session): a failure before
    // anything was decided or taken is then Stale, as the upstream holds nothing it would
    // deliver.
    End Run(std::vector<std::string> pending, bool kept) {
        if (pending.empty()) {
            if (!client_.SendMailFrom(sender_, SizeValue(lines_.Size())) && kept) return End::Stale;
            client_.FailWith("no recipient address in \"" + recipientText_ + "\"",
                             TClientFailure::NoRecipient);
            return End::Closed;
        }
        for (bool first = true; !pending.empty(); first = false) {
            if (!first && !lines_.Rewind()) {
                client_.FailWith("the text could not be read again for the recipients of a "
                                 "following transaction",
                                 TClientFailure::TextUnreadable);
                DecideByFailure(pending);
                return End::Closed;
            }
            std::optional<End> end = RunOne(pending, kept && first);
            if (end) return *end;
        }
        return End::Usable;
    }

  private:
    // One transaction for `pending`; afterwards `pending` holds those left for the next one.
    // An end when the session is to end now.
    std::optional<End> RunOne(std::vector<std::string>& pending, bool mayBeStale) {
        if (std::optional<End> end = SendEnvelope(pending, mayBeStale)) return end;
        if (!client_.ReadMailFromReply()) {
            if (pipelined_) DrainReplies(pending.size());
            if (mayBeStale && MayGoElsewhere()) return End::Stale;
            DecideByFailure(pending);
            return End::Closed;
        }
        RecipientReplies replies;
        if (std::optional<End> end = ReadRecipientReplies(pending, mayBeStale, replies)) return end;
        std::vector<std::string>& accepted = replies.accepted;
        // Every recipient refused for now, on a kept session: the upstream's limit of
        // messages per session answers so, and a new session gets them.
        if (accepted.empty() && mayBeStale && !replies.permanent && MayGoElsewhere())
            return End::Stale;
        if (accepted.empty()) {
            if (pipelined_) EndUnwantedText();
            Report(replies.refused);
            return End::Closed; // the transaction may stay open: QUIT ends it
        }
        if (!pipelined_) client_.SendCommands("DATA\r\n");
        bool sent = textOut_ ? client_.ReadLastChunkReply()
                             : client_.ReadDataReply() && client_.SendText(lines_);
        // A stale session's refusals are not reported: the new session asks again.
        if (!sent && mayBeStale && !textOut_ && MayGoElsewhere()) return End::Stale;
        Report(replies.refused);
        if (!sent) {
            std::string reason = client_.FailureReason;
            if (client_.EndOfDataSent && client_.Broken()) reason += kMayHaveCopy;
            accepted.insert(accepted.end(), replies.rest.begin(), replies.rest.end());
            Decide(accepted, Failure(), reason);
            return End::Closed;
        }
        for (const std::string& address : accepted)
            report_.recipients.push_back(TRecipientOutcome{address, State::Delivered, {}});
        pending = std::move(replies.rest);
        return std::nullopt;
    }

    // MAIL written, and when pipelined every RCPT and the DATA (or the text's one chunk) in
    // the same write. An end when the session is to end before any reply is read.
    std::optional<End> SendEnvelope(const std::vector<std::string>& pending, bool mayBeStale) {
        std::string commands = client_.MailFromCommand(sender_, SizeValue(lines_.Size()));
        // A kept session its upstream closed (or ended with a 421) while it was idle: nothing
        // is read or sent, a new session takes the message.
        if (chunking_ && mayBeStale && client_.Sock().WaitReadable(0)) return End::Stale;
        // With CHUNKING as well, a text of a few pages goes in the same write as its last
        // BDAT chunk (RFC 3030): one round trip a message instead of two.
        std::string chunk =
            chunking_ ? TSmtpSender::LastChunk(lines_, kMaxChunkedTextBytes) : std::string();
        textOut_ = !chunk.empty();
        if (pipelined_) {
            // MAIL, every RCPT and DATA in one write (RFC 2920): one round trip for the
            // envelope. The replies are read in order and each decided as one at a time is.
            for (const std::string& address : pending)
                commands += TSmtpSender::RcptToCommand(address);
            commands += textOut_ ? chunk : std::string("DATA\r\n");
        }
        if (textOut_ && client_.MayEndData && !client_.MayEndData()) {
            textOut_ = false; // kept back: nothing went out
            client_.FailWith("stopped before the end of the text", TClientFailure::Stopped);
            DecideByFailure(pending);
            return End::Closed;
        }
        client_.SendCommands(commands);
        return std::nullopt;
    }

    // What the RCPTs of one transaction were answered.
    struct RecipientReplies {
        std::vector<std::string> accepted;
        std::vector<std::string> rest;          // "too many recipients": for the next transaction
        std::vector<TRecipientOutcome> refused; // this transaction's, reported at its end
        bool permanent = false;                 // one of them was refused for good
    };

    // Each RCPT's reply (one at a time, each sent first, unless pipelined), decided on its
    // own. An end when the connection broke under them.
    std::optional<End> ReadRecipientReplies(const std::vector<std::string>& pending,
                                            bool mayBeStale, RecipientReplies& replies) {
        for (size_t i = 0; i < pending.size(); ++i) {
            if (!pipelined_) client_.SendCommands(TSmtpSender::RcptToCommand(pending[i]));
            if (client_.ReadRcptToReply(pending[i])) {
                replies.accepted.push_back(pending[i]);
                continue;
            }
            if (client_.Broken()) {
                if (mayBeStale && MayGoElsewhere()) return End::Stale;
                Report(replies.refused);
                std::vector<std::string> undecided = replies.accepted;
                undecided.insert(undecided.end(), pending.begin() + long(i), pending.end());
                DecideByFailure(undecided);
                return End::Closed;
            }
            if (ClassifyRecipientReply(client_.ResultCode, !replies.accepted.empty()) ==
                TRecipientReply::TooMany) {
                // One at a time the rest are not asked; pipelined, each has its own reply.
                if (!pipelined_) {
                    replies.rest.assign(pending.begin() + long(i), pending.end());
                    break;
                }
                replies.rest.push_back(pending[i]);
                continue;
            }
            TFailureClass failure = Failure();
            replies.permanent |= !failure.temporary;
            replies.refused.push_back(Outcome(pending[i], failure, client_.FailureReason));
        }
        return std::nullopt;
    }

    // After a refused MAIL, pipelined: the replies of the RCPTs and the DATA sent with it,
    // read so that none is taken for the answer to a later command.
    void DrainReplies(size_t recipients) {
        for (size_t i = 0; i < recipients && !client_.Broken(); ++i) client_.ReadReply();
        if (!client_.Broken()) EndUnwantedText();
    }
    // The reply to a pipelined DATA that no accepted recipient wants: a server that still
    // answers 354 gets the text ended at once (RFC 2920 3.1), which it refuses. A last BDAT
    // chunk is refused by such a server on its own.
    void EndUnwantedText() {
        if (textOut_) {
            client_.ReadReply();
            return;
        }
        if (client_.ReadReply() != 354) return;
        client_.SendCommands(".\r\n");
        client_.ReadReply();
    }

    TFailureClass Failure() const {
        return AfterAuthRefusal(client_.FailureClass, client_.AuthRefusalTemporary);
    }
    static TRecipientOutcome Outcome(const std::string& address, TFailureClass failure,
                                     const std::string& reason) {
        return TRecipientOutcome{address, failure.temporary ? State::Deferred : State::Refused,
                                 reason};
    }
    void Report(const std::vector<TRecipientOutcome>& outcomes) {
        report_.recipients.insert(report_.recipients.end(), outcomes.begin(), outcomes.end());
    }
    void Decide(const std::vector<std::string>& addresses, TFailureClass failure,
                const std::string& reason) {
        for (const std::string& address : addresses)
            report_.recipients.push_back(Outcome(address, failure, reason));
    }
    void DecideByFailure(const std::vector<std::string>& addresses) {
        Decide(addresses, Failure(),
               client_.FailureReason + (TextMayBeKept() ? kMayHaveCopy : std::string()));
    }
    // The text went out with the envelope and no reply came: the server may hold the message
    // (it may have answered the whole write at once and lost the connection after).
    bool TextMayBeKept() const { return textOut_ && client_.Broken(); }
    // Another session may take the message instead: this server holds none of it, and its
    // text can still be read from its start (a text in memory is read once).
    bool MayGoElsewhere() const { return !TextMayBeKept() && !lines_.Taken(); }

    TSmtpSender& client_;
    std::string sender_;
    const std::string& recipientText_;
    TTakenLines& lines_;
    TRelayReport& report_;
    bool pipelined_;       // the server takes the envelope's commands in one write
    bool chunking_;        // and the text in BDAT chunks
    bool textOut_ = false; // this transaction's text went out with its envelope
};

// The report's recipients in the order of the recipient text, its reason and class from
// them: each reason once, in order, after the refused AUTH that often explains them.
void Summarize(TRelayReport& report, const std::vector<std::string>& addresses,
               const TSmtpSender& client) {
    auto position = [&](const TRecipientOutcome& recipient) {
        return std::find(addresses.begin(), addresses.end(), recipient.address) - addresses.begin();
    };
    std::stable_sort(report.recipients.begin(), report.recipients.end(),
                     [&](const TRecipientOutcome& a, const TRecipientOutcome& b) {
                         return position(a) < position(b);
                     });
    std::vector<std::string> reasons;
    for (const TRecipientOutcome& recipient : report.recipients) {
        if (recipient.state == State::Delivered) continue;
        report.failureClass.temporary |= recipient.state == State::Deferred;
        if (std::find(reasons.begin(), reasons.end(), recipient.reason) == reasons.end())
            reasons.push_back(recipient.reason);
    }
    if (report.recipients.empty()) {
        reasons.push_back(client.FailureReason);
        report.failureClass.temporary = client.FailureClass.temporary;
    }
    report.reason.clear();
    if (reasons.empty()) return;
    if (!client.AuthRefusal.empty()) report.reason = client.AuthRefusal;
    for (const std::string& reason : reasons)
        report.reason += (report.reason.empty() ? "" : "; ") + reason;
}

// Every recipient decided alike: the session could not carry the message at all.
void DecideAll(TRelayReport& report, const std::vector<std::string>& addresses,
               const TSmtpSender& client) {
    TFailureClass failure = AfterAuthRefusal(client.FailureClass, client.AuthRefusalTemporary);
    for (const std::string& address : addresses)
        report.recipients.push_back(TRecipientOutcome{
            address, failure.temporary ? State::Deferred : State::Refused, client.FailureReason});
    report.failureClass.sessionRefused = client.FailureClass.sessionRefused;
    report.failureClass.signInNeeded = client.FailureClass.signInNeeded;
}

// A session that carried what it could: kept when it may carry another message, else ended.
void EndSession(std::unique_ptr<TSmtpSender> client, SessionInUse& inUse, Transactions::End end) {
    if (end != Transactions::End::Usable) {
        client->QuitBriefly();
        return;
    }
    if (inUse.Keeps())
        inUse.GiveBack(std::move(client));
    else
        client->CloseSession();
}

std::unique_ptr<TSmtpSender> NewClient(const TRelayOptions& options, const std::string& host,
                                       const std::string& port, const std::string& userName,
                                       const std::string& password) {
    auto client = std::make_unique<TSmtpSender>(options.SystemName);
    client->AutoTLS = options.AutoTLS;
    client->FullSSL = options.FullSSL;
    client->CredentialsOnlyEncrypted = options.CredentialsOnlyEncrypted;
    client->Sock().TlsLayer().VerifyCert = options.VerifyCert;
    client->Sock().TlsLayer().MinimumVersion = options.TlsMinimumVersion;
    client->Sock().TlsLayer().CertCAFile = options.TrustFile;
    // A new session to a server spoken to a moment ago resumes its TLS session: only under
    // the same server and the same checks of its certificate.
    client->Sock().TlsLayer().SessionCacheKey =
        UpstreamName(host, port) + "|" + (options.VerifyCert ? "verify" : "no-verify") + "|" +
        std::to_string(options.TlsMinimumVersion) + "|" + options.TrustFile;
    client->TargetHost = host;
    client->TargetPort = port;
    client->UserName = userName;
    client->Password = password;
    client->Secret = options.Secret;
    return client;
}

// The message over a kept session; false when the session was stale and a new one must be
// opened (the report is then empty).
bool RelayOverKept(std::unique_ptr<TSmtpSender> kept, const TRelayOptions& options,
                   SessionInUse& inUse, const std::string& sender, const std::string& recipients,
                   const std::vector<std::string>& addresses, TLineSource& lines,
                   TRelayReport& report) {
    PrepareForMessage(*kept, options);
    ControlDetach detach{options.Control};
    AttachControl(options.Control, kept->Sock());
    TTakenLines taken(lines);
    Transactions::End end =
        Transactions(*kept, sender, recipients, taken, report).Run(addresses, true);
    if (end == Transactions::End::Stale) {
        report = TRelayReport{};
        if (!options.Control || !options.Control->Stopped()) {
            kept->Sock().AbortConnection();
            return false;
        }
        // Stopped: no new session either.
        kept->FailWith("stopped before the end of the text", TClientFailure::Stopped);
        DecideAll(report, addresses, *kept);
        end = Transactions::End::Closed;
    }
    detach.Release();
    Summarize(report, addresses, *kept);
    EndSession(std::move(kept), inUse, end);
    return true;
}

} // namespace

bool RelayMessage(const TRelayOptions& options, const std::string& sender,
                  const std::string& recipients, const std::string& hostAndPort, TLineSource& lines,
                  const std::string& userName, const std::string& password, TRelayReport& report) {
    report = TRelayReport{};
    std::vector<std::string> addresses = RecipientAddresses(recipients);
    std::string host, port;
    SplitHostAndPort(hostAndPort, host, port);
    TRelaySessions* sessions = options.Sessions;
    TSessionKey key;
    if (sessions) key = TSessionKey::Of(options, host, port, userName, password);
    if (std::unique_ptr<TSmtpSender> kept = sessions ? sessions->Take(key) : nullptr) {
        SessionInUse inUse{sessions, key, true};
        if (RelayOverKept(std::move(kept), options, inUse, sender, recipients, addresses, lines,
                          report))
            return report.AllDelivered();
    }
    if (sessions) sessions->Opening(key);
    SessionInUse inUse{sessions, key, false};
    std::unique_ptr<TSmtpSender> client = NewClient(options, host, port, userName, password);
    PrepareForMessage(*client, options);
    TRelayControl* control = options.Control;
    // Attached once connected, so that a stop closes the connection under any wait.
    client->Sock().OnAfterConnect = [control](blocksock::TBlockingSocket* socket) {
        AttachControl(control, *socket);
    };
    ControlDetach detach{control};
    Transactions::End end = Transactions::End::Closed;
    if (client->OpenSession()) {
        inUse.Established();
        TTakenLines taken(lines);
        end = Transactions(*client, sender, recipients, taken, report).Run(addresses, false);
    } else {
        DecideAll(report, addresses, *client);
    }
    // Detached before the descriptor is closed: a stop must never reach a reused number.
    detach.Release();
    Summarize(report, addresses, *client);
    EndSession(std::move(client), inUse, end);
    return report.AllDelivered();
}

} // namespace smtpclient
