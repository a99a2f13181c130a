#include "device/config_cmd_guard.h"

#include <map>
#include <mutex>

namespace kv {

namespace {

// The counts live beside the flags they belong to, keyed by the flag's address: the flags
// are members of their owners (the system object, test fixtures), which know nothing of the
// count. An entry exists only while a guard holds its flag, so a flag that is destroyed
// and another one created at the same address never inherit a count. The mutex makes the
// count and the flag change together: a sequence that ends cannot clear the flag that a
// starting one has just set.
struct Holders {
    std::mutex mutex;
    std::map<const std::atomic<bool>*, int> count;
};

Holders& holdersTable() {
    static Holders h;
    return h;
}

}  // namespace

ConfigCmdGuard::ConfigCmdGuard(std::atomic<bool>& flag) : flag_(flag) {
    Holders& h = holdersTable();
    std::lock_guard lock(h.mutex);
    ++h.count[&flag_];
    flag_.store(true);
}

ConfigCmdGuard::~ConfigCmdGuard() {
    Holders& h = holdersTable();
    std::lock_guard lock(h.mutex);
    const auto it = h.count.find(&flag_);
    if (it == h.count.end() || --it->second > 0) return;
    h.count.erase(it);
    flag_.store(false);
}

int ConfigCmdGuard::holders(const std::atomic<bool>& flag) {
    Holders& h = holdersTable();
    std::lock_guard lock(h.mutex);
    const auto it = h.count.find(&flag);
    return it == h.count.end() ? 0 : it->second;
}

}  // namespace kv
