#pragma once
// Threads that run one job per device at the same time. Every data device sits on its own
// interface and spends most of an exchange waiting (character pacing, the pause before an
// answer), so asking all of them at once costs about as long as asking one.
//
// run(n, job) calls job(0) .. job(n-1), each on a thread of its own (the caller's thread
// takes one of them), and returns when every call has returned: a tick, a synchronisation or
// an alignment that runs in parallel still finishes as a whole. The threads stay for the
// next run and end with the pool. An exception of a job is passed on to the caller after
// every job has finished.

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {

class WorkerPool {
  public:
    WorkerPool() = default;
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs of one pool from two threads take turns.
    void run(int n, const std::function<void(int)>& job);
    // Threads started so far (the caller's own not counted).
    int threads() const;

  private:
    void work();
    // Takes the next job index of the current run and runs it; false when none is left.
    bool runOne(std::unique_lock<std::mutex>& lock);

    std::mutex runMutex_;  // one run at a time
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> threads_;
    const std::function<void(int)>* job_ = nullptr;
    int count_ = 0;    // jobs of the current run
    int next_ = 0;     // next job index to hand out
    int running_ = 0;  // jobs handed out and not yet returned
    std::exception_ptr error_;
    bool stopping_ = false;
};

// Runs job(i) for i = 0..n-1 on the pool, or one after the other on the calling thread when
// parallel is false (the benchmark compares both).
void forEachJob(WorkerPool& pool, bool parallel, int n, const std::function<void(int)>& job);

}  // namespace kv
