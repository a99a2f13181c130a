#pragma once
// The run-state flags the acquisition shares with the rest of the program. They keep the
// original coordination — a periodic tick is skipped while a conflicting flag is set — and
// are atomics. The owner (TKelvora) holds them; the acquisition refers to them.

#include <atomic>

namespace kv {

struct RunFlags {
    std::atomic<bool>& systemRunning;
    std::atomic<bool>& startupInProgress;
    std::atomic<bool>& configCmdInProgress;  // held through ConfigCmdGuard (overlapping users)
    std::atomic<bool>& deviceCheckInProgress;
    std::atomic<bool>& usbCallbackBusy;   // set by the acquisition tick while it works
    std::atomic<bool>& ec71CallbackBusy;  // the EC71 cycle is working
    std::atomic<bool>& rowCommandIdle;    // no row start, stop or deletion in progress
    std::atomic<bool>& quitting;          // the quit path has begun
};

// A self-contained set of flags, for tests and tools that have no TKelvora.
struct RunFlagSet {
    std::atomic<bool> systemRunning{true};
    std::atomic<bool> startupInProgress{false};
    std::atomic<bool> configCmdInProgress{false};
    std::atomic<bool> deviceCheckInProgress{false};
    std::atomic<bool> usbCallbackBusy{false};
    std::atomic<bool> ec71CallbackBusy{false};
    std::atomic<bool> rowCommandIdle{true};
    std::atomic<bool> quitting{false};

    RunFlags refs() {
        return {systemRunning,   startupInProgress, configCmdInProgress, deviceCheckInProgress,
                usbCallbackBusy, ec71CallbackBusy,  rowCommandIdle,      quitting};
    }
};

}  // namespace kv
