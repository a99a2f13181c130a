#pragma once
// The lock of the rows collection. Recursive, because a row operation calls the cell model,
// which asks the rows for the row's tact on the same thread; and releasable as a whole, so
// that a long row operation (stopping twelve cells one second apart, talking to a device)
// can let the acquisition tick and the other threads in while it waits.

#include <atomic>
#include <mutex>
#include <thread>

namespace kv {

class RowsMutex {
  public:
    void lock() {
        const auto me = std::this_thread::get_id();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        mutex_.lock();
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() {
        if (--depth_ == 0) {
            owner_.store(std::thread::id(), std::memory_order_relaxed);
            mutex_.unlock();
        }
    }
    bool heldByMe() const {
        return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }
    // Gives the lock up completely; returns the depth to restore (0 when not held).
    int releaseAll() {
        if (!heldByMe()) return 0;
        const int d = depth_;
        depth_ = 0;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
        return d;
    }
    void reacquire(int depth) {
        if (depth <= 0) return;
        mutex_.lock();
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        depth_ = depth;
    }

  private:
    std::mutex mutex_;
    // Only the owning thread can find its own id here, so relaxed loads are enough.
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched only by the owner
};

// Releases the rows lock for a scope (a wait, a device exchange) and takes it back after.
class RowsUnlocked {
  public:
    explicit RowsUnlocked(RowsMutex& m) : m_(m), depth_(m.releaseAll()) {}
    ~RowsUnlocked() { m_.reacquire(depth_); }
    RowsUnlocked(const RowsUnlocked&) = delete;
    RowsUnlocked& operator=(const RowsUnlocked&) = delete;

  private:
    RowsMutex& m_;
    int depth_;
};

}  // namespace kv
