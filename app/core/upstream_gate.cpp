#include "app/core/upstream_gate.h"

#include "smtpclient/smtpsender.h"

#include <algorithm>

namespace app {

std::string UpstreamOf(const Account& account) {
    // The account's server as the client is given it and splits it, so that the sessions it
    // counts are found by the same name.
    std::string host, port;
    smtpclient::SplitHostAndPort(HostAndPortOf(account), host, port);
    return smtpclient::UpstreamName(host, port);
}

void UpstreamGate::SetMaxSessions(size_t maxSessions) {
    std::lock_guard<std::mutex> lock(mutex_);
    maxSessions_ = std::max<size_t>(1, maxSessions);
    for (auto& [name, upstream] : upstreams_)
        upstream.limit = std::min(upstream.limit, maxSessions_);
}

std::vector<UpstreamGate::Request> UpstreamGate::Offer(Request request) {
    std::lock_guard<std::mutex> lock(mutex_);
    Upstream& upstream = upstreams_[request->upstream];
    if (upstream.limit == 0) upstream.limit = maxSessions_;
    upstream.waiting.push_back(std::move(request));
    ++waiting_;
    return Startable(upstream);
}

std::vector<UpstreamGate::Request> UpstreamGate::Finished(const std::string& name, Result result,
                                                          size_t openNow) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = upstreams_.find(name);
    if (found == upstreams_.end()) return {};
    Upstream& upstream = found->second;
    if (upstream.running > 0) --upstream.running;
    if (result == Result::SessionRefused && openNow > 0) {
        // It takes no more than it has open now: more would only be refused again.
        upstream.limit = std::max<size_t>(1, std::min(openNow, maxSessions_));
        upstream.successes = 0;
    } else if (result == Result::Relayed && ++upstream.successes >= upstream.limit) {
        upstream.successes = 0;
        upstream.limit = std::min(upstream.limit + 1, maxSessions_);
    }
    std::vector<Request> startable = Startable(upstream);
    // Nothing running and nothing waiting: its state would only grow the map.
    if (upstream.running == 0 && upstream.waiting.empty() && upstream.limit == maxSessions_)
        upstreams_.erase(found);
    return startable;
}

std::vector<UpstreamGate::Request> UpstreamGate::Startable(Upstream& upstream) {
    std::vector<Request> startable;
    while (!upstream.waiting.empty() && upstream.running < upstream.limit) {
        startable.push_back(std::move(upstream.waiting.front()));
        upstream.waiting.pop_front();
        --waiting_;
        ++upstream.running;
    }
    return startable;
}

size_t UpstreamGate::Limit(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = upstreams_.find(name);
    return found == upstreams_.end() || found->second.limit == 0 ? maxSessions_
                                                                 : found->second.limit;
}

size_t UpstreamGate::Running(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = upstreams_.find(name);
    return found == upstreams_.end() ? 0 : found->second.running;
}

size_t UpstreamGate::Waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

std::vector<UpstreamGate::Request> UpstreamGate::TakeWaiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Request> taken;
    for (auto& [name, upstream] : upstreams_) {
        for (Request& request : upstream.waiting) taken.push_back(std::move(request));
        upstream.waiting.clear();
    }
    waiting_ = 0;
    return taken;
}

} // namespace app
