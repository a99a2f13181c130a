#pragma once
// The operations thread: the jobs that change the program's state — console commands, the
// windows' commands, the quit path — run one at a time, in the order they arrive, whoever
// sends them. An operation may wait (the pauses between starting cells, a
// resynchronisation, an export); the window thread never runs one itself.
//
// The headless program runs the queue on its main thread (run()); the window program gives
// it a thread of its own (start()/stop()).

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kv {

class OperationQueue {
  public:
    using Job = std::function<void()>;

    OperationQueue() = default;
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    // Thread-safe. False (and the job is not run) once the queue has stopped.
    bool post(Job job);
    // Runs the jobs on the calling thread until stop(); returns after the running job.
    void run();
    // Runs the jobs on a thread of the queue's own.
    void start();
    // No new jobs; the running one finishes, queued ones are dropped (their owners learn it
    // from the destruction of the job: a job that must answer holds a promise). Joins the
    // thread of start(). Safe to call from a job (then it does not join).
    void stop();

    // A job is queued or running.
    bool busy() const;
    // The calling thread is the one that runs the jobs.
    bool onQueueThread() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    bool stopped_ = false;
    bool running_ = false;
    std::thread::id runner_;
    std::thread thread_;
};

}  // namespace kv
