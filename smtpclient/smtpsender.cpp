#include "smtpclient/smtpsender.h"

#include "platform/tick.h"
#include "platform/wsa_numbers.h"
#include "smtpclient/codecs.h"
#include "smtpclient/protoutil.h"
#include "smtpclient/relay_sessions.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <sys/socket.h>

namespace smtpclient {

namespace {

// Decimal value of a whole text, `fallback` when it is not a number; a value past the
// largest int (a peer may send any number of digits) stays at the largest int.
int Number(const std::string& s, int fallback) {
    if (s.empty()) return fallback;
    long long v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return fallback;
        v = std::min<long long>(v * 10 + (c - '0'), std::numeric_limits<int>::max());
    }
    return static_cast<int>(v);
}

// The pieces of a message entry between line ends of any kind (CR LF, lone CR, lone LF).
std::vector<std::string> SplitAtLineEnds(const std::string& line) {
    std::vector<std::string> pieces;
    std::string piece;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\r' || c == '\n') {
            pieces.push_back(piece);
            piece.clear();
            if (c == '\r' && i + 1 < line.size() && line[i + 1] == '\n') ++i;
        } else {
            piece += c;
        }
    }
    pieces.push_back(piece);
    return pieces;
}

} // namespace

TSmtpSender::TSmtpSender(std::string systemName)
    : SystemName(std::move(systemName)), sock_(std::make_unique<blocksock::TTcpBlockingSocket>()) {
    sock_->ConvertLineEnd = true;
    sock_->MaxLineLength = kMaxReplyLineBytes;
    // Each read's time-out is the rest of the reply's, not renewed by every packet.
    sock_->InterPacketTimeout = false;
    sock_->TlsLayer().VerifyCert = true;
    Timeout = 30000;
    TargetPort = "25";
}

int TSmtpSender::ReadReply() {
    FullResult.clear();
    FullResult.shrink_to_fit(); // what a long reply took is not held by a kept session
    // The time-out is for the whole reply: a server that sends a byte a second must not
    // stretch a reply (or each of its lines) without end.
    uint32_t start = platform::TickCount();
    bool ended = false;
    for (;;) {
        int elapsed = static_cast<int>(platform::TickSpan(start, platform::TickCount()));
        std::string line = sock_->ReceiveLine(std::max(1, Timeout - elapsed));
        ResultString = line;
        FullResult.push_back(line);
        if (sock_->LastErrorCode() != 0) {
            if (sock_->LastErrorCode() == platform::kWsaENOBUFS)
                ReplyLimitHit =
                    "a reply line of more than " + std::to_string(kMaxReplyLineBytes) + " bytes";
            break;
        }
        if (line.find('-') != 3) {
            ended = true;
            break;
        }
        if (FullResult.size() >= kMaxReplyLines) {
            ReplyLimitHit = "a reply of more than " + std::to_string(kMaxReplyLines) + " lines";
            break;
        }
    }
    // What is left of an over-long reply would answer the next commands: the session ends.
    if (!ReplyLimitHit.empty()) sock_->AbortConnection();
    const std::string& first = FullResult.front();
    ResultCode = ended && first.size() >= 3 ? Number(first.substr(0, 3), 0) : 0;
    ParseEnhancedCode(ended ? first : std::string());
    return ResultCode;
}

void TSmtpSender::ParseEnhancedCode(const std::string& line) {
    EnhCode1 = EnhCode2 = EnhCode3 = 0;
    std::string rest = line.size() > 4 ? line.substr(4) : std::string();
    std::string head = protoutil::Trim(protoutil::TextBefore(rest, "."));
    rest = protoutil::Trim(protoutil::TextAfter(rest, "."));
    int first = Number(head, 0);
    if (head.size() != 1 || first == 0) return;
    head = protoutil::Trim(protoutil::TextBefore(rest, "."));
    rest = protoutil::Trim(protoutil::TextAfter(rest, "."));
    if (head.empty() || head.size() > 3) return;
    int second = Number(head, 0);
    head = protoutil::Trim(protoutil::TextBefore(rest, " "));
    if (head.empty() || head.size() > 3) return;
    EnhCode1 = first;
    EnhCode2 = second;
    EnhCode3 = Number(head, 0);
}

