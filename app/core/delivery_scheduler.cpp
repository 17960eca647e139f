#include "app/core/delivery_scheduler.h"

#include "app/core/outcome_pacer.h"
#include "app/core/recipient_outcomes.h"

#include <algorithm>
#include <system_error>

namespace app {

namespace {

// An attempt's end at its upstream's gate: whether it was a session refused while others to
// the upstream are open (the upstream's cap), and what may go to that upstream now.
std::vector<DeliveryScheduler::Request>
FinishAtGate(UpstreamGate& gate, const DeliveryRequest& request, DeliveryOutcome& outcome) {
    const auto& sessions = request.settings.sessions;
    size_t openNow = sessions ? sessions->Open(outcome.upstream) : 0;
    outcome.sessionRefused = outcome.sessionRefused && openNow > 0;
    using Result = UpstreamGate::Result;
    // A session that took the message for some recipients worked, whatever became of others.
    bool tookIt = outcome.relayed || !RecipientGroups(outcome.recipients).delivered.empty();
    Result result = tookIt                   ? Result::Relayed
                    : outcome.sessionRefused ? Result::SessionRefused
                                             : Result::Failed;
    return gate.Finished(outcome.upstream, result, openNow);
}

} // namespace

DeliveryScheduler::DeliveryScheduler(size_t workers, size_t maxSessions)
    : gate_(std::make_shared<UpstreamGate>(maxSessions)), pool_(workers) {
    SetMaxSessions(maxSessions);
}

void DeliveryScheduler::SetMaxSessions(size_t maxSessions) {
    // The gate bounds the deliveries running to an upstream, the kept sessions the
    // connections (idle ones and ones being closed included); both by the user's one number.
    maxSessions = std::max<size_t>(1, maxSessions);
    gate_->SetMaxSessions(maxSessions);
    sessions_->SetMaxOpen(maxSessions);
}

void DeliveryScheduler::Bind(std::shared_ptr<store::Spool> spool, platform::WindowHandle window) {
    spool_ = std::move(spool);
    window_ = window;
}

void DeliveryScheduler::Submit(const Request& request) {
    request->serial = ++nextSerial_;
    request->settings.control = std::make_shared<smtpclient::TRelayControl>();
    request->settings.sessions = sessions_;
    inFlight_[request->serial] = request;
    for (const Request& startable : gate_->Offer(request)) Dispatch(startable);
}

void DeliveryScheduler::Dispatch(const Request& request) {
    try {
        SubmitToPool(request);
    } catch (const std::system_error&) {
        // No worker at all could start: its place at the gate is free again. It, and every
        // attempt the gate lets go meanwhile, waits for a later try, when a worker may start.
        std::vector<Request> back{request};
        for (size_t i = 0; i < back.size(); ++i)
            for (Request& next :
                 gate_->Finished(back[i]->upstream, UpstreamGate::Result::Failed, 0))
                back.push_back(std::move(next));
        for (const Request& waiting : back) inFlight_.erase(waiting->serial);
        if (unstartable) unstartable(std::move(back));
    }
}

void DeliveryScheduler::SubmitToPool(const Request& first) {
    std::weak_ptr<OutcomeQueue> queue = finished_;
    std::weak_ptr<store::Spool> spool = spool_;
    std::shared_ptr<UpstreamGate> gate = gate_;
    platform::WindowHandle window = window_;
    pool_.Submit([first, queue, spool, gate, window] {
        // A delivery's place at its upstream's gate passes straight to the next one waiting
        // there, on this worker: through the paced outcome pass, an upstream would get only
        // its limit of deliveries per pass.
        for (Request request = first; request;) {
            DeliveryOutcome outcome = app::Deliver(*request);
            // A relayed message leaves the spool at once, not when the next outcome pass takes
            // its outcome: after a crash, only what went out in the last moment goes out again.
            if (outcome.relayed && !outcome.spoolId.empty())
                if (auto kept = spool.lock()) kept->Delivered(outcome.spoolId);
            std::vector<Request> next = FinishAtGate(*gate, *request, outcome);
            request = next.empty() ? nullptr : next.front();
            auto q = queue.lock();
            if (!q) return; // the scheduler is gone
            bool wake = false;
            {
                std::lock_guard<std::mutex> lock(q->mutex);
                wake = q->outcomes.empty() && q->released.empty();
                q->outcomes.push_back(std::move(outcome));
                if (next.size() > 1)
                    q->released.insert(q->released.end(), next.begin() + 1, next.end());
            }
            // One wake-up per batch: the core takes everything queued when it runs.
            if (wake)
                platform::MessageLoop::PostMessage(window, OutcomePacer::kOutcomesQueued, 0, 0);
        }
    });
}

std::vector<DeliveryScheduler::Finished> DeliveryScheduler::TakeFinished() {
    std::vector<DeliveryOutcome> outcomes;
    std::vector<Request> released;
    {
        std::lock_guard<std::mutex> lock(finished_->mutex);
        outcomes.swap(finished_->outcomes);
        released.swap(finished_->released);
    }
    for (const Request& request : released) Dispatch(request);
    std::vector<Finished> finished;
    finished.reserve(outcomes.size());
    for (DeliveryOutcome& outcome : outcomes) {
        Request request;
        if (auto found = inFlight_.find(outcome.serial); found != inFlight_.end()) {
            request = std::move(found->second);
            inFlight_.erase(found);
        }
        finished.push_back(Finished{std::move(outcome), std::move(request)});
    }
    return finished;
}

void DeliveryScheduler::StopAll() {
    for (const Request& waiting : gate_->TakeWaiting()) inFlight_.erase(waiting->serial);
    for (auto& [serial, request] : inFlight_) request->settings.control->Stop();
}

void DeliveryScheduler::CloseIdleSessions(std::chrono::milliseconds idle) {
    try {
        // On a worker: each QUIT waits for its reply, which the loop must not.
        pool_.Submit([sessions = sessions_, idle] { sessions->CloseIdle(idle); });
    } catch (const std::system_error&) {
        // No worker at all to be had now: the sessions wait for the next sweep.
    }
}

} // namespace app
