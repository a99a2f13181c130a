#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

#include "system/operation_queue.h"

using namespace kv;

TEST(OperationQueue, RunsJobsOneAtATimeInArrivalOrderFromAnyThread) {
    OperationQueue q;
    q.start();
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::promise<void> last;
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                q.post([&, t, i] {
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    EXPECT_TRUE(q.onQueueThread());
                    order.push_back(t * 1000 + i);
                    inside.fetch_sub(1);
                });
        });
    for (auto& s : senders) s.join();
    q.post([&] { last.set_value(); });
    last.get_future().wait();
    q.stop();
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 200u);
    // Each sender's jobs keep their order.
    for (int t = 0; t < 4; ++t) {
        int prev = -1;
        for (int v : order)
            if (v / 1000 == t) {
                EXPECT_GT(v % 1000, prev);
                prev = v % 1000;
            }
    }
    EXPECT_FALSE(q.onQueueThread());
}

TEST(OperationQueue, AStoppedQueueTakesNoJobsAndDropsThoseThatWait) {
    OperationQueue q;
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::promise<void> started;
    q.start();
    q.post([&] {
        started.set_value();
        gate.wait();
    });
    started.get_future().wait();
    EXPECT_TRUE(q.busy());
    // A job that must answer holds a promise: dropping it tells its owner.
    auto answer = std::make_shared<std::promise<int>>();
    std::future<int> reply = answer->get_future();
    q.post([answer] { answer->set_value(1); });
    answer.reset();
    std::thread stopper([&] { q.stop(); });
    // stop() waits for the running job; let it go.
    while (q.post([] {})) std::this_thread::yield();
    release.set_value();
    stopper.join();
    EXPECT_THROW(reply.get(), std::future_error);
    EXPECT_FALSE(q.post([] {}));
    EXPECT_FALSE(q.busy());
}
