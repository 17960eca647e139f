// Outbound SMTP client over a blocking TCP socket: greeting, EHLO (or HELO), STARTTLS,
// AUTH CRAM-MD5 / LOGIN (PLAIN where neither is offered; OAUTHBEARER / XOAUTH2 for an access
// token), MAIL, RCPT, DATA, QUIT. Steps return true or false; network
// failures never throw, they leave the error on the socket and make the step false.
#pragma once

#include "blocksock/blocksock.h"
#include "smtpclient/failure_class.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace smtpclient {

class TProtocolClient {
  public:
    virtual ~TProtocolClient() = default;
    std::string TargetHost = "127.0.0.1";
    std::string TargetPort = "0";
    std::string IPInterface = "0.0.0.0";
    int Timeout = 5000; // ms per reply line
    std::string UserName;
    std::string Password;
};

// A message's lines, handed out one at a time (without their line ends). Size() is the SIZE
// value: every line plus CR LF, known before the first line is taken.
class TLineSource {
  public:
    virtual ~TLineSource() = default;
    virtual long long Size() const = 0;
    // The next line into `line`; false after the last.
    virtual bool Next(std::string& line) = 0;
    // Back to the first line, for the text of a following transaction (the recipients a
    // server took no more of in the first); false when the text cannot be read again.
    virtual bool Rewind() { return false; }
};

// Lines held in a vector, as the test send has them.
class TVectorLineSource : public TLineSource {
  public:
    explicit TVectorLineSource(const std::vector<std::string>& lines) : lines_(lines) {}
    long long Size() const override;
    bool Next(std::string& line) override;
    bool Rewind() override {
        next_ = 0;
        return true;
    }

  private:
    const std::vector<std::string>& lines_;
    size_t next_ = 0;
};

// What one fetch of a secret gave: the secret, or why there is none and whether that is for
// good (a sign-in revoked or expired: no retry can pass until the user signs in again).
struct TSecretFetch {
    std::string secret;
    std::string reason; // must not hold the secret
    bool forGood = false;
};

// A secret that is fetched when a session needs it instead of being stored: a password a
// keyring command prints, or an OAuth 2.0 access token a helper prints or a sign-in refreshes.
struct TSecretSource {
    enum class Kind { Password, BearerToken };
    Kind kind = Kind::Password;
    // What tells sessions apart: a kept session is reused only for the same source.
    std::string id;
    // Called once per authentication, only when a session is about to authenticate; false
    // fails the session with the fetch's reason.
    std::function<bool(TSecretFetch& fetched)> fetch;
    // Optional: told that the server refused the token it fetched. True when the source has
    // dropped it and a fresh one can be fetched: the session then authenticates once more.
    std::function<bool(const std::string& refusedSecret)> refused;
    explicit operator bool() const { return static_cast<bool>(fetch); }
};

class TSmtpSender : public TProtocolClient {
  public:
    // `systemName` is the name sent with EHLO/HELO.
    explicit TSmtpSender(std::string systemName);

    blocksock::TTcpBlockingSocket& Sock() { return *sock_; }
    int ResultCode = 0;
    std::string ResultString;
    std::vector<std::string> FullResult;
    std::vector<std::string> ESMTPcap;
    bool ESMTP = true;
    bool AuthDone = false;
    bool ESMTPSize = false;
    int MaxSize = 0;
    int EnhCode1 = 0, EnhCode2 = 0, EnhCode3 = 0;
    std::string SystemName;
    bool AutoTLS = false;
    bool FullSSL = false;
    bool CredentialsOnlyEncrypted = false; // as TRelayOptions::CredentialsOnlyEncrypted
    // Set: the password (or, for a token, the only credential) comes from it; `Password`
    // is then not used.
    TSecretSource Secret;
    // Why the last step that failed did: "<step> refused: <reply>" or "<step> failed:
    // <socket error> <text>". Empty while nothing failed.
    std::string FailureReason;
    // Whether that failure may pass when tried again later, and whether it was a new session
    // refused at its connect or greeting (failure_class.h).
    TFailureClass FailureClass;
    // A refused AUTH does not end the session; kept so a later failure can name it too.
    std::string AuthRefusal;
    // That refusal was a 4xx (454: the server could not check the password now): the failure
    // it leads to is temporary too.
    bool AuthRefusalTemporary = false;
    // The reply limit a reply of this session ran into (which ended the session), for the
    // reason; empty when none.
    std::string ReplyLimitHit;
    // The end of the last text went out: from then on the server may hold the message.
    bool EndOfDataSent = false;

