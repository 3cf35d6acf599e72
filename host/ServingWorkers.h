// The serving side's own threads: they answer the requests a ServingHandler
// asks to have served off velorn_ipc's I/O loops (servesOnWorker), so that a
// slow request, a password hash, holds up no other connection of its loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace DataServiceNamespace {

// A fixed number of threads taking jobs from a bounded queue in order. A job
// that waited in the queue longer than maxWait is told it is late: its
// requester may have given up by then, and the job should answer at once
// rather than start slow work.
//
// Owner: the DataServiceStub that listens (servingWorkers), made by
// startListening and destroyed by stopListening or the stub's destructor.
// Threads: submit on velorn_ipc threads, concurrently; finish and the
// destructor on the application's thread; the jobs on the pool's threads.
// Every member below the constants is guarded by lock_.
class ServingWorkers {
public:
    using Clock = std::chrono::steady_clock;
    using Job = std::function<void(bool late)>;

    // One thread: a password hash keeps one core busy for tens of
    // milliseconds, and the I/O loops should keep the other one on a machine
    // of two. 32 queued logins take one or two seconds on an idle machine;
    // on a loaded one the late answers keep the wait bounded instead.
    static constexpr unsigned defaultThreads = 1;
    static constexpr std::size_t defaultCapacity = 32;

    ServingWorkers(unsigned threads, std::size_t capacity, Clock::duration maxWait);
    // finish, then joins the threads.
    ~ServingWorkers();
    ServingWorkers(const ServingWorkers &) = delete;
    ServingWorkers &operator=(const ServingWorkers &) = delete;

    // Queues job; false, with job left alone, when capacity jobs wait
    // already or after finish. A thread calls job(late) once. The threads
    // start with the first job. Throws std::bad_alloc or std::system_error
    // (no thread could be started).
    bool submit(Job job);

    // Refuses further jobs and waits until every queued job has run.
    void finish();

    // Jobs queued and not yet taken by a thread.
    std::size_t queued() const;

private:
    void run();

    struct Queued {
        Job job;
        Clock::time_point since;
    };

    const unsigned threadCount_;
    const std::size_t capacity_;
    const Clock::duration maxWait_;
    mutable std::mutex lock_;
    std::condition_variable workReady_; // a job was queued, or the threads must end
    std::condition_variable idle_;      // the queue emptied and no job runs
    std::deque<Queued> queue_;
    std::size_t running_ = 0;  // jobs taken by a thread and not yet returned
    bool refusing_ = false;    // set by finish
    bool ending_ = false;      // set by the destructor: threads return when the queue is empty
    std::vector<std::thread> threads_; // started by the first submit, joined by the destructor
};

} // namespace DataServiceNamespace