std::string TSmtpSender::FindCapability(const std::string& name) const {
    std::string wanted = platform::AsciiUpper(name);
    for (const std::string& line : ESMTPcap)
        if (platform::AsciiUpper(line).compare(0, wanted.size(), wanted) == 0) return line;
    return std::string();
}

bool TSmtpSender::Fail(const std::string& step) {
    // Only the connect and the greeting decide whether the upstream took a new session.
    bool opening = step == "greeting" || step.rfind("connect to ", 0) == 0;
    FailureClass = TFailureClass{};
    if (!ReplyLimitHit.empty()) {
        // A server that breaks the protocol's bounds is broken, not busy.
        FailureReason = step + " failed: the server sent " + ReplyLimitHit + " (the limit)";
        return false;
    }
    int code = sock_->LastErrorCode();
    if (code != 0) {
        FailureReason = step + " failed: " + std::to_string(code) + " " + sock_->LastErrorText();
        FailureClass.temporary = IsTemporarySocketError(code, sock_->LastErrorText());
        FailureClass.sessionRefused = opening && IsSessionRefusal(code);
        return false;
    }
    std::string reply;
    for (const std::string& line : FullResult) reply += (reply.empty() ? "" : " / ") + line;
    FailureReason = step + " refused: " + reply;
    FailureClass.temporary = IsTemporaryReply(ResultCode);
    FailureClass.sessionRefused = opening && FailureClass.temporary;
    return false;
}

bool TSmtpSender::FailWith(std::string reason, bool temporary) {
    FailureReason = std::move(reason);
    FailureClass = TFailureClass{temporary, false};
    return false;
}

bool TSmtpSender::ConnectServer() {
    sock_->CloseConnection();
    encrypted_ = false;
    sock_->TlsLayer().TimeoutMs = Timeout;
    sock_->BindLocal(IPInterface, "0");
    if (sock_->LastErrorCode() != 0) return Fail("bind to " + IPInterface);
    sock_->ConnectTo(TargetHost, TargetPort);
    if (sock_->LastErrorCode() != 0)
        return Fail("connect to " + TargetHost + " port " + TargetPort);
    if (!FullSSL) return true;
    sock_->StartTlsClient();
    encrypted_ = sock_->LastErrorCode() == 0;
    return encrypted_ || Fail("TLS handshake");
}

bool IsGreetingHostName(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
    return true;
}

std::string TSmtpSender::GreetingName() const {
    if (IsGreetingHostName(SystemName)) return SystemName;
    // An address literal is the one name RFC 5321 lets a client use when it has no valid one.
    std::string address = sock_->LocalAddressText();
    return sock_->LocalSin().Family() == AF_INET6 ? "[IPv6:" + address + "]" : "[" + address + "]";
}

bool TSmtpSender::SendEhlo() {
    Send("EHLO " + GreetingName() + "\r\n");
    int code = ReadReply();
    return code >= 250 && code <= 259;
}

bool TSmtpSender::SendHelo() {
    Send("HELO " + GreetingName() + "\r\n");
    int code = ReadReply();
    return code >= 250 && code <= 259;
}

void TSmtpSender::FillCapabilities() {
    ESMTPcap.clear();
    for (size_t i = 1; i < FullResult.size(); ++i)
        ESMTPcap.push_back(FullResult[i].size() > 4 ? FullResult[i].substr(4) : std::string());
}

bool TSmtpSender::UpgradeTls() {
    if (FindCapability("STARTTLS").empty()) return false;
    Send("STARTTLS\r\n");
    if (ReadReply() != 220 || sock_->LastErrorCode() != 0) return Fail("STARTTLS");
    if (!sock_->ReadAhead.empty()) {
        // Bytes after the 220 came in plain text before the handshake: read as replies inside
        // TLS they would answer our next commands (an injection, or a broken server).
        size_t injected = sock_->ReadAhead.size();
        sock_->ReadAhead.clear();
        return FailWith("STARTTLS failed: " + std::to_string(injected) +
                            " bytes came after the server's 220, before the TLS handshake; TLS "
                            "not started, nothing more sent",
                        false);
    }
    sock_->StartTlsClient();
    encrypted_ = sock_->LastErrorCode() == 0;
    return encrypted_ || Fail("TLS handshake");
}

bool TSmtpSender::Greet() {
    if (ReadReply() != 220) return Fail("greeting");
    if (!SendEhlo()) {
        if (sock_->LastErrorCode() != 0 || !ReplyLimitHit.empty()) return Fail("EHLO");
        ESMTP = false;
        if (!SendHelo()) return Fail("HELO");
    }
    return true;
}

