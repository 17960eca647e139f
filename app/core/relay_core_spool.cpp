// The relay core's side of the spool: writing messages as they arrive, handing on what an
// earlier run left, and the exit that loses nothing.
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
    for (const store::Spool::Entry& entry : spool_->List()) {
        if (entry.failed) {
            // The list file holds only lines: a kept message finds its record by its line.
            if (Record* record = failedRecords_.FindUnkept(entry.logLine)) {
                record->spoolId = entry.id;
                record->reason = entry.reason;
            } else {
                unlisted_.push_back(Record{++nextRecordId_, entry.logLine, entry.id, entry.reason});
            }
            continue;
        }
        auto envelope = spool_->EnvelopeOf(entry.id);
        if (!envelope) continue; // unreadable: left where it is for the user to look at
        ResumeDeferred(*envelope, entry);
    }
    PublishQueue(); // what an earlier run left deferred or failed
}

void RelayCore::Shutdown() {
    server_->SetActive(false);
    SubmitAccepted(); // the end of the pass that accepted them may never come
    // Attempts still waiting for a session never started: their messages stay spooled.
    for (const Request& waiting : gate_->TakeWaiting()) {
        inFlight_.erase(waiting->serial);
        --running_;
    }
    for (auto& [serial, request] : inFlight_) request->settings.control->Stop();
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