    // What an upstream's reply may take (as a mail server's line-length and reply limits):
    // far above RFC 5321's 512-byte lines, far below what would cost memory or time.
    static constexpr int kMaxReplyLineBytes = 4096;
    static constexpr size_t kMaxReplyLines = 1000;
    // How long the reply to the end of the text may take, whatever the time-out of the other
    // replies (RFC 5321 4.5.3.2.6): a server scanning the text answers late, and a reply given
    // up on is a message the server may deliver while it is sent again.
    static constexpr int kFinalReplyTimeoutMs = 10 * 60 * 1000;
    // Reads one (possibly multi-line) reply within Timeout for the whole of it; the code
    // comes from its first line, 0 if none or if the reply did not end (a limit, a time-out
    // or an error cut it off: its code is never taken).
    int ReadReply();
    void ParseEnhancedCode(const std::string& line);
    // The first capability line beginning with `name` (ASCII case ignored), or empty.
    std::string FindCapability(const std::string& name) const;
    bool ConnectServer();
    bool SendEhlo();
    bool SendHelo();
    bool UpgradeTls();
    bool OpenSession();
    bool AuthenticateCramMd5();
    bool AuthenticateLogin();
    // RFC 4616, the credentials in the command's initial response.
    bool AuthenticatePlain();
    // RFC 7628 with the host and port in the message; a refusal's error challenge is
    // answered with the one byte the mechanism prescribes, and its final reply read.
    bool AuthenticateOAuthBearer(const std::string& token);
    // The XOAUTH2 form "user=...^Aauth=Bearer ...^A^A"; an error challenge gets the empty
    // response.
    bool AuthenticateXOAuth2(const std::string& token);
    bool SendMailFrom(const std::string& address, int size);
    // True for 250 and 251 ("will forward"): the recipient was accepted.
    bool SendRcptTo(const std::string& address);
    // The same steps cut in two, for a caller that sends several commands in one write
    // (PIPELINING, RFC 2920): the command lines, sent with SendCommands, and the readers of
    // their replies, which decide as the steps above do.
    std::string MailFromCommand(const std::string& address, int size) const;
    static std::string RcptToCommand(const std::string& address);
    void SendCommands(const std::string& lines) { Send(lines); }
    bool ReadMailFromReply();
    bool ReadRcptToReply(const std::string& address);
    // The reply to DATA: 354.
    bool ReadDataReply();
    // After a 354: the text, its end and the reply to it, as SendData sends them.
    bool SendText(TLineSource& lines);
    // The server takes commands in batches (its EHLO named PIPELINING).
    bool Pipelining() const;
    // The server takes the text in BDAT chunks (its EHLO named CHUNKING, RFC 3030).
    bool Chunking() const;
    // The text as one last BDAT chunk: the command line and the text's bytes, its lines as
    // SendText sends them but without dot-stuffing or an end line; `lines` is then read back
    // to its start where it can be. Empty (nothing read) when the text is over `limit` bytes.
    static std::string LastChunk(TLineSource& lines, long long limit);
    // After a last chunk went out (with SendCommands, once MayEndData allowed it): the reply
    // to the whole text, waited for and decided as the reply to the end of DATA's text.
    bool ReadLastChunkReply();
    // Lines are sent byte for byte with dot-stuffing, in chunks of under 1500 bytes. A line
    // holding a bare CR or LF is sent as the CR LF lines it stands for, so no upstream can
    // read "\n.\n" or "\r.\r" inside it as the end of the message. The first send that
    // fails (no byte taken for the socket's send time-out) ends the step; the reply to the
    // end of the text is waited for kFinalReplyTimeoutMs.
    bool SendData(const std::vector<std::string>& lines);
    bool SendData(TLineSource& lines);
    bool CloseSession();
    // A failure found by the client itself, not in a reply or on the socket: recorded as Fail
    // records one; returns false.
    bool FailWith(std::string reason, TClientFailure failure);
    // The last failed step left the connection unusable (a socket error, a reply limit).
    bool Broken() const;
    // Asked before the end of the text goes out; false keeps it back and fails the step.
    std::function<bool()> MayEndData;
    // After a failed step, or for a session left idle: QUIT with a short wait, or none when
    // the connection is already broken, so a dead upstream is decided within one time-out.
    void QuitBriefly();

