#pragma once
// The enumeration half of a backend that keeps a list from its last look at what is
// attached: deviceCount() takes a fresh look, the by-index getters read the list and take a
// fresh look first when the index lies beyond it (a device may have come since).

#include <mutex>
#include <string>
#include <vector>

#include "device/ft_backend.h"

namespace kv::detail {

// Entry: what the backend keeps of one device, with at least the members serial,
// description and locId.
template <class Entry>
class ListingBackend : public FTBackend {
  public:
    int deviceCount(int& count) override {
        std::lock_guard lock(listMutex_);
        count = 0;
        if (!rescanLocked()) return FT_OTHER_ERROR;
        count = static_cast<int>(seen_.size());
        return FT_OK;
    }
    int serialNr(int index, std::string& out) override {
        Entry e;
        if (!entryAt(index, e)) return FT_DEVICE_NOT_FOUND;
        out = e.serial;
        return FT_OK;
    }
    int description(int index, std::string& out) override {
        Entry e;
        if (!entryAt(index, e)) return FT_DEVICE_NOT_FOUND;
        out = e.description;
        return FT_OK;
    }
    int locId(int index, long& out) override {
        Entry e;
        if (!entryAt(index, e)) return FT_DEVICE_NOT_FOUND;
        out = e.locId;
        return FT_OK;
    }

  protected:
    // Replaces seen_ with what is attached now; called with listMutex_ held. False only when
    // the backend could not look at all (nothing attached is a success).
    virtual bool rescanLocked() = 0;

    // A copy, so that the caller may open the device without holding the list.
    bool entryAt(int index, Entry& out) {
        std::lock_guard lock(listMutex_);
        if (index < 0) return false;
        if (static_cast<size_t>(index) >= seen_.size()) rescanLocked();
        if (static_cast<size_t>(index) >= seen_.size()) return false;
        out = seen_[static_cast<size_t>(index)];
        return true;
    }

    std::mutex listMutex_;
    std::vector<Entry> seen_;
};

}  // namespace kv::detail
