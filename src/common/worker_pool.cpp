#include "common/worker_pool.h"

namespace kv {

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
}

int WorkerPool::threads() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(threads_.size());
}

bool WorkerPool::runOne(std::unique_lock<std::mutex>& lock) {
    if (!job_ || next_ >= count_) return false;
    const int i = next_++;
    ++running_;
    const std::function<void(int)>& job = *job_;
    lock.unlock();
    std::exception_ptr error;
    try {
        job(i);
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    if (error && !error_) error_ = error;
    if (--running_ == 0 && next_ >= count_) done_.notify_all();
    return true;
}

void WorkerPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || (job_ && next_ < count_); });
        if (stopping_) return;
        while (runOne(lock)) {
        }
    }
}

void WorkerPool::run(int n, const std::function<void(int)>& job) {
    if (n <= 0) return;
    std::lock_guard turn(runMutex_);
    std::unique_lock lock(mutex_);
    // The caller runs one job itself; every other job gets a thread, so none waits for
    // another's device.
    while (static_cast<int>(threads_.size()) < n - 1) threads_.emplace_back([this] { work(); });
    job_ = &job;
    count_ = n;
    next_ = 0;
    running_ = 0;
    error_ = nullptr;
    wake_.notify_all();
    while (runOne(lock)) {
    }
    done_.wait(lock, [this] { return running_ == 0 && next_ >= count_; });
    job_ = nullptr;
    count_ = 0;
    next_ = 0;
    std::exception_ptr error = error_;
    error_ = nullptr;
    lock.unlock();
    if (error) std::rethrow_exception(error);
}

void forEachJob(WorkerPool& pool, bool parallel, int n, const std::function<void(int)>& job) {
    if (parallel && n > 1) {
        pool.run(n, job);
        return;
    }
    for (int i = 0; i < n; ++i) job(i);
}

}  // namespace kv
