#pragma once
// One lock per configured device for the exchanges of this module. The acquisition tick,
// the cell commands of the window thread and the device check's reopen each take the
// device's lock for one exchange sequence, so that a configuration read-back never swallows
// a value record of the same device (or the other way round). A lock is held for one
// sequence only (a few hundred milliseconds at most), never across a whole tick.

#include <array>
#include <mutex>

#include "app/config.h"

namespace kv {

class DeviceIoLocks {
  public:
    // d counts from 1; devices outside 1..kMaxDevices share one extra lock.
    std::mutex& of(int d) {
        return (d >= 1 && d <= kMaxDevices) ? locks_[static_cast<size_t>(d)] : locks_[0];
    }

  private:
    std::array<std::mutex, kMaxDevices + 1> locks_;
};

}  // namespace kv
