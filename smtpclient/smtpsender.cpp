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

// Hands `take` each line a message entry stands for on the wire, in DATA or in BDAT: the entry
// itself, or the pieces between its own line ends.
template <typename Take> void ForEachWireLine(const std::string& line, Take&& take) {
    if (line.find_first_of("\r\n") == std::string::npos) return take(line);
    for (const std::string& piece : SplitAtLineEnds(line)) take(piece);
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
    // Only the connect, an implicit TLS handshake and the greeting decide whether the
    // upstream took a new session.
    bool opening = !greeted_;
    FailureClass = TFailureClass{};
    if (!ReplyLimitHit.empty()) {
        // A server that breaks the protocol's bounds is broken, not busy.
        FailureReason = step + " failed: the server sent " + ReplyLimitHit + " (the limit)";
        FailureClass = ClassOf(TClientFailure::ReplyLimit);
        return false;
    }
    int code = sock_->LastErrorCode();
    if (code != 0) {
        FailureReason = step + " failed: " + std::to_string(code) + " " + sock_->LastErrorText();
        FailureClass.temporary = IsTemporarySocketError(code, sock_->LastErrorText());
        FailureClass.sessionRefused = opening && IsSessionRefusal(code, sock_->LastErrorText());
        return false;
    }
    std::string reply;
    for (const std::string& line : FullResult) reply += (reply.empty() ? "" : " / ") + line;
    FailureReason = step + " refused: " + reply;
    FailureClass.temporary = IsTemporaryReply(ResultCode);
    FailureClass.sessionRefused = opening && FailureClass.temporary;
    return false;
}

bool TSmtpSender::FailWith(std::string reason, TClientFailure failure) {
    FailureReason = std::move(reason);
    FailureClass = ClassOf(failure);
    return false;
}

bool TSmtpSender::Broken() const {
    return SessionBroken(sock_->LastErrorCode(), !ReplyLimitHit.empty());
}

bool TSmtpSender::ConnectServer() {
    sock_->CloseConnection();
    encrypted_ = false;
    greeted_ = false;
    sock_->TlsLayer().TimeoutMs = Timeout;
    // A stalled upstream is decided within one time-out of the last byte it took.
    sock_->NonblockSendTimeout = Timeout;
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
                        TClientFailure::StartTlsInjection);
    }
    sock_->StartTlsClient();
    encrypted_ = sock_->LastErrorCode() == 0;
    return encrypted_ || Fail("TLS handshake");
}

bool TSmtpSender::Greet() {
    if (ReadReply() != 220) return Fail("greeting");
    greeted_ = true;
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
                "STARTTLS not offered by the server: credentials not sent in clear text",
                TClientFailure::StartTlsMissing);
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
                        TClientFailure::TokenInClear);
    if (auth.empty()) return true;
    bool bearer = Lists(auth, "OAUTHBEARER");
    if (!bearer && !Lists(auth, "XOAUTH2")) {
        AuthRefusal = "AUTH not sent: no OAUTHBEARER or XOAUTH2 among \"" + auth + "\"";
        return true;
    }
    std::string token;
    if (!FetchSecret(token)) return false;
    AuthDone = bearer ? AuthenticateOAuthBearer(token) : AuthenticateXOAuth2(token);
    // A token the server refused may have been revoked or expired early: a source that can
    // get a fresh one gets one chance more in the same session, never a loop.
    if (!AuthDone && ResultCode == 535 && Secret.refused && Secret.refused(token)) {
        if (!FetchSecret(token)) return false;
        AuthDone = bearer ? AuthenticateOAuthBearer(token) : AuthenticateXOAuth2(token);
    }
    if (!AuthDone) NoteAuthRefusal();
    return true;
}

