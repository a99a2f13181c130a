#pragma once
// Open handles of a backend. The table lock is held only to find or change an entry; each
// entry carries its own mutex for the I/O (`io`), so a slow device never blocks another one.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "device/ft_backend.h"

namespace kv::detail {

template <class Port>
class HandleTable {
  public:
    LinkHandle add(std::shared_ptr<Port> port) {
        std::lock_guard lock(mutex_);
        const LinkHandle h = next_++;
        ports_[h] = std::move(port);
        return h;
    }
    std::shared_ptr<Port> find(LinkHandle h) const {
        std::lock_guard lock(mutex_);
        auto it = ports_.find(h);
        return it == ports_.end() ? nullptr : it->second;
    }
    // Runs f(port) under the entry's I/O lock and returns its result; FT_INVALID_HANDLE for
    // an unknown handle. usable(port) runs first, under the lock too: anything but FT_OK it
    // returns (a device that is gone) is returned instead of running f.
    template <class Usable, class F>
    int with(LinkHandle h, Usable usable, F f) const {
        const auto port = find(h);
        if (!port) return FT_INVALID_HANDLE;
        std::lock_guard lock(port->io);
        if (const int rc = usable(*port); rc != FT_OK) return rc;
        return f(*port);
    }
    std::shared_ptr<Port> remove(LinkHandle h) {
        std::lock_guard lock(mutex_);
        auto it = ports_.find(h);
        if (it == ports_.end()) return nullptr;
        auto port = std::move(it->second);
        ports_.erase(it);
        return port;
    }

  private:
    mutable std::mutex mutex_;
    std::map<LinkHandle, std::shared_ptr<Port>> ports_;
    LinkHandle next_ = 1;
};

}  // namespace kv::detail