bool TSmtpSender::OpenSession() {
    ESMTP = true;
    AuthDone = false;
    ESMTPcap.clear();
    ESMTPSize = false;
    MaxSize = 0;
    FailureReason.clear();
    FailureClass = TFailureClass{};
    AuthRefusal.clear();
    AuthRefusalTemporary = false;
    ReplyLimitHit.clear();
    if (!ConnectServer() || !Greet()) return false;
    if (!ESMTP) return true;
    FillCapabilities();
    bool credentials = !UserName.empty() || !Password.empty() || static_cast<bool>(Secret);
    if (!FullSSL && AutoTLS) {
        if (!FindCapability("STARTTLS").empty()) {
            if (!UpgradeTls()) return false;
            SendEhlo(); // the reply code is not examined, only the capabilities it lists
            FillCapabilities();
        } else if (credentials) {
            // Asked for TLS and not offered it: a path that strips STARTTLS must not get the
            // password (LOGIN is only base64 of it).
            return FailWith(
                "STARTTLS not offered by the server: credentials not sent in clear text", false);
        }
    }
    if (credentials && CredentialsOnlyEncrypted && !encrypted_) credentials = false;
    if (credentials && !Authenticate()) return false;
    std::string size = FindCapability("SIZE");
    if (!size.empty()) {
        ESMTPSize = true;
        MaxSize = Number(size.size() > 5 ? size.substr(5) : std::string(), 0);
    }
    return true;
}

namespace {

// Whether an AUTH capability line (upper-cased) names `mechanism` as a word of its own, so
// that PLAIN is not found in PLAIN-CLIENTTOKEN.
bool Lists(const std::string& mechanisms, const std::string& mechanism) {
    for (size_t at = mechanisms.find(mechanism); at != std::string::npos;
         at = mechanisms.find(mechanism, at + 1)) {
        size_t end = at + mechanism.size();
        bool starts = at == 0 || mechanisms[at - 1] == ' ' || mechanisms[at - 1] == '=';
        if (starts && (end == mechanisms.size() || mechanisms[end] == ' ')) return true;
    }
    return false;
}

} // namespace

bool TSmtpSender::Authenticate() {
    std::string auth = FindCapability("AUTH ");
    if (auth.empty()) auth = FindCapability("AUTH=");
    auth = platform::AsciiUpper(auth);
    if (Secret && Secret.kind == TSecretSource::Kind::BearerToken)
        return AuthenticateWithToken(auth);
    if (auth.empty()) return true;
    bool cram = auth.find("CRAM-MD5") != std::string::npos;
    bool login = auth.find("LOGIN") != std::string::npos;
    // PLAIN only where neither of the others is offered: wherever one is, the choice stays
    // as it always was, and a refused password is never tried a third time (servers lock
    // accounts after repeated failures).
    bool plain = !cram && !login && Lists(auth, "PLAIN");
    if (!cram && !login && !plain) {
        AuthRefusal = "AUTH not sent: no CRAM-MD5, LOGIN or PLAIN among \"" + auth + "\"";
        return true;
    }
    if (Secret && !FetchSecret(Password)) return false;
    if (cram) AuthDone = AuthenticateCramMd5();
    if (!AuthDone && login) AuthDone = AuthenticateLogin();
    if (!AuthDone && plain) AuthDone = AuthenticatePlain();
    if (Secret) Password.clear(); // a fetched secret is not kept beyond its use
    if (!AuthDone) NoteAuthRefusal();
    return true;
}

void TSmtpSender::NoteAuthRefusal() {
    // The session goes on without authentication; a later refusal is often its consequence.
    Fail("AUTH");
    AuthRefusal = FailureReason;
    AuthRefusalTemporary = FailureClass.temporary;
    FailureReason.clear();
    FailureClass = TFailureClass{};
}

