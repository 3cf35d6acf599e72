// The serving side's worker threads and their bounded queue.
#include "ServingWorkers.h"

#include <utility>

namespace DataServiceNamespace {

ServingWorkers::ServingWorkers(unsigned threads, std::size_t capacity, Clock::duration maxWait)
    : threadCount_(threads == 0 ? 1 : threads), capacity_(capacity), maxWait_(maxWait) {}

ServingWorkers::~ServingWorkers() {
    finish();
    {
        std::lock_guard<std::mutex> guard(lock_);
        ending_ = true;
    }
    workReady_.notify_all();
    for (std::thread &thread : threads_)
        thread.join();
}

bool ServingWorkers::submit(Job job) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (refusing_ || queue_.size() >= capacity_)
            return false;
        // Started here rather than by the constructor: a stub whose handlers
        // never ask for a worker keeps no idle thread.
        while (threads_.size() < threadCount_)
            threads_.emplace_back(&ServingWorkers::run, this);
        queue_.push_back(Queued{std::move(job), Clock::now()});
    }
    workReady_.notify_one();
    return true;
}

void ServingWorkers::finish() {
    std::unique_lock<std::mutex> guard(lock_);
    refusing_ = true;
    idle_.wait(guard, [this] { return queue_.empty() && running_ == 0; });
}

std::size_t ServingWorkers::queued() const {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
}

void ServingWorkers::run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        workReady_.wait(guard, [this] { return ending_ || !queue_.empty(); });
        if (queue_.empty())
            return; // ending, and nothing left
        Queued taken = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        guard.unlock();
        try {
            taken.job(Clock::now() - taken.since > maxWait_);
        } catch (...) {
            // A job answers its own failures; one that throws anyway must
            // not end the thread, which would leave the queue unserved.
        }
        taken.job = nullptr; // released before the lock: its captures may be large
        guard.lock();
        --running_;
        if (queue_.empty() && running_ == 0)
            idle_.notify_all();
    }
}

} // namespace DataServiceNamespace
