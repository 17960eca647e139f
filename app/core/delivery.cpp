#include "app/core/delivery.h"

#include "app/core/local_peers.h"
#include "app/core/message_text.h"
#include "platform/gbk.h"
#include "platform/text.h"
#include "smtpclient/smtpsender.h"
#include "store/spool.h"

#include <chrono>
#include <exception>
#include <stdexcept>

namespace app {

std::string SignOnName(const std::string& recipientText) {
    size_t at = recipientText.find('@');
    return at == std::string::npos ? std::string() : recipientText.substr(0, at);
}

DeliveryRequest MakeRequest(CompletedMessage&& message, const Account& account) {
    DeliveryRequest request;
    request.sender = std::move(message.sender);
    request.recipientText = std::move(message.recipientText);
    request.pieces = std::move(message.pieces);
    request.account = account;
    return request;
}

std::string HostAndPortOf(const Account& account) {
    const std::string& host = account.host;
    bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
    return (ipv6 ? "[" + host + "]" : host) + ":" + account.port;
}

bool RelayThrough(const Account& account, const RelaySettings& settings,
                  const std::string& recipientText, smtpclient::TLineSource& lines,
                  smtpclient::TRelayReport& report) {
    if (IsThisRelay(account.host, account.port, settings.ownPort)) {
        // The message would come back to us, be relayed again and again, also after a
        // restart: refused before any connection.
        report = smtpclient::TRelayReport{};
        report.reason = "the account's server " + account.host + " port " + account.port +
                        " is this relay itself: the message would come back to it without end; "
                        "nothing was sent";
        report.failureClass = smtpclient::ClassOf(smtpclient::TClientFailure::ThisRelayItself);
        auto state = report.failureClass.temporary ? smtpclient::TRecipientOutcome::State::Deferred
                                                   : smtpclient::TRecipientOutcome::State::Refused;
        for (const std::string& address : smtpclient::RecipientAddresses(recipientText))
            report.recipients.push_back({address, state, report.reason});
        return false;
    }
    smtpclient::TRelayOptions options;
    options.AutoTLS = account.startTls;
    options.FullSSL = account.implicitTls;
    options.CredentialsOnlyEncrypted = !account.authenticate;
    options.TlsMinimumVersion = settings.tlsMinimumVersion;
    options.SystemName = settings.systemName;
    options.TimeoutMs = settings.timeoutMs;
    options.VerifyCert = settings.verifyCert;
    options.Control = settings.control.get();
    options.Sessions = settings.sessions.get();
    options.Secret = SecretSourceFor(settings.credential, account.mailbox);
    return smtpclient::RelayMessage(options, account.mailbox, recipientText, HostAndPortOf(account),
                                    lines, account.user, account.password, report);
}

void RelayAndRecord(const Account& account, const RelaySettings& settings,
                    smtpclient::TLineSource& lines, DeliveryOutcome& outcome) {
    auto start = std::chrono::steady_clock::now();
    outcome.mailbox = account.mailbox;
    outcome.size = lines.Size();
    smtpclient::TRelayReport report;
    outcome.relayed = RelayThrough(account, settings, outcome.recipientText, lines, report);
    outcome.reason = outcome.relayed ? std::string() : report.reason;
    outcome.temporary = !outcome.relayed && report.failureClass.temporary;
    outcome.sessionRefused = !outcome.relayed && report.failureClass.sessionRefused;
    outcome.signInNeeded = !outcome.relayed && report.failureClass.signInNeeded;
    outcome.recipients = std::move(report.recipients);
    outcome.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
}

namespace {

// The text is read from its spool file as it is sent. A file that cannot be read, at the
// start or midway, is an error and no refusal: the upstream never sees the end of the text,
// and the message stays spooled for the next start.
void RelaySpooled(const DeliveryRequest& request, DeliveryOutcome& outcome) {
    auto first = std::make_shared<store::SpooledText>(request.textPath);
    if (!first->Ok()) throw std::runtime_error(first->Error());
    long long size = first->Size();
    std::string tail = first->Tail();
    // Each pass reads the file anew (a following transaction's text): a file that cannot be
    // opened again leaves its recipients for a later try (no reader: Rewind fails).
    auto open = [path = request.textPath, first]() mutable -> PieceLines::Reader {
        std::shared_ptr<store::SpooledText> text =
            first ? std::move(first) : std::make_shared<store::SpooledText>(path);
        if (!text->Ok()) return nullptr;
        return [text](std::string& piece) {
            if (text->NextPiece(piece)) return true;
            if (!text->Error().empty()) throw std::runtime_error(text->Error());
            return false;
        };
    };
    PieceLines lines(open, size, tail);
    RelayAndRecord(request.account, request.settings, lines, outcome);
}

} // namespace

namespace {

// A failed message's subject, read from the start of its text (its file, or its first piece).
std::string SubjectOf(const DeliveryRequest& request) {
    if (request.textPath.empty())
        return request.pieces.empty() ? std::string() : SubjectIn(request.pieces.front());
    store::SpooledText text(request.textPath);
    std::string first;
    return text.Ok() && text.NextPiece(first) ? SubjectIn(first) : std::string();
}

} // namespace

DeliveryOutcome Deliver(const DeliveryRequest& request) {
    DeliveryOutcome outcome;
    outcome.sender = request.sender;
    outcome.recipientText = request.recipientText;
    outcome.mailbox = request.account.mailbox;
    outcome.listedSender = request.listedSender;
    outcome.spoolId = request.spoolId;
    outcome.serial = request.serial;
    outcome.messageId = request.messageId;
    outcome.upstream = request.upstream;
    outcome.retry = request.retry;
    const auto& control = request.settings.control;
    if (control && control->Stopped()) {
        // Stopped before it began (an exit while it waited for a session): nothing to send.
        outcome.stopped = true;
        return outcome;
    }
    try {
        if (request.textPath.empty()) {
            // A piece at a time: the message may be tried again (only a relay without a spool
            // holds its text in memory).
            PieceLines lines = PieceLines::Over(request.pieces);
            RelayAndRecord(request.account, request.settings, lines, outcome);
        } else {
            RelaySpooled(request, outcome);
        }
    } catch (const std::exception& e) {
        // Out of memory and the like: an error with its text, and no record.
        outcome.failedWithError = true;
        outcome.reason = e.what();
    } catch (...) {
        outcome.failedWithError = true;
        outcome.reason = "unknown error";
    }
    outcome.stopped = !outcome.relayed && control && control->Stopped();
    if (!outcome.relayed && !outcome.stopped) outcome.subject = SubjectOf(request);
    return outcome;
}

std::string JournalLine(const DeliveryOutcome& outcome, std::time_t when, const char* kind) {
    std::string time = store::LocalTimeText(store::WallClock::from_time_t(when));
    const char* result = outcome.relayed ? "relayed" : (outcome.deferred ? "deferred" : "failed");
    // Every field may hold a peer's bytes (a reply in the reason, a client's addresses).
    auto text = [](const std::string& gbk) {
        return platform::EscapeControls(platform::GbkToUtf8(gbk));
    };
    std::string line = time + " " + kind + " " + result + " mailbox=" + text(outcome.mailbox) +
                       " from=" + text(outcome.sender) + " to=" + text(outcome.recipientText) +
                       " size=" + std::to_string(outcome.size) +
                       " duration=" + std::to_string(outcome.durationMs) + "ms";
    if (outcome.deferred)
        line += " attempt=" + std::to_string(outcome.retry.attempts) +
                " next=" + store::LocalTimeText(outcome.retry.next);
    if (!outcome.relayed) line += " reason=" + text(outcome.reason);
    return line;
}

std::string LogLine(bool relayed, const std::string& mailbox, const std::string& currentSender,
                    const std::string& recipientText, std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char time[64];
    std::snprintf(time, sizeof(time), "%d-%d-%d %d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return std::string(relayed ? kRelayedPrefix : kFailedPrefix) + mailbox +
           "/From:" + currentSender + "/To:" + recipientText + "/Time:" + time;
}

} // namespace app