bool TSmtpSender::AuthenticateWithToken(const std::string& auth) {
    // A bearer token is as good as the password to whoever reads it: never in clear text.
    if (!encrypted_)
        return FailWith("OAuth token not sent: the connection to the server is not encrypted "
                        "(tick SSL, or TLS for a server that offers STARTTLS)",
                        false);
    if (auth.empty()) return true;
    bool bearer = Lists(auth, "OAUTHBEARER");
    if (!bearer && !Lists(auth, "XOAUTH2")) {
        AuthRefusal = "AUTH not sent: no OAUTHBEARER or XOAUTH2 among \"" + auth + "\"";
        return true;
    }
    std::string token;
    if (!FetchSecret(token)) return false;
    AuthDone = bearer ? AuthenticateOAuthBearer(token) : AuthenticateXOAuth2(token);
    if (!AuthDone) NoteAuthRefusal();
    return true;
}

bool TSmtpSender::FetchSecret(std::string& secret) {
    std::string reason;
    if (Secret.fetch(secret, reason)) return true;
    // A keyring still locked after a log-in, a token service out of reach: tried again later;
    // the message's lifetime bounds a command that never works.
    return FailWith(reason.empty() ? "the secret could not be fetched" : reason, true);
}

bool TSmtpSender::AuthenticatePlain() {
    std::string credentials = std::string(1, '\0') + UserName + '\0' + Password;
    Send("AUTH PLAIN " + codecs::Base64Encode(credentials) + "\r\n");
    int code = ReadReply();
    // A server that ignores the initial response prompts for it instead.
    if (code == 334) {
        Send(codecs::Base64Encode(credentials) + "\r\n");
        code = ReadReply();
    }
    return code == 235;
}

bool TSmtpSender::SendAuthWithErrorChallenge(const std::string& command, const std::string& abort) {
    Send(command + "\r\n");
    int code = ReadReply();
    if (code == 334) {
        // The error challenge: the exchange is ended as the mechanism prescribes, and the
        // final reply (a 5xx) is what the reason shows.
        Send(abort + "\r\n");
        code = ReadReply();
    }
    return code == 235;
}

