#pragma once
// The configuration-command-in-progress flag: set while a cell's configuration sequence or a
// resynchronisation talks to the devices, so that the acquisition tick leaves them alone.
//
// Such sequences overlap (the window thread configures a cell while the device check
// resynchronises, or a sequence runs inside another): the flag must stay set until the last
// of them ends, not until the first. Each holder takes a ConfigCmdGuard; the guards count
// their holders per flag and clear the flag only when the count returns to zero. The flag
// itself stays a plain atomic bool that the periodic ticks read as before.

#include <atomic>

namespace kv {

class ConfigCmdGuard {
  public:
    explicit ConfigCmdGuard(std::atomic<bool>& flag);
    ~ConfigCmdGuard();
    ConfigCmdGuard(const ConfigCmdGuard&) = delete;
    ConfigCmdGuard& operator=(const ConfigCmdGuard&) = delete;

    // Guards holding the flag at this moment.
    static int holders(const std::atomic<bool>& flag);

  private:
    std::atomic<bool>& flag_;
};

}  // namespace kv
