#include "smtpserver/smtp_session.h"

#include "platform/text.h"
#include "smtpserver/mailbox_syntax.h"
#include "smtpserver/smtp_server.h"

#include "asyncsock/resolve.h"

#include <unordered_map>

#include <cctype>

namespace smtpserver {

namespace {

constexpr uintptr_t kDelayTimer = 1;
// The most one read takes from a client. A peer that sends faster than it is read would
// otherwise make its unread bytes (as much as the socket's receive buffer holds, megabytes)
// one chunk, copied a few times on its way to the data handler; the rest is read next pass.
constexpr long kMaxChunkBytes = 256 * 1024;
const std::string kTerminator = ".\r\n";

std::string From(const std::string& s, size_t index) {
    return index < s.size() ? s.substr(index) : std::string();
}

std::string CommandWordOf(const std::string& chunk) {
    size_t end = chunk.find_first_of(" \r\n");
    return platform::AsciiUpper(chunk.substr(0, end));
}

// An address that is no valid mailbox is refused, never rewritten.
const std::string kBadAddress = "501 Syntax error in address: ";

const char* const kHelpText = "214-Implemented commands follow:\r\n"
                              "214-data\r\n"
                              "214-helo\r\n"
                              "214-mail\r\n"
                              "214-noop\r\n"
                              "214-quit\r\n"
                              "214-rcpt\r\n"
                              "214-rset\r\n"
                              "214 End of HELP Info";

} // namespace

void TSmtpClient::SendReply(const std::string& text) {
    try {
        SendText(text);
    } catch (const std::exception& e) {
        if (SmtpServer) SmtpServer->Debug(this, TDebugType::dtError, e.what());
        return;
    }
    if (SmtpServer) SmtpServer->Debug(this, TDebugType::dtSent, text);
}

void TSmtpClient::StartData() {
    lastTwo_ = "\r\n";
    heldBack_.clear();
}

void TSmtpClient::ProcessData(uint16_t error) {
    if (error != 0) return;
    if (delaying_) {
        // Bytes that arrive while a command waits out its delay are read now, so that nothing
        // stays pending for a receive loop to wait on, and become the next chunk once the
        // delayed command has been answered: with a sleeping thread they would have been
        // read together then.
        inputDuringDelay_ += ReceiveTextUpTo(kMaxChunkBytes);
        return;
    }
    CommandWord.clear();
    HandleChunk(ReceiveTextUpTo(kMaxChunkBytes));
}

void TSmtpClient::HandleChunk(std::string chunk) {
    if (SessionState == TSessionState::Closing) return;
    if (SessionState != TSessionState::Data) {
        CommandWord = CommandWordOf(chunk);
        uint8_t delay = SmtpServer ? SmtpServer->DelayAfterCmd : 0;
        if (delay > 0) {
            // The command waits on a timer of this session instead of a sleep of the thread,
            // so other sessions and the window go on meanwhile. This session's notifications
            // are paused, so its replies and events keep their order.
            delayedChunk_ = std::move(chunk);
            delaying_ = true;
            PauseEvents();
            // Counted from the loop's wake for this chunk, as a sleep would start on its read.
            if (platform::MessageLoop::Current().SetTimerFromWake(Window(), kDelayTimer, delay)) {
                if (SmtpServer->OnCommandDelayed) SmtpServer->OnCommandDelayed(SmtpServer, this);
                return;
            }
            delaying_ = false; // no timer to be had: handle the command now
            ResumeEvents();
            chunk = std::move(delayedChunk_);
        }
    }
    Dispatch(std::move(chunk));
}

void TSmtpClient::HandleMessage(const platform::Message& message) {
    if (message.msg != platform::kWmTimer || message.wParam != kDelayTimer)
        return asyncsock::TAsyncSocketClient::HandleMessage(message);
    platform::MessageLoop::Current().KillTimer(Window(), kDelayTimer);
    if (!delaying_) return;
    delaying_ = false;
    std::string chunk = std::move(delayedChunk_);
    try {
        Dispatch(std::move(chunk));
    } catch (...) {
        // As in the receive step: a failing event handler ends this chunk, not the session.
    }
    if (!inputDuringDelay_.empty()) {
        std::string next = std::move(inputDuringDelay_);
        inputDuringDelay_.clear();
        CommandWord.clear();
        try {
            HandleChunk(std::move(next)); // may start the next delay, which resumes later
        } catch (...) {
            // as above
        }
        if (delaying_) return;
    }
    ResumeEvents();
}

void TSmtpClient::Dispatch(std::string&& chunk) {
    if (SmtpServer) SmtpServer->Debug(this, TDebugType::dtReceived, chunk);
    switch (SessionState) {
    case TSessionState::WaitHelo:
        WaitHelo(chunk);
        break;
    case TSessionState::Command:
        Command(chunk);
        break;
    case TSessionState::Data:
        Data(std::move(chunk));
        break;
    case TSessionState::Closing:
        break;
    }
}

void TSmtpClient::WaitHelo(const std::string& chunk) {
    if (CommandWord != "HELO") {
        SendReply("500 command not recognized\r\n");
        return;
    }
    HeloName.clear();
    size_t first = chunk.find(' ');
    if (first != std::string::npos) {
        size_t second = chunk.find(' ', first + 1);
        std::string field = chunk.substr(
            first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        for (char c : field)
            if (c != '\r' && c != '\n') HeloName += c;
    }
    if (asyncsock::TrimBlanks(HeloName).empty()) {
        SendReply("501 Syntax error (missing domain name)\r\n");
        LoggedIn = false;
        return;
    }
    bool shouldClose = false;
    std::string answer = "250 OK User is welcome";
    if (SmtpServer && SmtpServer->OnUsername)
        SmtpServer->OnUsername(SmtpServer, this, HeloName, answer, shouldClose);
    SessionState = TSessionState::Command;
    if (shouldClose) {
        SendReply("550 User " + HeloName + " from IP" + PeerAddr() + " is not allowed\r\n");
        LoggedIn = false;
    } else {
        SendReply("250 OK User " + HeloName + " from IP " + PeerAddr() + " is welcome\r\n");
        LoggedIn = true;
        if (Recipients) Recipients->clear();
    }
}

namespace {
// Where each command's argument starts in the raw chunk: after "MAIL FROM:", "RCPT TO:" and
// the four letters of VRFY and HELP.
constexpr size_t kMailArgument = 10;
constexpr size_t kRcptArgument = 8;
constexpr size_t kWordArgument = 4;
} // namespace

const std::unordered_map<std::string, void (TSmtpClient::*)(const std::string&)>&
TSmtpClient::CommandTable() {
    static const std::unordered_map<std::string, void (TSmtpClient::*)(const std::string&)> table =
        {{"MAIL", &TSmtpClient::OnMail},           {"VRFY", &TSmtpClient::OnVrfy},
         {"RCPT", &TSmtpClient::OnRcpt},           {"DATA", &TSmtpClient::OnData},
         {"RSET", &TSmtpClient::OnRset},           {"NOOP", &TSmtpClient::OnNoop},
         {"HELP", &TSmtpClient::OnHelpCommand},    {"QUIT", &TSmtpClient::OnQuitCommand},
         {"TURN", &TSmtpClient::OnNotImplemented}, {"SEND", &TSmtpClient::OnNotImplemented},
         {"SOML", &TSmtpClient::OnNotImplemented}, {"SAML", &TSmtpClient::OnNotImplemented},
         {"EXPN", &TSmtpClient::OnNotImplemented}};
    return table;
}

void TSmtpClient::Command(const std::string& chunk) {
    if (!LoggedIn) {
        SendReply("550 mailbox unavailable or not logged in\r\n");
        SessionState = TSessionState::Closing;
        Shutdown(1);
        return;
    }
    auto found = CommandTable().find(CommandWord);
    if (found != CommandTable().end()) return (this->*found->second)(chunk);
    std::string answer = "500 command not recognized";
    if (SmtpServer && SmtpServer->OnUnknownCmd)
        SmtpServer->OnUnknownCmd(SmtpServer, this, chunk, answer);
    SendReply(answer + "\r\n");
}

void TSmtpClient::OnMail(const std::string& chunk) {
    TAddressArgument argument =
        ParseAddressArgument(asyncsock::TrimBlanks(From(chunk, kMailArgument)));
    const std::string& address = argument.address;
    std::string answer = "250 OK ";
    if (!argument.problem.empty()) {
        answer = kBadAddress + argument.problem;
    } else if (address.empty()) {
        answer = "503 Bad sequence of commands (missing FROM)";
    } else {
        if (SmtpServer && SmtpServer->OnMailFrom)
            SmtpServer->OnMailFrom(SmtpServer, this, address, answer);
        MailFrom = address;
    }
    SendReply(asyncsock::TrimBlanks(answer) + "\r\n");
}

void TSmtpClient::OnVrfy(const std::string& chunk) {
    std::string user = asyncsock::TrimBlanks(From(chunk, kWordArgument));
    bool known = false;
    std::string mailAddr = user;
    if (SmtpServer && SmtpServer->OnVerifyUser)
        SmtpServer->OnVerifyUser(SmtpServer, this, user, known, mailAddr);
    SendReply((known ? "250 OK " + mailAddr : std::string("550 does not match anything")) + "\r\n");
}

void TSmtpClient::OnRcpt(const std::string& chunk) {
    TAddressArgument argument =
        ParseAddressArgument(asyncsock::TrimBlanks(From(chunk, kRcptArgument)));
    const std::string& address = argument.address;
    std::string answer = "250 OK Send to <" + address + "> is allowed";
    if (!argument.problem.empty()) {
        answer = kBadAddress + argument.problem;
    } else if (address.empty()) {
        answer = "503 Bad sequence of commands (missing Adress)";
    } else {
        if (SmtpServer && SmtpServer->OnMailTo)
            SmtpServer->OnMailTo(SmtpServer, this, address, answer);
        if (!answer.empty() && answer[0] != '5' && Recipients) Recipients->push_back(address);
    }
    SendReply(asyncsock::TrimBlanks(answer) + "\r\n");
}

void TSmtpClient::OnData(const std::string&) {
    std::string answer;
    if (Recipients && !Recipients->empty() && !MailFrom.empty()) {
        if (SmtpServer && SmtpServer->OnSendDataInit) SmtpServer->OnSendDataInit(SmtpServer, this);
        answer = "354 Start mail input; end with <CRLF>.<CRLF>";
        SessionState = TSessionState::Data;
        StartData();
    } else {
        answer = "554 Transaction failed (invalid MAIL/RCPT or DATA)";
    }
    SendReply(answer + "\r\n");
}

void TSmtpClient::OnRset(const std::string&) {
    std::string answer = "250 OK";
    if (SmtpServer && SmtpServer->OnReset) SmtpServer->OnReset(SmtpServer, this, answer);
    MailFrom.clear();
    if (Recipients) Recipients->clear();
    SendReply(answer + "\r\n");
}

void TSmtpClient::OnNoop(const std::string&) {
    SendReply("250 OK\r\n");
}

void TSmtpClient::OnHelpCommand(const std::string& chunk) {
    std::string answer = kHelpText;
    if (SmtpServer && SmtpServer->OnHelp)
        SmtpServer->OnHelp(SmtpServer, this, asyncsock::TrimBlanks(From(chunk, kWordArgument)),
                           answer);
    SendReply(answer + "\r\n");
}

void TSmtpClient::OnQuitCommand(const std::string&) {
    std::string answer = "221 Thanks for using, have a nice day";
    if (SmtpServer && SmtpServer->OnQuit) SmtpServer->OnQuit(SmtpServer, this, answer);
    SendReply(answer + "\r\n");
    SessionState = TSessionState::Closing;
    if (State() != asyncsock::TSocketState::asConnected) return;
    try {
        Shutdown(1);
    } catch (...) {
        // the session is over either way
    }
}

void TSmtpClient::OnNotImplemented(const std::string&) {
    SendReply("502 Command not implemented.\r\n");
}

// A chunk with no dot at any line start needs no change: it is handed on as it is, without
// a copy (a large message arrives in chunks of megabytes).
bool TSmtpClient::PlainText(const std::string& chunk) const {
    if (chunk.empty() || !heldBack_.empty()) return false;
    if (chunk.find("\r\n.") != std::string::npos) return false;
    if (lastTwo_ == "\r\n" && chunk[0] == '.') return false;
    return !(lastTwo_[1] == '\r' && chunk[0] == '\n' && (chunk.size() == 1 || chunk[1] == '.'));
}

void TSmtpClient::Data(std::string&& chunk) {
    if (PlainText(chunk)) {
        lastTwo_ = chunk.size() >= 2 ? chunk.substr(chunk.size() - 2)
                                     : std::string(1, lastTwo_[1]) + chunk[0];
        TSmtpServer* server = SmtpServer;
        if (server && server->OnSendData) server->OnSendData(server, this, false, chunk);
        return;
    }
    // Held-back bytes plus the chunk, so that a terminator or a doubled dot split across
    // chunks is seen whole. Only that rare case copies the chunk: messages can be large.
    std::string joined;
    if (!heldBack_.empty()) {
        joined = heldBack_ + chunk;
        heldBack_.clear();
    }
    const std::string& text = joined.empty() ? chunk : joined;
    bool lastPart = false;
    std::string rest;
    std::string msg = Unstuff(text, lastPart, rest);
    EndData(std::move(msg), lastPart, std::move(rest));
}

std::string TSmtpClient::Unstuff(const std::string& text, bool& lastPart, std::string& rest) {
    // The two bytes before position i, across the chunk boundary.
    auto before = [&](size_t i, size_t back) {
        return i >= back ? text[i - back] : lastTwo_[2 - back + i];
    };
    std::string msg;
    msg.reserve(text.size());
    // Walk from line start to line start, copying each stretch between them in one go.
    size_t i = 0;
    while (i < text.size()) {
        bool lineStart = before(i, 2) == '\r' && before(i, 1) == '\n';
        if (lineStart && text[i] == '.') {
            size_t left = text.size() - i;
            if (text.compare(i, 3, kTerminator) == 0) {
                lastPart = true;
                rest = text.substr(i + 3);
                break;
            }
            if ((left == 1) || (left == 2 && text[i + 1] == '\r')) {
                heldBack_ = text.substr(i); // could still become "." CR LF or ".."
                break;
            }
            if (text[i + 1] == '.') ++i; // ".." at a line start loses its first dot
        }
        size_t eol = text.find("\r\n", i);
        size_t next = eol == std::string::npos ? text.size() : eol + 2;
        // A line end split after its CR (in the previous chunk): the line starts at 1.
        if (i == 0 && before(0, 1) == '\r' && text[0] == '\n') next = 1;
        msg.append(text, i, next - i);
        i = next;
    }
    // The two bytes before what comes next; held-back bytes always start at a line start.
    size_t consumed = lastPart ? text.size() : text.size() - heldBack_.size();
    if (lastPart || !heldBack_.empty())
        lastTwo_ = "\r\n";
    else if (consumed >= 2)
        lastTwo_ = text.substr(consumed - 2, 2);
    else if (consumed == 1)
        lastTwo_ = std::string(1, lastTwo_[1]) + text[0];
    return msg;
}

void TSmtpClient::EndData(std::string&& msg, bool lastPart, std::string&& rest) {
    TSmtpServer* server = SmtpServer;
    std::string refusal;
    try {
        if (server && server->OnSendData) server->OnSendData(server, this, lastPart, msg);
    } catch (const ERefuseMessage& e) {
        if (!lastPart) throw;
        refusal = std::string(e.what()) + "\r\n";
    }
    if (!lastPart) return;
    if (State() == asyncsock::TSocketState::asConnected)
        SendReply(refusal.empty() ? "250 OK \r\n" : refusal);
    SessionState = TSessionState::Command;
    // A client that sent its next command with the end of the message: the rest is a
    // command chunk of its own rather than part of the message.
    if (!rest.empty()) {
        CommandWord.clear();
        HandleChunk(std::move(rest));
    }
}

} // namespace smtpserver
