// The relay core's side of the spool: writing messages as they arrive, handing on what an
// earlier run left, and the exit that loses nothing.
#include "app/core/relay_core.h"

#include <chrono>
#include <thread>
#include <unordered_set>

namespace app {

void RelayCore::ResumeSpooled() {
    if (!spool_ || !spool_->Ok()) return;
    spool_->RemoveUnfinished();
    for (const store::Spool::Entry& entry : spool_->List()) ResumeEntry(entry);
    PublishQueue(); // what an earlier run left deferred or failed
    ArmSpoolScan();
}

void RelayCore::ResumeEntry(const store::Spool::Entry& entry) {
    knownSpoolIds_.insert(entry.id);
    if (entry.unreadable) return KeepUnreadable(entry.id, entry.reason);
    if (entry.failed) return records_.AdoptKept(entry.logLine, entry.id, entry.reason);
    auto envelope = spool_->EnvelopeOf(entry.id);
    if (!envelope) {
        // Never skipped without a word: named, kept aside for the user, listed as failed.
        std::string why = spool_->ReadProblem(entry.id);
        bool aside = spool_->SetAside(entry.id);
        options_.journal("spool: " + spool_->TextPath(entry.id) + " cannot be read (" + why +
                         (aside ? "); kept aside as " + entry.id + ".unreadable and never sent"
                                : "); it could not be moved aside and stays where it is"));
        return KeepUnreadable(entry.id, why);
    }
    ResumeDeferred(*envelope, entry);
}

void RelayCore::KeepUnreadable(const std::string& spoolId, const std::string& reason) {
    // No line of the list: the send queue shows it as failed until the user deletes it.
    records_.AdoptUnreadable(spoolId, "the spool file cannot be read: " + reason);
}

void RelayCore::ArmSpoolScan() {
    if (spoolScanSet_ || !spool_ || !spool_->Ok() || options_.spoolScan.count() <= 0) return;
    auto interval = static_cast<uint32_t>(options_.spoolScan.count());
    spoolScanSet_ =
        platform::MessageLoop::Current().SetTimer(outcomeWindow_, kSpoolScanTimerId, interval);
}

void RelayCore::ScanSpool() {
    std::vector<store::Spool::Entry> entries = spool_->List();
    // Ids whose files are gone can never come back (every new file has a new name): they
    // are forgotten, so that the set stays as small as the folder.
    std::unordered_set<std::string> listed;
    for (const store::Spool::Entry& entry : entries) listed.insert(entry.id);
    std::erase_if(knownSpoolIds_, [&](const std::string& id) { return !listed.count(id); });
    bool found = false;
    for (const store::Spool::Entry& entry : entries) {
        if (knownSpoolIds_.count(entry.id)) continue;
        // Spooled by the sendmail command while this relay ran (it found no relay listening
        // for a moment, or could not reach it): sent now rather than at the next start.
        ResumeEntry(entry);
        found = true;
    }
    if (found) PublishQueue();
    ArmSpoolScan();
}

void RelayCore::Shutdown() {
    inbound_->Stop();
    // Nothing new starts after an exit began: what the spool holds waits for the next start.
    platform::MessageLoop::Current().KillTimer(outcomeWindow_, kSpoolScanTimerId);
    spoolScanSet_ = false;
    options_.spoolScan = std::chrono::milliseconds(0);
    SubmitAccepted(); // the end of the pass that accepted them may never come
    // Attempts still waiting for a session never started: their messages stay spooled.
    scheduler_.StopAll();
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.shutdownGraceMs);
    // The outcome messages are not waited for: the loop may not run again.
    while (scheduler_.Running() > 0 && std::chrono::steady_clock::now() < deadline) {
        ReportOutcomes();
        if (scheduler_.Running() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (spool_) spool_->Flush();
}

} // namespace app