namespace {

// Between the key-value pairs of both OAuth messages (^A).
constexpr char kOAuthSeparator = '\x01';

// An authorization identity as RFC 5801 writes it in a GS2 header.
std::string SaslName(const std::string& name) {
    std::string escaped;
    for (char c : name) {
        if (c == ',')
            escaped += "=2C";
        else if (c == '=')
            escaped += "=3D";
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

bool TSmtpSender::AuthenticateOAuthBearer(const std::string& token) {
    std::string authzid = UserName.empty() ? std::string() : "a=" + SaslName(UserName);
    const std::string sep(1, kOAuthSeparator);
    std::string message = "n," + authzid + "," + sep + "host=" + TargetHost + sep +
                          "port=" + TargetPort + sep + "auth=Bearer " + token + sep + sep;
    return SendAuthWithErrorChallenge("AUTH OAUTHBEARER " + codecs::Base64Encode(message),
                                      codecs::Base64Encode(sep));
}

bool TSmtpSender::AuthenticateXOAuth2(const std::string& token) {
    const std::string sep(1, kOAuthSeparator);
    std::string message = "user=" + UserName + sep + "auth=Bearer " + token + sep + sep;
    return SendAuthWithErrorChallenge("AUTH XOAUTH2 " + codecs::Base64Encode(message), "");
}

bool TSmtpSender::AuthenticateLogin() {
    Send("AUTH LOGIN\r\n");
    if (ReadReply() != 334) return false;
    Send(codecs::Base64Encode(UserName) + "\r\n");
    if (ReadReply() != 334) return false;
    Send(codecs::Base64Encode(Password) + "\r\n");
    return ReadReply() == 235;
}

bool TSmtpSender::AuthenticateCramMd5() {
    Send("AUTH CRAM-MD5\r\n");
    if (ReadReply() != 334) return false;
    std::string challenge =
        codecs::Base64Decode(ResultString.size() > 4 ? ResultString.substr(4) : std::string());
    std::string response = UserName + " " + codecs::HexLower(codecs::HmacMd5(challenge, Password));
    Send(codecs::Base64Encode(response) + "\r\n");
    return ReadReply() == 235;
}

bool TSmtpSender::SendMailFrom(const std::string& address, int size) {
    std::string command = "MAIL FROM:<" + address + ">";
    if (ESMTPSize && size > 0) command += " SIZE=" + std::to_string(size);
    Send(command + "\r\n");
    return ReadReply() == 250 || Fail("MAIL FROM");
}

bool TSmtpSender::SendRcptTo(const std::string& address) {
    Send("RCPT TO:<" + address + ">\r\n");
    return ReadReply() == 250 || Fail("RCPT TO:<" + address + ">");
}

long long TVectorLineSource::Size() const {
    long long size = 0;
    for (const std::string& line : lines_) size += static_cast<long long>(line.size()) + 2;
    return size;
}

bool TVectorLineSource::Next(std::string& line) {
    if (next_ >= lines_.size()) return false;
    line = lines_[next_++];
    return true;
}

bool TSmtpSender::SendData(const std::vector<std::string>& lines) {
    TVectorLineSource source(lines);
    return SendData(source);
}

bool TSmtpSender::SendData(TLineSource& lines) {
    Send("DATA\r\n");
    if (ReadReply() != 354) return Fail("DATA");
    std::string chunk;
    // Each line goes straight into the chunk: a copy per line was an allocation per line.
    auto append = [&](const std::string& piece) {
        bool dotted = !piece.empty() && piece[0] == '.';
        if (chunk.size() + piece.size() + (dotted ? 1 : 0) >= 1500) {
            Send(chunk);
            chunk.clear();
        }
        if (dotted) chunk += '.';
        chunk += piece;
        chunk += "\r\n";
    };
    for (std::string line; lines.Next(line);) {
        if (line.find_first_of("\r\n") == std::string::npos)
            append(line);
        else
            for (const std::string& piece : SplitAtLineEnds(line)) append(piece);
    }
    if (!chunk.empty()) Send(chunk);
    if (MayEndData && !MayEndData()) {
        FailureReason = "stopped before the end of the text";
        return false;
    }
    Send(".\r\n");
    return ReadReply() == 250 || Fail("end of data");
}

bool TSmtpSender::CloseSession() {
    Send("QUIT\r\n");
    bool ok = ReadReply() == 221;
    sock_->CloseConnection();
    return ok;
}

void TSmtpSender::QuitBriefly() {
    if (sock_->Handle() == -1 || sock_->LastErrorCode() != 0) {
        sock_->CloseConnection(); // with an error set it closes without waiting for input
        return;
    }
    int timeout = Timeout;
    Timeout = std::min(Timeout, kQuitWaitAfterFailureMs);
    CloseSession();
    Timeout = timeout;
}

void TRelayControl::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    // Wakes the relay from any wait on the socket; the descriptor stays the relay's to close.
    if (fd_ != -1 && !endOfDataSent_) ::shutdown(fd_, SHUT_RDWR);
}

bool TRelayControl::Stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

bool TRelayControl::Attach(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = fd;
    endOfDataSent_ = false;
    return !stopped_;
}

bool TRelayControl::BeginEndOfData() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return false;
    endOfDataSent_ = true;
    return true;
}

void TRelayControl::Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = -1;
}

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
} // namespace

int MessageSize(const std::vector<std::string>& lines) {
    return SizeValue(TVectorLineSource(lines).Size());
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

namespace {

// RCPT for each address of the list; true when every one was accepted.
bool SendRecipients(TSmtpSender& client, const std::string& recipients) {
    bool accepted = false;
    std::string rest = recipients;
    while (!rest.empty()) {
        std::string address =
            protoutil::ExtractAddress(protoutil::Trim(protoutil::TakeQuotedField(rest, ',', '"')));
        if (address.empty()) {
            if (!accepted) break; // nothing accepted yet: an empty field ends the list
            continue;
        }
        accepted = client.SendRcptTo(address);
        if (!accepted) return false;
    }
    if (!accepted) client.FailWith("no recipient address in \"" + recipients + "\"", false);
    return accepted;
}

} // namespace

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
    TRelayControl* control = options.Control;
    client.MayEndData = nullptr;
    if (control) client.MayEndData = [control] { return control->BeginEndOfData(); };
}

bool SendEnvelopeSender(TSmtpSender& client, const std::string& sender, TLineSource& lines) {
    return client.SendMailFrom(protoutil::ExtractAddress(sender), SizeValue(lines.Size()));
}

bool SendRecipientsAndText(TSmtpSender& client, const std::string& recipients, TLineSource& lines) {
    return SendRecipients(client, recipients) && client.SendData(lines);
}