  private:
    void Send(const std::string& text) { sock_->SendText(text); }
    // Sends a piece of the text; false (the step failed) when the socket failed.
    bool SendTextPiece(const std::string& piece);
    // Reads the reply to the end of the text within kFinalReplyTimeoutMs.
    int ReadFinalReply();
    void FillCapabilities();
    // Records why `step` failed (the reply, or the socket's error) and whether a later try
    // may pass, and returns false.
    bool Fail(const std::string& step);

    bool Greet();
    // False only when the session must end: a secret that could not be fetched, a token on
    // a connection without TLS. A refused or impossible AUTH leaves it going, unauthenticated.
    bool Authenticate();
    bool AuthenticateWithToken(const std::string& mechanisms);
    // A mechanism was tried and refused: kept as AuthRefusal for the reason of a later failure.
    void NoteAuthRefusal();
    // The fetched secret into `secret`; false with FailureReason set.
    bool FetchSecret(std::string& secret);
    // Sends an AUTH line and reads its reply; a 334 error challenge gets `abort` as the
    // response and its final reply is read. True for 235.
    bool SendAuthWithErrorChallenge(const std::string& command, const std::string& abort);
    // The EHLO/HELO name: SystemName when it is a host name, else the local address literal.
    std::string GreetingName() const;

    std::unique_ptr<blocksock::TTcpBlockingSocket> sock_;
    bool encrypted_ = false; // implicit TLS or a STARTTLS upgrade is in place
    bool greeted_ = false;   // the server's 220 came: the session was taken
};

// Lets another thread stop a relay. Until the end of the text is sent the upstream has
// nothing, so a stop closes the connection at once; from then on the upstream may already
// hold the message, so the relay runs to its reply and its outcome stays true.
class TRelayControl {
  public:
    // Any thread: the relay fails now unless its end of text is already out.
    void Stop();
    bool Stopped() const;

    // The relay's side. Attach: the connection exists (false when already stopped).
    bool Attach(int fd);
    // About to send the end of the text: false when stopped (nothing more is sent).
    bool BeginEndOfData();
    void Detach();

  private:
    mutable std::mutex mutex_;
    int fd_ = -1;
    bool stopped_ = false;
    bool endOfDataSent_ = false;
};

class TRelaySessions;

// What the caller's settings say, read at the moment of the call.
struct TRelayOptions {
    bool AutoTLS = false; // STARTTLS when the server offers it
    bool FullSSL = false; // implicit TLS from the first byte
    // A user name or password is sent only inside TLS (implicit or after STARTTLS); on a
    // plain connection the session goes on without AUTH. Set when the account's
    // authentication box is unticked: the user did not ask for a sign-in in clear.
    bool CredentialsOnlyEncrypted = false;
    // The lowest TLS version agreed to (the TLS plug-in's MinimumVersion): TLS 1.2 unless the
    // user chose TLS 1.0 for a legacy server.
    int TlsMinimumVersion = 0x0303;
    std::string SystemName; // the EHLO/HELO name
    int TimeoutMs = 30000;  // per reply line
    // The server's certificate must chain to a trusted authority and name the host.
    bool VerifyCert = true;
    // PEM authorities trusted instead of the system's store (empty: the system's).
    std::string TrustFile;
    // Set: the relay can be stopped through it (it must outlive the call).
    TRelayControl* Control = nullptr;
    // Set: the message goes over a session kept open there when one has the same settings,
    // and its session is kept there afterwards instead of being closed (it must outlive the
    // call). Unset: a session of its own, closed with QUIT.
    TRelaySessions* Sessions = nullptr;
    // Set: the secret is fetched from it for each new session that authenticates, and the
    // password argument is not used.
    TSecretSource Secret;
};