bool TSmtpSender::FetchSecret(std::string& secret) {
    TSecretFetch fetched;
    if (Secret.fetch(fetched)) {
        secret = std::move(fetched.secret);
        return true;
    }
    // A keyring still locked after a log-in, a token service out of reach; or a sign-in
    // the provider no longer honours.
    return FailWith(fetched.reason.empty() ? "the secret could not be fetched" : fetched.reason,
                    fetched.forGood ? TClientFailure::SignInExpired
                                    : TClientFailure::SecretUnavailable);
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

std::string TSmtpSender::MailFromCommand(const std::string& address, int size) const {
    std::string command = "MAIL FROM:<" + address + ">";
    if (ESMTPSize && size > 0) command += " SIZE=" + std::to_string(size);
    return command + "\r\n";
}

std::string TSmtpSender::RcptToCommand(const std::string& address) {
    return "RCPT TO:<" + address + ">\r\n";
}

bool TSmtpSender::ReadMailFromReply() {
    return ReadReply() == 250 || Fail("MAIL FROM");
}

bool TSmtpSender::ReadRcptToReply(const std::string& address) {
    int code = ReadReply();
    return ClassifyRecipientReply(code, false) == TRecipientReply::Accepted ||
           Fail("RCPT TO:<" + address + ">");
}

bool TSmtpSender::SendMailFrom(const std::string& address, int size) {
    Send(MailFromCommand(address, size));
    return ReadMailFromReply();
}

bool TSmtpSender::SendRcptTo(const std::string& address) {
    Send(RcptToCommand(address));
    return ReadRcptToReply(address);
}

bool TSmtpSender::Pipelining() const {
    return ESMTP && !FindCapability("PIPELINING").empty();
}

bool TSmtpSender::Chunking() const {
    return ESMTP && !FindCapability("CHUNKING").empty();
}

std::string TSmtpSender::LastChunk(TLineSource& lines, long long limit) {
    if (lines.Size() > limit) return std::string();
    std::string text;
    for (std::string line; lines.Next(line);)
        ForEachWireLine(line, [&text](const std::string& piece) { text += piece + "\r\n"; });
    lines.Rewind(); // for a following transaction; one that cannot read it again says so
    return "BDAT " + std::to_string(text.size()) + " LAST\r\n" + text;
}

bool TSmtpSender::ReadLastChunkReply() {
    EndOfDataSent = true;
    return ReadFinalReply() == 250 || Fail("end of data");
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

bool TSmtpSender::SendTextPiece(const std::string& piece) {
    Send(piece);
    return sock_->LastErrorCode() == 0;
}

int TSmtpSender::ReadFinalReply() {
    int timeout = Timeout;
    int tlsTimeout = sock_->TlsLayer().TimeoutMs;
    Timeout = std::max(Timeout, kFinalReplyTimeoutMs);
    sock_->TlsLayer().TimeoutMs = Timeout;
    int code = ReadReply();
    Timeout = timeout;
    sock_->TlsLayer().TimeoutMs = tlsTimeout;
    return code;
}

bool TSmtpSender::SendData(TLineSource& lines) {
    Send("DATA\r\n");
    return ReadDataReply() && SendText(lines);
}

bool TSmtpSender::ReadDataReply() {
    EndOfDataSent = false;
    return ReadReply() == 354 || Fail("DATA");
}

bool TSmtpSender::SendText(TLineSource& lines) {
    EndOfDataSent = false;
    std::string chunk;
    bool sent = true;
    // Each line goes straight into the chunk: a copy per line was an allocation per line.
    auto append = [&](const std::string& piece) {
        bool dotted = !piece.empty() && piece[0] == '.';
        if (chunk.size() + piece.size() + (dotted ? 1 : 0) >= 1500) {
            sent = SendTextPiece(chunk);
            chunk.clear();
        }
        if (dotted) chunk += '.';
        chunk += piece;
        chunk += "\r\n";
    };
    for (std::string line; sent && lines.Next(line);) ForEachWireLine(line, append);
    // A stalled or broken upstream ends the text at its first failed send: each later piece
    // would wait out a time-out of its own.
    if (sent && !chunk.empty()) sent = SendTextPiece(chunk);
    if (!sent) return Fail("sending the text");
    if (MayEndData && !MayEndData())
        return FailWith("stopped before the end of the text", TClientFailure::Stopped);
    if (!SendTextPiece(".\r\n")) return Fail("end of data");
    EndOfDataSent = true;
    return ReadFinalReply() == 250 || Fail("end of data");
}

bool TSmtpSender::CloseSession() {
    Send("QUIT\r\n");
    bool ok = ReadReply() == 221;
    sock_->CloseConnection();
    return ok;
}

void TSmtpSender::QuitBriefly() {
    if (sock_->Handle() == -1 || sock_->LastErrorCode() != 0) {
        // Given up on (a time-out, a reset, a limit): what is still queued for the peer is
        // dropped with the connection rather than left for the kernel to push at it.
        sock_->ResetConnection();
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

} // namespace smtpclient
