// The deliveries under way. Each attempt goes to a worker as its upstream's sessions allow
// (UpstreamGate); the workers relay over the sessions they keep between messages
// (TRelaySessions), hand a relayed message back to the spool at once, pass a finished
// attempt's place at the gate straight to the next one waiting there, and queue what they
// finished; the core takes that in at its outcome pass.
//
// Runs on the core's thread, but for the workers' jobs. Those share the gate, the sessions,
// the spool and the outcome queue, never the scheduler, so that a worker that ends late never
// writes into a freed one; they wake the core's window with OutcomePacer::kOutcomesQueued.
#pragma once

#include "app/core/delivery.h"
#include "app/core/delivery_pool.h"
#include "app/core/upstream_gate.h"
#include "platform/message_loop.h"
#include "smtpclient/relay_sessions.h"
#include "store/spool.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace app {

class DeliveryScheduler {
  public:
    using Request = std::shared_ptr<DeliveryRequest>;
    // A finished attempt: its outcome and its request.
    struct Finished {
        DeliveryOutcome outcome;
        Request request;
    };

    DeliveryScheduler(size_t workers, size_t maxSessions);
    // The spool relayed messages leave and the window woken; before the first Submit.
    void Bind(std::shared_ptr<store::Spool> spool, platform::WindowHandle window);
    // Attempts for which no worker at all could start, their places at the gate free again:
    // they wait for a later try (the core defers them).
    std::function<void(std::vector<Request>)> unstartable;

    // "maxsessions" (below 1: 1), for the deliveries and the connections to each upstream.
    void SetMaxSessions(size_t maxSessions);
    // The sessions the relay now opens at once to `upstream` at most.
    size_t Limit(const std::string& upstream) const { return gate_->Limit(upstream); }

    // A new attempt (its own number and stop control, the kept sessions), to a worker as its
    // upstream's sessions allow; the rest waits at the gate.
    void Submit(const Request& request);
    // What the workers finished since the last call, in finishing order. Attempts the gate
    // let through meanwhile beyond those their workers went on with go to workers now.
    std::vector<Finished> TakeFinished();
    // Before an exit: attempts waiting at the gate never start (their messages stay spooled),
    // the running ones are told to stop before their end of text.
    void StopAll();
    // Attempts handed over whose outcome has not been taken.
    size_t Running() const { return inFlight_.size(); }
    size_t Workers() const { return pool_.MaxWorkers(); }
    // Upstream sessions open between messages.
    size_t KeptSessions() const { return sessions_->Kept(); }
    // The most connections open at once to `upstream`, from before each connect until its
    // socket was closed.
    size_t PeakConnections(const std::string& upstream) const {
        return sessions_->PeakConnections(upstream);
    }
    // Closes, on a worker, the kept sessions idle for `idle`.
    void CloseIdleSessions(std::chrono::milliseconds idle);

  private:
    struct OutcomeQueue {
        std::mutex mutex;
        std::vector<DeliveryOutcome> outcomes;
        // Attempts a gate let through beyond the one its worker went on with, to be handed
        // to workers of their own.
        std::vector<Request> released;
    };

    // An attempt the gate let through, to a worker.
    void Dispatch(const Request& request);
    void SubmitToPool(const Request& request);

    std::shared_ptr<UpstreamGate> gate_;
    std::shared_ptr<smtpclient::TRelaySessions> sessions_ =
        std::make_shared<smtpclient::TRelaySessions>();
    std::shared_ptr<store::Spool> spool_;
    std::shared_ptr<OutcomeQueue> finished_ = std::make_shared<OutcomeQueue>();
    platform::WindowHandle window_ = 0;
    uint64_t nextSerial_ = 0;
    // Attempts handed over, by their number.
    std::unordered_map<uint64_t, Request> inFlight_;
    // Last, so gone first: no job is queued after it (running ones hold what they share).
    DeliveryPool pool_;
};

} // namespace app