// After a failed step: the session ends and the caller learns why.
bool FailedRelay(TSmtpSender& client, std::string* failureReason, TFailureClass* failureClass) {
    client.QuitBriefly();
    if (failureReason) {
        const std::string& auth = client.AuthRefusal;
        *failureReason = auth.empty() ? client.FailureReason : auth + "; " + client.FailureReason;
    }
    if (failureClass) {
        *failureClass = client.FailureClass;
        // A refusal that followed a sign-in the server could not check now (454) passes once
        // the server can.
        failureClass->temporary |= client.AuthRefusalTemporary;
    }
    return false;
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
    bool Taken() const { return taken_; }

  private:
    TLineSource& lines_;
    bool taken_ = false;
};

enum class KeptOutcome { Relayed, Failed, Stale };

// A message over a kept session. A kept session can fail where a new one would not: the
// upstream has closed or reset it meanwhile, ended it with a 421, or limits the messages a
// session may carry (a 4xx to MAIL, RCPT or DATA). Any failure before the text is taken is
// Stale: the upstream holds nothing it would deliver, as it delivers only after the end of
// the text, so the message goes over a new session instead and is still sent once. A failure
// once the text has begun is the message's own.
KeptOutcome RelayOnKept(TSmtpSender& client, const TRelayOptions& options,
                        const std::string& sender, const std::string& recipients,
                        TLineSource& lines) {
    client.FailureReason.clear();
    client.FailureClass = TFailureClass{};
    PrepareForMessage(client, options);
    ControlDetach detach{options.Control};
    AttachControl(options.Control, client.Sock());
    TTakenLines taken(lines);
    if (SendEnvelopeSender(client, sender, taken) &&
        SendRecipientsAndText(client, recipients, taken))
        return KeptOutcome::Relayed;
    bool stopped = options.Control && options.Control->Stopped();
    return stopped || taken.Taken() ? KeptOutcome::Failed : KeptOutcome::Stale;
}

} // namespace

bool RelayMessage(const TRelayOptions& options, const std::string& sender,
                  const std::string& recipients, const std::string& hostAndPort, TLineSource& lines,
                  const std::string& userName, const std::string& password,
                  std::string* failureReason, TFailureClass* failureClass) {
    std::string host, port;
    SplitHostAndPort(hostAndPort, host, port);
    TRelaySessions* sessions = options.Sessions;
    TSessionKey key;
    if (sessions) key = TSessionKey::Of(options, host, port, userName, password);
    if (std::unique_ptr<TSmtpSender> kept = sessions ? sessions->Take(key) : nullptr) {
        SessionInUse inUse{sessions, key, true};
        switch (RelayOnKept(*kept, options, sender, recipients, lines)) {
        case KeptOutcome::Relayed:
            inUse.GiveBack(std::move(kept));
            return true;
        case KeptOutcome::Failed:
            return FailedRelay(*kept, failureReason, failureClass);
        case KeptOutcome::Stale:
            kept->Sock().AbortConnection();
            break;
        }
    }
    if (sessions) sessions->Opening(key, options.MaxSessions);
    SessionInUse inUse{sessions, key, false};
    auto client = std::make_unique<TSmtpSender>(options.SystemName);
    client->AutoTLS = options.AutoTLS;
    client->FullSSL = options.FullSSL;
    client->CredentialsOnlyEncrypted = options.CredentialsOnlyEncrypted;
    client->Sock().TlsLayer().VerifyCert = options.VerifyCert;
    client->Sock().TlsLayer().MinimumVersion = options.TlsMinimumVersion;
    client->Sock().TlsLayer().CertCAFile = options.TrustFile;
    client->TargetHost = host;
    client->TargetPort = port;
    client->UserName = userName;
    client->Password = password;
    client->Secret = options.Secret;
    PrepareForMessage(*client, options);
    TRelayControl* control = options.Control;
    // Attached once connected, so that a stop closes the connection under any wait.
    client->Sock().OnAfterConnect = [control](blocksock::TBlockingSocket* socket) {
        AttachControl(control, *socket);
    };
    ControlDetach detach{control};
    bool opened = client->OpenSession();
    if (opened) inUse.Established();
    bool relayed = opened && SendEnvelopeSender(*client, sender, lines) &&
                   SendRecipientsAndText(*client, recipients, lines);
    // Detached before the descriptor is closed: a stop must never reach a reused number.
    detach.Release();
    if (!relayed) return FailedRelay(*client, failureReason, failureClass);
    if (sessions)
        inUse.GiveBack(std::move(client));
    else
        client->CloseSession();
    return true;
}

} // namespace smtpclient
