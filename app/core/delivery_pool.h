// A fixed set of long-lived delivery threads fed by a queue. Messages beyond the workers
// wait in the queue instead of failing for want of a thread or a descriptor: each delivery
// holds one socket, so the number of workers bounds what the relay spends however many
// messages arrive at once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace app {

class DeliveryPool {
  public:
    // Workers are started as jobs need them, up to `maxWorkers`, and then stay.
    explicit DeliveryPool(size_t maxWorkers);
    // Does not wait: a worker may be inside a relay that takes its full timeout. Workers end
    // after their current job; queued jobs are dropped.
    ~DeliveryPool();
    DeliveryPool(const DeliveryPool&) = delete;
    DeliveryPool& operator=(const DeliveryPool&) = delete;

    // Any thread. Throws std::system_error only when no worker exists and none can start.
    void Submit(std::function<void()> job);
    size_t MaxWorkers() const;
    size_t Workers() const;

    // The worker count for this process's descriptor limit: a quarter of the descriptors
    // left after a reserve for the program itself, so that inbound sessions, the listening
    // socket and files keep three quarters; at least 4, at most 256.
    static size_t WorkersForDescriptorLimit();

  private:
    struct Shared;
    void StartWorker();
    std::shared_ptr<Shared> shared_;
};

} // namespace app
