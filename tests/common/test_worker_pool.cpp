// The worker pool: jobs of one run at the same time, a run ends as a whole, a job's failure
// reaches the caller after the others have finished.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/worker_pool.h"

namespace {

// Each job waits (bounded) until all of them have started: only jobs that run at the same
// time get through without the wait running out.
struct Meeting {
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    int expected = 0;
    int timedOut = 0;
    void arrive() {
        std::unique_lock lock(m);
        ++arrived;
        cv.notify_all();
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return arrived >= expected; }))
            ++timedOut;
    }
};

TEST(WorkerPool, JobsOfARunRunTogetherAndTheRunEndsAsAWhole) {
    kv::WorkerPool pool;
    for (const int n : {5, 20, 3, 40}) {
        Meeting meet;
        meet.expected = n;
        std::vector<int> done(static_cast<size_t>(n), 0);
        pool.run(n, [&](int i) {
            meet.arrive();
            ++done[static_cast<size_t>(i)];
        });
        EXPECT_EQ(meet.timedOut, 0) << n << " jobs";
        // Every job ran exactly once, and all had returned when run() did.
        for (int i = 0; i < n; ++i) EXPECT_EQ(done[static_cast<size_t>(i)], 1) << i;
    }
    // The caller's thread takes one job: the pool grows to the largest run less one.
    EXPECT_EQ(pool.threads(), 39);
}

TEST(WorkerPool, AFailingJobReachesTheCallerAfterTheOthers) {
    kv::WorkerPool pool;
    std::atomic<int> finished{0};
    EXPECT_THROW(pool.run(6,
                          [&](int i) {
                              if (i == 2) throw std::runtime_error("device 3");
                              std::this_thread::sleep_for(std::chrono::milliseconds(20));
                              ++finished;
                          }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), 5);
    // The pool is usable afterwards.
    std::atomic<int> again{0};
    pool.run(4, [&](int) { ++again; });
    EXPECT_EQ(again.load(), 4);
}

TEST(WorkerPool, RunsFromTwoThreadsTakeTurns) {
    kv::WorkerPool pool;
    std::atomic<int> inRun{0}, most{0};
    const auto job = [&](int) {
        const int now = ++inRun;
        int m = most.load();
        while (now > m && !most.compare_exchange_weak(m, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --inRun;
    };
    std::thread other([&] {
        for (int k = 0; k < 20; ++k) pool.run(3, job);
    });
    for (int k = 0; k < 20; ++k) pool.run(3, job);
    other.join();
    EXPECT_LE(most.load(), 3);
}

TEST(WorkerPool, OneAfterTheOtherOnTheCallersThread) {
    kv::WorkerPool pool;
    std::vector<int> order;
    const auto self = std::this_thread::get_id();
    bool elsewhere = false;
    kv::forEachJob(pool, false, 4, [&](int i) {
        order.push_back(i);
        if (std::this_thread::get_id() != self) elsewhere = true;
    });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(pool.threads(), 0);
}

}  // namespace
