#pragma once
// Open handles of a backend. The table lock is held only to find or change an entry; each
// entry carries its own mutex for the I/O, so a slow device never blocks another one.

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