// How one recipient of a relay came out.
struct TRecipientOutcome {
    enum class State {
        Delivered, // the server took the message for it
        Refused,   // refused for good (a 5xx, a failure that would be the same again)
        Deferred,  // not this time (a 4xx, the network): tried again later, alone
    };
    std::string address;
    State state = State::Deferred;
    std::string reason; // why not; empty when delivered
};

// A relay's outcome for each recipient, and for the message as a whole.
struct TRelayReport {
    // In the order of the recipient text; empty when it named no address.
    std::vector<TRecipientOutcome> recipients;
    // Why not every recipient got it (each reason once, a refused AUTH before them); empty
    // when every one did.
    std::string reason;
    // Temporary when any recipient was deferred; sessionRefused when a new session was
    // refused at its connect or greeting.
    TFailureClass failureClass;
    bool AllDelivered() const;
};

// How long QUIT waits for its reply after a failed step.
inline constexpr int kQuitWaitAfterFailureMs = 3000;

// Letters, digits, hyphens and dots, not empty: a name every server takes after EHLO.
bool IsGreetingHostName(const std::string& name);

// Sends one message; true when the server accepted it. `hostAndPort` is host[:port] (port
// 25 when absent); `recipients` a comma-separated list whose quoted parts do not split.
// On failure `failureReason` (when given) receives why, a refused AUTH before it included,
// and `failureClass` (when given) whether a later try may pass.
bool RelayMessage(const TRelayOptions& options, const std::string& sender,
                  const std::string& recipients, const std::string& hostAndPort,
                  const std::vector<std::string>& lines, const std::string& userName,
                  const std::string& password, std::string* failureReason = nullptr,
                  TFailureClass* failureClass = nullptr);

// host[:port]: the port only when a colon stands there and something follows it, else "25".
// An IPv6 literal is written "[addr]" or "[addr]:port"; a text of several colons without
// brackets is an IPv6 literal on port 25.
void SplitHostAndPort(const std::string& hostAndPort, std::string& host, std::string& port);
// The name an upstream is counted by (its sessions, the relay's limit on them): "host:port",
// no brackets, the port as SplitHostAndPort gives it.
inline std::string UpstreamName(const std::string& host, const std::string& port) {
    return host + ":" + port;
}

// Message size as MAIL ... SIZE= counts it: every line plus CR LF.
int MessageSize(const TLineSource& lines);

// The same for a message handed out line by line.
bool RelayMessage(const TRelayOptions& options, const std::string& sender,
                  const std::string& recipients, const std::string& hostAndPort, TLineSource& lines,
                  const std::string& userName, const std::string& password,
                  std::string* failureReason = nullptr, TFailureClass* failureClass = nullptr);

// The same, each recipient decided on its own: 250 or 251 to RCPT accepts one, a refused one
// is refused (5xx) or deferred (4xx) alone while the others get the message, and the
// recipients a server takes no more of in one transaction (452, 552) go in the next at once,
// over the same session. No recipient is sent the message twice within a call. True when
// every recipient got it; `report` says what became of each.
bool RelayMessage(const TRelayOptions& options, const std::string& sender,
                  const std::string& recipients, const std::string& hostAndPort, TLineSource& lines,
                  const std::string& userName, const std::string& password, TRelayReport& report);

// The addresses of a recipient text, in order: each comma-separated field (quoted commas do
// not split), trimmed, the text inside "<" ">" when it has one. An empty first field ends the
// list; a later empty field is skipped.
std::vector<std::string> RecipientAddresses(const std::string& recipients);

} // namespace smtpclient
