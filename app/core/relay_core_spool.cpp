// The relay core's side of the spool: writing messages as they arrive, handing on what an
// earlier run left, resending kept failures, and the exit that loses nothing.
#include "app/core/relay_core.h"

#include <chrono>
#include <thread>

namespace app {

std::string RelayCore::SpoolPiece(asyncsock::TAsyncSocket* client, const std::string& sender,
                                  const std::string& recipientText, bool lastPart,
                                  const std::string& piece) {
    auto found = spooling_.find(client);
    if (found == spooling_.end())
        found = spooling_.emplace(client, spool_->Begin(sender, recipientText).value_or("")).first;
    std::string& id = found->second;
    if (!id.empty() && !spool_->Append(id, piece)) id.clear(); // Append dropped the file
    if (!lastPart) return std::string();
    std::string committed = std::move(id);
    spooling_.erase(found);
    if (committed.empty() || !spool_->Commit(committed))
        throw smtpserver::ERefuseMessage("451 4.3.0 Could not store the message, try again later");
    return committed;
}

void RelayCore::ResumeSpooled() {
    if (!spool_ || !spool_->Ok()) return;
    spool_->RemoveUnfinished();
    for (const Spool::Entry& entry : spool_->List()) {
        if (entry.failed) {
            failures_.emplace(entry.logLine, Failure{entry.id, entry.reason});
            continue;
        }
        auto message = spool_->Load(entry.id);
        if (!message) continue; // unreadable: left where it is for the user to look at
        SelectAccountFor(message->sender);
        Deliver(std::move(*message), entry.id);
    }
}

RelayCore::FailureMap::iterator RelayCore::KeptFailure(const std::string& logLine) {
    // Lines are equal when the same recipients failed within one second: any of them will do,
    // the user cannot tell them apart.
    auto [first, last] = failures_.equal_range(logLine);
    for (auto it = first; it != last; ++it)
        if (!it->second.spoolId.empty()) return it;
    return failures_.end();
}

const RelayCore::Failure* RelayCore::FailureOf(const std::string& logLine) const {
    auto found = failures_.find(logLine);
    return found == failures_.end() ? nullptr : &found->second;
}

bool RelayCore::Resend(const std::string& logLine) {
    auto found = KeptFailure(logLine);
    if (found == failures_.end() || !spool_) return false;
    std::string id = found->second.spoolId;
    auto message = spool_->Load(id);
    if (!message) return false;
    failures_.erase(found);
    spool_->Unfail(id);
    SelectAccountFor(message->sender);
    Deliver(std::move(*message), id);
    return true;
}

size_t RelayCore::ResendAll() {
    std::vector<std::string> lines;
    for (const auto& [line, failure] : failures_)
        if (!failure.spoolId.empty()) lines.push_back(line);
    size_t sent = 0;
    for (const std::string& line : lines) sent += Resend(line) ? 1 : 0;
    return sent;
}

size_t RelayCore::KeptFailures() const {
    size_t kept = 0;
    for (const auto& [line, failure] : failures_) kept += failure.spoolId.empty() ? 0 : 1;
    return kept;
}

bool RelayCore::DeleteKept(const std::string& logLine) {
    auto found = KeptFailure(logLine);
    if (found == failures_.end() || !spool_) return false;
    spool_->Delete(found->second.spoolId);
    found->second.spoolId.clear(); // the line stays; its message is gone
    return true;
}

void RelayCore::Shutdown() {
    server_->SetActive(false);
    SubmitAccepted(); // the end of the pass that accepted them may never come
    for (auto& [serial, control] : inFlight_) control->Stop();
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.shutdownGraceMs);
    // The outcome messages are not waited for: the loop may not run again.
    while (running_ > 0 && std::chrono::steady_clock::now() < deadline) {
        ReportOutcomes();
        if (running_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (spool_) spool_->Flush();
}

} // namespace app
