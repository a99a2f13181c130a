#include "system/operation_queue.h"

namespace kv {

OperationQueue::~OperationQueue() {
    stop();
}

bool OperationQueue::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return false;
        jobs_.push_back(std::move(job));
    }
    cv_.notify_all();
    return true;
}

void OperationQueue::run() {
    {
        std::lock_guard lock(mutex_);
        runner_ = std::this_thread::get_id();
    }
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return stopped_ || !jobs_.empty(); });
            if (stopped_) break;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            running_ = true;
        }
        job();
        // The job's captures go before the queue counts as idle.
        job = nullptr;
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    std::deque<Job> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(jobs_);
    }
}

void OperationQueue::start() {
    thread_ = std::thread([this] { run(); });
}

void OperationQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool OperationQueue::busy() const {
    std::lock_guard lock(mutex_);
    return running_ || !jobs_.empty();
}

bool OperationQueue::onQueueThread() const {
    std::lock_guard lock(mutex_);
    return runner_ == std::this_thread::get_id();
}

}  // namespace kv
